#include "AppDelegate.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "AboutWinCtr.h"
#include "MailWinCtr.h"
#include "alert.h"
#include "platform/windowstyle.h"
#include "token/Func_init.h"

namespace {

constexpr char kNoLibrary[] = "没有加载到底层库库？";

// Self-pipe: the SIGTERM handler only writes a byte; the event loop reads it.
int g_termPipe[2] = {-1, -1};

extern "C" void termHandler(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_termPipe[1], &byte, 1);
}

}  // namespace

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {}

AppDelegate::~AppDelegate() {
    applicationShouldTerminate();
    // A watch thread left inside the token library still holds the window:
    // it must outlive this object (the process is about to leave anyway).
    if (m_leftWatchesBehind) (void)m_mail.release();
}

void AppDelegate::applicationDidFinishLaunching() {
    // 1-2. Without the token library there is nothing to manage.
    if (!IsInitedOK()) {
        kelvane::alert(QString::fromUtf8(kNoLibrary));
        return;
    }
    // 3. The one main window of the process.
    if (!m_mail) {
        m_mail = std::make_unique<MailWinCtr>();
        connect(m_mail->aboutAction(), &QAction::triggered, this, &AppDelegate::aboutAct);
        connect(m_mail->quitAction(), &QAction::triggered, qApp, &QCoreApplication::quit,
                Qt::QueuedConnection);
    }
    m_mail->show();
    // 4. Watch 1, then watch 2.
    for (size_t i = 0; i < tid.size(); ++i) {
        if (tid[i]) continue;
        auto watch = std::make_unique<kelvane::KeyWatch>(m_mail.get(), kelvane::kWatchTable[i]);
        if (const int err = watch->start(); err != 0) {
            std::printf("pthread_create error:%s\n", std::strerror(err));
            std::fflush(stdout);
            std::exit(-1);
        }
        tid[i] = std::move(watch);
    }
}

bool AppDelegate::applicationShouldTerminate() {
    // Quitting never waits on the token library: both watches are asked at
    // once and given one patience together; one still inside the library
    // (a slow or hung key) is left behind.
    for (auto& watch : tid) {
        if (watch) watch->requestStop();
    }
    const auto deadline = std::chrono::steady_clock::now() + kelvane::KeyWatch::kStopPatience;
    for (auto& watch : tid) {
        if (watch && !watch->waitStopped(deadline)) {
            watch->abandon();
            m_leftWatchesBehind = true;
        }
        watch.reset();
    }
    return true;
}

int AppDelegate::runningWatches() const {
    int n = 0;
    for (const auto& watch : tid) n += (watch && watch->started()) ? 1 : 0;
    return n;
}

void AppDelegate::aboutAct() {
    if (!m_about) m_about = std::make_unique<AboutWinCtr>();
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_about->show();
            platform::bringToFront(m_about.get());
        },
        Qt::QueuedConnection);
}

void AppDelegate::installTerminationSignal() {
    if (g_termPipe[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_termPipe) != 0) {
        std::perror("socketpair");
        return;
    }
    auto* notifier = new QSocketNotifier(g_termPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char buf[16];
        while (::read(g_termPipe[0], buf, sizeof buf) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = termHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGTERM, &action, nullptr) != 0) std::perror("sigaction SIGTERM");
}
