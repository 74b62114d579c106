#include "CerViewDlg.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimeZone>
#include <QVBoxLayout>
#include <memory>

#include "CertName.h"
#include "OpensslOperate.h"

namespace {

QString timeText(const ASN1_TIME* t) {
    struct tm parts {};
    if (!t || ASN1_TIME_to_tm(t, &parts) != 1) return {};
    const QDateTime utc(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                        QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), QTimeZone::utc());
    return utc.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString hexColons(const unsigned char* p, unsigned int n) {
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(p), n).toHex(':').toUpper());
}

QString digestText(const X509* cert, const EVP_MD* md) {
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(cert, md, buf, &n) != 1) return {};
    return hexColons(buf, n);
}

QString keyText(const X509* cert) {
    const EVP_PKEY* key = X509_get0_pubkey(cert);
    if (!key) return {};
    const char* type = OBJ_nid2sn(EVP_PKEY_get_base_id(key));
    return QStringLiteral("%1 (%2 位)")
        .arg(QString::fromLatin1(type ? type : "?"))
        .arg(EVP_PKEY_get_bits(key));
}

}  // namespace

QList<QPair<QString, QString>> CerViewDlg::certificateFields(const QByteArray& der) {
    // Parsed as the certificate list parses it: what the list shows opens here.
    const X509Ptr cert = OpensslOperate::getX509Data(der);
    if (!cert) return {};
    const int sigNid = X509_get_signature_nid(cert.get());
    return {
        {QStringLiteral("使用者"), kelvane::shownFullName(X509_get_subject_name(cert.get()))},
        {QStringLiteral("颁发者"), kelvane::shownFullName(X509_get_issuer_name(cert.get()))},
        {QStringLiteral("版本"), QString::number(X509_get_version(cert.get()) + 1)},
        {QStringLiteral("序列号"), OpensslOperate::serialHex(cert.get())},
        {QStringLiteral("有效期自"), timeText(X509_get0_notBefore(cert.get()))},
        {QStringLiteral("有效期至"), timeText(X509_get0_notAfter(cert.get()))},
        {QStringLiteral("签名算法"), QString::fromLatin1(sigNid != NID_undef ? OBJ_nid2ln(sigNid) : "?")},
        {QStringLiteral("公钥"), keyText(cert.get())},
        {QStringLiteral("SHA-256 指纹"), digestText(cert.get(), EVP_sha256())},
        {QStringLiteral("SHA-1 指纹"), digestText(cert.get(), EVP_sha1())},
    };
}

CerViewDlg::CerViewDlg(const QByteArray& der, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("证书"));
    m_fields = certificateFields(der);
    m_valid = !m_fields.isEmpty();

    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight);
    for (const auto& [caption, value] : m_fields) {
        auto* text = new QLabel(value);
        // Names come from whoever made the certificate: never markup.
        text->setTextFormat(Qt::PlainText);
        text->setTextInteractionFlags(Qt::TextSelectableByMouse);
        text->setWordWrap(true);
        text->setMinimumWidth(360);
        form->addRow(caption + QStringLiteral("："), text);
    }
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* close = buttons->addButton(QStringLiteral("关闭"), QDialogButtonBox::AcceptRole);
    close->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}
