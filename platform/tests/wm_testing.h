// Test support for windows under a real window manager (header-only; the
// test runs under scripts/with-wm, see qd_wm_test in cmake/QdCommon.cmake,
// and links Qt Widgets). What a user does goes through the X server and the
// window manager: keys and window requests by xdotool, what is on the screen
// by grabbing the root window, what the title bar says by the window
// manager's own properties.
#pragma once

#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QRect>
#include <QScreen>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdlib>

namespace wmtest {

// Why window-manager tests cannot run here ("" when they can).
inline QString missing() {
    const char* why = std::getenv("QD_WM_MISSING");
    if (why != nullptr) return QString::fromUtf8(why);
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
        return QStringLiteral("not on an X display (run under scripts/with-wm)");
    return {};
}

// Runs a tool (xdotool, xprop) to its end; its standard output, trimmed.
inline QString run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

inline QString hexId(const QWidget* window) {
    return QStringLiteral("0x%1").arg(static_cast<qulonglong>(window->winId()), 0, 16);
}

// The title the window manager shows for a top-level widget: its visible
// name (_NET_WM_VISIBLE_NAME, set by the window manager) or, without one,
// the name the program gave (_NET_WM_NAME).
inline QString shownTitle(const QWidget* window) {
    for (const char* property : {"_NET_WM_VISIBLE_NAME", "_NET_WM_NAME"}) {
        const QString line = run(QStringLiteral("xprop"),
                                 {QStringLiteral("-id"), hexId(window), QString::fromLatin1(property)});
        const qsizetype quote = line.indexOf('"');
        if (quote >= 0 && line.endsWith('"')) return line.mid(quote + 1, line.size() - quote - 2);
    }
    return {};
}

// What the screen shows in `area` (global coordinates).
inline QImage screen(const QRect& area) {
    QScreen* s = QGuiApplication::primaryScreen();
    return s->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

// Pixels of `image` that are clearly red (the countdown lines are red).
inline int redPixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 170 && c.green() < 110 && c.blue() < 110) ++count;
        }
    }
    return count;
}

// A widget's area on the screen.
inline QRect onScreen(const QWidget* widget) {
    return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

// Asks the window manager to minimise a window, as its title bar's button does.
inline void minimise(const QWidget* window) {
    run(QStringLiteral("xdotool"), {QStringLiteral("windowminimize"), hexId(window)});
}

// How long a minimise request takes to play out: the window manager hides
// the window and a titled-only window brings itself back.
inline constexpr int kMinimiseSettleMs = 800;

// Activates a window and presses keys in it, as a user does ("alt+F4": the
// window manager's close request; "Return").
inline void pressKeys(const QWidget* window, const QString& keys) {
    run(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QStringLiteral("--sync"), hexId(window),
                                    QStringLiteral("key"), keys});
}

// Clicks the close button that the window manager draws in a window's title
// bar (openbox: the rightmost button, as high as the bar, at its middle), as
// a user does with the pointer.
inline void clickCloseButton(const QWidget* window) {
    const QRect frame = window->frameGeometry();
    const int bar = window->geometry().top() - frame.top();
    const QPoint at(frame.right() - bar / 2 - 2, frame.top() + bar / 2);
    run(QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(at.x()),
         QString::number(at.y()), QStringLiteral("click"), QStringLiteral("1")});
}

}  // namespace wmtest
