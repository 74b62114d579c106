#include "Screenshots.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QTableView>
#include <QTimer>
#include <cstdio>

#include "MailWinCtr.h"
#include "OneUseWdCtr.h"

namespace kelvane {
namespace {

// Types text into a field key by key, so the field reports user edits.
void typeInto(QLineEdit* field, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(field, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(field, &release);
    }
}

bool save(QWidget* window, const QString& path, QStringList* written) {
    QApplication::processEvents();
    if (!window->grab().save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    written->append(path);
    return true;
}

}  // namespace

QStringList saveScreenshots(MailWinCtr* window, const QString& dir, bool* complete) {
    QStringList written;
    bool allSaved = true;
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "cannot make the folder %s\n", qPrintable(dir));
        if (complete) *complete = false;
        return written;
    }
    const QDir folder(dir);
    auto tab = [window](int tag) { return qobject_cast<QAbstractButton*>(window->view(tag)); };

    window->devxx(tab(MailTag::tabDevice));
    allSaved &= save(window, folder.filePath(QStringLiteral("device.png")), &written);

    if (tab(MailTag::tabPin)->isVisible()) {
        window->devxx(tab(MailTag::tabPin));
        typeInto(window->oldPin(), QStringLiteral("123456"));
        typeInto(window->newOnePin(), QStringLiteral("abc123xy"));
        typeInto(window->newTwoPin(), QStringLiteral("abc1"));
        allSaved &= save(window, folder.filePath(QStringLiteral("pin.png")), &written);
    }
    if (tab(MailTag::tabCert)->isVisible()) {
        window->devxx(tab(MailTag::tabCert));
        if (!window->certificates().isEmpty()) window->cerTabVw()->selectRow(0);
        allSaved &= save(window, folder.filePath(QStringLiteral("certificates.png")), &written);
    }
    if (OneUseWdCtr* first = window->oneUseWindow(); first && first->isVisible()) {
        allSaved &= save(first, folder.filePath(QStringLiteral("first-use.png")), &written);
    }
    // Back to the device panel; this also empties the PIN fields.
    window->devxx(tab(MailTag::tabDevice));
    if (complete) *complete = allSaved;
    return written;
}

void scheduleScreenshots(MailWinCtr* window, const QString& dir, int patienceMs) {
    auto* fallback = new QTimer(window);
    fallback->setSingleShot(true);
    auto finish = [window, dir, fallback](int status) {
        fallback->stop();
        bool complete = false;
        for (const QString& file : saveScreenshots(window, dir, &complete))
            std::printf("%s\n", qPrintable(file));
        std::fflush(stdout);
        QCoreApplication::exit(complete ? status : 1);
    };
    QObject::connect(fallback, &QTimer::timeout, window, [finish] {
        std::fprintf(stderr, "no key connected; saving the window as it is\n");
        finish(3);
    });
    QObject::connect(window, &MailWinCtr::arrivalHandled, window, [finish](MailWinCtr::Arrival outcome) {
        if (outcome != MailWinCtr::Arrival::Connected) return;
        // Let queued windows (first use) appear before grabbing.
        QTimer::singleShot(300, [finish] { finish(0); });
    });
    fallback->start(patienceMs);
}

}  // namespace kelvane
