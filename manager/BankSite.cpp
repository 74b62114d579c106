#include "BankSite.h"

#include <QDesktopServices>
#include <cstdlib>

#include "platform/log.h"

#ifndef QD_BANK_URL_DEFAULT
#define QD_BANK_URL_DEFAULT "https://ebank.example.com/"
#endif

namespace kelvane {

std::optional<QUrl> bankSiteUrl() {
    QString setting = QString::fromUtf8(QD_BANK_URL_DEFAULT);
    if (const char* env = std::getenv("QD_BANK_URL"); env && *env) setting = QString::fromUtf8(env);
    setting = setting.trimmed();
    if (setting.isEmpty() || setting.compare("none", Qt::CaseInsensitive) == 0 ||
        setting.compare("off", Qt::CaseInsensitive) == 0) {
        return std::nullopt;
    }
    QUrl url(setting, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative()) {
        platform::logLinef("bank site address is not a URL: %s", setting.toUtf8().constData());
        return std::nullopt;
    }
    return url;
}

bool openBankSite() {
    const auto url = bankSiteUrl();
    if (!url) return false;
    return QDesktopServices::openUrl(*url);
}

}  // namespace kelvane
