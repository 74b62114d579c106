// Kelvane, the key manager.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "AppDelegate.h"
#include "MailWinCtr.h"
#include "Screenshots.h"
#include "alert.h"
#include "platform/log.h"
#include "platform/workspace.h"

#ifndef QD_APP_VERSION
#define QD_APP_VERSION "1.0"
#endif

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    QApplication::setApplicationVersion(QStringLiteral(QD_APP_VERSION));
    QApplication::setQuitOnLastWindowClosed(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Kelvane key manager"));
    options.addHelpOption();
    options.addVersionOption();
    QCommandLineOption screenshots(
        QStringLiteral("screenshots"),
        QStringLiteral("Once a key is shown, save PNGs of the three panels into <dir> and quit."),
        QStringLiteral("dir"));
    QCommandLineOption patience(QStringLiteral("screenshot-wait"),
                                QStringLiteral("Seconds to wait for a key in screenshot mode (default 10)."),
                                QStringLiteral("seconds"), QStringLiteral("10"));
    options.addOption(screenshots);
    options.addOption(patience);
    options.process(app);

    // The key agent finds this process by its lock, however it was started.
    const platform::ManagerLock running;
    if (!running.held()) platform::logLine("kelvane: " + running.error());

    AppDelegate delegate;
    AppDelegate::installTerminationSignal();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] {
        delegate.applicationShouldTerminate();
        delegate.applicationWillTerminate();
    });

    const bool screenshotMode = options.isSet(screenshots);
    if (screenshotMode) {
        // Nobody is watching: no browser, and alerts go to standard error.
        ::setenv("QD_BANK_URL", "none", 1);
        kelvane::setAlertHook([](const QString& message) {
            std::fprintf(stderr, "alert: %s\n", qPrintable(message));
        });
    }
    QTimer::singleShot(0, &delegate, [&] {
        delegate.applicationDidFinishLaunching();
        if (!delegate.mailWinCtr()) {
            // No token library: the alert has been answered, and with no
            // window there is no menu left to quit from here, so end now.
            QCoreApplication::exit(1);
            return;
        }
        if (!screenshotMode) return;
        bool ok = false;
        const int seconds = options.value(patience).toInt(&ok);
        kelvane::scheduleScreenshots(delegate.mailWinCtr(), options.value(screenshots),
                                     (ok && seconds > 0 ? seconds : 10) * 1000);
    });
    return app.exec();
}
