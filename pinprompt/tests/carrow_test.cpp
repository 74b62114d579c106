// The PIN prompt library on the offscreen platform. Each modal window is
// answered by a timer that waits for it to appear, as a user would.
#include "pinprompt/carrow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMovie>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tests/secret_watch.h"

// Readable failures for texts: gtest would print a QString's characters as raw bytes.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

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
        field->insert(c.typed);
        buttonNamed(box, "OK")->click();
    });
    char buffer[32];
    std::memset(buffer, 0x5A, sizeof buffer);
    uint32_t length = 99;
    EXPECT_EQ(P11_BlockPopPin(buffer, &length), 0);
    EXPECT_TRUE(looked);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + c.bytes.size()), c.bytes);
    // Nothing beyond the count is written, not even a terminator.
    for (size_t i = c.bytes.size(); i < sizeof buffer; ++i) {
        ASSERT_EQ(static_cast<uint8_t>(buffer[i]), 0x5A) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pins, PinPromptTest,
    ::testing::Values(
        PinCase{"ascii", "123456", 6, {'1', '2', '3', '4', '5', '6'}},
        PinCase{"empty", "", 0, {}},
        // Two CJK characters are 6 UTF-8 bytes but count 2: 4 bytes are copied.
        PinCase{"cjk", QString::fromUtf8("密码ab"), 4, {0xE5, 0xAF, 0x86, 0xE7}},
        // A character outside the BMP counts 2 (a surrogate pair).
        PinCase{"astral", QString::fromUtf8("\xF0\x9F\x98\x80" "1"), 3, {0xF0, 0x9F, 0x98}}),
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

TEST_F(CarrowTest, PictureComesFromTheManagersBundleAndFitsTheWindow) {
    // A one-colour GIF of 1 x 1, and the same claiming 200 x 100 (header and
    // image descriptor), as <bundle>/share/<name>.gif.
    std::vector<unsigned char> gif = {
        'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0x21, 0xF9, 4, 0,
        0,   0,   0,   0,   0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 1, 0, 0x3B};
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
                          Case{"NoSuchPicture", false, QSize()}}) {
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

}  // namespace
