// The PIN prompt library on the offscreen platform. Each modal window is
// answered by a timer that waits for it to appear, as a user would.
#include "pinprompt/carrow.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMovie>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tests/qstring_print.h"
#include "platform/tests/secret_watch.h"

namespace {

using Clock = std::chrono::steady_clock;

// Calls `answer` once with the first modal window that shows up.
void whenModalShown(std::function<void(QWidget*)> answer) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            answer(modal);
        }
    });
    poll->start(20);
}

QPushButton* buttonNamed(QWidget* box, const QString& text) {
    for (auto* button : box->findChildren<QPushButton*>()) {
        if (button->text() == text) {
            return button;
        }
    }
    return nullptr;
}

QWidget* countdownWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qstrcmp(w->metaObject()->className(), "Carrow") == 0 && w->isVisible()) {
            return w;
        }
    }
    return nullptr;
}

// Records every text the countdown line is painted with, in order.
class ShownTexts : public QObject {
public:
    ShownTexts() { qApp->installEventFilter(this); }
    ~ShownTexts() override { qApp->removeEventFilter(this); }
    std::vector<QString> texts;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched->objectName() == "nameLabel") {
            const QString text = static_cast<QLabel*>(watched)->text();
            if (texts.empty() || texts.back() != text) {
                texts.push_back(text);
            }
        }
        return false;
    }
};

class CarrowTest : public ::testing::Test {
protected:
    void SetUp() override { P11_ConsoleInit(); }
};

// ---- PIN prompt -----------------------------------------------------------

struct PinCase {
    const char* label;
    QString typed;
    uint32_t length;             // characters in UTF-16 units
    std::vector<uint8_t> bytes;  // what lands in the buffer
};
void PrintTo(const PinCase& c, std::ostream* os) { *os << c.label; }

class PinPromptTest : public CarrowTest, public ::testing::WithParamInterface<PinCase> {};

// The caller's buffer holds exactly the bytes the count promises and is
// followed by guard bytes: nothing may land past the count, not even a
// terminator.
TEST_P(PinPromptTest, CopiesCountAndExactlyThatManyBytes) {
    const PinCase& c = GetParam();
    bool looked = false;
    whenModalShown([&](QWidget* box) {
        auto* field = box->findChild<QLineEdit*>("pinField");
        ASSERT_NE(field, nullptr);
        looked = true;
        EXPECT_EQ(static_cast<QMessageBox*>(box)->text(), QString("请输入用户密码！"));
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        EXPECT_EQ(field->size(), QSize(260, 24));
        EXPECT_FALSE(field->testAttribute(Qt::WA_InputMethodEnabled));
        EXPECT_TRUE(field->inputMethodHints() & Qt::ImhSensitiveData);
        EXPECT_EQ(box->focusWidget(), field);  // keystrokes go to the field
        // A screen reader names the field by the prompt's message.
        QLabel* caption = nullptr;
        for (QLabel* label : box->findChildren<QLabel*>()) {
            if (label->buddy() == field) caption = label;
        }
        ASSERT_NE(caption, nullptr);
        EXPECT_EQ(caption->text(), QString("请输入用户密码！"));
        field->insert(c.typed);
        buttonNamed(box, "OK")->click();
    });
    constexpr size_t kGuard = 16;
    std::vector<char> buffer(c.bytes.size() + kGuard, 0x5A);
    uint32_t length = 99;
    EXPECT_EQ(P11_BlockPopPin(buffer.data(), &length), 0);
    EXPECT_TRUE(looked);
    EXPECT_EQ(length, c.length);
    EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), reinterpret_cast<const uint8_t*>(buffer.data())));
    for (size_t i = c.bytes.size(); i < buffer.size(); ++i) {
        ASSERT_EQ(static_cast<uint8_t>(buffer[i]), 0x5A) << "byte " << i;
    }
}

std::vector<uint8_t> sevens(size_t n) { return std::vector<uint8_t>(n, '7'); }

// The field takes at most 32767 characters (the toolkit's own limit), so
// that is the longest PIN handed over; more typed is cut there.
INSTANTIATE_TEST_SUITE_P(
    Pins, PinPromptTest,
    ::testing::Values(PinCase{"ascii", "123456", 6, {'1', '2', '3', '4', '5', '6'}},
                      PinCase{"empty", "", 0, {}}, PinCase{"one", "7", 1, {'7'}},
                      // Two CJK characters are 6 UTF-8 bytes but count 2: 4 bytes are copied.
                      PinCase{"cjk", QString::fromUtf8("密码ab"), 4, {0xE5, 0xAF, 0x86, 0xE7}},
                      // A wide character first or last: the copy is cut by the count.
                      PinCase{"cjkFirst", QString::fromUtf8("密123"), 4, {0xE5, 0xAF, 0x86, '1'}},
                      PinCase{"cjkLast", QString::fromUtf8("123密"), 4, {'1', '2', '3', 0xE5}},
                      // A character outside the BMP counts 2 (a surrogate pair).
                      PinCase{"astral",
                              QString::fromUtf8("\xF0\x9F\x98\x80"
                                                "1"),
                              3,
                              {0xF0, 0x9F, 0x98}},
                      PinCase{"longest", QString(32767, '7'), 32767, sevens(32767)},
                      PinCase{"oneTooLong", QString(32768, '7'), 32767, sevens(32767)}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(CarrowTest, PinTypedAsKeystrokesAndConfirmedOnlyWithOk) {
    bool stayed = false;
    whenModalShown([&](QWidget* box) {
        auto* field = box->findChild<QLineEdit*>("pinField");
        QTest::keyClicks(field, "86");
        // Neither Escape nor a close request may hand the half-typed PIN over.
        QTest::keyClick(field, Qt::Key_Escape);
        box->close();
        QTimer::singleShot(300, box, [&stayed, box, field] {
            stayed = box->isVisible();
            QTest::keyClicks(field, "42");
            QTest::keyClick(field, Qt::Key_Return);
        });
    });
    char buffer[8] = {};
    uint32_t length = 0;
    EXPECT_EQ(P11_BlockPopPin(buffer, &length), 0);
    EXPECT_TRUE(stayed);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::string(buffer, 4), "8642");
}

// The PIN passes through keystrokes, the field's UTF-16 text and a UTF-8
// copy: none of them may stay in the frames of the prompt once it answered.
TEST_F(CarrowTest, NoCopyOfThePinStaysOnTheStack) {
    static const char typed[] = "86429753";
    static const char16_t wide[] = u"86429753";
    static char buffer[16];
    static uint32_t length;
    const struct {
        const char* form;
        const void* bytes;
        size_t size;
    } forms[] = {{"UTF-8", typed, sizeof typed - 1}, {"UTF-16", wide, sizeof wide - sizeof wide[0]}};
    for (const auto& form : forms) {
        whenModalShown([](QWidget* box) {
            QTest::keyClicks(box->findChild<QLineEdit*>("pinField"), typed);
            QTest::keyClick(box->findChild<QLineEdit*>("pinField"), Qt::Key_Return);
        });
        length = 0;
        const size_t copies =
            secretwatch::copiesLeftByCall(form.bytes, form.size, [] { P11_BlockPopPin(buffer, &length); });
        ASSERT_EQ(length, 8u);  // the prompt did get the PIN
        EXPECT_EQ(copies, 0u) << "the PIN in " << form.form << " was left on the stack";
    }
}

// Nor anywhere else in the process once the prompt has answered: not in
// freed heap blocks (the field's text, its UTF-8 conversion), not in live
// ones. The PIN is typed one keystroke at a time, so the test itself never
// holds it whole; only the caller's buffer may.
TEST_F(CarrowTest, NoCopyOfThePinStaysAnywhereInMemory) {
    static const char typed[] = "53197428";  // typed by no other test
    static const char16_t wide[] = u"53197428";
    whenModalShown([](QWidget* box) {
        auto* field = box->findChild<QLineEdit*>("pinField");
        for (size_t i = 0; i + 1 < sizeof typed; ++i) QTest::keyClick(field, typed[i]);
        QTest::keyClick(field, Qt::Key_Return);
    });
    static char buffer[16];
    uint32_t length = 0;
    EXPECT_EQ(P11_BlockPopPin(buffer, &length), 0);
    ASSERT_EQ(length, 8u);
    ASSERT_EQ(std::memcmp(buffer, typed, 8), 0);  // the prompt did get the PIN
    const secretwatch::Skip result{buffer, sizeof buffer};
    EXPECT_EQ(secretwatch::copiesInProcessMemory(typed, 8, {result}), 0u)
        << "the PIN in UTF-8 was left behind";
    EXPECT_EQ(secretwatch::copiesInProcessMemory(wide, 16), 0u) << "the PIN in UTF-16 was left behind";
    // The search does find the one copy the caller asked for.
    EXPECT_EQ(secretwatch::copiesInProcessMemory(typed, 8), 1u);
    OPENSSL_cleanse(buffer, sizeof buffer);
}

TEST_F(CarrowTest, PinPromptToleratesNullPointers) {
    whenModalShown([](QWidget* box) {
        box->findChild<QLineEdit*>("pinField")->insert("1234");
        buttonNamed(box, "OK")->click();
    });
    EXPECT_EQ(P11_BlockPopPin(nullptr, nullptr), 0);
    whenModalShown([](QWidget* box) {
        box->findChild<QLineEdit*>("pinField")->insert("12");
        buttonNamed(box, "OK")->click();
    });
    uint32_t length = 0;
    EXPECT_EQ(P11_BlockPopPin(nullptr, &length), 0);
    EXPECT_EQ(length, 2u);
}

// ---- messages -------------------------------------------------------------

TEST_F(CarrowTest, ShowMsgHasOneOkButtonAndAnswersZero) {
    QString shown;
    int buttons = -1;
    whenModalShown([&](QWidget* box) {
        auto* mb = static_cast<QMessageBox*>(box);
        shown = mb->text();
        buttons = static_cast<int>(mb->buttons().size());
        EXPECT_EQ(mb->icon(), QMessageBox::Warning);
        EXPECT_EQ(mb->windowTitle(), QString("网盾"));  // never the host program's name
        buttonNamed(box, "OK")->click();
    });
    EXPECT_EQ(P11_ShowMsg("PIN码错误", 7), 0);
    EXPECT_EQ(shown, QString("PIN码错误"));
    EXPECT_EQ(buttons, 1);
}

// Stands for a host application that installed Qt's Chinese translations.
class ChineseButtons : public QTranslator {
public:
    QString translate(const char*, const char* source, const char*, int) const override {
        return qstrcmp(source, "OK") == 0 ? QString("确定") : QString();
    }
};

TEST_F(CarrowTest, ShowMsg2TellsOkFromEverythingElse) {
    // Its buttons are "OK" and "Cancel" as written, whatever the host translates.
    ChineseButtons chinese;
    QCoreApplication::installTranslator(&chinese);
    whenModalShown([](QWidget* box) {
        if (QPushButton* ok = buttonNamed(box, "OK")) {
            ok->click();
        } else {
            static_cast<QMessageBox*>(box)->done(QMessageBox::Ok);  // fails the check below
        }
    });
    const int okAnswer = P11_ShowMsg2("继续？", 0);
    QCoreApplication::removeTranslator(&chinese);
    EXPECT_EQ(okAnswer, 0);

    whenModalShown([](QWidget* box) { buttonNamed(box, "Cancel")->click(); });
    EXPECT_EQ(P11_ShowMsg2("继续？", 0), 1);

    whenModalShown([](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); });
    EXPECT_EQ(P11_ShowMsg2("继续？", 0), 1);
}

TEST_F(CarrowTest, BadMessageTextIsShownNotTrusted) {
    QString shown;
    Qt::TextFormat format = Qt::AutoText;
    whenModalShown([&](QWidget* box) {
        shown = static_cast<QMessageBox*>(box)->text();
        format = static_cast<QMessageBox*>(box)->textFormat();
        buttonNamed(box, "OK")->click();
    });
    EXPECT_EQ(P11_ShowMsg("ab\xFF\xFE<b>c</b>", 0), 0);
    EXPECT_TRUE(shown.startsWith("ab"));
    EXPECT_TRUE(shown.contains(QChar(0xFFFD)));
    EXPECT_TRUE(shown.endsWith("<b>c</b>"));
    EXPECT_EQ(format, Qt::PlainText);

    whenModalShown([](QWidget* box) { buttonNamed(box, "OK")->click(); });
    EXPECT_EQ(P11_ShowMsg2(nullptr, 0), 0);
}

// ---- countdown ------------------------------------------------------------

TEST_F(CarrowTest, ThreeSecondCountdownShowsEveryValueDownToZero) {
    ShownTexts shown;
    QString title;
    whenModalShown([&](QWidget* w) { title = w->windowTitle(); });
    int32_t flag = 1;
    const auto start = Clock::now();
    EXPECT_EQ(showCountDownWindow(3, "QDCountDown", "", 200, 300, &flag), 0);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(shown.texts, (std::vector<QString>{"剩余3秒", "剩余2秒", "剩余1秒", "剩余0秒"}));
    EXPECT_EQ(title, QString("按键提示"));
    EXPECT_GE(elapsed, std::chrono::milliseconds(2500));
    EXPECT_EQ(flag, 1);  // only a close request clears the caller's flag
    EXPECT_EQ(countdownWindow(), nullptr);
}

TEST_F(CarrowTest, CountdownOfZeroOrLessStillShowsOneTick) {
    for (int32_t seconds : {int32_t{0}, INT32_MIN}) {
        ShownTexts shown;
        EXPECT_EQ(showCountDownWindow(seconds, "QDCountDown", "", 100, 200, nullptr), 0);
        ASSERT_FALSE(shown.texts.empty());
        EXPECT_EQ(shown.texts.front(), QString("剩余%1秒").arg(seconds));
        EXPECT_EQ(countdownWindow(), nullptr);
    }
}

TEST_F(CarrowTest, CountdownEndsSoonAfterOtherThreadsAskIt) {
    // The caller's flag, then closeWindow, then closeWindow_t, each written by
    // another thread while a 60-second countdown runs.
    const std::vector<std::function<void(int32_t*)>> enders = {
        [](int32_t* flag) { __atomic_store_n(flag, 0, __ATOMIC_RELEASE); },
        [](int32_t*) { closeWindow(); },
        [](int32_t*) { closeWindow_t(); },
    };
    for (size_t i = 0; i < enders.size(); ++i) {
        int32_t flag = 1;
        std::thread caller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            enders[i](&flag);
        });
        const auto start = Clock::now();
        EXPECT_EQ(showCountDownWindow(60, "QDCountDown", "", 200, 300, &flag), 0);
        caller.join();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << "ender " << i;
        EXPECT_EQ(countdownWindow(), nullptr) << "ender " << i;
    }
}

// A countdown asked for from a timer while another runs (the module's own
// event handling can do that) returns 0 at once, showing nothing: the
// running one keeps its window, its count and its caller's flag, which a
// close request then clears. If the nested call ran a countdown after all,
// its flag ends it after 3 seconds instead of 60.
TEST_F(CarrowTest, CountdownStartedInsideAnotherReturnsAtOnceAndLeavesItAlone) {
    int32_t outerFlag = 1;
    int32_t innerFlag = 1;
    int nestedResult = -1;
    bool outerKept = false;
    std::promise<void> nestedDone;
    std::thread guard([&, done = nestedDone.get_future()] {
        if (done.wait_for(std::chrono::seconds(3)) == std::future_status::timeout) {
            __atomic_store_n(&innerFlag, 0, __ATOMIC_RELEASE);
        }
    });
    whenModalShown([&](QWidget* w) {
        const QPointer<QWidget> outer(w);
        nestedResult = showCountDownWindow(60, "QDCountDown", "", 100, 200, &innerFlag);
        nestedDone.set_value();
        outerKept = outer && outer->isVisible() && countdownWindow() == outer &&
                    outer->findChild<QLabel*>("nameLabel") != nullptr;
        if (outer) outer->close();  // a close request: clears the outer caller's flag
    });
    EXPECT_EQ(showCountDownWindow(60, "QDCountDown", "", 200, 300, &outerFlag), 0);
    guard.join();
    EXPECT_EQ(nestedResult, 0);
    EXPECT_EQ(innerFlag, 1) << "the nested call ran a countdown until its flag ended it";
    EXPECT_TRUE(outerKept);
    EXPECT_EQ(outerFlag, 0);
    EXPECT_EQ(countdownWindow(), nullptr);
}

// On the GUI thread closeWindow_t closes the window before it returns, not
// at the countdown's next look at its flag.
TEST_F(CarrowTest, CloseWindowTOnTheGuiThreadClosesAtOnce) {
    bool visibleAfter = true;
    whenModalShown([&](QWidget* w) {
        closeWindow_t();
        visibleAfter = w->isVisible();
    });
    int32_t flag = 1;
    EXPECT_EQ(showCountDownWindow(60, "QDCountDown", "", 200, 300, &flag), 0);
    EXPECT_FALSE(visibleAfter);
    EXPECT_EQ(flag, 1);  // not a close request: the caller's flag stays
}

// The application object the library makes (none existed before the first
// test) holds its one argument, the name, and is made once.
TEST_F(CarrowTest, ApplicationMadeByTheLibraryHasOnlyItsName) {
    QCoreApplication* first = QCoreApplication::instance();
    ASSERT_NE(qobject_cast<QApplication*>(first), nullptr);
    EXPECT_EQ(QCoreApplication::arguments(), QStringList{"carrow"});
    P11_ConsoleInit();
    EXPECT_EQ(QCoreApplication::instance(), first);
}

// A window hidden behind the library's back (its modal session stopped)
// ends the countdown at the next tick; it is no close request, so the
// caller's flag stays.
TEST_F(CarrowTest, CountdownWhoseWindowWasHiddenEnds) {
    whenModalShown([](QWidget* w) { w->hide(); });
    int32_t flag = 1;
    const auto start = Clock::now();
    EXPECT_EQ(showCountDownWindow(60, "QDCountDown", "", 200, 300, &flag), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(countdownWindow(), nullptr);
}

TEST_F(CarrowTest, CloseRequestEndsCountdownAndClearsCallersFlag) {
    whenModalShown([](QWidget* w) {
        EXPECT_EQ(w, countdownWindow());
        w->close();  // as the window manager would on a close request
    });
    int32_t flag = 1;
    EXPECT_EQ(showCountDownWindow(60, "QDCountDown", "", 200, 300, &flag), 0);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(countdownWindow(), nullptr);
}

TEST_F(CarrowTest, WindowGeometryAndLinePlacement) {
    // The line's y counts from the bottom edge: a height of 31 puts it at 0
    // (flush with the bottom), 200 at 85 (centred).
    for (int32_t height : {31, 200}) {
        QSize size;
        QRect line;
        int fontPixels = 0;
        bool focused = false;
        whenModalShown([&](QWidget* w) {
            size = w->size();
            auto* label = w->findChild<QLabel*>("nameLabel");
            line = label->geometry();
            fontPixels = label->font().pixelSize();
            focused =
                QTest::qWaitFor([w] { return w->isActiveWindow(); }, 3000);  // activation may lag under load
            closeWindow();
        });
        EXPECT_EQ(showCountDownWindow(60, "QDCountDown", "", height, 250, nullptr), 0);
        EXPECT_EQ(size, QSize(250, height));
        EXPECT_EQ(line.size(), QSize(250, 30));
        EXPECT_EQ(line.x(), 0);
        EXPECT_EQ(height - line.y() - line.height(), height / 2 - 15) << "height " << height;
        EXPECT_EQ(fontPixels, 16);
        EXPECT_TRUE(focused);
    }
}

// The window's size is held to 1 .. 16384 on each side: the smallest, the
// largest, one more, zero and the extremes of the caller's 32-bit values.
// The line keeps its place from the bottom edge (height / 2 - 15).
TEST_F(CarrowTest, WindowSizeLimits) {
    struct Case {
        int32_t height, width;
        QSize expected;  // width x height
    } cases[] = {
        {1, 1, QSize(1, 1)},          {0, 0, QSize(1, 1)},
        {-5, INT32_MIN, QSize(1, 1)}, {16384, 2, QSize(2, 16384)},
        {16385, 3, QSize(3, 16384)},  {4, 16384, QSize(16384, 4)},
        {5, 16385, QSize(16384, 5)},  {INT32_MAX, 1, QSize(1, 16384)},
        {30, 40, QSize(40, 30)},      {32, 40, QSize(40, 32)},
    };
    for (const Case& c : cases) {
        QSize size;
        QRect line;
        whenModalShown([&](QWidget* w) {
            size = w->size();
            line = w->findChild<QLabel*>("nameLabel")->geometry();
            closeWindow();
        });
        EXPECT_EQ(showCountDownWindow(60, "QDCountDown", "", c.height, c.width, nullptr), 0);
        EXPECT_EQ(size, c.expected) << c.height << " x " << c.width;
        const int h = c.expected.height();
        EXPECT_EQ(line, QRect(0, h - (h / 2 - 15) - 30, c.expected.width(), 30))
            << c.height << " x " << c.width;
        EXPECT_EQ(countdownWindow(), nullptr);
    }
}

TEST_F(CarrowTest, PictureComesFromTheManagersBundleAndFitsTheWindow) {
    // A one-colour GIF of 1 x 1, and the same claiming 200 x 100 (header and
    // image descriptor), as <bundle>/share/<name>.gif.
    std::vector<unsigned char> gif = {'G', 'I', 'F', '8', '9',  'a',  1, 0, 1, 0,    0x80, 0, 0,    0xFF, 0,
                                      0,   0,   0,   0,   0x21, 0xF9, 4, 0, 0, 0,    0,    0, 0x2C, 0,    0,
                                      0,   0,   1,   0,   1,    0,    0, 2, 2, 0x44, 1,    0, 0x3B};
    char dirTemplate[] = "/tmp/carrow-bundle-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string bundle = dirTemplate;
    ASSERT_EQ(system(("mkdir -p " + bundle + "/share").c_str()), 0);
    auto write = [&](const std::string& name, const std::vector<unsigned char>& bytes) {
        std::ofstream(bundle + "/share/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };
    write("QDCountDown.gif", gif);
    gif[6] = gif[32] = 200;
    gif[8] = gif[34] = 100;
    write("Wide.gif", gif);
    setenv("QD_BUNDLE_DIR", bundle.c_str(), 1);

    struct Case {
        const char* name;
        bool shown;
        QSize scaled;  // the frame as shown
    };
    for (const Case& c : {Case{"QDCountDown", true, QSize(1, 1)}, Case{"Wide", true, QSize(100, 50)},
                          Case{"NoSuchPicture", false, QSize()}, Case{"", false, QSize()}}) {
        bool shown = false;
        QSize scaled;
        whenModalShown([&](QWidget* w) {
            QMovie* movie = w->findChild<QLabel*>("imageView")->movie();
            shown = movie && movie->isValid();
            scaled = movie ? movie->currentPixmap().size() : QSize();
            closeWindow();
        });
        EXPECT_EQ(showCountDownWindow(60, c.name, "/ignored", 100, 100, nullptr), 0);
        EXPECT_EQ(shown, c.shown) << c.name;
        EXPECT_EQ(scaled, c.scaled) << c.name;
    }
    system(("rm -rf " + bundle).c_str());
}

// A host with a plain QCoreApplication cannot get widgets: every prompt
// shows nothing and answers at once as if dismissed (no PIN, Cancel), and
// says so on standard error. Run in a fresh process (the other tests made
// a QApplication); the exit code holds one bit per wrong answer.
int promptsWithoutWidgets() {
    static int argc = 1;
    static char name[] = "carrow-core-host";
    static char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    int wrong = 0;
    char buffer[4] = {'x', 'x', 'x', 'x'};
    uint32_t length = 99;
    if (P11_BlockPopPin(buffer, &length) != 0 || length != 0 || std::memcmp(buffer, "xxxx", 4) != 0)
        wrong |= 1;
    if (P11_BlockPopPin(nullptr, nullptr) != 0) wrong |= 2;
    if (P11_ShowMsg("m", 0) != 0) wrong |= 4;
    if (P11_ShowMsg2("m", 0) != 1) wrong |= 8;
    int32_t flag = 1;
    const auto start = Clock::now();
    if (showCountDownWindow(60, "QDCountDown", "", 100, 100, &flag) != 0 || flag != 1) wrong |= 16;
    if (Clock::now() - start > std::chrono::seconds(5)) wrong |= 32;
    return wrong;
}

TEST(CarrowWithoutWidgets, PromptsShowNothingAndAnswerAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(promptsWithoutWidgets()), ::testing::ExitedWithCode(0),
                "Carrow: the process has no QApplication; no window shown");
}

}  // namespace
