// The application delegate: launch (token library check, main window, the
// two watch threads), termination, the about window, and the signals that
// end the program (SIGINT from a terminal, SIGTERM from the key agent).
//
// Threads: main thread only.
#pragma once

#include <QObject>
#include <array>
#include <memory>

#include "KeyWatch.h"

class AboutWinCtr;
class MailWinCtr;

class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;  // stops the watches before the windows go

    // Binds the token library; without it one alert and nothing else.
    // Otherwise shows the main window and starts both watch threads (a
    // thread that cannot be created ends the process with status -1).
    void applicationDidFinishLaunching();
    // Stops the watch threads that were started, waiting at most
    // KeyWatch::kStopPatience for both; always agrees to quit.
    bool applicationShouldTerminate();
    // A watch thread was still inside the token library at the quit and was
    // left running: the process must end without destroying the windows.
    bool leftWatchesBehind() const { return m_leftWatchesBehind; }
    // Closing the last window quits (QApplication's quitOnLastWindowClosed).
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
    void applicationWillTerminate() {}

    // Makes the about window on first use and shows it (queued to the main thread).
    void aboutAct();

    // SIGTERM (how the key agent asks us to quit) quits the application
    // through its event loop. Safe to call once per process.
    static void installTerminationSignal();

    MailWinCtr* mailWinCtr() const { return m_mail.get(); }
    AboutWinCtr* gyCtr() const { return m_about.get(); }
    // Watch threads that are running (0 or 2).
    int runningWatches() const;

private:
    std::unique_ptr<MailWinCtr> m_mail;
    std::array<std::unique_ptr<kelvane::KeyWatch>, 2> tid;
    std::unique_ptr<AboutWinCtr> m_about;
    bool m_leftWatchesBehind = false;
};
