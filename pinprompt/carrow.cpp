// Entry points of the PIN prompt library. Each catches everything: the
// caller is C code in another vendor's module, and no exception may reach it.
#include "pinprompt/carrow.h"

#include <openssl/crypto.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pinprompt/countdown.h"
#include "platform/accessible.h"
#include "platform/windowstyle.h"

namespace {

// Widgets need a QApplication; a process that already has a plain
// QCoreApplication cannot get one, and the prompt then shows nothing.
bool widgetsAvailable() {
    P11_ConsoleInit();
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fputs("Carrow: the process has no QApplication; no window shown\n", stderr);
        return false;
    }
    return true;
}

// Message texts come from the caller as UTF-8; bad sequences become U+FFFD.
QString fromCaller(const char* text) { return text ? QString::fromUtf8(text) : QString(); }

QString okTitle() {
    // The platform theme's localisation of "OK", falling back to "OK".
    return QCoreApplication::translate("QPlatformTheme", "OK");
}

// Title of every prompt: the key, as the user calls it (never the library's
// or the host program's name, which the window manager would show instead).
const char16_t kPromptTitle[] = u"网盾";

void prepareAlert(QMessageBox& box, const QString& text) {
    box.setWindowTitle(QString::fromUtf16(kPromptTitle));
    box.setIcon(QMessageBox::Warning);
    box.setTextFormat(Qt::PlainText);  // the caller's text is never markup
    box.setText(text);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
}

// Every prompt comes to the front and takes the keyboard as soon as it is
// shown, so that nothing meant for it is typed into another window.
void runInFront(QMessageBox& box, QWidget* focus) {
    if (focus) {
        focus->setFocus(Qt::OtherFocusReason);  // the window's focus from its first moment
    }
    QTimer::singleShot(0, &box, [&box, focus] {
        platform::bringToFront(&box);
        if (focus) {
            focus->setFocus(Qt::ActiveWindowFocusReason);
        }
    });
    box.exec();
}

// Puts the field between the alert's text and its buttons.
void addAccessory(QMessageBox& box, QWidget* accessory) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    auto* buttons = box.findChild<QDialogButtonBox*>();
    if (!grid || !buttons) {
        box.layout()->addWidget(accessory);
        return;
    }
    const int buttonRow = grid->rowCount() - 1;
    const int columns = grid->columnCount();
    grid->removeWidget(buttons);
    grid->addWidget(accessory, buttonRow, 1, 1, std::max(1, columns - 1), Qt::AlignLeft);
    grid->addWidget(buttons, buttonRow + 1, 0, 1, columns);
}

// Wipes a QString's characters in place. QLineEdit::text() shares the field's
// own buffer, so this also wipes the field's copy of the PIN.
void wipeShared(QString& text) {
    if (!text.isEmpty()) {
        OPENSSL_cleanse(const_cast<QChar*>(text.constData()),
                        static_cast<size_t>(text.size()) * sizeof(QChar));
    }
}

// The PIN prompt has only its "OK" button, which Qt would also take as the
// answer to Escape or to a close request: a half-typed PIN would then go to
// the key and spend one of its tries. Both are refused; only "OK" ends it.
// The close box is there whatever the hints say (Wayland's title bar, which
// the program draws itself, always has one), so the refusal lives here.
class PinPrompt : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
};

// The alert's message, the label a screen reader should name the field by.
QLabel* messageLabel(QMessageBox& box) {
    for (QLabel* label : box.findChildren<QLabel*>()) {
        if (label->text() == box.text()) return label;
    }
    return nullptr;
}

int askPin(char* pin, uint32_t* pinLen) {
    if (!widgetsAvailable()) {
        if (pinLen) {
            *pinLen = 0;
        }
        return 0;
    }
    PinPrompt box;
    prepareAlert(box, QStringLiteral("请输入用户密码！"));
    QPushButton* ok = box.addButton(okTitle(), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);

    auto* field = new QLineEdit;
    field->setObjectName(QStringLiteral("pinField"));
    field->setEchoMode(QLineEdit::Password);
    field->setFixedSize(260, 24);
    // No input method, prediction or clipboard may see the PIN.
    field->setAttribute(Qt::WA_InputMethodEnabled, false);
    field->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText | Qt::ImhHiddenText |
                               Qt::ImhNoAutoUppercase);
    field->setContextMenuPolicy(Qt::NoContextMenu);
    field->setAcceptDrops(false);
    addAccessory(box, field);
    // Named by the prompt's message. A password field tells assistive
    // technology its length only, never its text.
    platform::nameFromLabel(field, messageLabel(box));

    runInFront(box, field);

    // The count is in UTF-16 units and the copy takes that many bytes of the
    // UTF-8 form, with no terminator: the caller goes by the count. UTF-8 is
    // never shorter than the UTF-16 count, so the copy stays inside it.
    QString text = field->text();
    QByteArray utf8 = text.toUtf8();
    const auto count = static_cast<uint32_t>(text.size());
    if (pinLen) {
        *pinLen = count;
    }
    if (pin) {
        std::memcpy(pin, utf8.constData(), std::min<size_t>(count, static_cast<size_t>(utf8.size())));
    }
    OPENSSL_cleanse(utf8.data(), static_cast<size_t>(utf8.size()));
    wipeShared(text);
    field->clear();
    return 0;
}

int showMessage(const char* message, bool withCancel) {
    if (!widgetsAvailable()) {
        return withCancel ? 1 : 0;
    }
    QMessageBox box;
    prepareAlert(box, fromCaller(message));
    // The single-button alert takes the toolkit's (localised) "OK"; the
    // OK/Cancel alert names its buttons "OK" and "Cancel" as they are.
    QPushButton* ok = box.addButton(withCancel ? QStringLiteral("OK") : okTitle(), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    if (withCancel) {
        box.setEscapeButton(box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole));
    }
    runInFront(box, nullptr);
    return box.clickedButton() == ok ? 0 : 1;
}

}  // namespace

extern "C" {

CARROW_EXPORT void P11_ConsoleInit(void) {
    try {
        if (QCoreApplication::instance() != nullptr) {
            return;
        }
        // The application object lives for the rest of the process, so its
        // arguments must too.
        static int argc = 1;
        static char name[] = "carrow";
        static char* argv[] = {name, nullptr};
        carrow_state::myapp = new QApplication(argc, argv);
    } catch (...) {
    }
}

CARROW_EXPORT int P11_BlockPopPin(char* pin, uint32_t* pinLen) {
    try {
        return askPin(pin, pinLen);
    } catch (...) {
        return 0;
    }
}

CARROW_EXPORT int P11_ShowMsg(const char* message, uint32_t /*unused*/) {
    try {
        showMessage(message, false);
    } catch (...) {
    }
    return 0;
}

CARROW_EXPORT int P11_ShowMsg2(const char* message, uint32_t /*unused*/) {
    try {
        return showMessage(message, true);
    } catch (...) {
        return 1;
    }
}

CARROW_EXPORT int showCountDownWindow(int32_t seconds, const char* imageName, const char* sourcePath,
                                      int32_t height, int32_t width, int32_t* flag) {
    using namespace carrow_state;
    try {
        if (!widgetsAvailable()) {
            return 0;
        }
        // The state is process-wide: a countdown started from inside another
        // one's event handling would tear the running one down under it.
        if (pinwin) {
            return 0;
        }
        const QString name = fromCaller(imageName);
        const QString source = fromCaller(sourcePath);
        auto* runner = new Carrow;
        pinwin = runner;
        IsWinCloesd = flag;
        const int result = runner->showCountdownWin(seconds, name, source, height, width);
        IsWinCloesd = nullptr;
        delete runner;
        return result;
    } catch (...) {
        return 0;
    }
}

CARROW_EXPORT void closeWindow(void) { carrow_state::windowClosed.store(true, std::memory_order_release); }

CARROW_EXPORT void closeWindow_t(void) {
    try {
        carrow_state::windowClosed.store(true, std::memory_order_release);
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr) {
            return;
        }
        if (QThread::currentThread() == app->thread()) {
            carrow_state::closeNow();
        } else {
            // Windows belong to the GUI thread.
            QMetaObject::invokeMethod(
                app, [] { carrow_state::closeNow(); }, Qt::QueuedConnection);
        }
    } catch (...) {
    }
}

}  // extern "C"
