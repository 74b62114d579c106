// The main window: device, PIN and certificate panels chosen by three tab
// buttons, for the one key the application manages at a time.
//
// Threads: the window lives on the Qt main thread. addCov() and subDev() may
// be called from a USB watch thread; addCovo() (the token work of an arrival)
// runs on whichever thread calls it and hands every view change, alert and
// state write to the main thread through queued calls. All other members are
// main-thread only.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>
#include <memory>

#include "CertName.h"
#include "Qd_MacIntf.h"

class QAbstractButton;
class QComboBox;
class QLabel;
class QLineEdit;
class QStringListModel;
class QTableView;
class OneUseWdCtr;

namespace Ui {
class MailWinCtr;
}

// Tags of the views found by tag.
namespace MailTag {
inline constexpr int tabDevice = 34;
inline constexpr int tabPin = 35;
inline constexpr int tabCert = 36;
inline constexpr int serial = 1000;
inline constexpr int osVersion = 1001;
inline constexpr int keyKind = 1004;
inline constexpr int appVersion = 1005;
inline constexpr int connState = 1006;
inline constexpr int retryText = 1007;
inline constexpr int cerState = 1300;
inline constexpr int cerIssuer = 1301;
inline constexpr int cerSubject = 1302;
inline constexpr int cerValid = 1303;
}  // namespace MailTag

class MailWinCtr : public QMainWindow {
    Q_OBJECT
public:
    // How an arrival's work ended (see arrivalHandled).
    enum class Arrival { ForeignKey, NoDevice, SeveralKeys, ConnectFailed, Connected };
    Q_ENUM(Arrival)

    explicit MailWinCtr(QWidget* parent = nullptr);
    ~MailWinCtr() override;

    // ---- Events of the USB watch (any thread) ----
    // A key arrived: addCovo runs 0.2 s later on the event loop of `loop`, an
    // object living on the calling thread (the watch thread's), or on the
    // main thread's loop when loop is null or lives elsewhere.
    void addCov(QObject* loop = nullptr);
    // A key left: the removal handling, carried out on the main thread.
    void subDev();
    // The token work of an arrival, on the calling thread.
    void addCovo();

    // ---- Actions (main thread) ----
    void devxx(QAbstractButton* sender);
    void refreshBtb();
    void changeModf();
    void hideWd();
    void lookYC();
    void addWzAddress();
    void deleteWzAddress();

    // ---- Views (main thread; for the application and tests) ----
    QWidget* view(int tag) const;
    QComboBox* nameComBox() const;
    QTableView* cerTabVw() const;
    QTableView* wzAddressTabVw() const;
    QLineEdit* addAddress() const;
    QLineEdit* oldPin() const;
    QLineEdit* newOnePin() const;
    QLineEdit* newTwoPin() const;
    QLabel* oldPinQd() const;
    QLabel* newPinQd() const;
    QWidget* box(int index) const;  // 0 device, 1 PIN, 2 certificate panel
    QAction* aboutAction() const;
    QAction* quitAction() const;
    OneUseWdCtr* oneUseWindow() const;

    // ---- State read by the views (main thread) ----
    const CertificateList& certificates() const { return cerAry; }
    const QStringList& webAddresses() const { return wzAddressAry; }
    QString deviceName() const { return devName; }
    int selectedIndex() const { return index; }

    KPHANDLE hDev = nullptr;  // kept as the window's property; the window does not use it

signals:
    // After the last main-thread step of an arrival (also when it stopped early).
    void arrivalHandled(MailWinCtr::Arrival outcome);
    // After the device state was shown (boxTtZ).
    void deviceStateShown(bool connected);

private:
    void boxTtZ(bool connected, const QVariantMap& facts);
    void cerTextFdfz(int row);
    void subDevOnMain();
    void setCertificates(CertificateList list);
    void showFirstUse();
    void controlTextDidChange(QLineEdit* field);
    void clearPinFields();
    void setPinFieldsVisible(bool visible);
    void certificateSelectionChanged();
    void certificateRowPressed(int row);
    void reloadCombo();
    // Runs fn on the main thread after the calls queued before it.
    template <typename F>
    void onMain(F&& fn);

    std::unique_ptr<Ui::MailWinCtr> ui;
    QStringListModel* cerModel = nullptr;
    QStringListModel* wzModel = nullptr;
    QList<QWidget*> boxAry;

    QString devName;
    CertificateList cerAry;
    QList<kelvane::ShownNames> cerNames;  // names of cerAry's rows as a person reads them
    int index = 0;                        // selected certificate row + 1; 0 = none
    QStringList wzAddressAry;
    std::unique_ptr<OneUseWdCtr> oneUse;
};
