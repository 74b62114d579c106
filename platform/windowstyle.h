// The desktop's "titled" window style, which Qt has no single flag for: a
// title bar without close, minimise or resize control, on a window that
// cannot be hidden. Header-only, for the rooms that draw windows with Qt
// Widgets (the platform library itself does not link Qt).
//
// The window hints ask the window manager for the title bar alone. Some
// window managers draw their controls anyway (openbox keeps close and
// minimise whatever the hints say), so the window also comes back at once
// when it is minimised, and, with CloseRequest::Refuse, a close request from
// the window manager is refused. The program itself still hides the window
// with hide() (or destroys it); close() is refused like the user's request.
//
// Threads: the window's (GUI) thread.
#pragma once

#include <QCloseEvent>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

namespace platform {

enum class CloseRequest {
    Refuse,   // the window stays; the request is dropped
    Deliver,  // the window's own closeEvent decides
};

namespace detail {

class KeepTitledOnly : public QObject {
public:
    KeepTitledOnly(QWidget* window, CloseRequest close) : QObject(window), window_(window), close_(close) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_) return false;
        if (event->type() == QEvent::Close && close_ == CloseRequest::Refuse) {
            event->ignore();
            return true;
        }
        if (event->type() == QEvent::WindowStateChange && (window_->windowState() & Qt::WindowMinimized)) {
            // Back on the screen once the window manager has finished minimising it.
            QTimer::singleShot(0, window_, [w = window_] {
                if (!w->isVisible()) return;
                w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
                w->show();
                w->raise();
                w->activateWindow();
            });
        }
        return false;
    }

private:
    QWidget* window_;
    CloseRequest close_;
};

}  // namespace detail

// Gives `window` (a top-level widget) the titled-only style. Call before
// the window is first shown; the window keeps any other flags it has (stays
// on top, say).
inline void keepTitledOnly(QWidget* window, CloseRequest close) {
    const Qt::WindowFlags others =
        window->windowFlags() & (Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | others);
    window->installEventFilter(new detail::KeepTitledOnly(window, close));
}

}  // namespace platform
