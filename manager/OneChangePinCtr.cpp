#include "OneChangePinCtr.h"

#include <openssl/crypto.h>

#include <QCloseEvent>
#include <QPointer>

#include "PinPolicy.h"
#include "Qd_MacIntf.h"
#include "platform/accessible.h"
#include "ui_OneChangePinCtr.h"

namespace {
// Never released: the dialog lives as long as the process, like the system's.
QPointer<OneChangePinCtr> g_shared;
}  // namespace

OneChangePinCtr* OneChangePinCtr::sharedConfgCtr() {
    if (!g_shared) g_shared = new OneChangePinCtr;
    return g_shared;
}

void OneChangePinCtr::closeShared() {
    if (g_shared && g_shared->isVisible()) g_shared->reject();
}

OneChangePinCtr::OneChangePinCtr(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::OneChangePinCtr>()) {
    ui->setupUi(this);
    setFixedSize(size());
    // OK must not fire on Return before the fields are filled.
    ui->okBtn->setAutoDefault(false);
    ui->noBtn->setAutoDefault(false);
    for (QLineEdit* field : {ui->oldPinTf, ui->newOnePinTf, ui->newTwoPinTf}) {
        connect(field, &QLineEdit::textEdited, this, [this, field] { controlTextDidChange(field); });
    }
    connect(ui->okBtn, &QPushButton::clicked, this, &OneChangePinCtr::okBtnAction);
    connect(ui->noBtn, &QPushButton::clicked, this, &OneChangePinCtr::noPushAct);
    ui->okBtn->setEnabled(false);
    platform::nameFromLabel(ui->oldPinTf, ui->oldCap);
    platform::nameFromLabel(ui->newOnePinTf, ui->newOneCap);
    platform::nameFromLabel(ui->newTwoPinTf, ui->newTwoCap);
    // The meter's name is its text, the rating of this moment; its caption
    // says what is rated.
    ui->mimaQd->setAccessibleDescription(platform::captionName(ui->mimaCap->text()));
}

OneChangePinCtr::~OneChangePinCtr() = default;

QLineEdit* OneChangePinCtr::oldPinTf() const { return ui->oldPinTf; }
QLineEdit* OneChangePinCtr::newOnePinTf() const { return ui->newOnePinTf; }
QLineEdit* OneChangePinCtr::newTwoPinTf() const { return ui->newTwoPinTf; }
QPushButton* OneChangePinCtr::okBtn() const { return ui->okBtn; }
QPushButton* OneChangePinCtr::noBtn() const { return ui->noBtn; }
QLabel* OneChangePinCtr::mimaQd() const { return ui->mimaQd; }

void OneChangePinCtr::cshViw() {
    ui->okBtn->setEnabled(false);
    clearAll();
    ui->oldPinTf->setFocus();
}

void OneChangePinCtr::clearAll() {
    ui->mimaQd->clear();
    for (QLineEdit* field : {ui->oldPinTf, ui->newOnePinTf, ui->newTwoPinTf}) field->clear();
}

void OneChangePinCtr::controlTextDidChange(QLineEdit* field) {
    kelvane::applyPinEdit(kelvane::MeterWindow::FirstChange, field, ui->oldPinTf, ui->newOnePinTf,
                          ui->newTwoPinTf, nullptr, ui->mimaQd, ui->okBtn);
}

void OneChangePinCtr::okBtnAction() {
    QString oldText = ui->oldPinTf->text();
    QString newOne = ui->newOnePinTf->text();
    QString newTwo = ui->newTwoPinTf->text();
    if (!Qd_MacIntf().chackPswd(oldText, newOne, newTwo)) {
        // The old PIN stays for the next try.
        ui->mimaQd->clear();
        ui->newOnePinTf->clear();
        ui->newTwoPinTf->clear();
    } else {
        if (Qd_MacIntf().changeModf(oldText, newOne, newTwo)) accept();
        clearAll();
    }
    for (QString* pin : {&oldText, &newOne, &newTwo}) {
        OPENSSL_cleanse(pin->data(), static_cast<size_t>(pin->size()) * sizeof(QChar));
    }
}

void OneChangePinCtr::noPushAct() { reject(); }

void OneChangePinCtr::closeEvent(QCloseEvent* event) {
    // The close box stops the modal loop like cancel does.
    reject();
    event->accept();
}
