#include "Qd_MacIntf.h"

#include <openssl/crypto.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QWidget>
#include <QWindow>
#include <cstring>
#include <system_error>
#include <thread>

#include "BusyWait.h"
#include "OpensslOperate.h"
#include "PinPolicy.h"
#include "alert.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/windowstyle.h"
#include "token/NameList.h"
#include "token/Session.h"

using platform::logLinef;

namespace {

// Buffers of one job, each one byte longer than the capacity handed to the
// library and zeroed, so a name filling the whole capacity still ends in NUL.
constexpr uint32_t kNamesCapacity = 1024;
constexpr uint32_t kCertCapacity = 4096;
constexpr uint32_t kReaderCountIn = 30;

std::atomic<long long> g_tickMs{987};
Qd_MacIntf* g_activeTip = nullptr;  // main thread only

void wipe(QString& s) {
    if (!s.isEmpty()) {
        OPENSSL_cleanse(s.data(), static_cast<size_t>(s.size()) * sizeof(QChar));
    }
    s.clear();
}

void wipe(QByteArray& b) {
    if (!b.isEmpty()) {
        OPENSSL_cleanse(b.data(), static_cast<size_t>(b.size()));
    }
    b.clear();
}

// First reader of the key manager's (filtered) reader list; "" when none.
std::array<char, kNamesCapacity + 1> firstReaderBuffer() {
    std::array<char, kNamesCapacity + 1> readers{};
    uint32_t len = kNamesCapacity;
    uint32_t count = kReaderCountIn;
    // Its status is not examined: the connect below tells whether a key is there.
    (void)KpListReaders(readers.data(), &len, &count);
    readers[kNamesCapacity] = '\0';
    return readers;
}

// The tip window: a dialog to assistive technology, so a screen reader
// announces it. While the key waits it cannot be closed: the close box that
// the window manager or, under Wayland, the program's own title bar draws
// is refused here, and so is Escape. The program hides it (xiaoshiTc).
class TipWindow : public QDialog {
public:
    TipWindow() : QDialog(nullptr, Qt::Window) {}
    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

constexpr std::array<Qd_MacIntf::ChangeOutcome, 6> kOutcomes{{
    {0x00000000u, "pin码修改成功"},
    {0x88000061u, "取消了操作！"},
    {0xE0020013u, "操作超时！"},
    {0x8800003Eu, "网盾被锁定！"},
    {0x88000044u, "硬件返回指令错误！"},
    {0x8800003Du, "旧密码错误，还有%d次机会！"},
}};

}  // namespace

Qd_MacIntf::Qd_MacIntf() = default;

Qd_MacIntf::~Qd_MacIntf() {
    if (g_activeTip == this) {
        g_activeTip = nullptr;
    }
    wipe(pinOld);
    wipe(pinNewOne);
    wipe(pinNewTwo);
}

// ---- Certificates --------------------------------------------------------

std::optional<CertificateList> Qd_MacIntf::lookCer() {
    CertificateList list;
    std::array<char, kNamesCapacity + 1> readers = firstReaderBuffer();

    token::Session session(readers.data());
    uint32_t ret = session.connectStatus();
    if (ret != 0) {
        kelvane::alert(QString::fromUtf8(kCertConnectFailedText));
        return std::nullopt;
    }
    logLinef("连接设备：KpConnectDev ret = 0x%x", ret);
    KPHANDLE dev = session.handle();

    if (dev != nullptr) {
        std::array<char, kNamesCapacity + 1> names{};
        uint32_t namesLen = kNamesCapacity;
        uint32_t count = kNamesCapacity;
        ret = KpListContainers(dev, names.data(), &namesLen, &count);
        if (ret != 0) {
            logLinef("KpListContainers error ret = 0x%x", ret);
            return std::nullopt;
        }
        std::array<unsigned char, kCertCapacity> cert{};
        for (const std::string& conNam : token::nameList(names.data(), namesLen, kNamesCapacity)) {
            logLinef("conNam = %s", conNam.c_str());

            static constexpr struct {
                uint32_t spec;
                const char* state;
            } kSpecs[] = {{KP_KEYSPEC_SIGN, kSignCertText}, {KP_KEYSPEC_ENC, kEncCertText}};
            for (const auto& k : kSpecs) {
                uint32_t certLen = kCertCapacity;
                cert.fill(0);
                ret = KpReadCert(dev, conNam.c_str(), k.spec, cert.data(), &certLen);
                logLinef("KpReadCert dwKeySpec=%u ret = 0x%x", k.spec, ret);
                if (ret != 0 || certLen == 0) {
                    continue;
                }
                if (certLen > kCertCapacity) {
                    // More than the buffer can hold: keep what arrived; it will
                    // not parse and is listed with empty names and dates.
                    logLinef("KpReadCert length %u exceeds %u", certLen, kCertCapacity);
                    certLen = kCertCapacity;
                }
                const QByteArray der(reinterpret_cast<const char*>(cert.data()),
                                     static_cast<qsizetype>(certLen));
                CertificateRecord rec = fzX509(der);
                rec.insert(CertKey::cerState, QString::fromUtf8(k.state));
                rec.insert(CertKey::cerDt, der);
                rec.insert(CertKey::conNam, QString::fromUtf8(conNam.c_str()));
                list.append(rec);
            }
        }
    }

    ret = session.close();
    logLinef("断开设备：KpDisconnectDev ret = 0x%x", ret);
    return list;
}

CertificateRecord Qd_MacIntf::fzX509(const QByteArray& der) {
    CertificateRecord rec;
    const X509Ptr cert = OpensslOperate::getX509Data(der);
    if (!cert) {
        logLinef("certificate of %lld bytes is not DER X.509", static_cast<long long>(der.size()));
        rec.insert(CertKey::isser, QString());
        rec.insert(CertKey::sub, QString());
        rec.insert(CertKey::valid, QString());
        return rec;
    }
    const QString start = OpensslOperate::getStartTime(cert.get());
    const QString end = OpensslOperate::getEndTime(cert.get());
    logLinef("%s   %s", start.toUtf8().constData(), end.toUtf8().constData());

    const std::string issuer = OpensslOperate::getIssuerName(cert.get());
    const std::string subject = OpensslOperate::getsbjctName(cert.get());
    logLinef("%s   %s", subject.c_str(), issuer.c_str());
    const QString isser = getZqStr(issuer.c_str());
    const QString sub = getZqStr(subject.c_str());
    logLinef("%s   %s", isser.toUtf8().constData(), sub.toUtf8().constData());

    rec.insert(CertKey::isser, isser);
    rec.insert(CertKey::sub, sub);
    rec.insert(CertKey::valid, QStringLiteral("%1-%2").arg(start, end));
    return rec;
}

QString Qd_MacIntf::getZqStr(const char* oneline) {
    if (oneline == nullptr) {
        return {};
    }
    const QByteArray text(oneline);
    const qsizetype at = text.lastIndexOf("CN=");
    return QString::fromUtf8(at < 0 ? text : text.mid(at + 3));
}

// ---- PIN rules -------------------------------------------------------------

bool Qd_MacIntf::chackPswd(const QString& oldPin, const QString& newOne, const QString& newTwo) {
    const int broken = kelvane::firstBrokenPinRule(oldPin, newOne, newTwo);
    if (broken != 0) {
        kelvane::alert(kelvane::pinRuleMessage(broken));
        return false;
    }
    return true;
}

bool Qd_MacIntf::pdTszf(const QString& text) { return kelvane::pdTszf(text); }
bool Qd_MacIntf::Lx3zf(const QString& text) { return kelvane::Lx3zf(text); }
bool Qd_MacIntf::getSfPin(const QString& text) { return kelvane::getSfPin(text); }
char Qd_MacIntf::getBzChar(QChar c) { return kelvane::getBzChar(c); }
int Qd_MacIntf::getInt(char mark) { return kelvane::getInt(mark); }

// ---- PIN change ------------------------------------------------------------

const std::array<Qd_MacIntf::ChangeOutcome, 6>& Qd_MacIntf::changeOutcomes() { return kOutcomes; }

QString Qd_MacIntf::changeOutcomeText(uint32_t status, uint32_t tries) {
    for (const ChangeOutcome& o : kOutcomes) {
        if (o.status == status) {
            QString text = QString::fromUtf8(o.text);
            return text.replace(QStringLiteral("%d"), QString::number(tries));
        }
    }
    return QString::fromUtf8(kChangeFailedText);
}

bool Qd_MacIntf::changeModf(const QString& pin1, const QString& pin2, const QString& pin3) {
    if (!chackPswd(pin1, pin2, pin3)) {
        return false;
    }

    ghd = nullptr;
    std::array<char, kNamesCapacity + 1> readers = firstReaderBuffer();
    // Disconnects on every way out; the worker borrows its handle as ghd.
    token::Session session(readers.data());
    uint32_t ret = session.connectStatus();
    if (ret != 0) {
        kelvane::alert(QString::fromUtf8(kConnectFailedText));
        return false;
    }
    ghd = session.handle();

    uint32_t tries = 6;
    ret = KpGetUserPinRetryNum(ghd, &tries);
    logLinef("KpGetUserPinRetryNum ret=%x", ret);
    if (ret == 0 && tries == 0) {
        kelvane::alert(QString::fromUtf8(kLockedText));
        ghd = nullptr;
        return false;
    }

    // A failed key-type read leaves 0: the tip window is shown.
    uint32_t keyType = 0;
    (void)KpGetKeyType(ghd, &keyType);
    uint32_t flag = 0;
    (void)KpGetChangePINFlage(ghd, &flag);
    dwcishu = flag == 1 ? 0 : (flag == 0 ? 1 : 0);

    pinOld = pin1;
    pinNewOne = pin2;
    pinNewTwo = pin3;
    bl.store(false, std::memory_order_release);

    std::thread worker;
    try {
        worker = std::thread([this] { cgPin(); });
    } catch (const std::system_error& e) {
        // No worker, no change: say it failed rather than let the error
        // escape into the window's event handler.
        logLinef("pthread_create error:%s", std::strerror(e.code().value()));
        session.close();
        ghd = nullptr;
        wipe(pinOld);
        wipe(pinNewOne);
        wipe(pinNewTwo);
        kelvane::alert(QString::fromUtf8(kChangeFailedText));
        return false;
    }
    tcTs(keyType);
    worker.join();

    ret = session.close();
    logLinef("KpDisconnectDev ret = 0x%x", ret);
    ghd = nullptr;
    wipe(pinOld);
    wipe(pinNewOne);
    wipe(pinNewTwo);

    // The user started this change: its outcome stays up even if the key is
    // pulled out meanwhile.
    kelvane::outcomeAlert(changeOutcomeText(cgRet, dwcishu));
    return cgRet == 0;
}

void Qd_MacIntf::cgPin() {
    QByteArray oldUtf8 = pinOld.toUtf8();
    QByteArray newUtf8 = pinNewOne.toUtf8();
    const uint32_t ret = KpChangeUserPin(ghd, oldUtf8.constData(), newUtf8.constData(), &dwcishu);
    wipe(oldUtf8);
    wipe(newUtf8);
    cgRet = ret;
    logLinef("KpChangeUserPin  cgDwRet = 0x%x", ret);
    bl.store(true, std::memory_order_release);
    bl.notify_all();
}

void Qd_MacIntf::buildTipWindow() {
    std::unique_ptr<QWidget> w = std::make_unique<TipWindow>();
    // A title bar only; the window cannot be closed or hidden while it counts.
    platform::keepTitledOnly(w.get());
    w->setWindowTitle(QString::fromUtf8(kTipWindowTitle));
    w->setFixedSize(kTipWindowWidth, kTipWindowHeight);
    if (platform::placesWindows()) w->move(450, 400);
    w->setWindowModality(Qt::ApplicationModal);

    auto* image = new QLabel(w.get());
    image->setGeometry(0, 0, kTipWindowWidth, kTipWindowHeight);
    image->setScaledContents(true);
    const QPixmap picture(QString::fromStdString(platform::bundleResource(kTipImageName)));
    if (picture.isNull()) {
        logLinef("tip picture %s not found", platform::bundleResource(kTipImageName).c_str());
    } else {
        image->setPixmap(picture);
    }

    auto* countdown = new QLabel(w.get());
    // The desktop places views from the bottom-left corner: its (0, 0) line
    // is the window's bottom strip here.
    countdown->setGeometry(0, kTipWindowHeight - 20, kTipWindowWidth, 20);
    countdown->setAlignment(Qt::AlignCenter);
    countdown->setAutoFillBackground(false);
    QPalette pal = countdown->palette();
    pal.setColor(QPalette::WindowText, Qt::red);
    countdown->setPalette(pal);
    QFont font = QApplication::font();
    // The desktop's points are pixels at 1x; 18 pixels also fit the 20-pixel strip.
    font.setPixelSize(18);
    countdown->setFont(font);
    countdown->setTextInteractionFlags(Qt::NoTextInteraction);
    countdown->setProperty("tag", kTipLabelTag);
    countdown->setText(QString::fromUtf8(kTipCountdownFormat).replace("%d", QString::number(tm)));
    wind = std::move(w);
}

QLabel* Qd_MacIntf::countdownLabel() const {
    if (!wind) {
        return nullptr;
    }
    for (QLabel* l : wind->findChildren<QLabel*>()) {
        if (l->property("tag").toInt() == kTipLabelTag) {
            return l;
        }
    }
    return nullptr;
}

bool Qd_MacIntf::runSessionOnce() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // The session stops when someone ended it (stopModal) or closed the window.
    return session && wind && wind->isVisible();
}

void Qd_MacIntf::showFirstFrame() {
    wind->show();
    // The first frame shows 30 before the first pause: wait (briefly) until
    // the window system has mapped the window, then paint it through.
    QWindow* handle = wind->windowHandle();
    const auto mapped = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    kelvane::waitBusy([&] {
        return !wind || (handle != nullptr && handle->isExposed()) ||
               std::chrono::steady_clock::now() > mapped;
    });
    if (wind) {
        wind->repaint();
        QGuiApplication::sync();
    }
}

void Qd_MacIntf::tcTs(uint32_t keyType) {
    const auto done = [this] { return bl.load(std::memory_order_acquire); };
    if (keyType == 1) {
        kelvane::waitBusy(done);
        return;
    }
    tm = 30;
    buildTipWindow();
    session = true;
    g_activeTip = this;
    showFirstFrame();

    // Each number stays up for one cycle: 30 first, 29 about a second later.
    const auto format = QString::fromUtf8(kTipCountdownFormat);
    for (;;) {
        --tm;
        if (!runSessionOnce()) {
            break;
        }
        kelvane::pauseBusy(countdownTick());
        logLinef("%d", tm);
        if (done()) {
            break;
        }
        if (QLabel* label = countdownLabel()) {
            label->setText(QString(format).replace("%d", QString::number(tm)));
        }
    }

    xiaoshiTc();
    // Ended from outside: the outcome still has to be the key's real answer.
    kelvane::waitBusy(done);
}

void Qd_MacIntf::xiaoshiTc() {
    session = false;
    if (g_activeTip == this) {
        g_activeTip = nullptr;
    }
    if (wind) {
        // Hidden and destroyed: the window refuses close requests.
        wind->hide();
        wind.reset();
    }
}

void Qd_MacIntf::stopModal() {
    if (g_activeTip != nullptr) {
        g_activeTip->session = false;
    }
}

void Qd_MacIntf::setCountdownTick(std::chrono::milliseconds tick) { g_tickMs.store(tick.count()); }

std::chrono::milliseconds Qd_MacIntf::countdownTick() { return std::chrono::milliseconds(g_tickMs.load()); }
