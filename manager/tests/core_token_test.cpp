// The certificate reader and the PIN change service against the token
// simulator, each case in a fresh state folder, alerts intercepted.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "KeyArrival.h"
#include "Qd_MacIntf.h"
#include "alert.h"
#include "core_support.h"
#include "platform/paths.h"
#include "platform/tests/secret_watch.h"
#include "sim/token/keysim_gtest.h"

using coretest::keysim;
using kelvane::AlertRecorder;

namespace {

const QString kName = "k1";

class CoreToken : public ::testing::Test {
protected:
    void SetUp() override {
        coretest::ensureApp();
        ASSERT_EQ(Func_Init(std::getenv("QD_TOKEN_LIBRARY")), 0);
        Qd_MacIntf::setCountdownTick(std::chrono::milliseconds(10));
    }

    // A plugged key without containers, keytype 2, PIN 12345678.
    void createKey(const std::string& name = "k1") {
        ASSERT_EQ(keysim({"create", name}), 0);
        keysim({"plug", name});
        set(name, "keytype", "2");
        set(name, "pin", "12345678");
    }
    void set(const std::string& name, const std::string& field, const std::string& value) {
        ASSERT_EQ(keysim({"set", name, field, value}), 0) << field << " " << value;
    }
    void importCert(const std::string& name, const std::string& container, const std::string& spec,
                    const QByteArray& der) {
        static int n = 0;
        const std::string file = coretest::writeFile(sim.dir(), "cert" + std::to_string(++n) + ".der", der);
        ASSERT_EQ(keysim({"import", name, container, spec, file}), 0) << container << " " << spec;
    }
    // Puts bytes keysim would refuse (not a certificate, or nothing) straight
    // into the state file; the container is added at the end when missing.
    void putRaw(const QString& container, const QString& spec, const QByteArray& bytes) {
        QFile f(QString::fromStdString(sim.statePath()));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QJsonObject root = QJsonDocument::fromJson(f.readAll()).object();
        f.close();
        QJsonArray keys = root["keys"].toArray();
        QJsonObject key = keys[0].toObject();
        QJsonArray cons = key["containers"].toArray();
        qsizetype at = 0;
        while (at < cons.size() && cons[at].toObject()["name"].toString() != container) {
            ++at;
        }
        QJsonObject con = at < cons.size() ? cons[at].toObject() : QJsonObject{{"name", container}};
        if (!spec.isEmpty()) {
            con[spec] = QString::fromLatin1(bytes.toBase64());
        }
        if (at < cons.size()) {
            cons[at] = con;
        } else {
            cons.append(con);
        }
        key["containers"] = cons;
        keys[0] = key;
        root["keys"] = keys;
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QJsonDocument(root).toJson());
    }
    QJsonObject keyJson(const QString& name = kName) {
        QFile f(QString::fromStdString(sim.statePath()));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        for (const QJsonValue& k : QJsonDocument::fromJson(f.readAll()).object()["keys"].toArray()) {
            if (k.toObject()["name"].toString() == name) {
                return k.toObject();
            }
        }
        ADD_FAILURE() << "no key " << name.toStdString();
        return {};
    }

    kpsim::testing::CheckedKeys sim;
};

// ---- Certificate reader ------------------------------------------------------

TEST_F(CoreToken, CertificatesInKeyOrderWithExactKeys) {
    createKey();
    const QByteArray s1 = coretest::makeCert("User One", "Sign CA", "200101000000Z", "490615120000Z");
    const QByteArray e1 = coretest::makeCert("User One", "Enc CA");
    const QByteArray e2 = coretest::makeCert("User Two", "Enc CA");
    const QByteArray s3 = coretest::makeCert("User Three", "Sign CA");
    importCert("k1", "con-b", "sign", s1);
    importCert("k1", "con-b", "enc", e1);
    importCert("k1", "con-a", "enc", e2);  // only an encryption certificate
    putRaw("con-empty", "", {});           // neither: contributes nothing
    importCert("k1", "con-c", "sign", s3);

    AlertRecorder alerts;
    Qd_MacIntf intf;
    const std::optional<CertificateList> list = intf.lookCer();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 4);
    const QStringList keys{"cerDt", "cerState", "conNam", "isser", "sub", "valid"};
    struct {
        const char* con;
        const char* state;
        const char* sub;
        const char* isser;
        QByteArray der;
    } expected[] = {{"con-b", "签名证书", "User One", "Sign CA", s1},
                    {"con-b", "加密证书", "User One", "Enc CA", e1},
                    {"con-a", "加密证书", "User Two", "Enc CA", e2},
                    {"con-c", "签名证书", "User Three", "Sign CA", s3}};
    for (int i = 0; i < 4; ++i) {
        const CertificateRecord& r = (*list)[i];
        EXPECT_EQ(r.keys(), keys);
        EXPECT_EQ(r[CertKey::conNam].toString(), QString(expected[i].con)) << i;
        EXPECT_EQ(r[CertKey::cerState].toString(), QString::fromUtf8(expected[i].state)) << i;
        EXPECT_EQ(r[CertKey::sub].toString(), QString(expected[i].sub)) << i;
        EXPECT_EQ(r[CertKey::isser].toString(), QString(expected[i].isser)) << i;
        EXPECT_EQ(r[CertKey::cerDt].toByteArray(), expected[i].der) << i;
    }
    EXPECT_EQ((*list)[0][CertKey::valid].toString(), QString("20200101-20490615"));
    EXPECT_TRUE(alerts.messages().isEmpty());
}

TEST_F(CoreToken, EightContainersAndABadCertificate) {
    createKey();
    for (int i = 1; i <= 8; ++i) {
        const std::string con = "container" + std::to_string(i);
        importCert("k1", con, "sign", coretest::makeCert("S" + std::to_string(i), "CA"));
        if (i != 5) {
            importCert("k1", con, "enc", coretest::makeCert("E" + std::to_string(i), "CA"));
        }
    }
    putRaw("container5", "enc", QByteArray("\x30\x03not DER at all", 16));
    Qd_MacIntf intf;
    const auto list = intf.lookCer();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 16);
    for (int i = 0; i < 16; ++i) {
        const CertificateRecord& r = (*list)[i];
        const int con = i / 2 + 1;
        EXPECT_EQ(r[CertKey::conNam].toString(), QString("container%1").arg(con));
        EXPECT_EQ(r[CertKey::cerState].toString(), QString::fromUtf8(i % 2 == 0 ? "签名证书" : "加密证书"));
        if (con == 5 && i % 2 == 1) {
            // Listed, with empty names and dates, and its bytes as read.
            EXPECT_TRUE(r[CertKey::sub].toString().isEmpty());
            EXPECT_TRUE(r[CertKey::isser].toString().isEmpty());
            EXPECT_TRUE(r[CertKey::valid].toString().isEmpty());
            EXPECT_EQ(r[CertKey::cerDt].toByteArray().size(), 16);
        } else {
            EXPECT_EQ(r[CertKey::sub].toString(), QString("%1%2").arg(i % 2 == 0 ? "S" : "E").arg(con));
        }
    }
}

TEST_F(CoreToken, NoCertificatesGivesAnEmptyList) {
    createKey();
    Qd_MacIntf intf;
    const auto list = intf.lookCer();
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->isEmpty());
}

TEST_F(CoreToken, LengthsBeyondTheBuffersAreNeverRead) {
    createKey();
    importCert("k1", "c1", "sign", coretest::makeCert("One", "CA"));
    importCert("k1", "c2", "enc", coretest::makeCert("Two", "CA"));
    for (const char* fault : {"overlong", "unterminated"}) {
        SCOPED_TRACE(fault);
        set("k1", "fault", fault);
        Qd_MacIntf intf;
        const auto list = intf.lookCer();
        ASSERT_TRUE(list);
        ASSERT_EQ(list->size(), 2);
        EXPECT_EQ((*list)[0][CertKey::sub].toString(), QString("One"));
        EXPECT_EQ((*list)[1][CertKey::sub].toString(), QString("Two"));
        for (const CertificateRecord& r : *list) {
            EXPECT_LE(r[CertKey::cerDt].toByteArray().size(), 4096);
        }
    }
}

// The reader's own buffers at their edges: a certificate of exactly 4096
// bytes is read whole (its last byte included), one of 4097 is not listed;
// a container list of exactly 1024 bytes (names, their NULs and the ending
// empty name) is read whole, 1025 gives no list. A buffer one byte smaller,
// a length cut by one, or a bound moved past the buffer fails a row.
TEST_F(CoreToken, CertificateAndContainerBuffersAtTheirEdges) {
    struct Row {
        const char* label;
        std::vector<int> containerLengths;  // names of these lengths, one certificate each
        int certBytes;                      // bytes of the first container's certificate
        int listed;                         // -1: no list
    } rows[] = {
        {"smallest certificate, smallest name", {1}, 1, 1},
        {"certificate of exactly 4096 bytes", {8}, 4096, 1},
        {"certificate of 4097 bytes", {8}, 4097, 0},
        {"container list of exactly 1024 bytes", {255, 255, 255, 254}, 16, 4},
        {"container list of 1025 bytes", {255, 255, 255, 255}, 16, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        createKey();
        QStringList names;
        QList<QByteArray> certs;
        for (size_t i = 0; i < row.containerLengths.size(); ++i) {
            // Distinct names and bytes, each ending in a character of its own.
            QString name(row.containerLengths[i] - 1, QChar('a' + static_cast<char>(i)));
            name += QChar('Z');
            QByteArray bytes(i == 0 ? row.certBytes : 16, static_cast<char>('0' + i));
            bytes[bytes.size() - 1] = 'L';
            putRaw(name, "sign", bytes);
            names << name;
            certs << bytes;
        }
        Qd_MacIntf intf;
        const std::optional<CertificateList> list = intf.lookCer();
        if (row.listed < 0) {
            EXPECT_FALSE(list);
        } else {
            ASSERT_TRUE(list);
            ASSERT_EQ(list->size(), row.listed);
            for (int i = 0; i < row.listed; ++i) {
                EXPECT_EQ((*list)[i][CertKey::conNam].toString(), names[i]);
                EXPECT_EQ((*list)[i][CertKey::cerDt].toByteArray(), certs[i]);
            }
        }
        ASSERT_EQ(keysim({"remove", "k1"}), 0);
    }
}

TEST_F(CoreToken, NoKeyGivesNoListAndTheAlert) {
    AlertRecorder alerts;
    Qd_MacIntf intf;
    EXPECT_FALSE(intf.lookCer());
    EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8("连接设备失败，请重新插入设备或重启程序！")});

    // From a watch thread the alert is queued to the main thread.
    alerts.clear();
    std::optional<CertificateList> fromThread{CertificateList{}};
    std::thread t([&] {
        Qd_MacIntf other;
        fromThread = other.lookCer();
    });
    t.join();
    EXPECT_FALSE(fromThread);
    EXPECT_TRUE(alerts.messages().isEmpty());
    QCoreApplication::processEvents();
    EXPECT_EQ(alerts.messages().size(), 1);
}

// ---- PIN change --------------------------------------------------------------

// Watches the tip window while a change runs: the main thread handles events
// once per countdown cycle, so a zero-interval timer samples every cycle.
struct TipWatch {
    QStringList labelTexts;
    int windowsSeen = 0;
    QSize size;
    QString title;
    Qt::WindowFlags flags;
    QRect labelRect;
    QColor labelColour;
    int labelPointSize = 0;
    bool pictureShown = false;
    QTimer timer;
    std::function<void()> onFirstSample;

    TipWatch() {
        timer.setInterval(0);
        QObject::connect(&timer, &QTimer::timeout, [this] { sample(); });
        timer.start();
    }
    void sample() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->windowTitle() != QString::fromUtf8("按钮提示") || !w->isVisible()) {
                continue;
            }
            if (labelTexts.isEmpty()) {
                ++windowsSeen;
                size = w->size();
                title = w->windowTitle();
                flags = w->windowFlags();
            }
            for (QLabel* l : w->findChildren<QLabel*>()) {
                if (l->property("tag").toInt() == 100) {
                    labelRect = l->geometry();
                    labelColour = l->palette().color(QPalette::WindowText);
                    labelPointSize = l->font().pixelSize();
                    if (labelTexts.isEmpty() || labelTexts.last() != l->text()) {
                        labelTexts << l->text();
                    }
                } else if (!l->pixmap().isNull()) {
                    pictureShown = true;
                }
            }
            if (labelTexts.size() == 1 && onFirstSample) {
                auto f = std::move(onFirstSample);
                onFirstSample = nullptr;
                f();
            }
        }
    }
};

// Last number in "温馨提示：剩余%d秒失效！".
int shownCount(const QString& text) {
    const QString digits = text.section(QString::fromUtf8("剩余"), 1).section(QString::fromUtf8("秒"), 0, 0);
    return digits.toInt();
}

TEST_F(CoreToken, SuccessfulChangeWithTipWindowCountingDown) {
    createKey();
    set("k1", "button", "press:0.3");
    const std::string bundle = sim.dir() + "/bundle";
    std::filesystem::create_directories(bundle + "/share");
    std::filesystem::copy_file(QD_IMAGES_DIR "/QDChangepinSure.gif", bundle + "/share/QDChangepinSure.gif");
    setenv("QD_BUNDLE_DIR", bundle.c_str(), 1);

    AlertRecorder alerts;
    TipWatch watch;
    Qd_MacIntf intf;
    EXPECT_TRUE(intf.changeModf("12345678", "abc123", "abc123"));
    EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8("pin码修改成功")});
    EXPECT_EQ(keyJson()["pin"].toString(), QString("abc123"));

    ASSERT_EQ(watch.windowsSeen, 1);
    EXPECT_EQ(watch.size, QSize(384, 261));
    EXPECT_TRUE(watch.flags & Qt::WindowTitleHint);
    EXPECT_FALSE(watch.flags &
                 (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(watch.labelRect, QRect(0, 241, 384, 20));
    EXPECT_EQ(watch.labelColour, QColor(Qt::red));
    EXPECT_EQ(watch.labelPointSize, 18);
    EXPECT_TRUE(watch.pictureShown);
    ASSERT_GE(watch.labelTexts.size(), 2);
    EXPECT_EQ(watch.labelTexts.first(), QString::fromUtf8("温馨提示：剩余30秒失效！"));
    EXPECT_EQ(watch.labelTexts[1], QString::fromUtf8("温馨提示：剩余29秒失效！"));
    // The window is gone once the change is over.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        EXPECT_FALSE(w->isVisible() && w->windowTitle() == QString::fromUtf8("按钮提示"));
    }
    EXPECT_EQ(intf.wind, nullptr);
    EXPECT_TRUE(intf.pinOld.isEmpty());  // wiped after use
}

// The worker of a PIN change, on a thread whose stack the test owns, leaves
// neither PIN (in UTF-8, as handed to the key) in its frames. The PINs
// searched never reach the simulator's state file (a wrong old PIN; the new
// PIN of a change cancelled at the button), so any copy found is the
// client's, and they are longer than a short string kept in place.
TEST_F(CoreToken, PinChangeWorkerLeavesNoCopyOfEitherPinOnTheStack) {
    createKey();
    set("k1", "button", "cancel");
    static const char oldPin[] = "Old-PIN-stored-nowhere-1";
    static const char newPin[] = "New-PIN-stored-nowhere-2";
    const struct {
        const char* label;
        const char* oldPin;
        const char* searched;
        uint32_t status;
    } rows[] = {
        {"wrong old PIN, the old one", oldPin, oldPin, 0x8800003Du},
        {"wrong old PIN, the new one", oldPin, newPin, 0x8800003Du},
        {"cancelled at the button, the new one", "12345678", newPin, 0x88000061u},
    };
    for (const auto& row : rows) {
        Qd_MacIntf intf;
        ASSERT_EQ(KpConnectDev("USBQdvKey k1", &intf.ghd), 0u);
        intf.pinOld = QString::fromLatin1(row.oldPin);
        intf.pinNewOne = QString::fromLatin1(newPin);
        const size_t copies = secretwatch::copiesLeftOnOwnedStack(row.searched, std::strlen(row.searched),
                                                                  [&] { intf.cgPin(); });
        EXPECT_EQ(intf.cgRet, row.status) << row.label;
        EXPECT_EQ(KpDisconnectDev(intf.ghd), 0u);
        EXPECT_EQ(copies, 0u) << row.label;
    }
}

// The whole PIN change, as the window starts it: no temporary heap buffer
// (the UTF-8 bytes handed to the key, any std::string or QByteArray on the
// way) goes back to the heap still holding either PIN, whatever thread
// frees it. The PINs searched never reach the simulator's heap: a wrong old
// PIN is only compared, and a new PIN of 15 bytes stays inside its string.
// The first check shows the watch does see an unwiped temporary; the last
// that the interface's own PIN texts (UTF-16) are wiped when it goes.
TEST_F(CoreToken, PinChangeLeavesNoCopyOfEitherPinInFreedHeap) {
    createKey();
    static const char oldPin[] = "OldPin4Nowhere8Zq";  // never the key's PIN
    static const char newPin[] = "Fresh2Pin9Copy7";    // 15 bytes: no heap copy in the simulator
    static const char16_t newPin16[] = u"Fresh2Pin9Copy7";
    static_assert(sizeof newPin - 1 == 15);
    AlertRecorder alerts;

    EXPECT_GE(secretwatch::copiesFreedDuring(newPin, 15,
                                             [] { QByteArray left = QString::fromLatin1(newPin).toUtf8(); }),
              1L)
        << "the watch misses an unwiped UTF-8 temporary";

    const struct {
        const char* label;
        const char* button;
        QString oldGiven;
        const char* searched;
        const char* outcome;
    } rows[] = {
        {"wrong old PIN, the old one", "press:0", QString::fromLatin1(oldPin), oldPin,
         "旧密码错误，还有5次机会！"},
        {"wrong old PIN, the new one", "press:0", QString::fromLatin1(oldPin), newPin,
         "旧密码错误，还有4次机会！"},
        {"cancelled at the button, the new one", "cancel", "12345678", newPin, "取消了操作！"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        set("k1", "button", row.button);
        alerts.clear();
        const long freed = secretwatch::copiesFreedDuring(row.searched, std::strlen(row.searched), [&] {
            Qd_MacIntf intf;
            EXPECT_FALSE(
                intf.changeModf(row.oldGiven, QString::fromLatin1(newPin), QString::fromLatin1(newPin)));
        });
        EXPECT_EQ(freed, 0L);
        EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8(row.outcome)});
    }
    EXPECT_EQ(keyJson()["pin"].toString(), QString("12345678"));

    // An interface dropped while it holds the PIN texts wipes them.
    auto* intf = new Qd_MacIntf;
    intf->pinOld = QString::fromLatin1(newPin);  // each its own buffer: one wipe left out shows
    intf->pinNewOne = QString::fromLatin1(newPin);
    intf->pinNewTwo = QString::fromLatin1(newPin);
    EXPECT_EQ(secretwatch::copiesFreedDuring(newPin16, sizeof newPin16 - 2, [&] { delete intf; }), 0L);
}

// A system that refuses the worker thread (here: no address space left for
// its stack): the change is not made, the user is told it failed, the key
// is released and the PIN texts are wiped at once, not only when the
// interface goes.
TEST_F(CoreToken, RefusedWorkerThreadFailsTheChangeAndWipesThePins) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's reservations leave no address-space limit to set";
#else
    createKey();
    set("k1", "button", "press:0");
    AlertRecorder alerts;
    Qd_MacIntf intf;
    rlimit stack{};
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &stack), 0);
    if (stack.rlim_cur != RLIM_INFINITY && stack.rlim_cur < (size_t{4} << 20))
        GTEST_SKIP() << "thread stacks too small";
    long pages = 0;
    {
        std::ifstream statm("/proc/self/statm");
        statm >> pages;
    }
    ASSERT_GT(pages, 0);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
    // Room for what the change allocates before its thread, not for a stack.
    const rlimit tight{
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{1} << 20),
        old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    const bool changed = intf.changeModf("12345678", "abc123", "abc123");
    ASSERT_EQ(setrlimit(RLIMIT_AS, &old), 0);
    EXPECT_FALSE(changed);
    EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8("修改密码失败！")});
    EXPECT_TRUE(intf.pinOld.isEmpty());
    EXPECT_TRUE(intf.pinNewOne.isEmpty());
    EXPECT_TRUE(intf.pinNewTwo.isEmpty());
    EXPECT_EQ(intf.ghd, nullptr);
    EXPECT_EQ(keyJson()["pin"].toString(), QString("12345678"));
#endif
}

TEST_F(CoreToken, CountdownGoesOnBelowZeroUntilTheKeyTimesOut) {
    createKey();
    set("k1", "button", "never:0.8");
    Qd_MacIntf::setCountdownTick(std::chrono::milliseconds(3));
    AlertRecorder alerts;
    TipWatch watch;
    Qd_MacIntf intf;
    EXPECT_FALSE(intf.changeModf("12345678", "abc123", "abc123"));
    EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8("操作超时！")});
    ASSERT_FALSE(watch.labelTexts.isEmpty());
    EXPECT_LT(shownCount(watch.labelTexts.last()), 0);
    EXPECT_LT(intf.tm, 0);
    EXPECT_EQ(keyJson()["pin"].toString(), QString("12345678"));
}

TEST_F(CoreToken, KeyTypeOneWaitsWithoutAWindow) {
    createKey();
    set("k1", "keytype", "1");
    set("k1", "button", "press:0.3");
    AlertRecorder alerts;
    TipWatch watch;
    QElapsedTimer clock;
    clock.start();
    Qd_MacIntf intf;
    EXPECT_TRUE(intf.changeModf("12345678", "abc123", "abc123"));
    EXPECT_GE(clock.elapsed(), 250);  // blocked until the key answered
    QCoreApplication::processEvents();
    EXPECT_EQ(watch.windowsSeen, 0);
    EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8("pin码修改成功")});
}

TEST_F(CoreToken, EveryOutcomeHasItsAlert) {
    createKey();
    struct {
        const char* button;
        const char* message;
    } cases[] = {
        {"cancel", "取消了操作！"},
        {"never:0.05", "操作超时！"},
        {"status:0x8800003E", "网盾被锁定！"},
        {"status:0x88000044", "硬件返回指令错误！"},
        {"status:0x12345678", "修改密码失败！"},
        {"status:0x88000061", "取消了操作！"},
        {"status:0xE0020013", "操作超时！"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button);
        set("k1", "button", c.button);
        AlertRecorder alerts;
        Qd_MacIntf intf;
        EXPECT_FALSE(intf.changeModf("12345678", "abc123", "abc123"));
        EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8(c.message)});
    }
    EXPECT_EQ(keyJson()["pin"].toString(), QString("12345678"));
}

TEST_F(CoreToken, OutcomeTableIsComplete) {
    const std::set<uint32_t> statuses{0, 0x88000061u, 0xE0020013u, 0x8800003Eu, 0x88000044u, 0x8800003Du};
    std::set<uint32_t> seen;
    for (const auto& o : Qd_MacIntf::changeOutcomes()) {
        seen.insert(o.status);
    }
    EXPECT_EQ(seen, statuses);
    EXPECT_EQ(Qd_MacIntf::changeOutcomeText(0x8800003D, 4), QString::fromUtf8("旧密码错误，还有4次机会！"));
    EXPECT_EQ(Qd_MacIntf::changeOutcomeText(0xFFFFFFFF, 0), QString::fromUtf8("修改密码失败！"));
}

TEST_F(CoreToken, WrongOldPinTellsTheTriesLeftThenTheKeyLocks) {
    createKey();
    set("k1", "tries", "3");
    set("k1", "button", "press:0");
    for (int left : {2, 1, 0}) {
        AlertRecorder alerts;
        Qd_MacIntf intf;
        EXPECT_FALSE(intf.changeModf("87654321", "abc123", "abc123"));
        EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8("旧密码错误，还有%1次机会！").arg(left)});
    }
    // Now locked: refused before any change call, even with the right PIN.
    AlertRecorder alerts;
    TipWatch watch;
    Qd_MacIntf intf;
    EXPECT_FALSE(intf.changeModf("12345678", "abc123", "abc123"));
    EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8("网盾被锁定！")});
    EXPECT_EQ(watch.windowsSeen, 0);
    EXPECT_EQ(keyJson()["pin"].toString(), QString("12345678"));
}

// Retry counts at their edges: the maximum (6, and the key's largest, 255),
// one try left, none left. Only a key with no try left is refused before the
// change; one try left still changes the PIN (a check of "1 or fewer" fails
// here), and the tries left are told as the key counted them.
TEST_F(CoreToken, RetryCountsAtTheirEdges) {
    createKey();
    set("k1", "button", "press:0");
    struct {
        const char* label;
        const char* maxTries;
        const char* tries;
        const char* oldPin;
        const char* message;
        int triesAfter;
        const char* pinAfter;
    } rows[] = {
        {"at the maximum, wrong PIN", "6", "6", "87654321", "旧密码错误，还有5次机会！", 5, "12345678"},
        {"largest maximum, wrong PIN", "255", "255", "87654321", "旧密码错误，还有254次机会！", 254,
         "12345678"},
        {"one left, wrong PIN", "6", "1", "87654321", "旧密码错误，还有0次机会！", 0, "12345678"},
        {"one left, right PIN", "6", "1", "12345678", "pin码修改成功", 6, "abc123"},
        {"none left, right PIN", "6", "0", "12345678", "网盾被锁定！", 0, "12345678"},
        {"maximum of 1, right PIN", "1", "1", "12345678", "pin码修改成功", 1, "abc123"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        set("k1", "pin", "12345678");
        set("k1", "tries", "0");  // tries never above the maximum while it changes
        set("k1", "maxtries", row.maxTries);
        set("k1", "tries", row.tries);
        AlertRecorder alerts;
        TipWatch watch;
        Qd_MacIntf intf;
        EXPECT_EQ(intf.changeModf(row.oldPin, "abc123", "abc123"), std::string(row.pinAfter) == "abc123");
        EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8(row.message)});
        EXPECT_EQ(keyJson()["tries"].toInt(), row.triesAfter);
        EXPECT_EQ(keyJson()["pin"].toString(), QString(row.pinAfter));
        if (std::string(row.tries) == "0") {
            EXPECT_EQ(watch.windowsSeen, 0);  // refused before the change: no tip window
        }
    }
}

TEST_F(CoreToken, RulesAndConnectionAreCheckedBeforeTheKey) {
    AlertRecorder alerts;
    {
        Qd_MacIntf intf;  // no key at all: the rule speaks first
        EXPECT_FALSE(intf.changeModf("abc123", "abc123", "abc123"));
    }
    {
        Qd_MacIntf intf;
        EXPECT_FALSE(intf.changeModf("12345678", "abc123", "abc123"));
    }
    EXPECT_EQ(alerts.messages(), (QStringList{QString::fromUtf8("新密码与旧密码不能相同！"),
                                              QString::fromUtf8("网盾连接失败！")}));
}

TEST_F(CoreToken, EndedSessionStillReportsTheKeysAnswer) {
    createKey();
    set("k1", "button", "press:0.4");
    AlertRecorder alerts;
    TipWatch watch;
    watch.onFirstSample = [] { Qd_MacIntf::stopModal(); };  // as a key removal does
    Qd_MacIntf intf;
    EXPECT_TRUE(intf.changeModf("12345678", "abc123", "abc123"));
    // The countdown stopped at once (the key took 0.4 s, about 40 cycles), the
    // window is gone, and the alert still tells the key's real answer.
    EXPECT_EQ(watch.windowsSeen, 1);
    EXPECT_EQ(watch.labelTexts.size(), 1);
    EXPECT_EQ(intf.wind, nullptr);
    EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8("pin码修改成功")});
    EXPECT_EQ(keyJson()["pin"].toString(), QString("abc123"));
}

// A retry-count read that fails (here writing 0 as it fails) does not stop the
// change: only a successful read of 0 means locked. An arrival shows the
// preset 6 then, not what the failed read wrote.
TEST_F(CoreToken, FailedRetryCountReadDoesNotStopTheChange) {
    createKey();
    set("k1", "button", "press:0");
    setenv("CORE_SHIM_TARGET", std::getenv("QD_TOKEN_LIBRARY"), 1);
    ASSERT_EQ(Func_Init(QD_RETRY_SHIM), 0);
    AlertRecorder alerts;
    Qd_MacIntf intf;
    EXPECT_TRUE(intf.changeModf("12345678", "abc123", "abc123"));
    EXPECT_EQ(alerts.messages(), QStringList{QString::fromUtf8("pin码修改成功")});
    EXPECT_EQ(keyJson()["pin"].toString(), QString("abc123"));

    const kelvane::ArrivedKey key = kelvane::readArrivedKey({});
    EXPECT_EQ(key.outcome, kelvane::ArrivedKey::Outcome::Connected);
    EXPECT_EQ(key.retry, 6u);
}

}  // namespace
