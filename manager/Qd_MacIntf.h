// The key manager's key interface: one instance per job (reading the
// certificates, testing PINs, changing the PIN). Token work goes through the
// binding in token/Func_init.h; every job holds its connection in a
// token::Session (token/Session.h), which disconnects on every way out.
//
// Threads: lookCer() may run on any thread (it blocks on the token; its
// connection-failure alert is queued to the main thread). chackPswd() and
// changeModf() belong on the Qt main thread: they show alerts, and changeModf
// runs the countdown tip window there while a worker thread of its own waits
// on the key.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariantMap>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "token/Func_init.h"

class QLabel;
class QWidget;

// One certificate on the key: a text-keyed dictionary with exactly the keys
// below. Values: QString for all but "cerDt" (QByteArray, the DER bytes).
using CertificateRecord = QVariantMap;

namespace CertKey {
inline constexpr char isser[] = "isser";        // issuer common name
inline constexpr char sub[] = "sub";            // subject common name
inline constexpr char valid[] = "valid";        // "yyyyMMdd-yyyyMMdd", local time
inline constexpr char cerState[] = "cerState";  // "签名证书" or "加密证书"
inline constexpr char cerDt[] = "cerDt";        // DER bytes as read (QByteArray)
inline constexpr char conNam[] = "conNam";      // container name (UTF-8 text)
}  // namespace CertKey

// Kinds of certificate written under "cerState".
inline constexpr char kSignCertText[] = "签名证书";
inline constexpr char kEncCertText[] = "加密证书";

// Certificate list in key order (per container: signing, then encryption).
using CertificateList = QList<CertificateRecord>;

class Qd_MacIntf {
public:
    Qd_MacIntf();
    ~Qd_MacIntf();  // wipes the PIN texts
    Qd_MacIntf(const Qd_MacIntf&) = delete;
    Qd_MacIntf& operator=(const Qd_MacIntf&) = delete;

    // ---- Certificates ----------------------------------------------------
    // Reads every certificate of the first key. nullopt ("no list") when the
    // key cannot be connected (after the alert "连接设备失败，请重新插入设备或
    // 重启程序！") or its containers cannot be listed (no alert). A certificate
    // that is not DER X.509 is listed with empty names and dates.
    std::optional<CertificateList> lookCer();
    // Record with "isser", "sub" and "valid" from DER bytes (empty texts when
    // the bytes do not parse).
    CertificateRecord fzX509(const QByteArray& der);
    // Text after the last "CN=" of a one-line name (the whole text without one).
    static QString getZqStr(const char* oneline);

    // ---- PIN rules -------------------------------------------------------
    // yes when all eight rules pass; otherwise the first broken rule's alert
    // has been shown and the answer is no.
    bool chackPswd(const QString& oldPin, const QString& newOne, const QString& newTwo);
    static bool pdTszf(const QString& text);
    static bool Lx3zf(const QString& text);
    static bool getSfPin(const QString& text);
    static char getBzChar(QChar c);
    static int getInt(char mark);

    // ---- PIN change ------------------------------------------------------
    // Tests the rules, connects, refuses a locked key, changes the PIN on a
    // worker thread while the tip window counts down (no window for key type
    // 1), then shows the outcome alert. yes only for status 0. Main thread;
    // returns after the outcome alert was dismissed.
    bool changeModf(const QString& pin1, const QString& pin2, const QString& pin3);
    // Worker body: KpChangeUserPin on ghd, result in cgRet, then sets bl.
    void cgPin();
    // Shows the tip window (unless keyType is 1) and returns once bl is set.
    void tcTs(uint32_t keyType);
    // Ends the tip window's modal session if there is one and closes it.
    void xiaoshiTc();

    // Outcome alert text of a KpChangeUserPin status (tries for 0x8800003D).
    static QString changeOutcomeText(uint32_t status, uint32_t tries);
    // The statuses told apart, with their texts ("%d" takes the tries); every
    // other status reads kChangeFailedText.
    struct ChangeOutcome {
        uint32_t status;
        const char* text;
    };
    static const std::array<ChangeOutcome, 6>& changeOutcomes();

    // Ends the running tip window's modal session from outside (the key
    // removal does this, as it stops the application's modal loop). The
    // change still waits for the key's answer before telling the outcome.
    // Main thread. Does nothing when no tip window is up.
    static void stopModal();

    // Pause of one countdown cycle; 987 ms unless a test shortens it.
    static void setCountdownTick(std::chrono::milliseconds tick);
    static std::chrono::milliseconds countdownTick();

    // ---- State of one change (names as the system knows them) -------------
    KPHANDLE ghd = nullptr;
    QString pinOld, pinNewOne, pinNewTwo;
    uint32_t dwcishu = 0;
    uint32_t cgRet = 0;
    std::atomic<bool> bl{false};  // written by the worker (release), read by main (acquire)
    int32_t tm = 0;
    std::unique_ptr<QWidget> wind;  // tip window while it is up
    bool session = false;           // the tip window's modal session runs

private:
    void buildTipWindow();
    void showFirstFrame();
    bool runSessionOnce();
    QLabel* countdownLabel() const;
};

inline constexpr char kChangeFailedText[] = "修改密码失败！";
inline constexpr char kConnectFailedText[] = "网盾连接失败！";
inline constexpr char kLockedText[] = "网盾被锁定！";
inline constexpr char kCertConnectFailedText[] = "连接设备失败，请重新插入设备或重启程序！";

// Title, size and texts of the tip window (the countdown takes tm via %1).
inline constexpr char kTipWindowTitle[] = "按钮提示";
inline constexpr int kTipWindowWidth = 384;
inline constexpr int kTipWindowHeight = 261;
inline constexpr int kTipLabelTag = 100;
inline constexpr char kTipImageName[] = "QDChangepinSure.gif";
inline constexpr char kTipCountdownFormat[] = "温馨提示：剩余%d秒失效！";
