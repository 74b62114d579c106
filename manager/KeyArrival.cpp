#include "KeyArrival.h"

#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/log.h"
#include "token/Func_init.h"
#include "token/NameList.h"
#include "token/Session.h"

using platform::logLinef;

namespace kelvane {

namespace {

// Buffers of one arrival. One byte more than the length handed to the
// library keeps a NUL after the data whatever length the library reports.
constexpr uint32_t kReaderBufLen = 1024;
constexpr uint32_t kSerialBufLen = 64;

}  // namespace

QString serialText(const char* buf, uint32_t reported) {
    const size_t limit = std::min<size_t>(reported, kSerialBufLen);
    const size_t len = strnlen(buf, limit);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(buf, static_cast<qsizetype>(len)));
    if (utf8.hasError()) return {};
    return text;
}

ArrivedKey readArrivedKey(const std::function<void()>& connected) {
    ArrivedKey key;

    // 2. Readers, one NUL beyond the 1024 bytes the library may fill.
    std::array<char, kReaderBufLen + 1> names{};
    uint32_t namesLen = kReaderBufLen;
    uint32_t count = 0;
    const uint32_t ret = KpListReaders(names.data(), &namesLen, &count);

    // 3. A key of another product code: nothing at all.
    if (ret == KP_STATUS_FOREIGN_KEY) {
        key.outcome = ArrivedKey::Outcome::ForeignKey;
        return key;
    }
    // The names as the binding walks them: never past the buffer, and a
    // name cut off by its end is no name.
    const std::vector<std::string> readers = token::nameList(names.data(), namesLen, kReaderBufLen);

    // 4. Nothing listed.
    if (ret != 0 || namesLen == 0 || readers.empty()) {
        logLinef("KpListReaders ret = 0x%x   %s", ret, names.data());
        key.outcome = ArrivedKey::Outcome::NoDevice;
        return key;
    }

    // 5. Only one key at a time: a second name means several keys.
    if (readers.size() > 1) {
        key.outcome = ArrivedKey::Outcome::SeveralKeys;
        return key;
    }
    key.reader = readers.front();

    {
        // 6. Connect to the key; 11. the session ends with this block: every
        // job disconnects before the next one connects.
        token::Session session(key.reader.c_str());
        logLinef("连接设备：KpConnectDev ret = 0x%x", session.connectStatus());
        if (!session.open()) {
            key.outcome = ArrivedKey::Outcome::ConnectFailed;
            return key;
        }

        // 7. The bank's web site (the caller's).
        if (connected) connected();

        // 8-10. Facts of the key; a failed read keeps its preset.
        uint32_t flag = 0;
        const uint32_t flagRet = KpGetChangePINFlage(session.handle(), &flag);
        if (flagRet != 0) flag = 0;
        logLinef("0x%08x %d", flagRet, static_cast<int>(flag));
        key.changePinFlag = flag;

        uint32_t retry = 6;
        if (KpGetUserPinRetryNum(session.handle(), &retry) != 0) retry = 6;
        key.retry = retry;

        std::array<char, kSerialBufLen + 1> dsn{};
        uint32_t dsnLen = kSerialBufLen;
        if (KpReadDSN(session.handle(), dsn.data(), &dsnLen) == 0)
            key.serial = serialText(dsn.data(), dsnLen);
    }

    // 12. The certificates (a null list counts as empty).
    key.certificates = Qd_MacIntf().lookCer().value_or(CertificateList{});
    key.outcome = ArrivedKey::Outcome::Connected;
    return key;
}

}  // namespace kelvane
