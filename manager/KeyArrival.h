// The token work of a key's arrival: list the readers, connect to the one
// key, read its change-PIN flag, PIN tries and serial number, disconnect, then
// read its certificates. Returns the key's facts; the main window applies
// them (MailWinCtr::addCovo). No window is touched here.
//
// Threads: runs on the calling thread (a watch thread's) and blocks on the
// token. The only main-thread work is what lookCer queues (its connect
// failure alert) and what the caller's `connected` does.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "Qd_MacIntf.h"

namespace kelvane {

struct ArrivedKey {
    // How far the arrival got: a key of another PCODE, no key listed, more
    // than one, a key that refused the connect, or a key read through.
    enum class Outcome { ForeignKey, NoDevice, SeveralKeys, ConnectFailed, Connected };
    Outcome outcome = Outcome::NoDevice;
    std::string reader;  // the key's reader name (from ConnectFailed on)
    // Read only when Connected; a failed read keeps its preset.
    uint32_t changePinFlag = 0;    // 0: still on its first PIN
    uint32_t retry = 6;            // user PIN tries left
    QString serial;                // "" when unreadable or not UTF-8
    CertificateList certificates;  // empty when none could be read
};

// `connected` (may be empty) runs on this thread as soon as the key accepted
// the connect, before its facts are read: the bank's site opens meanwhile.
ArrivedKey readArrivedKey(const std::function<void()>& connected);

// The serial number as the key reports it: up to the first NUL, at most the
// reported length and never past the 64-byte buffer; "" when it is not UTF-8.
QString serialText(const char* buf, uint32_t reported);

}  // namespace kelvane
