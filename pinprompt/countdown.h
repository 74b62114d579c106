// The button-press countdown window and the library's process-wide state.
// Only one countdown runs at a time; everything here but windowClosed belongs
// to the GUI thread.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QString>
#include <atomic>
#include <cstdint>

class QApplication;
class QCloseEvent;
class QMovie;

// A window that can always take keyboard focus, also with only a title bar.
// One Carrow runs the countdown (showCountdownWin); the window it shows is a
// Carrow too. A dialog, so that a screen reader announces it.
class Carrow : public QDialog {
    Q_OBJECT
public:
    explicit Carrow(QWidget* parent = nullptr);

    bool canBecomeKeyWindow() const { return true; }

    // Shows the countdown window and runs it to its end; returns 0.
    int showCountdownWin(int32_t seconds, const QString& gifName, const QString& sourcePath, int32_t wlenght,
                         int32_t wWide);

    // closeWindow_t closes the window through here, past the delegate.
    void closeByLibrary();
    // Escape does nothing: the countdown ends by time, by its caller or by a
    // close request.
    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override;
};

// Answers close requests for the countdown window.
class MyDelegate : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Ends the countdown, writes 0 into the caller's flag and answers no: the
    // window has already been closed by then.
    bool windowShouldClose(Carrow* sender);
};

namespace carrow_state {
// Process-wide state of the library (the names are the system's).
extern QApplication* myapp;
extern QPointer<Carrow> win;        // the countdown window
extern QPointer<Carrow> pinwin;     // the Carrow that runs the current countdown
extern QPointer<QLabel> nameLabel;  // the countdown line; cleared when the window goes
extern QPointer<Carrow> session;    // the window of the running modal session, or null
extern QPointer<MyDelegate> myDelegate;
extern int32_t TIME;  // seconds left
extern std::atomic<bool> windowClosed;
extern int32_t* IsWinCloesd;  // the caller's flag, or null

// closeWindow_t's work; GUI thread only.
void closeNow();
// The countdown line's text for a number of seconds.
QString countdownText(int32_t seconds);
}  // namespace carrow_state
