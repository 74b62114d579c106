// The desktop's "titled" window style, which Qt has no single flag for: a
// title bar without close, minimise or resize control, on a window that
// cannot be hidden. Header-only, for the rooms that draw windows with Qt
// Widgets (the platform library itself does not link Qt).
//
// The window hints ask the window manager for the title bar alone. Some
// window managers draw their controls anyway (openbox keeps close and
// minimise whatever the hints say), and under Wayland the program draws its
// own title bar, always with close and minimise. So the window comes back at
// once when it is minimised, and each window answers a close request in its
// own closeEvent (refusing it, or ending what it shows): hints alone never
// keep a window open.
//
// Threads: the window's (GUI) thread.
#pragma once

#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QTimer>
#include <QWidget>

namespace platform {

// Whether the window system lets a program place its windows and activate
// them. Wayland does neither: there a window appears where the compositor
// puts it and gets the keyboard when the compositor gives it.
inline bool placesWindows() { return !QGuiApplication::platformName().startsWith(QStringLiteral("wayland")); }

// Brings a shown window to the front and, where the platform grants it,
// gives it the keyboard.
inline void bringToFront(QWidget* window) {
    window->raise();
    if (placesWindows()) window->activateWindow();
}

namespace detail {

class KeepTitledOnly : public QObject {
public:
    explicit KeepTitledOnly(QWidget* window) : QObject(window), window_(window) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_) return false;
        if (event->type() == QEvent::WindowStateChange && (window_->windowState() & Qt::WindowMinimized)) {
            // Back on the screen once the window manager has finished minimising it.
            QTimer::singleShot(0, window_, [w = window_] {
                if (!w->isVisible()) return;
                w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
                w->show();
                bringToFront(w);
            });
        }
        return false;
    }

private:
    QWidget* window_;
};

}  // namespace detail

// Gives `window` (a top-level widget) the titled-only style. Call before
// the window is first shown; the window keeps any other flags it has (stays
// on top, say).
inline void keepTitledOnly(QWidget* window) {
    const Qt::WindowFlags others =
        window->windowFlags() & (Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | others);
    window->installEventFilter(new detail::KeepTitledOnly(window));
}

}  // namespace platform
