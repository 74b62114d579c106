// Kelvane, the key manager.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "AppDelegate.h"
#include "MailWinCtr.h"
#include "Screenshots.h"
#include "alert.h"
#include "platform/cli.h"
#include "platform/log.h"
#include "platform/workspace.h"

namespace {
constexpr int kMaxScreenshotWait = 3600;

const char* const kUsage =
    "usage: kelvane [--screenshots DIR [--screenshot-wait SECONDS]] [Qt options]\n"
    "       kelvane --help | --version\n"
    "\n"
    "The key manager: shows the plugged-in key of the bank (serial number, PIN\n"
    "tries left, certificates) and changes its PIN. The key agent starts it when a\n"
    "key is plugged in; the application menu starts it too.\n"
    "\n"
    "  --screenshots DIR          once a key is shown, save PNGs of the three panels\n"
    "                             into DIR and quit (alerts go to standard error)\n"
    "  --screenshot-wait SECONDS  how long screenshot mode waits for a key, 1 to 3600\n"
    "                             (default 10)\n"
    "  -h, --help                 show this help\n"
    "  -v, --version              show the version\n"
    "\n"
    "Environment: QD_TOKEN_LIBRARY (token library), QD_BUNDLE_DIR (pictures),\n"
    "QD_USB_BACKEND (udev or sim), QD_BANK_URL (site opened for a key, or none),\n"
    "QD_MANAGER_LOCK_DIR. See kelvane(1).\n";
}  // namespace

#ifndef QD_APP_VERSION
#define QD_APP_VERSION "1.0"
#endif

int main(int argc, char* argv[]) {
    QCommandLineParser options;
    // "-stylesheet" is Qt's option, not -s -t -y ... -h (help).
    options.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version."));
    QCommandLineOption screenshots(
        QStringLiteral("screenshots"),
        QStringLiteral("Once a key is shown, save PNGs of the three panels into <dir> and quit."),
        QStringLiteral("dir"));
    QCommandLineOption patience(
        QStringLiteral("screenshot-wait"),
        QStringLiteral("Seconds to wait for a key in screenshot mode, 1 to 3600 (default 10)."),
        QStringLiteral("seconds"), QStringLiteral("10"));
    options.addOptions({help, version, screenshots, patience});

    // Help and the version are answered before the application object exists:
    // it would connect to the display (and fail without one). Qt's own options
    // (-platform offscreen) are unknown here and skipped; the full check is below.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    options.parse(arguments);
    if (options.isSet(help) || options.isSet(version))
        return platform::answer(options.isSet(help) ? platform::Asked::Help : platform::Asked::Version,
                                "kelvane", kUsage);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    QApplication::setApplicationVersion(QStringLiteral(QD_APP_VERSION));
    QApplication::setQuitOnLastWindowClosed(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
    options.process(app);

    // Screenshot mode's options are checked before anything starts, so a
    // mistake fails at once instead of after the wait for a key.
    const bool screenshotMode = options.isSet(screenshots);
    int patienceSeconds = 10;
    if (options.isSet(patience)) {
        bool ok = false;
        const qlonglong value = options.value(patience).toLongLong(&ok);
        if (!ok || value < 1 || value > kMaxScreenshotWait) {
            std::fprintf(stderr, "kelvane: --screenshot-wait takes 1 to %d seconds\n", kMaxScreenshotWait);
            return 2;
        }
        patienceSeconds = static_cast<int>(value);
    }
    if (screenshotMode && !QDir().mkpath(options.value(screenshots))) {
        std::fprintf(stderr, "kelvane: cannot make the folder %s\n", qPrintable(options.value(screenshots)));
        return 2;
    }

    // The key agent finds this process by its lock, however it was started.
    const platform::ManagerLock running;
    if (!running.held()) platform::logLine("kelvane: " + running.error());

    AppDelegate delegate;
    AppDelegate::installTerminationSignal();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] {
        delegate.applicationShouldTerminate();
        delegate.applicationWillTerminate();
    });

    if (screenshotMode) {
        // Nobody is watching: no browser, and alerts go to standard error.
        ::setenv("QD_BANK_URL", "none", 1);
        kelvane::setAlertHook(
            [](const QString& message) { std::fprintf(stderr, "alert: %s\n", qPrintable(message)); });
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
        kelvane::scheduleScreenshots(delegate.mailWinCtr(), options.value(screenshots),
                                     patienceSeconds * 1000);
    });
    const int status = app.exec();
    if (delegate.leftWatchesBehind()) {
        // A watch thread is still inside the token library and may yet touch
        // the windows: leave without destroying them.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
