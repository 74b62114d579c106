// The key manager's windows under a real window manager (Xvfb with openbox,
// through scripts/with-wm): what the screen shows of the PIN change tip
// window while it counts, what closing and minimising it do, and the title
// bars of the alerts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstdlib>

#include "Qd_MacIntf.h"
#include "alert.h"
#include "mui_app.h"
#include "mui_support.h"
#include "platform/tests/wm_testing.h"
#include "sim/token/keysim_gtest.h"
#include "token/Func_init.h"

using muitest::keysim;

namespace {

[[maybe_unused]] ::testing::Environment* const g_qt =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment<QApplication>("mui_wm_tests"));

QWidget* tipWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowTitle() == QString::fromUtf8(kTipWindowTitle)) return w;
    }
    return nullptr;
}

QLabel* countdownOf(QWidget* tip) {
    for (QLabel* l : tip->findChildren<QLabel*>()) {
        if (l->property("tag").toInt() == kTipLabelTag) return l;
    }
    return nullptr;
}

class MuiWm : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString why = wmtest::missing(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
        ASSERT_EQ(Func_Init(std::getenv("QD_TOKEN_LIBRARY")), 0);
        ASSERT_EQ(keysim({"create", "k"}), 0);
        ASSERT_EQ(keysim({"plug", "k"}), 0);
    }
    kpsim::testing::CheckedKeys sim;
};

// What a user sees of the tip window from its first moment to the key's
// answer, and what the window manager's close and minimise do to it.
TEST_F(MuiWm, TipWindowShowsThirtyAtOnceAndStaysUpWhileItCounts) {
    ASSERT_EQ(keysim({"set", "k", "button", "press:3"}), 0);
    Qd_MacIntf::setCountdownTick(std::chrono::milliseconds(300));

    enum { Waiting, Closing, Minimising, Done } step = Waiting;
    int redWhileThirty = 0;  // red pixels of the countdown strip on the screen while it says 30
    bool grabbedThirty = false;
    bool upAfterClose = false;
    bool upAfterMinimise = false;
    QElapsedTimer since;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QWidget* tip = tipWindow();
        if (!tip) return;
        QLabel* line = countdownOf(tip);
        ASSERT_NE(line, nullptr);
        const int red = wmtest::redPixels(wmtest::screen(wmtest::onScreen(line)));
        switch (step) {
            case Waiting:
                if (!line->text().contains(QStringLiteral("30"))) {
                    step = Closing;  // 30 is gone; it must have been on the screen
                    break;
                }
                grabbedThirty = true;
                redWhileThirty = std::max(redWhileThirty, red);
                if (redWhileThirty > 0 && tip->windowHandle()->isExposed()) {
                    // The title bar's close button, then Alt+F4, as a user
                    // closes a window.
                    wmtest::clickCloseButton(tip);
                    wmtest::pressKeys(tip, QStringLiteral("alt+F4"));
                    since.start();
                    step = Closing;
                }
                break;
            case Closing:
                if (since.isValid() && since.elapsed() > 500) {
                    upAfterClose = tip->isVisible() && red > 0;
                    wmtest::minimise(tip);
                    since.start();
                    step = Minimising;
                }
                break;
            case Minimising:
                if (since.elapsed() > wmtest::kMinimiseSettleMs) {
                    upAfterMinimise = !tip->isMinimized() && red > 0;
                    step = Done;
                }
                break;
            case Done:
                break;
        }
    });
    watch.start(20);

    kelvane::AlertRecorder alerts;
    Qd_MacIntf intf;
    EXPECT_TRUE(intf.changeModf("12345678", "abc123", "abc123"));
    EXPECT_EQ(alerts.messages(), QStringList{QStringLiteral("pin码修改成功")});
    EXPECT_TRUE(grabbedThirty) << "the window never said 30 while it was up";
    EXPECT_GT(redWhileThirty, 30) << "the first frame's countdown strip was empty on the screen";
    EXPECT_TRUE(upAfterClose) << "a close request took the tip window away";
    EXPECT_TRUE(upAfterMinimise) << "minimised, the tip window stayed away";
    EXPECT_EQ(step, Done);
}

// The alert's title bar reads the system's own word, not the program's name.
TEST_F(MuiWm, AlertTitleBarSaysWangdun) {
    kelvane::setAlertHook({});
    QString shown;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return box->windowHandle() && box->windowHandle()->isExposed(); }, 5000));
        shown = wmtest::shownTitle(box);
        box->buttons().first()->click();
    });
    kelvane::alert(QStringLiteral("此设备没有证书！"));
    EXPECT_EQ(shown, QStringLiteral("网盾"));
}

}  // namespace
