#include "MailWinCtr.h"

#include <openssl/crypto.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QStringListModel>
#include <QSysInfo>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "BankSite.h"
#include "BusyWait.h"
#include "CerViewDlg.h"
#include "CertName.h"
#include "EndModal.h"
#include "KeyArrival.h"
#include "NameLabel.h"
#include "OneChangePinCtr.h"
#include "OneUseWdCtr.h"
#include "PinPolicy.h"
#include "ViewTag.h"
#include "alert.h"
#include "platform/accessible.h"
#include "platform/log.h"
#include "platform/windowstyle.h"
#include "ui_MailWinCtr.h"

#ifndef QD_APP_VERSION
#define QD_APP_VERSION "1.0"
#endif

using kelvane::alert;
using platform::logLinef;

namespace {

constexpr char kNoDevice[] = "没有设备";
constexpr char kDashes[] = "----------------";
constexpr char kConnected[] = "已连接";
constexpr char kRetryFormat[] = "口令重试次数为%1次";
constexpr char kNoKeyFound[] = "没有检查到设备！刷新试试？";
constexpr char kSeveralKeys[] = "系统监测到有多只key，仅支持单只key管理，请拔掉其他key";
constexpr char kConnectFailed[] = "连接设备失败，请重新插入设备或重启程序！";
constexpr char kNoCertificate[] = "此设备没有证书！";
constexpr char kSelectCertificate[] = "请选择证书！";
constexpr char kNoCertificates[] = "没有证书！";
constexpr char kBadCertificate[] = "证书格式错误，无法查看！";

// Panel frames: origin (5, 3) from the bottom-left corner of the content,
// 375 x 260, as the window resource lays them out.
constexpr int kPanelWidth = 375;
constexpr int kPanelHeight = 260;
constexpr int kPanelLeft = 5;
constexpr int kPanelBottom = 3;
// Size of the window's content below the menu bar.
constexpr int kContentWidth = 385;
constexpr int kContentHeight = 335;

// Device facts handed from the arrival work to the window.
constexpr char kFactSerial[] = "xlh";
constexpr char kFactRetry[] = "chongxin";

// Serial number text: the bytes up to the first NUL within the reported
// length (never beyond the buffer); empty when they are not UTF-8.
QString certificateRowText(const CertificateRecord& rec, const kelvane::ShownNames& names) {
    // "%@(%@)" of the kind and "%@'s %@ ID" of subject and issuer.
    const QString who = QStringLiteral("%1's %2 ID").arg(names.subject, names.issuer);
    return QStringLiteral("%1(%2)").arg(rec.value(CertKey::cerState).toString(), who);
}

// Rows that show their whole text when pointed at (a row is often cut),
// as text even where a name looks like markup.
class RowsWithTips : public QStringListModel {
public:
    using QStringListModel::QStringListModel;
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::ToolTipRole) return QStringListModel::data(index, role);
        return NameLabel::plainTip(QStringListModel::data(index, Qt::DisplayRole).toString());
    }
};

void setBorder(QWidget* tab, bool border) {
    if (auto* button = qobject_cast<QPushButton*>(tab)) button->setFlat(!border);
}

}  // namespace

MailWinCtr::MailWinCtr(QWidget* parent) : QMainWindow(parent), ui(std::make_unique<Ui::MailWinCtr>()) {
    ui->setupUi(this);
    ui->centralwidget->setFixedSize(kContentWidth, kContentHeight);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // 1. Data sources: the combo box always holds one item, the tables start empty.
    ui->nameComBox->addItem(QString());
    connect(ui->nameComBox, &QComboBox::currentIndexChanged, this, [] { platform::logLine("dj"); });
    cerModel = new RowsWithTips(this);
    wzModel = new QStringListModel(this);
    for (auto [table, model] : {std::pair{ui->cerTabVw, cerModel}, std::pair{ui->wzAddressTabVw, wzModel}}) {
        table->setModel(model);
        table->horizontalHeader()->setVisible(false);
        table->horizontalHeader()->setStretchLastSection(true);
        table->verticalHeader()->setVisible(false);
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        table->setSelectionBehavior(QAbstractItemView::SelectRows);
        table->setSelectionMode(QAbstractItemView::SingleSelection);
        table->setShowGrid(false);
        table->setWordWrap(false);
        table->setTextElideMode(Qt::ElideRight);
        table->verticalHeader()->setDefaultSectionSize(22);
    }
    connect(ui->cerTabVw->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MailWinCtr::certificateSelectionChanged);
    connect(ui->cerTabVw, &QTableView::pressed, this,
            [this](const QModelIndex& i) { certificateRowPressed(i.row()); });
    for (QLineEdit* field : {ui->oldPin, ui->newOnePin, ui->newTwoPin}) {
        connect(field, &QLineEdit::textEdited, this, [this, field] { controlTextDidChange(field); });
    }

    // Names a screen reader speaks: the captions beside the controls, read
    // through their buddies.
    platform::nameFromLabel(ui->nameComBox, ui->keyCaption);
    platform::nameFromLabel(ui->oldPin, ui->oldPinCaption);
    platform::nameFromLabel(ui->newOnePin, ui->newOnePinCaption);
    platform::nameFromLabel(ui->newTwoPin, ui->newTwoPinCaption);
    // A table takes no name from a buddy: it gets its caption's text, as the
    // two controls below get the texts that name them.
    ui->wzAddressTabVw->setAccessibleName(platform::captionName(ui->wzCaption->text()));
    // The address field sits under the list, beside its "添加" button.
    ui->addAddress->setAccessibleName(ui->addWzAddressBtn->text() +
                                      platform::captionName(ui->wzCaption->text()));
    // The certificate list has no caption of its own: its panel's tab names it.
    ui->cerTabVw->setAccessibleName(ui->tabCert->text());

    // Actions.
    for (int tag : {MailTag::tabDevice, MailTag::tabPin, MailTag::tabCert}) {
        auto* tab = qobject_cast<QAbstractButton*>(view(tag));
        connect(tab, &QAbstractButton::clicked, this, [this, tab] { devxx(tab); });
    }
    connect(ui->refreshBtn, &QPushButton::clicked, this, &MailWinCtr::refreshBtb);
    connect(ui->hideBtn, &QPushButton::clicked, this, &MailWinCtr::hideWd);
    connect(ui->changeBtn, &QPushButton::clicked, this, &MailWinCtr::changeModf);
    connect(ui->lookYCBtn, &QPushButton::clicked, this, &MailWinCtr::lookYC);
    connect(ui->addWzAddressBtn, &QPushButton::clicked, this, &MailWinCtr::addWzAddress);
    connect(ui->addAddress, &QLineEdit::returnPressed, this, &MailWinCtr::addWzAddress);
    connect(ui->deleteWzAddressBtn, &QPushButton::clicked, this, &MailWinCtr::deleteWzAddress);

    // 2. Only the device tab shows at first, without a border.
    setBorder(view(MailTag::tabDevice), false);
    view(MailTag::tabPin)->hide();
    view(MailTag::tabCert)->hide();

    // 3. Versions of the system and of the application.
    kelvane::setTagText(this, MailTag::osVersion, QSysInfo::prettyProductName());
    const QString version = QCoreApplication::applicationVersion();
    kelvane::setTagText(this, MailTag::appVersion,
                        version.isEmpty() ? QStringLiteral(QD_APP_VERSION) : version);

    // 4. The three panels share one frame; only the device panel shows.
    boxAry = {ui->sbBox, ui->pinBox, ui->cerBox};
    const int top = kContentHeight - kPanelBottom - kPanelHeight;
    for (QWidget* panel : boxAry) panel->setGeometry(kPanelLeft, top, kPanelWidth, kPanelHeight);
    ui->pinBox->hide();
    ui->cerBox->hide();
}

MailWinCtr::~MailWinCtr() = default;

template <typename F>
void MailWinCtr::onMain(F&& fn) {
    QMetaObject::invokeMethod(this, std::forward<F>(fn), Qt::QueuedConnection);
}

// ---- Views ------------------------------------------------------------------

QWidget* MailWinCtr::view(int tag) const { return kelvane::viewWithTag(const_cast<MailWinCtr*>(this), tag); }
QComboBox* MailWinCtr::nameComBox() const { return ui->nameComBox; }
QTableView* MailWinCtr::cerTabVw() const { return ui->cerTabVw; }
QTableView* MailWinCtr::wzAddressTabVw() const { return ui->wzAddressTabVw; }
QLineEdit* MailWinCtr::addAddress() const { return ui->addAddress; }
QLineEdit* MailWinCtr::oldPin() const { return ui->oldPin; }
QLineEdit* MailWinCtr::newOnePin() const { return ui->newOnePin; }
QLineEdit* MailWinCtr::newTwoPin() const { return ui->newTwoPin; }
QLabel* MailWinCtr::oldPinQd() const { return ui->oldPinQd; }
QLabel* MailWinCtr::newPinQd() const { return ui->newPinQd; }
QWidget* MailWinCtr::box(int i) const { return boxAry.value(i); }
QAction* MailWinCtr::aboutAction() const { return ui->actionAbout; }
QAction* MailWinCtr::quitAction() const { return ui->actionQuit; }
OneUseWdCtr* MailWinCtr::oneUseWindow() const { return oneUse.get(); }

// ---- Arrival ----------------------------------------------------------------

void MailWinCtr::addCov(QObject* loop) {
    // On a watch thread the delay runs on that thread's own event loop, so the
    // token work stays off the main thread; without one, on the main thread's.
    QObject* context = (loop && loop->thread() == QThread::currentThread()) ? loop : this;
    QTimer::singleShot(200, context, [this] { addCovo(); });
}

void MailWinCtr::addCovo() {
    logLinef("设备插入");

    // Steps 2-12, the token work, on this thread; the bank's web site opens
    // through the desktop (main thread) as soon as the key takes the connect.
    kelvane::ArrivedKey key = kelvane::readArrivedKey([this] { onMain([] { kelvane::openBankSite(); }); });
    // An arrival that stopped early says why; the device panel shows no key
    // unless several keys are attached.
    const auto stopped = [this](const char* text, Arrival outcome, bool noDevice) {
        onMain([this, text, outcome, noDevice] {
            alert(QString::fromUtf8(text));
            if (noDevice) boxTtZ(false, {});
            emit arrivalHandled(outcome);
        });
    };
    switch (key.outcome) {
        case kelvane::ArrivedKey::Outcome::ForeignKey:
            // 3. A key of another product code: nothing at all.
            onMain([this] { emit arrivalHandled(Arrival::ForeignKey); });
            return;
        case kelvane::ArrivedKey::Outcome::NoDevice:
            stopped(kNoKeyFound, Arrival::NoDevice, true);
            return;
        case kelvane::ArrivedKey::Outcome::SeveralKeys:
            stopped(kSeveralKeys, Arrival::SeveralKeys, false);
            return;
        case kelvane::ArrivedKey::Outcome::ConnectFailed:
            stopped(kConnectFailed, Arrival::ConnectFailed, true);
            return;
        case kelvane::ArrivedKey::Outcome::Connected:
            break;
    }

    // 13. The list replaces the old one on the main thread, where the table reads it.
    onMain([this, list = std::move(key.certificates)]() mutable {
        const bool empty = list.isEmpty();
        setCertificates(std::move(list));
        if (empty) alert(QString::fromUtf8(kNoCertificate));
    });
    // 14. A key still on its first PIN invites the user to change it.
    if (key.changePinFlag == 0) onMain([this] { showFirstUse(); });
    // 15-16. Device facts.
    QVariantMap facts{{kFactSerial, key.serial},
                      {kFactRetry, QString::fromUtf8(kRetryFormat).arg(static_cast<int>(key.retry))}};
    onMain([this, name = QString::fromUtf8(key.reader.c_str()), facts] {
        devName = name;
        reloadCombo();
        boxTtZ(true, facts);
        emit arrivalHandled(Arrival::Connected);
    });
}

void MailWinCtr::setCertificates(CertificateList list) {
    cerAry = std::move(list);
    // A new list invalidates the selected row.
    index = 0;
    // Names are shown as the certificates hold them; the records keep the
    // reader's one-line texts.
    cerNames.clear();
    QStringList rows;
    rows.reserve(cerAry.size());
    for (const CertificateRecord& rec : cerAry) {
        cerNames << kelvane::shownNames(rec.value(CertKey::cerDt).toByteArray());
        rows << certificateRowText(rec, cerNames.last());
    }
    cerModel->setStringList(rows);
}

void MailWinCtr::showFirstUse() {
    if (!oneUse) oneUse = std::make_unique<OneUseWdCtr>();
    if (platform::placesWindows()) {
        // Over the main window, where the user is looking.
        QRect frame = oneUse->frameGeometry();
        frame.moveCenter(frameGeometry().center());
        oneUse->move(frame.topLeft());
    }
    oneUse->show();
    platform::bringToFront(oneUse.get());
}

// ---- Removal ----------------------------------------------------------------

void MailWinCtr::subDev() {
    if (QThread::currentThread() == thread()) {
        subDevOnMain();
    } else {
        onMain([this] { subDevOnMain(); });
    }
}

void MailWinCtr::subDevOnMain() {
    // 1. No certificates.
    setCertificates({});
    // 2-3. The first-use window goes with the key, and so does whatever runs
    // modally: an alert that is up, the certificate viewer, a change
    // countdown, the first-change dialog; not the outcome of a PIN change.
    if (oneUse) oneUse->close();
    kelvane::endModal();
    // 4. No device name.
    devName.clear();
    reloadCombo();
    // 5. Empty details.
    for (int tag : {MailTag::cerState, MailTag::cerIssuer, MailTag::cerSubject, MailTag::cerValid}) {
        kelvane::setTagText(this, tag, QString());
    }
    // 6.
    boxTtZ(false, {});
}

void MailWinCtr::reloadCombo() {
    ui->nameComBox->setItemText(0, devName);
    ui->nameComBox->setCurrentIndex(0);
}

// ---- State display ----------------------------------------------------------

void MailWinCtr::boxTtZ(bool connected, const QVariantMap& facts) {
    QWidget* tabDevice = view(MailTag::tabDevice);
    QWidget* tabPin = view(MailTag::tabPin);
    QWidget* tabCert = view(MailTag::tabCert);
    if (!connected) {
        setPinFieldsVisible(false);
        tabDevice->show();
        setBorder(tabDevice, false);
        tabPin->hide();
        tabCert->hide();
        for (QWidget* panel : boxAry) panel->hide();
        ui->sbBox->show();
        kelvane::setTagText(this, MailTag::serial, QString::fromUtf8(kNoDevice));
        for (int tag : {MailTag::keyKind, MailTag::connState, MailTag::retryText}) {
            kelvane::setTagText(this, tag, QString::fromUtf8(kDashes));
        }
    } else {
        tabDevice->show();
        tabPin->show();
        tabCert->show();
        setBorder(tabDevice, false);
        setBorder(tabPin, true);
        setBorder(tabCert, true);
        kelvane::setTagText(this, MailTag::serial, facts.value(kFactSerial).toString());
        kelvane::setTagText(this, MailTag::connState, QString::fromUtf8(kConnected));
        kelvane::setTagText(this, MailTag::retryText, facts.value(kFactRetry).toString());
    }
    emit deviceStateShown(connected);
}

void MailWinCtr::devxx(QAbstractButton* sender) {
    if (!sender) return;
    const int tag = sender->property(kelvane::kTagProperty).toInt();
    if (tag < MailTag::tabDevice || tag > MailTag::tabCert) return;
    // 1. Every tab gets a border but the sender.
    for (int t : {MailTag::tabDevice, MailTag::tabPin, MailTag::tabCert}) setBorder(view(t), true);
    setBorder(sender, false);
    if (tag == MailTag::tabPin) {
        // 2.
        setPinFieldsVisible(true);
    } else {
        // 3. Leaving the PIN panel forgets what was typed.
        setPinFieldsVisible(false);
        clearPinFields();
        if (tag == MailTag::tabCert) {
            // Redraw only: the model already holds cerAry, and the user's
            // selected row stays selected, as `index` still names it.
            ui->cerTabVw->viewport()->update();
            if (!cerAry.isEmpty()) cerTextFdfz(index == 0 ? 0 : index - 1);
        }
    }
    // 4.
    for (QWidget* panel : boxAry) panel->hide();
    boxAry.at(tag - MailTag::tabDevice)->show();
}

void MailWinCtr::setPinFieldsVisible(bool visible) {
    for (QLineEdit* field : {ui->oldPin, ui->newOnePin, ui->newTwoPin}) field->setVisible(visible);
}

void MailWinCtr::clearPinFields() {
    for (QLineEdit* field : {ui->oldPin, ui->newOnePin, ui->newTwoPin}) field->clear();
    ui->oldPinQd->clear();
    ui->newPinQd->clear();
}

// ---- Certificates -----------------------------------------------------------

void MailWinCtr::certificateSelectionChanged() {
    const QModelIndexList rows = ui->cerTabVw->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        index = 0;
        return;
    }
    const int row = rows.last().row();
    index = row + 1;
    cerTextFdfz(row);
}

void MailWinCtr::certificateRowPressed(int row) {
    logLinef("%ld", static_cast<long>(row));
    if (row < 0 || row >= cerAry.size()) return;
    index = row + 1;
    cerTextFdfz(row);
}

void MailWinCtr::cerTextFdfz(int row) {
    // A row left over from an earlier list must not read past the new one.
    if (row < 0 || row >= cerAry.size()) return;
    const CertificateRecord& rec = cerAry.at(row);
    kelvane::setTagText(this, MailTag::cerState, rec.value(CertKey::cerState).toString());
    kelvane::setTagText(this, MailTag::cerIssuer, cerNames.at(row).issuer);
    kelvane::setTagText(this, MailTag::cerSubject, cerNames.at(row).subject);
    kelvane::setTagText(this, MailTag::cerValid, rec.value(CertKey::valid).toString());
}

void MailWinCtr::lookYC() {
    if (index == 0) {
        alert(QString::fromUtf8(kSelectCertificate));
        return;
    }
    logLinef("n :%ld", static_cast<long>(index - 1));
    if (cerAry.isEmpty()) {
        alert(QString::fromUtf8(kNoCertificates));
        platform::logLine(kNoCertificates);
        return;
    }
    if (index - 1 >= cerAry.size()) return;
    const QByteArray der = cerAry.at(index - 1).value(CertKey::cerDt).toByteArray();
    CerViewDlg dialog(der, this);
    if (!dialog.isValid()) {
        alert(QString::fromUtf8(kBadCertificate));
        return;
    }
    dialog.exec();
}

// ---- PIN --------------------------------------------------------------------

void MailWinCtr::controlTextDidChange(QLineEdit* field) {
    kelvane::applyPinEdit(kelvane::MeterWindow::Main, field, ui->oldPin, ui->newOnePin, ui->newTwoPin,
                          ui->oldPinQd, ui->newPinQd, nullptr);
}

void MailWinCtr::changeModf() {
    QString oldText = ui->oldPin->text();
    QString newOne = ui->newOnePin->text();
    QString newTwo = ui->newTwoPin->text();
    if (!Qd_MacIntf().chackPswd(oldText, newOne, newTwo)) {
        ui->newPinQd->clear();
        ui->newOnePin->clear();
        ui->newTwoPin->clear();
    } else {
        Qd_MacIntf().changeModf(oldText, newOne, newTwo);
        clearPinFields();
    }
    // Our copies of the PINs go as soon as the change is done with them.
    for (QString* pin : {&oldText, &newOne, &newTwo}) {
        OPENSSL_cleanse(pin->data(), static_cast<size_t>(pin->size()) * sizeof(QChar));
    }
}

// ---- Other actions ----------------------------------------------------------

void MailWinCtr::refreshBtb() {
    subDev();
    // The main thread waits for the arrival's token work, as it always has;
    // the work runs beside it so the window keeps painting meanwhile.
    QTimer::singleShot(300, this, [this] { kelvane::runBusy([this] { addCovo(); }); });
}

void MailWinCtr::hideWd() {
    // The desktop has no application-wide hide: the windows go to the task
    // bar, from where the user brings them back; the watch goes on.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->isWindow()) w->showMinimized();
    }
}

void MailWinCtr::addWzAddress() {
    const QString text = ui->addAddress->text();
    if (text.isEmpty()) return;
    wzAddressAry << text;
    wzModel->setStringList(wzAddressAry);
    logLinef("%s %lu", text.toUtf8().constData(), static_cast<unsigned long>(text.size()));
}

void MailWinCtr::deleteWzAddress() {
    // Removes the selected address (the list lives in memory only).
    const QModelIndexList rows = ui->wzAddressTabVw->selectionModel()->selectedRows();
    if (rows.isEmpty()) return;
    const int row = rows.first().row();
    if (row < 0 || row >= wzAddressAry.size()) return;
    wzAddressAry.removeAt(row);
    wzModel->setStringList(wzAddressAry);
}
