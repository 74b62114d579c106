// The kelvane program itself, run as a process on the offscreen platform
// against simulated keys: its diagnostics, how it ends on the key agent's
// SIGTERM and on an interrupt, and the screenshot mode the demo uses.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>

#include "mui_app.h"
#include "mui_support.h"
#include "platform/workspace.h"
#include "sim/token/keysim_gtest.h"

#ifndef QD_KELVANE
#error "QD_KELVANE must name the kelvane program"
#endif

using muitest::keysim;

namespace {

[[maybe_unused]] ::testing::Environment* const g_qt =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment<QCoreApplication>("mui_process_tests"));

// kelvane with the test's environment (offscreen, simulated bus, no browser).
class Kelvane {
public:
    explicit Kelvane(const QStringList& args = {}, const QStringList& env = {}) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString& kv : env) e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(e);
        p.setProgram(QStringLiteral(QD_KELVANE));
        p.setArguments(args);
        p.start();
    }
    ~Kelvane() {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    // Reads until the collected standard error (or output) holds text.
    bool waitErr(const QString& text, int ms = 10000) {
        return waitIn(&err, QProcess::StandardError, text, ms);
    }
    bool waitOut(const QString& text, int ms = 10000) {
        return waitIn(&out, QProcess::StandardOutput, text, ms);
    }
    void signal(int sig) { ::kill(static_cast<pid_t>(p.processId()), sig); }
    bool finished(int ms = 10000) {
        const bool done = p.waitForFinished(ms);
        collect();
        return done;
    }

    QProcess p;
    QString out, err;

private:
    void collect() {
        out += QString::fromUtf8(p.readAllStandardOutput());
        err += QString::fromUtf8(p.readAllStandardError());
    }
    bool waitIn(QString* buf, QProcess::ProcessChannel, const QString& text, int ms) {
        QElapsedTimer t;
        t.start();
        collect();
        while (!buf->contains(text)) {
            if (t.elapsed() > ms || p.state() == QProcess::NotRunning) return false;
            p.waitForReadyRead(100);
            collect();
        }
        return true;
    }
};

class MuiProcess : public ::testing::Test {
protected:
    kpsim::testing::CheckedKeys sim;
    QTemporaryDir locks;
    kpsim::testing::ScopedEnv lockDir{"QD_MANAGER_LOCK_DIR", locks.path().toStdString()};
};

TEST_F(MuiProcess, WatchDiagnosticsAndSigtermEndTheProgramCleanly) {
    ASSERT_EQ(keysim({"create", "--demo", "demo"}), 0);
    ASSERT_EQ(keysim({"set", "demo", "changepin", "1"}), 0);

    Kelvane k;
    ASSERT_TRUE(k.waitErr("Looking for devices matching vendor ID=54345 and product ID=4.\n"))
        << k.err.toStdString();
    ASSERT_TRUE(k.waitErr("Looking for devices matching vendor ID=27295 and product ID=4.\n"))
        << k.err.toStdString();
    ASSERT_TRUE(k.waitErr("Starting run loop.\n\n"));
    ASSERT_TRUE(k.waitOut("Device added.\n")) << k.err.toStdString();
    ASSERT_TRUE(k.waitErr("Location ID: 0x")) << k.err.toStdString();
    EXPECT_TRUE(k.err.contains("deviceName: "));
    // The arrival's token work ran (it logs its connection).
    ASSERT_TRUE(k.waitErr(QStringLiteral("连接设备：KpConnectDev ret = 0x0"))) << k.err.toStdString();
    EXPECT_EQ(k.out.count("Device added."), 1);

    ASSERT_EQ(keysim({"unplug", "demo"}), 0);
    ASSERT_TRUE(k.waitErr("Device removed.\n")) << k.err.toStdString();
    ASSERT_TRUE(k.waitErr("privateDataRef->locationID: 0x"));
    EXPECT_TRUE(k.err.contains("privateDataRef->deviceName: "));

    // The key agent's way of asking us to quit: SIGTERM to the holder of
    // the manager lock, whatever executable the agent thinks it launched.
    const QString lock = QStringLiteral("%1/manager-%2.lock").arg(locks.path()).arg(k.p.processId());
    EXPECT_TRUE(QFile::exists(lock));
    {
        kpsim::testing::ScopedEnv elsewhere("QD_MANAGER_EXECUTABLE", "/nonexistent/kelvane");
        EXPECT_EQ(platform::terminateManagers(), 1);
    }
    ASSERT_TRUE(k.finished());
    EXPECT_EQ(k.p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(k.p.exitCode(), 0);
    EXPECT_FALSE(k.err.contains("Unexpectedly back")) << k.err.toStdString();
    EXPECT_FALSE(QFile::exists(lock)) << "the lock goes with the program";
}

TEST_F(MuiProcess, InterruptSaysSoAndExitsWithZero) {
    Kelvane k;
    ASSERT_TRUE(k.waitErr("Starting run loop.\n\n")) << k.err.toStdString();
    k.signal(SIGINT);
    ASSERT_TRUE(k.finished());
    EXPECT_EQ(k.p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(k.p.exitCode(), 0);
    EXPECT_TRUE(k.err.endsWith("\nInterrupted.\n")) << k.err.toStdString();
}

TEST_F(MuiProcess, SigtermWhileAWatchThreadIsInsideAHungLibraryStillQuits) {
    // Every call on this key sleeps ten minutes: the arrival's token work
    // never comes back while the test runs.
    ASSERT_EQ(keysim({"create", "--demo", "demo"}), 0);
    ASSERT_EQ(keysim({"set", "demo", "fault", "slow:600000"}), 0);
    Kelvane k;
    ASSERT_TRUE(k.waitErr(QStringLiteral("设备插入"))) << k.err.toStdString();
    QElapsedTimer inside;
    inside.start();
    while (inside.elapsed() < 300) k.p.waitForReadyRead(50);  // now in the first library call

    // The key agent's request to quit, as when the key is pulled out.
    QElapsedTimer quitting;
    quitting.start();
    k.signal(SIGTERM);
    ASSERT_TRUE(k.finished(8000)) << "still running after SIGTERM: " << k.err.toStdString();
    EXPECT_LT(quitting.elapsed(), 5000);
    EXPECT_EQ(k.p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(k.p.exitCode(), 0);
    EXPECT_TRUE(k.err.contains("still inside the token library")) << k.err.toStdString();
}

TEST_F(MuiProcess, ScreenshotFolderThatCannotBeMadeFailsAtOnce) {
    ASSERT_EQ(keysim({"create", "--demo", "demo"}), 0);
    QTemporaryDir tmp;
    QFile file(tmp.filePath("file"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    Kelvane k({"--screenshots", tmp.filePath("file/shots")});
    ASSERT_TRUE(k.finished(20000)) << k.err.toStdString();
    EXPECT_EQ(k.p.exitCode(), 2) << k.err.toStdString();
    EXPECT_TRUE(k.err.contains("kelvane: cannot make the folder " + tmp.filePath("file/shots")))
        << k.err.toStdString();
    EXPECT_FALSE(k.err.contains("Looking for devices")) << "the key was waited for first";
}

TEST_F(MuiProcess, ScreenshotThatCannotBeWrittenIsAFailure) {
    ASSERT_EQ(keysim({"create", "--demo", "demo"}), 0);
    QTemporaryDir shots;
    ASSERT_TRUE(QDir(shots.path()).mkdir("pin.png"));  // a folder where a picture should go
    Kelvane k({"--screenshots", shots.path()});
    ASSERT_TRUE(k.finished(20000)) << k.err.toStdString();
    EXPECT_EQ(k.p.exitCode(), 1) << k.err.toStdString();
    EXPECT_TRUE(k.err.contains("cannot write " + shots.filePath("pin.png"))) << k.err.toStdString();
    EXPECT_FALSE(QImage(shots.filePath("device.png")).isNull()) << "the others are still saved";
}

TEST_F(MuiProcess, ScreenshotWaitOutsideItsRangeIsAUsageError) {
    QTemporaryDir shots;
    for (const char* seconds : {"0", "-1", "abc", "3601", "2147484", "99999999999"}) {
        Kelvane k({"--screenshots", shots.path(), "--screenshot-wait", seconds});
        ASSERT_TRUE(k.finished(20000)) << seconds;
        EXPECT_EQ(k.p.exitCode(), 2) << seconds << ": " << k.err.toStdString();
        EXPECT_TRUE(k.err.contains("kelvane: --screenshot-wait takes 1 to 3600 seconds"))
            << seconds << ": " << k.err.toStdString();
    }
}

TEST_F(MuiProcess, MissingTokenLibraryEndsAfterItsAlert) {
    // In screenshot mode the alert goes to standard error instead of a box.
    QTemporaryDir shots;
    Kelvane k({"--screenshots", shots.path()}, {"QD_TOKEN_LIBRARY=/nonexistent/libUSBQdvKey_20244.so"});
    ASSERT_TRUE(k.finished());
    EXPECT_EQ(k.p.exitCode(), 1);
    EXPECT_TRUE(k.err.contains(QStringLiteral("alert: 没有加载到底层库库？"))) << k.err.toStdString();
    EXPECT_FALSE(k.err.contains("Looking for devices"));
    EXPECT_TRUE(QDir(shots.path()).isEmpty());
}

TEST_F(MuiProcess, ScreenshotModeSavesTheThreePanels) {
    ASSERT_EQ(keysim({"create", "--demo", "demo"}), 0);
    QTemporaryDir shots;
    // The longest wait allowed; the key is there, so no waiting at all.
    Kelvane k({"--screenshots", shots.path(), "--screenshot-wait", "3600"});
    ASSERT_TRUE(k.finished(20000)) << k.err.toStdString();
    EXPECT_EQ(k.p.exitCode(), 0) << k.err.toStdString();
    QSize size;
    for (const char* name : {"device.png", "pin.png", "certificates.png"}) {
        QImage img(shots.filePath(name));
        ASSERT_FALSE(img.isNull()) << name;
        if (size.isEmpty()) size = img.size();
        EXPECT_EQ(img.size(), size) << name;
        EXPECT_TRUE(k.out.contains(shots.filePath(name))) << k.out.toStdString();
    }
    EXPECT_GE(size.width(), 385);
}

TEST_F(MuiProcess, ScreenshotModeWithoutAKeySavesTheEmptyWindowAndSaysSo) {
    QTemporaryDir shots;
    Kelvane k({"--screenshots", shots.path(), "--screenshot-wait", "1"});
    ASSERT_TRUE(k.finished(20000)) << k.err.toStdString();
    EXPECT_EQ(k.p.exitCode(), 3);
    EXPECT_FALSE(QImage(shots.filePath("device.png")).isNull());
    // Without a key only the device tab shows.
    EXPECT_FALSE(QFile::exists(shots.filePath("pin.png")));
}

}  // namespace
