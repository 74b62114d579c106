#include "BusyWait.h"

#include <QApplication>
#include <QCursor>
#include <QDeadlineTimer>
#include <QEvent>
#include <QPointer>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <atomic>
#include <system_error>
#include <thread>

namespace kelvane {
namespace {

// Poll period of a wait: short enough that the answer is seen at once.
constexpr int kPollMs = 10;

bool isUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::Close:
            return true;
        default:
            return false;
    }
}

// The window an event goes to, whether it is addressed to a window or to a
// widget inside one.
QWindow* windowOf(QObject* receiver) {
    if (auto* window = qobject_cast<QWindow*>(receiver)) return window;
    if (auto* widget = qobject_cast<QWidget*>(receiver)) return widget->window()->windowHandle();
    return nullptr;
}

// While alive: the wait cursor, and user input only for modal windows that
// were not there when the wait began.
class BusyScope : public QObject {
public:
    BusyScope() {
        for (QWindow* window : QGuiApplication::topLevelWindows()) before_.insert(window);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        qApp->installEventFilter(this);
        // Timers run in the loops of alerts too, so the pointer follows.
        QObject::connect(&poll_, &QTimer::timeout, this, [this] { followPointer(); });
        poll_.start(kPollMs);
    }
    ~BusyScope() override {
        qApp->removeEventFilter(this);
        QApplication::restoreOverrideCursor();
    }

protected:
    bool eventFilter(QObject* receiver, QEvent* event) override {
        if (!isUserInput(event->type())) return false;
        QWindow* window = windowOf(receiver);
        if (window != nullptr && answersInput(window)) return false;
        event->ignore();  // a refused close request stays refused
        return true;
    }

private:
    bool answersInput(QWindow* window) const {
        return !before_.contains(window) && window->modality() != Qt::NonModal;
    }
    void followPointer() {
        QWidget* modal = QApplication::activeModalWidget();
        const bool alertUp = modal != nullptr && modal->windowHandle() && answersInput(modal->windowHandle());
        const Qt::CursorShape wanted = alertUp ? Qt::ArrowCursor : Qt::WaitCursor;
        if (const QCursor* cursor = QApplication::overrideCursor(); cursor && cursor->shape() != wanted) {
            QApplication::changeOverrideCursor(QCursor(wanted));
        }
    }

    QSet<QWindow*> before_;
    QTimer poll_;
};

bool onGuiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return qobject_cast<const QApplication*>(app) != nullptr && QThread::currentThread() == app->thread();
}

void wait(const std::function<bool()>& done, QDeadlineTimer deadline) {
    if (!onGuiThread()) {
        while (!done() && !deadline.hasExpired()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
        return;
    }
    BusyScope scope;
    // The scope's timer ends each round within the poll period; this one
    // ends the round at the deadline itself.
    QTimer end;
    end.setSingleShot(true);
    if (!deadline.isForever()) end.start(std::chrono::milliseconds(deadline.remainingTime()));
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    // What the awaited work queued last (an arrival's results) is handled
    // under the same rules, not after the wait.
    QCoreApplication::processEvents();
}

}  // namespace

void waitBusy(const std::function<bool()>& done) { wait(done, QDeadlineTimer(QDeadlineTimer::Forever)); }

void pauseBusy(std::chrono::milliseconds pause) {
    wait([] { return false; }, QDeadlineTimer(pause));
}

void runBusy(const std::function<void()>& work) {
    std::atomic<bool> finished{false};
    std::thread helper;
    try {
        helper = std::thread([&] {
            work();
            finished.store(true, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        work();
        return;
    }
    waitBusy([&] { return finished.load(std::memory_order_acquire); });
    helper.join();
}

}  // namespace kelvane
