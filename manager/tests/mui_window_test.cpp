// The key manager's windows, driven as a user would on the offscreen
// platform, against simulated keys (a fresh state folder per test). Alerts
// are recorded instead of shown.
#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTableView>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "AboutWinCtr.h"
#include "AppDelegate.h"
#include "CerViewDlg.h"
#include "MailWinCtr.h"
#include "NameLabel.h"
#include "OneChangePinCtr.h"
#include "OneUseWdCtr.h"
#include "Qd_MacIntf.h"
#include "ViewTag.h"
#include "alert.h"
#include "core_support.h"
#include "mui_app.h"
#include "mui_support.h"
#include "platform/accessible.h"
#include "platform/tests/secret_watch.h"
#include "sim/token/keysim_gtest.h"
#include "token/Func_init.h"

using muitest::keysim;
using muitest::waitFor;

namespace {

[[maybe_unused]] ::testing::Environment* const g_qt =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment<QApplication>("mui_window_tests"));

const QString kNoDevice = QStringLiteral("没有设备");
const QString kDashes = QStringLiteral("----------------");
const QString kSeveralKeys = QStringLiteral("系统监测到有多只key，仅支持单只key管理，请拔掉其他key");
const QString kNoCert = QStringLiteral("此设备没有证书！");

// The two colours of the meter that tell a user most: strong and warning.
const QColor kStrong = QColor::fromRgbF(0.059f, 0.663f, 0.0f, 1.0f);

// What a person reads in a tooltip: text that looks like markup is taken
// for markup, so this is the text such a tooltip shows.
QString tipAsRead(const QString& tip) {
    if (!Qt::mightBeRichText(tip)) return tip;
    QTextDocument doc;
    doc.setHtml(tip);
    return doc.toPlainText();
}

class MuiWindow : public ::testing::Test {
protected:
    void SetUp() override { Qd_MacIntf::setCountdownTick(std::chrono::milliseconds(20)); }
    void TearDown() override {
        delegate.reset();
        for (QWidget* w : QApplication::topLevelWidgets()) w->hide();
    }

    // A key with the given facts; plugged in when asked.
    static void makeKey(const QString& name, const QString& serial, bool demo, bool plug,
                        const QStringList& extra = {}) {
        QStringList create{QStringLiteral("create")};
        if (demo) create << QStringLiteral("--demo");
        ASSERT_EQ(keysim(create << name), 0);
        // The demo key comes plugged in; hold it back while it is set up.
        if (demo) {
            ASSERT_EQ(keysim({"unplug", name}), 0);
        }
        ASSERT_EQ(keysim({"set", name, "serial", serial}), 0);
        ASSERT_EQ(keysim({"set", name, "changepin", "1"}), 0);
        for (qsizetype i = 0; i + 1 < extra.size(); i += 2) {
            ASSERT_EQ(keysim({"set", name, extra[i], extra[i + 1]}), 0);
        }
        if (plug) {
            ASSERT_EQ(keysim({"plug", name}), 0);
        }
    }

    void launch() {
        delegate = std::make_unique<AppDelegate>();
        delegate->applicationDidFinishLaunching();
        win = delegate->mailWinCtr();
        ASSERT_NE(win, nullptr);
    }

    QString tag(int t) const { return kelvane::tagText(win, t); }
    bool tabVisible(int t) const { return win->view(t)->isVisible(); }
    bool tabFlat(int t) const { return qobject_cast<QPushButton*>(win->view(t))->isFlat(); }
    QStringList certRows() const {
        return qobject_cast<QStringListModel*>(win->cerTabVw()->model())->stringList();
    }
    void clickTab(int t) { QTest::mouseClick(qobject_cast<QPushButton*>(win->view(t)), Qt::LeftButton); }
    bool connectedTo(const QString& serial) const { return tag(MailTag::serial) == serial; }
    // Types the three PINs into the PIN panel and presses its change button;
    // returns once the change is over (its outcome alert answered).
    void changePin(const QString& oldPin, const QString& newPin) {
        clickTab(MailTag::tabPin);
        QTest::keyClicks(win->oldPin(), oldPin);
        QTest::keyClicks(win->newOnePin(), newPin);
        QTest::keyClicks(win->newTwoPin(), newPin);
        QTest::mouseClick(win->findChild<QPushButton*>("changeBtn"), Qt::LeftButton);
    }
    static QWidget* tipWindow() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && w->windowTitle() == QString::fromUtf8(kTipWindowTitle)) return w;
        }
        return nullptr;
    }

    kpsim::testing::CheckedKeys sim;
    kelvane::AlertRecorder alerts;
    std::unique_ptr<AppDelegate> delegate;
    MailWinCtr* win = nullptr;
};

// ---- Arrival and removal --------------------------------------------------

TEST_F(MuiWindow, KeyPresentAtStartIsShownAndItsRemovalClearsTheWindow) {
    makeKey("demo", "QDTEST0001", true, true, {"tries", "4"});
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDTEST0001"); }));
    EXPECT_EQ(tag(MailTag::connState), QStringLiteral("已连接"));
    EXPECT_EQ(tag(MailTag::retryText), QStringLiteral("口令重试次数为4次"));
    EXPECT_TRUE(tabVisible(MailTag::tabPin));
    EXPECT_TRUE(tabVisible(MailTag::tabCert));
    EXPECT_TRUE(tabFlat(MailTag::tabDevice));
    EXPECT_FALSE(tabFlat(MailTag::tabPin));
    EXPECT_TRUE(win->box(0)->isVisible());
    // Two containers with both certificates, signing first in each.
    const QStringList rows = certRows();
    ASSERT_EQ(rows.size(), 4);
    EXPECT_TRUE(rows[0].startsWith(QStringLiteral("签名证书(")));
    EXPECT_TRUE(rows[1].startsWith(QStringLiteral("加密证书(")));
    EXPECT_TRUE(rows[0].endsWith(QStringLiteral(" ID)")));
    EXPECT_EQ(win->nameComBox()->count(), 1);
    EXPECT_FALSE(win->nameComBox()->itemText(0).isEmpty());
    EXPECT_TRUE(alerts.messages().isEmpty()) << alerts.messages().join('|').toStdString();
    EXPECT_EQ(win->oneUseWindow(), nullptr);  // changepin 1: no first-use window
    EXPECT_EQ(delegate->runningWatches(), 2);

    ASSERT_EQ(keysim({"unplug", "demo"}), 0);
    ASSERT_TRUE(waitFor([&] { return connectedTo(kNoDevice); }));
    EXPECT_EQ(tag(MailTag::keyKind), kDashes);
    EXPECT_EQ(tag(MailTag::connState), kDashes);
    EXPECT_EQ(tag(MailTag::retryText), kDashes);
    EXPECT_FALSE(tabVisible(MailTag::tabPin));
    EXPECT_FALSE(tabVisible(MailTag::tabCert));
    EXPECT_TRUE(certRows().isEmpty());
    EXPECT_TRUE(win->certificates().isEmpty());
    EXPECT_EQ(win->nameComBox()->count(), 1);
    EXPECT_TRUE(win->nameComBox()->itemText(0).isEmpty());

    // Plugged in again while running, as a key that answers only 100 ms
    // after it arrives: the settle delay before the arrival's work covers it.
    ASSERT_EQ(keysim({"set", "demo", "tries", "2"}), 0);
    ASSERT_EQ(keysim({"set", "demo", "fault", "notready:100"}), 0);
    ASSERT_EQ(keysim({"plug", "demo"}), 0);
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDTEST0001"); }))
        << alerts.messages().join('|').toStdString();
    EXPECT_EQ(tag(MailTag::retryText), QStringLiteral("口令重试次数为2次"));
    EXPECT_EQ(certRows().size(), 4);
    EXPECT_TRUE(alerts.messages().isEmpty()) << alerts.messages().join('|').toStdString();
}

// The outcome of a PIN change always reaches the user: pulling the key out
// ends other modal windows, not the alert that tells how the change ended.
TEST_F(MuiWindow, OutcomeAlertStaysWhenTheKeyIsPulledWhileItIsUp) {
    makeKey("demo", "QDOUT0001", true, true, {"keytype", "1", "button", "press:0"});
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDOUT0001"); }));
    kelvane::setAlertHook({});  // real alert boxes from here
    QString told;
    bool stayed = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !told.isEmpty()) return;
        told = box->text();
        EXPECT_EQ(box->windowTitle(), QStringLiteral("网盾"));
        EXPECT_EQ(keysim({"unplug", "demo"}), 0);
        EXPECT_TRUE(waitFor([&] { return connectedTo(kNoDevice); }, 5000));
        stayed = box->isVisible();
        if (box->isVisible()) box->buttons().first()->click();
    });
    poll.start(20);
    changePin(QStringLiteral("12345678"), QStringLiteral("abcdef12"));
    poll.stop();
    EXPECT_EQ(told, QStringLiteral("pin码修改成功"));
    EXPECT_TRUE(stayed) << "the key's removal took the outcome alert away";
    EXPECT_EQ(tag(MailTag::serial), kNoDevice);
}

TEST_F(MuiWindow, OutcomeAlertComesWhenTheKeyIsPulledWhileTheButtonIsAwaited) {
    // A cycle long enough that the key's answer and its removal both arrive
    // while the countdown pauses.
    Qd_MacIntf::setCountdownTick(std::chrono::milliseconds(500));
    makeKey("demo", "QDOUT0002", true, true, {"keytype", "2", "button", "wait"});
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDOUT0002"); }));
    kelvane::setAlertHook({});
    bool pulled = false;
    QString told;
    bool stayed = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!pulled && tipWindow()) {
            pulled = true;
            EXPECT_EQ(keysim({"unplug", "demo"}), 0);
            return;
        }
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !told.isEmpty()) return;
        told = box->text();
        // Up until the user answers it, whatever the removal does meanwhile.
        QTest::qWait(600);
        stayed = box->isVisible() && connectedTo(kNoDevice);
        if (box->isVisible()) box->buttons().first()->click();
    });
    poll.start(10);
    changePin(QStringLiteral("12345678"), QStringLiteral("abcdef12"));
    poll.stop();
    EXPECT_TRUE(pulled);
    EXPECT_EQ(told, QStringLiteral("修改密码失败！"));
    EXPECT_TRUE(stayed) << "no outcome alert stayed up after the key was pulled";
}

TEST_F(MuiWindow, SecondKeyIsRefusedAndRefreshConnectsTheOneLeft) {
    makeKey("first", "QDFIRST01", true, true);
    // The second key sits on the other watched vendor ID, so both watch threads work.
    makeKey("second", "QDSECOND2", false, false, {"vendor", "0x6A9F"});
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDFIRST01"); }));
    QSignalSpy handled(win, &MailWinCtr::arrivalHandled);

    ASSERT_EQ(keysim({"plug", "second"}), 0);
    ASSERT_TRUE(waitFor([&] { return alerts.messages().contains(kSeveralKeys); }));
    ASSERT_TRUE(waitFor([&] { return handled.count() >= 1; }));
    EXPECT_EQ(handled.at(0).at(0).value<MailWinCtr::Arrival>(), MailWinCtr::Arrival::SeveralKeys);
    // The window keeps the first key.
    EXPECT_EQ(tag(MailTag::serial), QStringLiteral("QDFIRST01"));
    EXPECT_EQ(certRows().size(), 4);

    ASSERT_EQ(keysim({"unplug", "first"}), 0);
    ASSERT_TRUE(waitFor([&] { return connectedTo(kNoDevice); }));

    alerts.clear();
    QTest::mouseClick(win->findChild<QPushButton*>("refreshBtn"), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDSECOND2"); }));
    // The second key has no certificate.
    ASSERT_TRUE(waitFor([&] { return alerts.messages().contains(kNoCert); }));
    EXPECT_TRUE(certRows().isEmpty());
}

TEST_F(MuiWindow, KeyOfAnotherProductCodeChangesNothing) {
    makeKey("other", "QDOTHER01", true, true, {"pcode", "1234"});
    launch();
    QSignalSpy handled(win, &MailWinCtr::arrivalHandled);
    ASSERT_TRUE(waitFor([&] { return handled.count() >= 1; }));
    EXPECT_EQ(handled.at(0).at(0).value<MailWinCtr::Arrival>(), MailWinCtr::Arrival::ForeignKey);
    QTest::qWait(50);
    EXPECT_TRUE(alerts.messages().isEmpty()) << alerts.messages().join('|').toStdString();
    EXPECT_EQ(tag(MailTag::serial), kNoDevice);
    EXPECT_FALSE(tabVisible(MailTag::tabPin));
}

TEST_F(MuiWindow, KeyWithoutCertificatesStillCountsAsConnected) {
    makeKey("bare", "QDBARE001", false, true);
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDBARE001"); }));
    ASSERT_TRUE(waitFor([&] { return alerts.messages().contains(kNoCert); }));
    EXPECT_EQ(alerts.messages().count(kNoCert), 1);
    EXPECT_EQ(tag(MailTag::retryText), QStringLiteral("口令重试次数为6次"));
    EXPECT_TRUE(tabVisible(MailTag::tabCert));
    clickTab(MailTag::tabCert);
    EXPECT_TRUE(win->box(2)->isVisible());
    EXPECT_TRUE(certRows().isEmpty());
    EXPECT_TRUE(tag(MailTag::cerState).isEmpty());

    // The viewer's guards.
    alerts.clear();
    QTest::mouseClick(win->findChild<QPushButton*>("lookYCBtn"), Qt::LeftButton);
    EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("请选择证书！")});
}

TEST_F(MuiWindow, PullingTheKeyOutEndsAnAlertThatIsUp) {
    makeKey("bare", "QDBARE002", false, true);
    kelvane::setAlertHook({});  // real alert boxes in this test
    // Runs inside the alert's modal loop: pull the key while the box is up.
    bool pulled = false;
    QElapsedTimer sincePull;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        if (pulled) {
            // Nobody else closes it: fail instead of hanging in its loop.
            if (sincePull.elapsed() > 5000) {
                ADD_FAILURE() << "the alert stayed up after the key was pulled";
                box->reject();
            }
            return;
        }
        EXPECT_EQ(box->text(), kNoCert);
        pulled = true;
        sincePull.start();
        EXPECT_EQ(keysim({"unplug", "bare"}), 0);
    });
    poll.start(20);
    launch();
    ASSERT_TRUE(
        waitFor([&] { return pulled && connectedTo(kNoDevice) && !QApplication::activeModalWidget(); }));
}

TEST_F(MuiWindow, RefreshWithNothingPluggedSaysSo) {
    launch();
    QTest::qWait(300);
    QTest::mouseClick(win->findChild<QPushButton*>("refreshBtn"), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return !alerts.messages().isEmpty(); }));
    EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("没有检查到设备！刷新试试？")});
    EXPECT_EQ(tag(MailTag::serial), kNoDevice);
}

TEST_F(MuiWindow, KeyThatCannotBeConnectedCountsAsNoDevice) {
    // Listed by the library but refusing connections: the reader filter
    // leaves it out, so the arrival finds no key.
    makeKey("broken", "QDBROKEN1", false, true, {"fault", "connect:0x0A000001"});
    launch();
    ASSERT_TRUE(waitFor([&] { return !alerts.messages().isEmpty(); }));
    EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("没有检查到设备！刷新试试？")});
    EXPECT_EQ(tag(MailTag::serial), kNoDevice);
}

TEST_F(MuiWindow, LengthsLargerThanTheBuffersAreNotReadPast) {
    // The library reports every length 512 bytes beyond the buffer it was given.
    makeKey("long", "QDLONG0001", true, true, {"fault", "overlong"});
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDLONG0001"); }));
    EXPECT_EQ(tag(MailTag::retryText), QStringLiteral("口令重试次数为6次"));
    EXPECT_EQ(win->nameComBox()->itemText(0), QStringLiteral("USBQdvKey long"));
    EXPECT_EQ(certRows().size(), 4);

    // Each certificate came padded to the buffer's end; the list shows it,
    // so the viewer opens it too.
    clickTab(MailTag::tabCert);
    win->cerTabVw()->selectRow(1);
    EXPECT_EQ(win->certificates().at(1).value("cerDt").toByteArray().size(), 4096);
    QStringList viewed;
    QTimer::singleShot(0, [&] {
        if (auto* dialog = qobject_cast<CerViewDlg*>(QApplication::activeModalWidget())) {
            viewed << dialog->fields().at(0).second;
            dialog->accept();
        }
    });
    QTest::mouseClick(win->findChild<QPushButton*>("lookYCBtn"), Qt::LeftButton);
    ASSERT_EQ(viewed.size(), 1) << alerts.messages().join('|').toStdString();
    EXPECT_TRUE(viewed.first().contains(QStringLiteral("张三"))) << viewed.first().toStdString();
    EXPECT_TRUE(alerts.messages().isEmpty()) << alerts.messages().join('|').toStdString();
}

TEST_F(MuiWindow, ListsWithoutTheirEndingAreWalkedAsTheBindingWalksThem) {
    // Name lists without their final empty name, filled to the last byte with
    // a junk name that has no NUL: the junk is not a key nor a container.
    makeKey("cut", "QDCUT00001", true, true, {"fault", "unterminated"});
    launch();
    ASSERT_TRUE(waitFor([&] { return win->nameComBox()->itemText(0) == QStringLiteral("USBQdvKey cut"); }))
        << alerts.messages().join('|').toStdString();
    EXPECT_EQ(tag(MailTag::connState), QStringLiteral("已连接"));
    EXPECT_EQ(certRows().size(), 4);
    for (const CertificateRecord& rec : win->certificates())
        EXPECT_FALSE(rec.value(CertKey::conNam).toString().contains(QLatin1Char('X')));
    EXPECT_TRUE(alerts.messages().isEmpty()) << alerts.messages().join('|').toStdString();
}

// ---- Certificates ---------------------------------------------------------

TEST_F(MuiWindow, CertificatePanelShowsDetailsAndTheViewer) {
    makeKey("demo", "QDTEST0002", true, true);
    launch();
    ASSERT_TRUE(waitFor([&] { return certRows().size() == 4; }));

    // Nothing selected: the panel shows the first row, the viewer refuses.
    clickTab(MailTag::tabCert);
    EXPECT_TRUE(win->box(2)->isVisible());
    EXPECT_FALSE(win->box(0)->isVisible());
    EXPECT_TRUE(tabFlat(MailTag::tabCert));
    EXPECT_FALSE(tabFlat(MailTag::tabDevice));
    EXPECT_EQ(tag(MailTag::cerState), QStringLiteral("签名证书"));
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^\\d{8}-\\d{8}$")).match(tag(MailTag::cerValid)).hasMatch())
        << tag(MailTag::cerValid).toStdString();
    const QString firstSubject = tag(MailTag::cerSubject);
    EXPECT_FALSE(firstSubject.isEmpty());
    QTest::mouseClick(win->findChild<QPushButton*>("lookYCBtn"), Qt::LeftButton);
    EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("请选择证书！")});

    // Selecting the second row fills the details from it.
    win->cerTabVw()->selectRow(1);
    EXPECT_EQ(win->selectedIndex(), 2);
    EXPECT_EQ(tag(MailTag::cerState), QStringLiteral("加密证书"));
    EXPECT_EQ(tag(MailTag::cerIssuer), QStringLiteral("中国某某银行测试CA"));

    // The viewer lists the certificate's fields and closes with "关闭".
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<CerViewDlg*>(QApplication::activeModalWidget());
        if (!dialog) return;
        seen = true;
        QStringList captions;
        for (const auto& f : dialog->fields()) captions << f.first;
        EXPECT_TRUE(captions.contains(QStringLiteral("使用者")));
        EXPECT_TRUE(captions.contains(QStringLiteral("序列号")));
        // Chinese names read as text here, not as escapes.
        EXPECT_TRUE(dialog->fields().at(0).second.contains(QStringLiteral("张三")))
            << dialog->fields().at(0).second.toStdString();
        QPushButton* close = nullptr;
        for (auto* b : dialog->findChildren<QPushButton*>()) {
            if (b->text() == QStringLiteral("关闭")) close = b;
        }
        ASSERT_NE(close, nullptr);
        QTest::mouseClick(close, Qt::LeftButton);
    });
    QTest::mouseClick(win->findChild<QPushButton*>("lookYCBtn"), Qt::LeftButton);
    EXPECT_TRUE(seen);
    EXPECT_EQ(alerts.messages().size(), 1);

    // Leaving the panel and coming back keeps the selected row, highlighted.
    clickTab(MailTag::tabDevice);
    clickTab(MailTag::tabCert);
    EXPECT_EQ(win->selectedIndex(), 2);
    const QModelIndexList selected = win->cerTabVw()->selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected.first().row(), 1);
    EXPECT_EQ(tag(MailTag::cerState), QStringLiteral("加密证书"));

    // Pulling the key out while the viewer is up ends the viewer, and the
    // removal empties the details and the selection.
    bool viewerEnded = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<CerViewDlg*>(QApplication::activeModalWidget());
        if (!dialog) return;
        EXPECT_EQ(keysim({"unplug", "demo"}), 0);
        viewerEnded = waitFor([&] { return !dialog->isVisible(); }, 5000);
        if (!viewerEnded) dialog->reject();
    });
    QTest::mouseClick(win->findChild<QPushButton*>("lookYCBtn"), Qt::LeftButton);
    EXPECT_TRUE(viewerEnded);
    ASSERT_TRUE(waitFor([&] { return connectedTo(kNoDevice); }));
    EXPECT_EQ(win->selectedIndex(), 0);
    for (int t : {MailTag::cerState, MailTag::cerIssuer, MailTag::cerSubject, MailTag::cerValid}) {
        EXPECT_TRUE(tag(t).isEmpty()) << t;
    }
    EXPECT_FALSE(win->box(2)->isVisible());
    EXPECT_TRUE(win->box(0)->isVisible());
}

// Names wider than their field are cut at a whole character or escape and
// end with "…"; the tooltip shows the whole name, readable.
TEST_F(MuiWindow, LongCertificateNamesAreElidedWithTheWholeNameInTheTooltip) {
    makeKey("names", "QDNAMES01", false, false);
    const std::string subject = "中国工商银行股份有限公司北京市分行营业部客户张三";
    const std::string issuer = "中国金融认证中心测试证书颁发机构第二代国密算法根证书";
    const QByteArray der = coretest::makeCert(subject, issuer);
    const std::string file = coretest::writeFile(sim.dir(), "long.der", der);
    ASSERT_EQ(keysim({"import", "names", "con", "sign", QString::fromStdString(file)}), 0);
    ASSERT_EQ(keysim({"plug", "names"}), 0);
    launch();
    ASSERT_TRUE(waitFor([&] { return certRows().size() == 1; }));
    clickTab(MailTag::tabCert);
    win->cerTabVw()->selectRow(0);

    for (auto [t, name] : {std::pair{MailTag::cerSubject, subject}, std::pair{MailTag::cerIssuer, issuer}}) {
        SCOPED_TRACE(t);
        auto* label = qobject_cast<QLabel*>(win->view(t));
        ASSERT_NE(label, nullptr);
        // The record keeps the reader's text, escapes and all; the field
        // shows the name as characters.
        const QString raw =
            win->certificates().at(0).value(t == MailTag::cerSubject ? "sub" : "isser").toString();
        ASSERT_TRUE(raw.startsWith(QStringLiteral("\\x"))) << raw.toStdString();
        const QString full = tag(t);
        EXPECT_EQ(full, QString::fromStdString(name));

        // Drawn: a prefix of whole characters, then "…", within the field.
        const QString shown = NameLabel::elided(full, label->fontMetrics(), label->contentsRect().width());
        ASSERT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
        const QString kept = shown.chopped(1);
        EXPECT_TRUE(full.startsWith(kept));
        EXPECT_GT(kept.size(), 0);
        EXPECT_LE(label->fontMetrics().horizontalAdvance(shown), label->contentsRect().width());
        // ... and that is what the field paints.
        QLabel plain(shown);
        plain.setFont(label->font());
        plain.setAlignment(label->alignment());
        plain.setPalette(label->palette());
        plain.resize(label->size());
        EXPECT_EQ(label->grab().toImage().convertToFormat(QImage::Format_RGB32),
                  plain.grab().toImage().convertToFormat(QImage::Format_RGB32));

        // Pointing at it shows the whole name as text.
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), label->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(label, &help);
        EXPECT_EQ(tipAsRead(QToolTip::text()), QString::fromStdString(name));
        QToolTip::hideText();
    }

    // The table row reads the same names, whole in its tooltip.
    const QModelIndex row = win->cerTabVw()->model()->index(0, 0);
    const QString rowText = row.data().toString();
    EXPECT_EQ(rowText, QStringLiteral("签名证书(%1's %2 ID)")
                           .arg(QString::fromStdString(subject), QString::fromStdString(issuer)));
    EXPECT_EQ(tipAsRead(row.data(Qt::ToolTipRole).toString()), rowText);

    // A cut that fits the width exactly is kept, after a whole escape (each
    // kind a name can show) and after a character outside the BMP; never
    // inside one, nor between its two halves.
    const struct {
        QString name;
        qsizetype piece;
    } cuts[] = {
        {QStringLiteral("\\xE5\\xBC\\xFF\\xE4\\xB8\\x89"), 4},
        {QStringLiteral("\\u202Eabcdefghijklmnopqrstuvwxyz"), 6},
        {QStringLiteral("\\U000E0041abcdefghijklmnopqrstuvwxyz"), 10},
        {QStringLiteral("\\\\xE5\\\\xBC\\\\xA0\\\\xE4"), 2},
        {QString::fromUtf8("\xF0\x9F\x94\x91\xF0\x9F\x94\x92\xF0\x9F\x94\x91\xF0\x9F\x94\x92"), 2},
    };
    for (const auto& [name, piece] : cuts) {
        const int exact = win->fontMetrics().horizontalAdvance(name.left(piece) + QChar(0x2026));
        EXPECT_EQ(NameLabel::elided(name, win->fontMetrics(), exact), name.left(piece) + QChar(0x2026))
            << name.toStdString();
        // A pixel less and the piece goes whole: nothing of it is drawn.
        EXPECT_EQ(NameLabel::elided(name, win->fontMetrics(), exact - 1), QString(QChar(0x2026)))
            << name.toStdString();
    }
    // A name that fits is drawn whole.
    EXPECT_EQ(NameLabel::elided(QStringLiteral("Test CA"), win->fontMetrics(), 270),
              QStringLiteral("Test CA"));
    // A half character at the very end is one piece, never read past.
    QString broken = QStringLiteral("Test CA Test CA Test CA");
    broken.append(QChar(0xD83D));
    const QString cut = NameLabel::elided(broken, win->fontMetrics(), 40);
    EXPECT_TRUE(cut.endsWith(QChar(0x2026)));
    EXPECT_TRUE(broken.startsWith(cut.chopped(1)));
}

// Everything a person reads of one certificate's names once its row is
// chosen: the row and its tooltip, the issuer and subject fields, their
// tooltips and what a screen reader hears of them, and the viewer's
// subject (its text, and what a screen reader hears of it).
struct NamesRead {
    QString row, rowTip, issuer, subject, issuerTip, subjectTip, issuerSpoken, subjectSpoken, viewer,
        viewerSpoken;
};

NamesRead readNames(MailWinCtr* win, int row) {
    NamesRead r;
    const QModelIndex cell = win->cerTabVw()->model()->index(row, 0);
    r.row = cell.data().toString();
    r.rowTip = tipAsRead(cell.data(Qt::ToolTipRole).toString());
    win->cerTabVw()->selectRow(row);
    for (auto [t, text, tip, spoken] :
         {std::tuple{MailTag::cerIssuer, &r.issuer, &r.issuerTip, &r.issuerSpoken},
          std::tuple{MailTag::cerSubject, &r.subject, &r.subjectTip, &r.subjectSpoken}}) {
        auto* label = qobject_cast<QLabel*>(win->view(t));
        *text = label->text();
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), label->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(label, &help);
        *tip = tipAsRead(QToolTip::text());
        QToolTip::hideText();
        *spoken = QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name);
    }
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<CerViewDlg*>(QApplication::activeModalWidget());
        if (!dialog) return;
        const QString subject = dialog->fields().at(0).second;
        for (QLabel* label : dialog->findChildren<QLabel*>()) {
            if (label->text() != subject) continue;
            r.viewer = subject;
            r.viewerSpoken = QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name);
        }
        dialog->accept();
    });
    QTest::mouseClick(win->findChild<QPushButton*>("lookYCBtn"), Qt::LeftButton);
    return r;
}

// Certificates made with names of every string type and with the texts that
// fooled the window before: each name is shown (and spoken) as the
// certificate holds it, converted from its own entries; the records keep
// the reader's one-line text byte for byte, where a literal backslash and
// an escape look the same.
TEST_F(MuiWindow, CertificateNamesAreShownAsTheCertificatesHoldThem) {
    const int utf8 = V_ASN1_UTF8STRING;
    const struct {
        const char* label;
        std::vector<coretest::NameEntry> subject;
        const char* shown;   // what the window shows
        const char* viewer;  // the viewer's subject field
        const char* record;  // the record's "sub"
    } cases[] = {
        {"UTF8String",
         {{"C", V_ASN1_PRINTABLESTRING, "CN"}, {"CN", utf8, "张三"}},
         "张三",
         "C = CN\nCN = 张三",
         "\\xE5\\xBC\\xA0\\xE4\\xB8\\x89"},
        {"BMPString",
         {{"CN", V_ASN1_BMPSTRING, std::string("\x67\x4E\x56\xDB", 4)}},
         "李四",
         "CN = 李四",
         "gNV\\xDB"},
        {"T61String", {{"CN", V_ASN1_T61STRING, "H\xE9l\xE8ne"}}, "Hélène", "CN = Hélène", "H\\xE9l\\xE8ne"},
        {"literal backslashes",
         {{"CN", utf8, "\\xE5\\xBC\\xA0\\xE4\\xB8\\x89"}},
         "\\\\xE5\\\\xBC\\\\xA0\\\\xE4\\\\xB8\\\\x89",
         "CN = \\\\xE5\\\\xBC\\\\xA0\\\\xE4\\\\xB8\\\\x89",
         "\\xE5\\xBC\\xA0\\xE4\\xB8\\x89"},
        {"slash inside", {{"CN", utf8, "ACME/Sales"}}, "ACME/Sales", "CN = ACME/Sales", "ACME\\/Sales"},
        {"entries after",
         {{"CN", utf8, "张三"}, {"O", utf8, "银行"}},
         "张三/O=银行",
         "CN = 张三\nO = 银行",
         "\\xE5\\xBC\\xA0\\xE4\\xB8\\x89/O=\\xE9\\x93\\xB6\\xE8\\xA1\\x8C"},
        {"no common name",
         {{"O", utf8, "Bank"}, {"OU", V_ASN1_BMPSTRING, std::string("\x67\x4E\x56\xDB", 4)}},
         "/O=Bank/OU=李四",
         "O = Bank\nOU = 李四",
         "/O=Bank/OU=gNV\\xDB"},
        {"line break", {{"CN", utf8, "Bob\nEvil"}}, "Bob\\u000AEvil", "CN = Bob\\u000AEvil", "Bob\\x0AEvil"},
        {"direction override",
         {{"CN", utf8,
           "invoice\xE2\x80\xAE"
           "fdp.exe"}},
         "invoice\\u202Efdp.exe",
         "CN = invoice\\u202Efdp.exe",
         "invoice\\xE2\\x80\\xAEfdp.exe"},
        {"leading BOM",
         {{"CN", utf8, "\xEF\xBB\xBF张三"}},
         "\\uFEFF张三",
         "CN = \\uFEFF张三",
         "\\xEF\\xBB\\xBF\\xE5\\xBC\\xA0\\xE4\\xB8\\x89"},
        {"beyond U+FFFF",  // a CJK character there, shown; a tag character, escaped
         {{"CN", utf8, "𠮷\xF3\xA0\x81\x81"}},
         "𠮷\\U000E0041",
         "CN = 𠮷\\U000E0041",
         "\\xF0\\xA0\\xAE\\xB7\\xF3\\xA0\\x81\\x81"},
        {"markup",
         {{"CN", utf8, "<b>张三</b>"}},
         "<b>张三</b>",
         "CN = <b>张三</b>",
         "<b>\\xE5\\xBC\\xA0\\xE4\\xB8\\x89<\\/b>"},
        {"not text", {{"CN", V_ASN1_BIT_STRING, "a\\b\x01"}}, "a\\\\b\\x01", "CN = a\\\\b\\x01", "a\\b\\x01"},
    };
    // One issuer for all: a "/" inside its common name, and an entry after it.
    const std::vector<coretest::NameEntry> issuer{
        {"CN", utf8, "Bank/Root CA"}, {"OU", V_ASN1_BMPSTRING, std::string("\x6D\x4B\x8B\xD5", 4)}};
    const QString issuerShown = QStringLiteral("Bank/Root CA/OU=测试");

    makeKey("names", "QDNAMES02", false, false);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const QByteArray der = coretest::makeCertNamed(cases[i].subject, issuer);
        const std::string file = coretest::writeFile(sim.dir(), "n" + std::to_string(i) + ".der", der);
        ASSERT_EQ(keysim({"import", "names", QStringLiteral("c%1").arg(i, 2, 10, QChar('0')), "sign",
                          QString::fromStdString(file)}),
                  0)
            << cases[i].label;
    }
    ASSERT_EQ(keysim({"plug", "names"}), 0);
    launch();
    ASSERT_TRUE(waitFor([&] { return certRows().size() == int(std::size(cases)); }));
    clickTab(MailTag::tabCert);

    for (int i = 0; i < int(std::size(cases)); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.label);
        const QString shown = QString::fromUtf8(c.shown);
        EXPECT_EQ(win->certificates().at(i).value("sub").toString(), QString::fromUtf8(c.record));
        EXPECT_EQ(win->certificates().at(i).value("isser").toString(),
                  QStringLiteral("Bank\\/Root CA/OU=mK\\x8B\\xD5"));
        const NamesRead r = readNames(win, i);
        EXPECT_EQ(r.row, QStringLiteral("签名证书(%1's %2 ID)").arg(shown, issuerShown));
        EXPECT_EQ(r.rowTip, r.row);
        EXPECT_EQ(r.subject, shown);
        EXPECT_EQ(r.subjectTip, shown);
        EXPECT_EQ(r.subjectSpoken, shown);
        EXPECT_EQ(r.issuer, issuerShown);
        EXPECT_EQ(r.issuerTip, issuerShown);
        EXPECT_EQ(r.issuerSpoken, issuerShown);
        EXPECT_EQ(r.viewer, QString::fromUtf8(c.viewer));
        EXPECT_EQ(r.viewerSpoken, r.viewer);
    }
    // A genuine 张三 and the ASCII text of its escapes share a record text,
    // never a shown name.
    EXPECT_EQ(win->certificates().at(0).value("sub"), win->certificates().at(3).value("sub"));
    EXPECT_NE(readNames(win, 0).subject, readNames(win, 3).subject);
    EXPECT_TRUE(alerts.messages().isEmpty()) << alerts.messages().join('|').toStdString();
}

// The certificates of the system's CA bundle, made by others: every name
// shows as the characters its one-line text escapes (none holds a backslash
// or a control character), in the rows, the fields and the viewer.
TEST_F(MuiWindow, CaBundleNamesAreShownAsTheirOneLineTextsEncode) {
    QFile bundle(QStringLiteral("/etc/ssl/certs/ca-certificates.crt"));
    ASSERT_TRUE(bundle.open(QIODevice::ReadOnly)) << "ca-certificates is installed by scripts/setup";
    const QByteArray pem = bundle.readAll();
    QList<QByteArray> certs;
    static constexpr char kEnd[] = "-----END CERTIFICATE-----";
    for (qsizetype from = 0, begin; (begin = pem.indexOf("-----BEGIN CERTIFICATE-----", from)) >= 0;) {
        const qsizetype end = pem.indexOf(kEnd, begin);
        ASSERT_GT(end, begin);
        certs << pem.mid(begin, end + qsizetype(sizeof kEnd) - 1 - begin) + '\n';
        from = end;
    }
    ASSERT_GE(certs.size(), 100);
    makeKey("bundle", "QDBUNDLE1", false, false);
    for (qsizetype i = 0; i < certs.size(); ++i) {
        const std::string file = coretest::writeFile(sim.dir(), "ca" + std::to_string(i) + ".pem", certs[i]);
        ASSERT_EQ(keysim({"import", "bundle", QStringLiteral("c%1").arg(i / 2), i % 2 ? "enc" : "sign",
                          QString::fromStdString(file)}),
                  0);
    }
    ASSERT_EQ(keysim({"plug", "bundle"}), 0);
    launch();
    // 144 certificates read one by one take longer than the usual wait in
    // the sanitizer's debug build on a busy machine.
    ASSERT_TRUE(waitFor([&] { return certRows().size() == certs.size(); }, 60000));
    clickTab(MailTag::tabCert);

    // The one-line text's escapes decoded: right for these names alone.
    const auto decoded = [](QString oneline) {
        QByteArray bytes;
        for (qsizetype i = 0; i < oneline.size();) {
            if (oneline.mid(i, 2) == QStringLiteral("\\x")) {
                bytes.append(char(oneline.mid(i + 2, 2).toInt(nullptr, 16)));
                i += 4;
            } else {
                bytes.append(oneline.mid(i, 1).toUtf8());
                ++i;
            }
        }
        return QString::fromUtf8(bytes);
    };
    int nonAscii = 0;
    QStringList subjects;
    for (int i = 0; i < certs.size(); ++i) {
        const CertificateRecord& rec = win->certificates().at(i);
        SCOPED_TRACE(rec.value("sub").toString().toStdString());
        const QString issuer = decoded(rec.value("isser").toString());
        const QString subject = decoded(rec.value("sub").toString());
        nonAscii += subject != rec.value("sub").toString();
        const NamesRead r = readNames(win, i);
        EXPECT_EQ(r.row,
                  QStringLiteral("%1(%2's %3 ID)").arg(rec.value("cerState").toString(), subject, issuer));
        EXPECT_EQ(r.rowTip, r.row);
        EXPECT_EQ(r.subject, subject);
        EXPECT_EQ(r.subjectTip, subject);
        EXPECT_EQ(r.subjectSpoken, subject);
        EXPECT_EQ(r.issuer, issuer);
        EXPECT_EQ(r.issuerSpoken, issuer);
        EXPECT_FALSE(r.viewer.contains(u'\\')) << r.viewer.toStdString();
        EXPECT_EQ(r.viewerSpoken, r.viewer);
        subjects << r.subject;
    }
    // Names in other scripts were among them, and names of other shapes.
    EXPECT_GE(nonAscii, 1);
    EXPECT_TRUE(subjects.contains(QStringLiteral("NetLock Arany (Class Gold) Főtanúsítvány")));
    EXPECT_TRUE(subjects.contains(QStringLiteral("ACCVRAIZ1/OU=PKIACCV/O=ACCV/C=ES")));
    EXPECT_TRUE(subjects.contains(
        QStringLiteral("/C=JP/O=SECOM Trust Systems CO.,LTD./OU=Security Communication RootCA2")));
}

// A screen reader hears each field by the caption beside it, and goes on
// hearing the caption when its text changes: the name is never a copy.
TEST_F(MuiWindow, FieldsAreNamedByTheCaptionBesideThem) {
    makeKey("demo", "QDTEST0009", false, false);
    launch();
    OneChangePinCtr* dlg = OneChangePinCtr::sharedConfgCtr();
    const struct {
        QWidget* field;
        QLabel* caption;
    } pairs[] = {
        {win->oldPin(), win->findChild<QLabel*>("oldPinCaption")},
        {win->newOnePin(), win->findChild<QLabel*>("newOnePinCaption")},
        {win->newTwoPin(), win->findChild<QLabel*>("newTwoPinCaption")},
        {win->nameComBox(), win->findChild<QLabel*>("keyCaption")},
        {dlg->oldPinTf(), dlg->findChild<QLabel*>("oldCap")},
        {dlg->newOnePinTf(), dlg->findChild<QLabel*>("newOneCap")},
        {dlg->newTwoPinTf(), dlg->findChild<QLabel*>("newTwoCap")},
    };
    for (const auto& [field, caption] : pairs) {
        ASSERT_NE(caption, nullptr);
        SCOPED_TRACE(caption->objectName().toStdString());
        EXPECT_EQ(caption->buddy(), field);
        QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(field);
        ASSERT_NE(a11y, nullptr);
        // A combo box is named by its item here; its caption is its "labelled by".
        const bool combo = qobject_cast<QComboBox*>(field) != nullptr;
        const auto labels = a11y->relations(QAccessible::Label);
        ASSERT_EQ(labels.size(), 1);
        EXPECT_EQ(labels.first().first->object(), caption);
        if (combo) continue;
        const QString before = caption->text();
        EXPECT_EQ(a11y->text(QAccessible::Name), before);
        caption->setText(QStringLiteral("改过的说明："));
        EXPECT_EQ(a11y->text(QAccessible::Name), QStringLiteral("改过的说明："));
        caption->setText(before);
    }
    // A prompt whose caption cannot be found names nothing, and fails nowhere.
    QLineEdit lone;
    platform::nameFromLabel(&lone, nullptr);
    EXPECT_TRUE(lone.accessibleName().isEmpty());
    // The list and the field beside the web-address caption, and the
    // certificate table named by its tab.
    EXPECT_EQ(win->wzAddressTabVw()->accessibleName(), QStringLiteral("常用网址"));
    EXPECT_EQ(win->addAddress()->accessibleName(), QStringLiteral("添加常用网址"));
    EXPECT_EQ(win->cerTabVw()->accessibleName(),
              qobject_cast<QAbstractButton*>(win->view(MailTag::tabCert))->text());
}

TEST_F(MuiWindow, ViewerRefusesBytesThatAreNotACertificate) {
    EXPECT_TRUE(CerViewDlg::certificateFields(QByteArray("not a certificate")).isEmpty());
    EXPECT_TRUE(CerViewDlg::certificateFields(QByteArray()).isEmpty());
}

TEST_F(MuiWindow, WebAddressTableGrowsOnlyForNonEmptyText) {
    makeKey("demo", "QDTEST0003", false, false);
    launch();
    QTest::keyClicks(win->addAddress(), "https://ebank.example.com/");
    QTest::mouseClick(win->findChild<QPushButton*>("addWzAddressBtn"), Qt::LeftButton);
    EXPECT_EQ(win->webAddresses(), QStringList{"https://ebank.example.com/"});
    win->addAddress()->clear();
    QTest::mouseClick(win->findChild<QPushButton*>("addWzAddressBtn"), Qt::LeftButton);
    EXPECT_EQ(win->webAddresses().size(), 1);
    win->wzAddressTabVw()->selectRow(0);
    QTest::mouseClick(win->findChild<QPushButton*>("deleteWzAddressBtn"), Qt::LeftButton);
    EXPECT_TRUE(win->webAddresses().isEmpty());
}

// ---- PIN panel ------------------------------------------------------------

TEST_F(MuiWindow, MetersFollowTheTypingInEachField) {
    makeKey("demo", "QDTEST0004", false, true);
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDTEST0004"); }));
    clickTab(MailTag::tabPin);
    ASSERT_TRUE(win->newOnePin()->isVisible());
    QLabel* oldQd = win->oldPinQd();
    QLabel* newQd = win->newPinQd();
    auto colour = [](QLabel* l) { return l->palette().color(QPalette::WindowText); };

    QTest::keyClicks(win->newOnePin(), "abc");
    EXPECT_EQ(newQd->text(), QStringLiteral("新密码强度：密码过短"));
    EXPECT_EQ(colour(newQd), QColor(Qt::red));
    EXPECT_TRUE(oldQd->text().isEmpty());
    QTest::keyClicks(win->newOnePin(), "123");
    EXPECT_EQ(newQd->text(), QStringLiteral("新密码强度：强"));
    EXPECT_EQ(colour(newQd), kStrong);

    // The old PIN has its own label and prefix.
    QTest::keyClicks(win->oldPin(), "111111");
    EXPECT_EQ(oldQd->text(), QStringLiteral("旧密码强度：弱"));
    EXPECT_EQ(colour(oldQd), QColor(Qt::black));
    EXPECT_EQ(newQd->text(), QStringLiteral("新密码强度：强"));

    // The repeat keeps the new PIN's strength while it matches so far.
    QTest::keyClicks(win->newTwoPin(), "abc");
    EXPECT_EQ(newQd->text(), QStringLiteral("新密码强度：强"));
    QTest::keyClicks(win->newTwoPin(), "x");
    EXPECT_EQ(newQd->text(), QStringLiteral("新密码强度：密码不一致"));
    EXPECT_EQ(colour(newQd), QColor(Qt::red));

    // Letters and symbols: medium, in blue.
    win->newTwoPin()->clear();
    win->newOnePin()->clear();
    QTest::keyClicks(win->newOnePin(), "abc!@#");
    EXPECT_EQ(newQd->text(), QStringLiteral("新密码强度：中"));
    EXPECT_EQ(colour(newQd), QColor(Qt::blue));

    // A 21st character goes again at once.
    QTest::keyClicks(win->oldPin(), "22222222222222222");
    EXPECT_EQ(win->oldPin()->text().size(), 20);

    // Leaving the panel forgets everything typed.
    clickTab(MailTag::tabCert);
    for (QLineEdit* f : {win->oldPin(), win->newOnePin(), win->newTwoPin()}) {
        EXPECT_TRUE(f->text().isEmpty());
        EXPECT_FALSE(f->isVisible());
    }
    EXPECT_TRUE(oldQd->text().isEmpty());
    EXPECT_TRUE(newQd->text().isEmpty());
}

TEST_F(MuiWindow, ChangeButtonKeepsTheOldPinOnARuleAndChangesTheKey) {
    makeKey("demo", "QDTEST0005", false, true, {"keytype", "1", "button", "press:0"});
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDTEST0005"); }));
    ASSERT_TRUE(waitFor([&] { return alerts.messages().contains(kNoCert); }));
    alerts.clear();
    clickTab(MailTag::tabPin);
    QPushButton* change = win->findChild<QPushButton*>("changeBtn");

    // Refused by a rule: only the new PINs and their label go.
    QTest::keyClicks(win->oldPin(), "12345678");
    QTest::keyClicks(win->newOnePin(), "abcdef12");
    QTest::keyClicks(win->newTwoPin(), "abcdef13");
    QTest::mouseClick(change, Qt::LeftButton);
    EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("两次新密码不一致！")});
    EXPECT_EQ(win->oldPin()->text(), QStringLiteral("12345678"));
    EXPECT_TRUE(win->newOnePin()->text().isEmpty());
    EXPECT_TRUE(win->newTwoPin()->text().isEmpty());
    EXPECT_TRUE(win->newPinQd()->text().isEmpty());

    // Accepted: the key's PIN changes and every field empties.
    alerts.clear();
    QTest::keyClicks(win->newOnePin(), "abcdef12");
    QTest::keyClicks(win->newTwoPin(), "abcdef12");
    QTest::mouseClick(change, Qt::LeftButton);
    EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("pin码修改成功")});
    for (QLineEdit* f : {win->oldPin(), win->newOnePin(), win->newTwoPin()}) EXPECT_TRUE(f->text().isEmpty());
    EXPECT_TRUE(win->oldPinQd()->text().isEmpty());
    QString shown;
    ASSERT_EQ(keysim({"show", "demo"}, &shown), 0);
    EXPECT_TRUE(shown.contains(QStringLiteral("abcdef12"))) << shown.toStdString();
}

// The serial number's buffer (64 bytes) at its edges, as a key shows it on
// arrival: one character, the largest a key holds (63, its last character
// shown), and a key that fills all 64 bytes without a NUL (fault
// "unterminated"): those 64 and nothing past them. A buffer one byte
// smaller, or a length cut by one, fails a row. The device panel shows the
// program's version beside them.
TEST_F(MuiWindow, SerialNumberBufferAtItsEdges) {
    const QString s63 = QString(62, QChar('S')) + QChar('Z');
    makeKey("demo", "Q", false, true);
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("Q"); }));
    EXPECT_EQ(tag(MailTag::appVersion), QStringLiteral(QD_APP_VERSION));
    const struct {
        QString serial;
        const char* fault;
        QString shown;
    } rows[] = {
        {s63, "none", s63},
        {s63, "unterminated", s63 + QChar('S')},
        {"1", "none", "1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.shown.toStdString());
        ASSERT_EQ(keysim({"unplug", "demo"}), 0);
        ASSERT_TRUE(waitFor([&] { return connectedTo(kNoDevice); }));
        ASSERT_EQ(keysim({"set", "demo", "serial", row.serial}), 0);
        ASSERT_EQ(keysim({"set", "demo", "fault", row.fault}), 0);
        ASSERT_EQ(keysim({"plug", "demo"}), 0);
        EXPECT_TRUE(waitFor([&] { return connectedTo(row.shown); })) << tag(MailTag::serial).toStdString();
    }
    EXPECT_EQ(tag(MailTag::appVersion), QStringLiteral(QD_APP_VERSION));
}

// The PIN change as a user makes it, typed into the panel and sent with its
// button: no block goes back to the heap still holding either PIN in UTF-8,
// the form handed to the key. The PINs never reach the simulator's heap (a
// wrong old PIN is only compared; a new PIN of 15 bytes stays inside its
// string), so a copy found is the program's.
TEST_F(MuiWindow, PinChangeFromThePanelLeavesNoCopyInFreedHeap) {
    makeKey("demo", "QDHEAP01", false, true, {"keytype", "1", "button", "press:0"});
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDHEAP01"); }));
    ASSERT_TRUE(waitFor([&] { return alerts.messages().contains(kNoCert); }));
    static const char oldPin[] = "OldPin4Nowhere8Zq";  // never the key's PIN
    static const char newPin[] = "Fresh2Pin9Copy7";    // 15 bytes
    int left = 6;
    for (const char* searched : {oldPin, newPin}) {
        SCOPED_TRACE(searched);
        alerts.clear();
        const long freed = secretwatch::copiesFreedDuring(searched, std::strlen(searched), [&] {
            changePin(QString::fromLatin1(oldPin), QString::fromLatin1(newPin));
        });
        EXPECT_EQ(freed, 0L);
        EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("旧密码错误，还有%1次机会！").arg(--left)});
        for (QLineEdit* f : {win->oldPin(), win->newOnePin(), win->newTwoPin()})
            EXPECT_TRUE(f->text().isEmpty());
    }
}

// ---- The main thread waiting for the key -------------------------------------

// While the main thread waits for the key, the windows keep painting, the
// pointer shows the wait and the user's clicks go nowhere.
struct BusyCase {
    const char* label;
    QStringList key;  // keysim settings of the key
    enum Action { KeyTypeOneChange, CountdownEndedByRemoval, RefreshOfASlowKey } action;
};
void PrintTo(const BusyCase& c, std::ostream* os) { *os << c.label; }

class MuiBusy : public MuiWindow, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(MuiBusy, WindowsPaintAndClicksAreDroppedWhileTheKeyIsAwaited) {
    const BusyCase& c = GetParam();
    makeKey("k", "QDBUSY001", false, true, c.key);
    launch();
    ASSERT_TRUE(waitFor([&] { return connectedTo("QDBUSY001"); }));
    ASSERT_TRUE(waitFor([&] { return alerts.messages().contains(kNoCert); }));
    alerts.clear();
    QSignalSpy noKeyShown(win, &MailWinCtr::deviceStateShown);

    // Samples what the user would see, every few milliseconds.
    bool tipSeen = false;
    bool waiting = false;  // in the part of the wait this case is about
    // An alert that comes up during the wait (the refreshed key has no
    // certificate) takes the user's click, under the ordinary pointer.
    if (c.action == BusyCase::RefreshOfASlowKey) kelvane::setAlertHook({});
    int alertCursor = -1;
    bool alertAnswered = false;
    // A window that opens during the wait and is no such alert takes no click.
    std::unique_ptr<QPushButton> lateWindow;
    int lateClicks = -1;
    int waitCursor = 0, paints = 0, clicksAfter = -1;
    auto busy = [] {
        const QCursor* cursor = QApplication::overrideCursor();
        return cursor && cursor->shape() == Qt::WaitCursor;
    };
    struct EventSpy : QObject {
        std::function<void(QObject*, QEvent*)> seen;
        bool eventFilter(QObject* o, QEvent* e) override {
            seen(o, e);
            return false;
        }
    } spy;
    spy.seen = [&](QObject* o, QEvent* e) {
        auto* w = qobject_cast<QWidget*>(o);
        if (waiting && e->type() == QEvent::Paint && w && w->window() == win) ++paints;
    };
    qApp->installEventFilter(&spy);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            box && alertCursor < 0) {
            auto shape = [] {
                return QApplication::overrideCursor() ? QApplication::overrideCursor()->shape()
                                                      : Qt::ArrowCursor;
            };
            (void)waitFor([&] { return shape() == Qt::ArrowCursor; },
                          1000);  // the pointer follows within a poll
            alertCursor = shape();
            QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
            alertAnswered = !box->isVisible();
            if (box->isVisible()) box->reject();
            return;
        }
        if (c.action == BusyCase::CountdownEndedByRemoval && !tipSeen && tipWindow()) {
            tipSeen = true;
            EXPECT_EQ(keysim({"unplug", "k"}), 0);
            return;
        }
        waiting = busy() && (c.action != BusyCase::CountdownEndedByRemoval || (tipSeen && !tipWindow()));
        if (!waiting) return;
        ++waitCursor;
        win->update();
        if (!lateWindow) {
            lateWindow = std::make_unique<QPushButton>(QStringLiteral("new"));
            lateClicks = 0;
            QObject::connect(lateWindow.get(), &QPushButton::clicked, [&] { ++lateClicks; });
            lateWindow->show();
            QTest::mouseClick(lateWindow.get(), Qt::LeftButton);
        }
        if (clicksAfter < 0) {
            // A click on refresh would empty the window at once (no key shown).
            const int before = static_cast<int>(noKeyShown.count());
            QTest::mouseClick(win->findChild<QPushButton*>("refreshBtn"), Qt::LeftButton);
            clicksAfter = static_cast<int>(noKeyShown.count()) - before;
        }
    });
    poll.start(10);
    switch (c.action) {
        case BusyCase::KeyTypeOneChange:
        case BusyCase::CountdownEndedByRemoval:
            changePin(QStringLiteral("12345678"), QStringLiteral("abcdef12"));
            break;
        case BusyCase::RefreshOfASlowKey:
            QTest::mouseClick(win->findChild<QPushButton*>("refreshBtn"), Qt::LeftButton);
            ASSERT_TRUE(waitFor([&] { return connectedTo("QDBUSY001"); }));
            break;
    }
    poll.stop();
    qApp->removeEventFilter(&spy);
    EXPECT_GT(waitCursor, 3) << "no wait cursor, or no event handled, while the key was awaited";
    EXPECT_GT(paints, 0) << "the window did not repaint while the key was awaited";
    EXPECT_EQ(clicksAfter, 0) << "a click during the wait reached the window";
    EXPECT_EQ(lateClicks, 0) << "a window that opened during the wait took a click";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the wait cursor stayed";
    if (c.action == BusyCase::RefreshOfASlowKey) {
        EXPECT_EQ(alertCursor, Qt::ArrowCursor) << "no alert, or the wait cursor over it";
        EXPECT_TRUE(alertAnswered) << "the alert did not take the click";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, MuiBusy,
    ::testing::Values(
        BusyCase{"key_type_1_change", {"keytype", "1", "button", "press:0.6"}, BusyCase::KeyTypeOneChange},
        BusyCase{"after_the_countdown",
                 {"keytype", "2", "button", "press:1.5"},
                 BusyCase::CountdownEndedByRemoval},
        BusyCase{"refresh_of_a_slow_key", {"fault", "slow:80"}, BusyCase::RefreshOfASlowKey}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- First use --------------------------------------------------------------

TEST_F(MuiWindow, FirstUseWindowComesWithAFirstPinKeyAndGoesWithIt) {
    makeKey("fresh", "QDFRESH01", false, true, {"changepin", "0"});
    launch();
    ASSERT_TRUE(waitFor([&] { return win->oneUseWindow() && win->oneUseWindow()->isVisible(); }));
    // The key's details may land just after the window shows (a slow build).
    EXPECT_TRUE(waitFor([&] { return connectedTo("QDFRESH01"); }));
    ASSERT_EQ(keysim({"unplug", "fresh"}), 0);
    ASSERT_TRUE(waitFor([&] { return !win->oneUseWindow()->isVisible(); }));
    EXPECT_EQ(tag(MailTag::serial), kNoDevice);
}

TEST_F(MuiWindow, FirstChangeDialogStartsEmptyMetersAndClosesWhenTheKeyGoes) {
    makeKey("fresh", "QDFRESH02", false, true, {"changepin", "0", "keytype", "1", "button", "press:0"});
    launch();
    ASSERT_TRUE(waitFor([&] { return win->oneUseWindow() && win->oneUseWindow()->isVisible(); }));
    ASSERT_TRUE(waitFor([&] { return alerts.messages().contains(kNoCert); }));
    alerts.clear();
    OneUseWdCtr* first = win->oneUseWindow();

    // Everything below runs inside the dialog's modal loop.
    bool ran = false;
    QTimer::singleShot(0, [&] {
        ran = true;
        OneChangePinCtr* dlg = OneChangePinCtr::sharedConfgCtr();
        EXPECT_TRUE(dlg->isVisible());
        EXPECT_EQ(QApplication::activeModalWidget(), dlg);
        EXPECT_FALSE(first->isVisible());
        EXPECT_FALSE(dlg->okBtn()->isEnabled());
        EXPECT_TRUE(dlg->mimaQd()->text().isEmpty());

        // The single label shows the word alone; OK waits for three fields of 6.
        QTest::keyClicks(dlg->oldPinTf(), "1234567");
        QTest::keyClicks(dlg->newOnePinTf(), "abc");
        EXPECT_EQ(dlg->mimaQd()->text(), QStringLiteral("密码过短"));
        QTest::keyClicks(dlg->newOnePinTf(), "123");
        EXPECT_EQ(dlg->mimaQd()->text(), QStringLiteral("强"));
        EXPECT_FALSE(dlg->okBtn()->isEnabled());
        QTest::keyClicks(dlg->newTwoPinTf(), "abc12");
        EXPECT_FALSE(dlg->okBtn()->isEnabled());
        QTest::keyClicks(dlg->newTwoPinTf(), "4");
        EXPECT_EQ(dlg->mimaQd()->text(), QStringLiteral("密码不一致"));
        EXPECT_TRUE(dlg->okBtn()->isEnabled());

        // A refused PIN keeps the dialog and the old PIN.
        QTest::mouseClick(dlg->okBtn(), Qt::LeftButton);
        EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("两次新密码不一致！")});
        EXPECT_TRUE(dlg->isVisible());
        EXPECT_EQ(dlg->oldPinTf()->text(), QStringLiteral("1234567"));
        EXPECT_TRUE(dlg->newOnePinTf()->text().isEmpty());

        // Pulling the key out closes the dialog.
        EXPECT_EQ(keysim({"unplug", "fresh"}), 0);
        EXPECT_TRUE(waitFor([&] { return !dlg->isVisible(); }));
    });
    QTest::mouseClick(first->changeButton(), Qt::LeftButton);
    EXPECT_TRUE(ran);
    EXPECT_FALSE(OneChangePinCtr::sharedConfgCtr()->isVisible());
    EXPECT_EQ(tag(MailTag::serial), kNoDevice);

    // Opened again: empty fields, empty label, OK disabled; a good change closes it.
    ASSERT_EQ(keysim({"plug", "fresh"}), 0);
    ASSERT_TRUE(waitFor([&] { return first->isVisible(); }));
    ASSERT_TRUE(waitFor([&] { return alerts.messages().contains(kNoCert); }));
    alerts.clear();
    bool again = false;
    QTimer::singleShot(0, [&] {
        OneChangePinCtr* dlg = OneChangePinCtr::sharedConfgCtr();
        again = dlg->isVisible();
        EXPECT_TRUE(dlg->oldPinTf()->text().isEmpty());
        EXPECT_TRUE(dlg->mimaQd()->text().isEmpty());
        EXPECT_FALSE(dlg->okBtn()->isEnabled());
        QTest::keyClicks(dlg->oldPinTf(), "12345678");
        QTest::keyClicks(dlg->newOnePinTf(), "abcdef12");
        QTest::keyClicks(dlg->newTwoPinTf(), "abcdef12");
        QTest::mouseClick(dlg->okBtn(), Qt::LeftButton);
        if (dlg->isVisible()) {
            ADD_FAILURE() << "a successful change left the dialog open";
            dlg->reject();
        }
    });
    QTest::mouseClick(first->changeButton(), Qt::LeftButton);
    EXPECT_TRUE(again);
    EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("pin码修改成功")});
    EXPECT_FALSE(OneChangePinCtr::sharedConfgCtr()->isVisible());
    EXPECT_TRUE(OneChangePinCtr::sharedConfgCtr()->newOnePinTf()->text().isEmpty());
}

// The first-use window's button ends whatever runs modally, here the
// arrival's own alert, before it opens the first-change dialog.
TEST_F(MuiWindow, FirstUseButtonEndsAnyRunningModalLoop) {
    makeKey("fresh", "QDFRESH03", false, true, {"changepin", "0"});
    kelvane::setAlertHook({});  // the "no certificate" alert is a real box
    bool clicked = false, alertEnded = false, dialogUp = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        OneUseWdCtr* first = win ? win->oneUseWindow() : nullptr;
        if (clicked || !box || !first || !first->isVisible()) return;
        clicked = true;
        QTimer::singleShot(100, [&, box] {
            OneChangePinCtr* dlg = OneChangePinCtr::sharedConfgCtr();
            dialogUp = dlg->isVisible() && QApplication::activeModalWidget() == dlg;
            alertEnded = !box->isVisible();
            if (box->isVisible()) box->buttons().first()->click();
            dlg->noBtn()->click();
        });
        QTest::mouseClick(first->changeButton(), Qt::LeftButton);
    });
    poll.start(20);
    launch();
    ASSERT_TRUE(waitFor([&] { return clicked && !QApplication::activeModalWidget(); }));
    EXPECT_TRUE(dialogUp);
    EXPECT_TRUE(alertEnded) << "the alert's modal loop went on under the first-change dialog";
}

// ---- Launch without the token library -------------------------------------

TEST_F(MuiWindow, MissingTokenLibraryGivesOneAlertAndNothingElse) {
    ::setenv("QD_TOKEN_LIBRARY", "/nonexistent/libUSBQdvKey_20244.so", 1);
    Func_Finalize();
    delegate = std::make_unique<AppDelegate>();
    delegate->applicationDidFinishLaunching();
    QTest::qWait(50);
    EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("没有加载到底层库库？")});
    EXPECT_EQ(delegate->mailWinCtr(), nullptr);
    EXPECT_EQ(delegate->runningWatches(), 0);
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(w->isVisible()) << w->objectName().toStdString();
    EXPECT_TRUE(delegate->applicationShouldTerminate());
}

TEST_F(MuiWindow, AboutWindowIsMadeOnceAndShown) {
    launch();
    win->aboutAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return delegate->gyCtr() && delegate->gyCtr()->isVisible(); }));
    AboutWinCtr* about = delegate->gyCtr();
    about->close();
    win->aboutAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return about->isVisible(); }));
    EXPECT_EQ(delegate->gyCtr(), about);
}

}  // namespace
