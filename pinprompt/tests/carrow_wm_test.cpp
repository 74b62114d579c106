// The PIN prompt library's windows under a real window manager (Xvfb with
// openbox, through scripts/with-wm): the countdown as the screen shows it,
// what minimising and closing it do, and the prompts' title bars.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstring>
#include <ostream>
#include <string>

#include "pinprompt/carrow.h"
#include "platform/tests/qstring_print.h"
#include "platform/tests/wm_testing.h"

namespace {

class CarrowWm : public ::testing::Test {
protected:
    void SetUp() override {
        P11_ConsoleInit();  // the application object a PKCS#11 host gets from the library
        if (const QString why = wmtest::missing(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
    }
};

QWidget* countdownWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qstrcmp(w->metaObject()->className(), "Carrow") == 0 && w->isVisible()) return w;
    }
    return nullptr;
}

TEST_F(CarrowWm, CountdownIsOnTheScreenAtOnceAndComesBackWhenMinimised) {
    enum { Waiting, Minimising, Closing, Done } step = Waiting;
    int redAtFirst = 0;
    bool upAfterMinimise = false;
    QElapsedTimer since;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QWidget* w = countdownWindow();
        if (!w) return;
        auto* line = w->findChild<QLabel*>("nameLabel");
        if (!line) return;
        const int red = wmtest::redPixels(wmtest::screen(wmtest::onScreen(line)));
        switch (step) {
            case Waiting:
                if (line->text() != QStringLiteral("剩余10秒")) {
                    step = Done;  // the first number went by unseen
                    break;
                }
                redAtFirst = std::max(redAtFirst, red);
                if (red > 0) {
                    wmtest::minimise(w);
                    since.start();
                    step = Minimising;
                }
                break;
            case Minimising:
                if (since.elapsed() > wmtest::kMinimiseSettleMs) {
                    upAfterMinimise = !w->isMinimized() && red > 0;
                    // A close request still ends the countdown, as it always did.
                    wmtest::pressKeys(w, QStringLiteral("alt+F4"));
                    step = Closing;
                }
                break;
            case Closing:
            case Done:
                break;
        }
    });
    watch.start(20);
    int32_t flag = 1;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(showCountDownWindow(10, "QDCountDown", "", 200, 300, &flag), 0);
    EXPECT_GT(redAtFirst, 30) << "the first frame's countdown line was not on the screen";
    EXPECT_TRUE(upAfterMinimise) << "minimised, the countdown stayed away";
    EXPECT_EQ(step, Closing);
    EXPECT_EQ(flag, 0) << "the close request did not reach the caller's flag";
    EXPECT_LT(clock.elapsed(), 8000) << "the close request did not end the countdown";
}

TEST_F(CarrowWm, PromptTitleBarsSayWangdun) {
    QStringList titles;
    auto answer = [&](bool pin) {
        QTimer::singleShot(0, [&titles, pin] {
            ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000));
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            EXPECT_TRUE(QTest::qWaitFor([box] { return box->windowHandle()->isExposed(); }, 5000));
            titles << wmtest::shownTitle(box);
            if (pin) box->findChild<QLineEdit*>("pinField")->insert("1234");
            box->buttons().first()->click();
        });
    };
    answer(false);
    EXPECT_EQ(P11_ShowMsg("请插入网盾", 0), 0);
    answer(false);
    P11_ShowMsg2("继续？", 0);
    answer(true);
    char pin[8];
    uint32_t length = 0;
    EXPECT_EQ(P11_BlockPopPin(pin, &length), 0);
    EXPECT_EQ(titles, QStringList({"网盾", "网盾", "网盾"}));
}

QWidget* exposedModal() {
    QWidget* w = QApplication::activeModalWidget();
    return w && w->windowHandle() && w->windowHandle()->isExposed() ? w : nullptr;
}

// The title bar's close button: on the countdown it ends the countdown and
// clears the caller's flag (which also shows that the click lands on the
// button); on the PIN prompt, which cannot be cancelled, it does nothing, and
// the PIN typed afterwards still reaches the caller.
TEST_F(CarrowWm, CloseButtonEndsTheCountdownButNotThePinPrompt) {
    QTimer::singleShot(0, [] {
        QWidget* w = nullptr;
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return (w = countdownWindow()) && w->windowHandle()->isExposed(); }, 5000));
        QTest::qWait(200);  // the frame's extents reach Qt after the map
        wmtest::clickCloseButton(w);
    });
    int32_t flag = 1;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(showCountDownWindow(20, "QDCountDown", "", 200, 300, &flag), 0);
    EXPECT_EQ(flag, 0) << "the close button did not reach the countdown";
    EXPECT_LT(clock.elapsed(), 8000);

    bool stayed = false;
    QTimer::singleShot(0, [&stayed] {
        QWidget* box = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] { return (box = exposedModal()) != nullptr; }, 5000));
        QTest::qWait(200);
        wmtest::clickCloseButton(box);
        QTest::qWait(700);
        stayed = box->isVisible() && box->windowHandle()->isExposed();
        wmtest::run("xdotool", {"windowactivate", "--sync", wmtest::hexId(box)});
        wmtest::run("xdotool", {"type", "--delay", "20", "97531"});
        wmtest::run("xdotool", {"key", "Return"});
    });
    char pin[16] = {};
    uint32_t length = 0;
    EXPECT_EQ(P11_BlockPopPin(pin, &length), 0);
    EXPECT_TRUE(stayed) << "the close button took the PIN prompt away";
    EXPECT_EQ(std::string(pin, length), "97531");
}

}  // namespace
