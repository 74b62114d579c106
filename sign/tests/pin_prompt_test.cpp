// The engine's login and signature with the module's own dialogue: the
// stand-in module asks for the PIN through the real PIN prompt library and
// shows its button-press countdown while the token signs, on the offscreen
// platform. The user is played by timers that answer the windows as they
// appear, while the engine's call blocks the main thread as a browser's would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <string>

#include "sign/PKCS11Impl.h"
#include "sign/tests/pin_user.h"
#include "sign/tests/sign_testing.h"

namespace {

using signtest::countdownWindow;
using signtest::playUser;
using signtest::ScopedEnv;
using signtest::Seen;
using signtest::StandIn;
using signtest::Tokens;

QApplication& application() {
    static int argc = 1;
    static char name[] = "pin_prompt_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

class PinPrompt : public ::testing::Test {
protected:
    void SetUp() override { application(); }
    ScopedEnv carrow_{"QD_CARROW_LIBRARY", QD_CARROW_PATH};
};

TEST_F(PinPrompt, TheModuleAsksForThePinAndCountsDownWhileTheTokenSigns) {
    StandIn standIn(Tokens::get().one(), nullptr);  // no test PIN: the user is asked
    ScopedEnv countdown("QDPKCS11_COUNTDOWN", "30");
    ScopedEnv press("QDPKCS11_PRESS_MS", "1500");  // the user presses the button after 1.5 s
    const auto& cert = Tokens::get().one().byId("QD Key A", "01");
    PKCS11Impl engine;
    engine.setCN(cert.serial);
    engine.setSignData("abc");

    Seen seen;
    QTimer* user = playUser(&seen, "12345678", nullptr);
    const std::string text = engine.getSignData();
    delete user;

    ASSERT_EQ(text.substr(0, 8), "UD65001:") << engine.lastError();
    EXPECT_TRUE(
        signtest::verifies(cert.der(), "abc", signtest::fromHex(text.substr(8 + 8 + 3 + 8)), EVP_sha1()));
    EXPECT_TRUE(seen.prompt);
    EXPECT_EQ(seen.promptText, QString("请输入用户密码！"));
    EXPECT_TRUE(seen.countdown);
    EXPECT_EQ(seen.title, QString("按键提示"));
    ASSERT_FALSE(seen.lines.empty());
    EXPECT_EQ(seen.lines.front(), QString("剩余30秒"));
    // Closed when the token answered, long before the time ran out.
    EXPECT_NE(seen.lines.back(), QString("剩余0秒"));
    EXPECT_EQ(countdownWindow(), nullptr);
    EXPECT_EQ(standIn.counter("pin_prompts"), 1);
    EXPECT_EQ(standIn.counter("countdowns"), 1);
    EXPECT_TRUE(standIn.tornDown());
}

TEST_F(PinPrompt, ClosingTheCountdownBeforeTheButtonIsPressedCancelsTheSignature) {
    StandIn standIn(Tokens::get().one(), nullptr);
    ScopedEnv countdown("QDPKCS11_COUNTDOWN", "30");
    ScopedEnv press("QDPKCS11_PRESS_MS", "20000");
    PKCS11Impl engine;
    engine.setCN(Tokens::get().one().byId("QD Key A", "01").serial);
    engine.setSignData("abc");

    Seen seen;
    // The window manager's close request, as soon as the window is up.
    QTimer* user = playUser(&seen, "12345678", [](QWidget* window) { window->close(); });
    EXPECT_EQ(engine.getSignData(), "E:1000");
    delete user;
    EXPECT_EQ(engine.lastError(), "C_SignFinal2 failed:Function canceled(0x0050)");
    EXPECT_TRUE(seen.countdown);
    EXPECT_EQ(countdownWindow(), nullptr);
    EXPECT_EQ(standIn.counter("logouts"), 1);
    EXPECT_TRUE(standIn.tornDown());
}

TEST_F(PinPrompt, AWrongPinTypedIsTheLoginsFailure) {
    StandIn standIn(Tokens::get().one(), nullptr);
    ScopedEnv countdown("QDPKCS11_COUNTDOWN", "30");
    PKCS11Impl engine;
    engine.setCN(Tokens::get().one().byId("QD Key A", "01").serial);
    engine.setSignData("abc");
    Seen seen;
    QTimer* user = playUser(&seen, "99999999", nullptr);
    EXPECT_EQ(engine.getSignData(), "E:1000");
    delete user;
    EXPECT_TRUE(seen.prompt);
    EXPECT_FALSE(seen.countdown);
    EXPECT_EQ(engine.lastError(), "C_Login failed:Pin incorrect(0x00A0)");
    EXPECT_TRUE(standIn.tornDown());
}

}  // namespace
