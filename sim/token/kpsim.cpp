// The simulated token device library, libUSBQdvKey_20244.so: exports the 94
// functions of the token device library with their parameter shapes. The functions of the
// contract behave as the contract says, over the keys of the state folder
// (keystore.h); every other function returns kpsim::kNotSupported (0x88000001).
//
// Every call reads the state file again: the key manager, the key agent and
// keysim change it from other processes at any time. Handles carry the key's
// id and its plug count, so a handle taken before an unplug stays stale.
//
// Fault settings (per key, `keysim set NAME fault ...`) make the answers bad on
// purpose, without ever writing past a caller's buffer: the library writes at
// most the capacity it was given and may report more.

// Only the 94 functions are exported (the build hides everything else).
#pragma GCC visibility push(default)
#include "token/Func_init.h"
#pragma GCC visibility pop

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sim/token/keystore.h"
#include "token/Func_init_list.h"

namespace {

using kpsim::Button;
using kpsim::Fault;
using kpsim::Key;
using kpsim::State;
using kpsim::Store;

constexpr uint64_t kHandleTag = 0x51;

void diagnose(const std::string& line) {
    std::fprintf(stderr, "libUSBQdvKey_20244 (sim): %s\n", line.c_str());
}

void sleepSeconds(double seconds) {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void sleepMillis(uint32_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A handle: tag (8 bits), serial of its session record (20 bits, 0 outside
// strict mode), key id (20 bits) and plug count (16 bits).
struct HandleBits {
    uint32_t serial = 0;
    uint64_t id = 0;
    uint32_t plugCount = 0;
};

KPHANDLE encodeHandle(const Key& key, uint32_t serial) {
    uint64_t value = (kHandleTag << 56) | (uint64_t{serial & 0xFFFFFu} << 36) |
                     ((key.id & 0xFFFFFull) << 16) | (key.plugCount & 0xFFFFu);
    return reinterpret_cast<KPHANDLE>(static_cast<uintptr_t>(value));
}

bool decodeHandle(KPHANDLE handle, HandleBits* bits) {
    uint64_t value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    if ((value >> 56) != kHandleTag) return false;
    bits->serial = static_cast<uint32_t>((value >> 36) & 0xFFFFFu);
    bits->id = (value >> 16) & 0xFFFFFull;
    bits->plugCount = static_cast<uint32_t>(value & 0xFFFFu);
    return true;
}

// The key whose id a handle carries (its low 20 bits), plugged in or not.
Key* keyOfId(State& state, uint64_t id) {
    for (Key& key : state.keys) {
        if ((key.id & 0xFFFFFull) == (id & 0xFFFFFull)) return &key;
    }
    return nullptr;
}

// The key a handle was taken on, when it is still plugged in since.
Key* currentKey(State& state, const HandleBits& bits) {
    Key* key = keyOfId(state, bits.id);
    return key != nullptr && key->plugged && (key->plugCount & 0xFFFFu) == bits.plugCount ? key : nullptr;
}

kpsim::OpenHandle* recordOf(State& state, uint32_t serial) {
    if (serial == 0) return nullptr;
    for (kpsim::OpenHandle& h : state.handles) {
        if (h.serial == serial) return &h;
    }
    return nullptr;
}

std::string keyLabel(State& state, uint64_t id) {
    const Key* key = keyOfId(state, id);
    return key != nullptr ? "key \"" + key->name + "\"" : "a removed key";
}

uint32_t myPid() { return static_cast<uint32_t>(::getpid()); }

Fault faultOf(const Key& key) { return kpsim::parseFault(key.fault).value_or(Fault{}); }

bool loadState(State* state) {
    std::string error;
    if (!Store::fromEnvironment().load(state, &error)) {
        diagnose(error);
        return false;
    }
    return true;
}

// The key behind a handle, with its fault applied: a slow key sleeps here, a
// key with a status fault makes the call fail with that status.
struct Session {
    State state;
    Key* key = nullptr;
    Fault fault;
};

uint32_t openSession(KPHANDLE handle, Session* s) {
    HandleBits bits;
    if (!decodeHandle(handle, &bits)) return kpsim::kNoDevice;
    if (!loadState(&s->state)) return kpsim::kStateError;
    // Strict: only a handle handed out and not yet released answers.
    if (s->state.strict && recordOf(s->state, bits.serial) == nullptr) return kpsim::kReleased;
    s->key = currentKey(s->state, bits);
    if (s->key == nullptr) return kpsim::kNoDevice;
    s->fault = faultOf(*s->key);
    if (s->fault.kind == Fault::kSlow) sleepMillis(s->fault.millis);
    if (s->fault.kind == Fault::kStatus) return s->fault.status;
    return 0;
}

// A name list (names with their NULs, then the empty name) written into a
// caller's buffer of *len bytes, bent by the fault of the key answering. No
// names at all: status 0, length 0, nothing written.
uint32_t answerNameList(const std::vector<std::string>& names, const Fault& fault, char* buffer,
                        uint32_t* len, uint32_t* count) {
    std::string list;
    for (const std::string& name : names) {
        list += name;
        list.push_back('\0');
    }
    const uint32_t capacity = *len;
    if (count != nullptr) *count = static_cast<uint32_t>(names.size());
    if (fault.kind == Fault::kUnterminated && buffer != nullptr && capacity > 0) {
        // No final empty name, and the buffer filled to its last byte: a
        // trailing junk name without its NUL.
        std::string filled = list.substr(0, capacity);
        while (filled.size() < capacity) filled.push_back('X');
        std::memcpy(buffer, filled.data(), capacity);
        *len = capacity;
        return 0;
    }
    if (names.empty() && fault.kind == Fault::kNone) {
        *len = 0;  // nothing attached: an empty answer, not a lone empty name
        return 0;
    }
    list.push_back('\0');  // the empty name ending the list
    const uint32_t needed = static_cast<uint32_t>(list.size());
    if (fault.kind == Fault::kOverlong) {
        if (buffer != nullptr) std::memcpy(buffer, list.data(), std::min(capacity, needed));
        *len = std::max(capacity, needed) + 512;
        return 0;
    }
    *len = needed;
    if (buffer == nullptr) return 0;  // a size query
    if (needed > capacity) return kpsim::kBufferTooSmall;
    std::memcpy(buffer, list.data(), needed);
    return 0;
}

// Runs `body`, turning anything thrown into a failure status: nothing leaves
// the C boundary.
template <typename Body>
uint32_t guarded(const char* name, Body&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        diagnose(std::string(name) + ": " + e.what());
    } catch (...) {
        diagnose(std::string(name) + ": unexpected failure");
    }
    return kpsim::kStateError;
}

template <typename... Args>
uint32_t notSupported(Args&&...) {
    return kpsim::kNotSupported;
}

// Changes the state under the lock; `change` returns the call's status and
// sets *write when the state is to be written.
uint32_t changeState(const std::function<uint32_t(State&, bool* write)>& change) {
    uint32_t status = 0;
    std::string error;
    bool ok = Store::fromEnvironment().update(
        [&](State& state, std::string*) {
            bool write = false;
            status = change(state, &write);
            return write;
        },
        &error);
    if (!ok && !error.empty()) {
        diagnose(error);
        return kpsim::kStateError;
    }
    return status;
}

// The key of a handle inside a locked change, or null when it is gone.
Key* keyOfHandle(State& state, KPHANDLE handle) {
    HandleBits bits;
    if (!decodeHandle(handle, &bits)) return nullptr;
    return currentKey(state, bits);
}

// Strict mode: records a new handle of this process on `key` (its plug of
// now); kTooManyHandles when the process holds its limit already.
uint32_t openHandle(const Key& seen, KPHANDLE* phDev) {
    return changeState([&](State& state, bool* write) -> uint32_t {
        Key* key = state.findById(seen.id);
        if (key == nullptr || !key->plugged || key->plugCount != seen.plugCount) return kpsim::kNoDevice;
        const uint32_t me = myPid();
        size_t mine = 0;
        for (const kpsim::OpenHandle& h : state.handles) mine += h.pid == me;
        if (mine >= kpsim::kMaxHandlesPerProcess) return kpsim::kTooManyHandles;
        // Records of processes that ended stay for the report, but not forever.
        if (state.handles.size() >= 256) {
            std::erase_if(state.handles,
                          [](const kpsim::OpenHandle& h) { return !kpsim::processAlive(h.pid); });
        }
        uint32_t serial = state.nextHandle;
        while (recordOf(state, serial) != nullptr) serial = serial % 0xFFFFFu + 1;
        state.nextHandle = serial % 0xFFFFFu + 1;
        state.handles.push_back({serial, key->id, key->plugCount, me, false, kpsim::nowMillis()});
        *phDev = encodeHandle(*key, serial);
        *write = true;
        return 0;
    });
}

// Strict mode: takes the key's transaction for the handle, waiting while
// another living handle holds it, up to the state's transaction wait.
uint32_t beginTransaction(KPHANDLE hDev, uint32_t waitMs) {
    HandleBits bits;
    decodeHandle(hDev, &bits);
    constexpr uint32_t kHeld = 0xFFFFFFFFu;  // not a status: try again
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        uint32_t status = changeState([&](State& state, bool* write) -> uint32_t {
            kpsim::OpenHandle* mine = recordOf(state, bits.serial);
            if (mine == nullptr) return kpsim::kReleased;
            if (currentKey(state, bits) == nullptr) return kpsim::kNoDevice;
            if (mine->transaction) return kpsim::kTransactionState;
            for (kpsim::OpenHandle& other : state.handles) {
                if (&other == mine || !other.transaction || other.keyId != mine->keyId ||
                    other.plugCount != mine->plugCount)
                    continue;
                if (kpsim::processAlive(other.pid)) return kHeld;
                // The key ends the session of a process that is gone.
                other.transaction = false;
                state.addNote("process " + std::to_string(other.pid) +
                              " ended inside the transaction of handle " + std::to_string(other.serial) +
                              " on " + keyLabel(state, other.keyId));
            }
            mine->transaction = true;
            *write = true;
            return 0;
        });
        if (status != kHeld) return status;
        if (std::chrono::steady_clock::now() >= deadline) return kpsim::kBusy;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Strict mode: ends the handle's transaction (also when the key is gone:
// the client did its part) or releases the handle (`release`).
uint32_t endOrRelease(KPHANDLE hDev, bool release) {
    HandleBits bits;
    decodeHandle(hDev, &bits);
    return changeState([&](State& state, bool* write) -> uint32_t {
        kpsim::OpenHandle* mine = recordOf(state, bits.serial);
        if (mine == nullptr) return kpsim::kReleased;
        if (release) {
            if (mine->transaction)
                state.addNote("handle " + std::to_string(mine->serial) + " of process " +
                              std::to_string(mine->pid) + " was released inside its transaction on " +
                              keyLabel(state, mine->keyId));
            std::erase_if(state.handles, [&](const kpsim::OpenHandle& h) { return h.serial == bits.serial; });
            *write = true;
            return 0;
        }
        if (!mine->transaction)
            return currentKey(state, bits) == nullptr ? kpsim::kNoDevice : kpsim::kTransactionState;
        mine->transaction = false;
        *write = true;
        return currentKey(state, bits) == nullptr ? kpsim::kNoDevice : 0;
    });
}

uint32_t setWaiting(KPHANDLE handle, bool waiting) {
    return changeState([&](State& state, bool* write) -> uint32_t {
        Key* key = keyOfHandle(state, handle);
        if (key == nullptr) return kpsim::kNoDevice;
        key->waiting = waiting;
        *write = true;
        return 0;
    });
}

// Waits for `keysim press` (button "wait"): 0 when pressed, the time-out
// status when not pressed in time, kNoDevice when the key goes away.
uint32_t waitForPress(KPHANDLE handle, uint32_t pressCountBefore, double timeout) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    for (;;) {
        State state;
        if (loadState(&state)) {
            Key* key = keyOfHandle(state, handle);
            if (key == nullptr) return kpsim::kNoDevice;
            if (key->pressCount != pressCountBefore) return 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) return KP_STATUS_TIMEOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

extern "C" {

uint32_t KpListReaders(char* szReaderNames, uint32_t* pdwReaderNameLen, uint32_t* pdwReaderNum) {
    return guarded(__func__, [&]() -> uint32_t {
        if (pdwReaderNameLen == nullptr) return kpsim::kBadParam;
        State state;
        if (!loadState(&state)) return kpsim::kStateError;
        std::vector<std::string> names;
        Fault listFault;
        uint32_t slowest = 0;
        for (const Key& key : state.keys) {
            if (!key.plugged) continue;
            Fault fault = faultOf(key);
            if (fault.kind == Fault::kStatus) return fault.status;
            if (fault.kind == Fault::kSlow) slowest = std::max(slowest, fault.millis);
            if ((fault.kind == Fault::kOverlong || fault.kind == Fault::kUnterminated) &&
                listFault.kind == Fault::kNone)
                listFault = fault;
            names.push_back(key.reader);
        }
        sleepMillis(slowest);
        return answerNameList(names, listFault, szReaderNames, pdwReaderNameLen, pdwReaderNum);
    });
}

uint32_t KpConnectDev(const char* szReaderName, KPHANDLE* phDev) {
    return guarded(__func__, [&]() -> uint32_t {
        if (szReaderName == nullptr || phDev == nullptr) return kpsim::kBadParam;
        State state;
        if (!loadState(&state)) return kpsim::kStateError;
        for (const Key& key : state.keys) {
            if (!key.plugged || key.reader != szReaderName) continue;
            Fault fault = faultOf(key);
            if (fault.kind == Fault::kSlow) sleepMillis(fault.millis);
            if (fault.kind == Fault::kStatus || fault.kind == Fault::kConnect) return fault.status;
            // A key just plugged in is listed before it answers.
            if (fault.kind == Fault::kNotReady && kpsim::nowMillis() < key.pluggedAtMs + fault.millis)
                return kpsim::kNotReady;
            if (state.strict) return openHandle(key, phDev);
            *phDev = encodeHandle(key, 0);
            return 0;
        }
        return kpsim::kNoDevice;
    });
}

uint32_t KpBeginTransaction(KPHANDLE hDev) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        if (uint32_t status = openSession(hDev, &s)) return status;
        return s.state.strict ? beginTransaction(hDev, s.state.transactionWaitMs) : 0;
    });
}

uint32_t KpReadPCODE(KPHANDLE hDev, uint32_t* pdwPCODE, uint32_t* pdwReserved) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        if (uint32_t status = openSession(hDev, &s)) return status;
        if (pdwPCODE == nullptr) return kpsim::kBadParam;
        *pdwPCODE = s.key->pcode;
        if (pdwReserved != nullptr) *pdwReserved = 0;
        return 0;
    });
}

// Strict: the transaction ends even when the key answers with a fault or is
// gone, so a test blames only a client that never asked.
uint32_t KpEndTransaction(KPHANDLE hDev) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        const uint32_t status = openSession(hDev, &s);
        if (!s.state.strict || status == kpsim::kReleased || status == kpsim::kStateError) return status;
        const uint32_t ended = endOrRelease(hDev, false);
        return status != 0 ? status : ended;
    });
}

// Releasing never needs the key: a handle of a key pulled out since is
// released all the same. Only a status fault of a key still there answers
// (strict: after the release).
uint32_t KpDisconnectDev(KPHANDLE hDev) {
    return guarded(__func__, [&]() -> uint32_t {
        HandleBits bits;
        if (!decodeHandle(hDev, &bits)) return kpsim::kNoDevice;
        State state;
        if (!loadState(&state)) return kpsim::kStateError;
        uint32_t faultStatus = 0;
        if (const Key* key = keyOfId(state, bits.id)) {
            Fault fault = faultOf(*key);
            if (fault.kind == Fault::kSlow) sleepMillis(fault.millis);
            if (fault.kind == Fault::kStatus) faultStatus = fault.status;
        }
        if (state.strict) {
            if (uint32_t status = endOrRelease(hDev, true)) return status;
        }
        return faultStatus;
    });
}

uint32_t KpReadDSN(KPHANDLE hDev, char* szDSN, uint32_t* pdwDSNLen) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        if (uint32_t status = openSession(hDev, &s)) return status;
        if (pdwDSNLen == nullptr) return kpsim::kBadParam;
        const std::string& serial = s.key->serial;
        const uint32_t capacity = *pdwDSNLen;
        const uint32_t length = static_cast<uint32_t>(serial.size());
        if (s.fault.kind == Fault::kUnterminated && szDSN != nullptr && capacity > 0) {
            std::string filled = serial;
            while (filled.size() < capacity) filled += serial;
            std::memcpy(szDSN, filled.data(), capacity);
            *pdwDSNLen = capacity;
            return 0;
        }
        if (s.fault.kind == Fault::kOverlong) {
            if (szDSN != nullptr) std::memcpy(szDSN, serial.c_str(), std::min(capacity, length + 1));
            *pdwDSNLen = std::max(capacity, length) + 512;
            return 0;
        }
        *pdwDSNLen = length;
        if (szDSN == nullptr) return 0;
        if (length + 1 > capacity) return kpsim::kBufferTooSmall;
        std::memcpy(szDSN, serial.c_str(), length + 1);
        return 0;
    });
}

uint32_t KpListContainers(KPHANDLE hDev, char* szContainerNames, uint32_t* pdwNamesLen,
                          uint32_t* pdwContainerNum) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        if (uint32_t status = openSession(hDev, &s)) return status;
        if (pdwNamesLen == nullptr) return kpsim::kBadParam;
        std::vector<std::string> names;
        for (const kpsim::Container& c : s.key->containers) names.push_back(c.name);
        return answerNameList(names, s.fault, szContainerNames, pdwNamesLen, pdwContainerNum);
    });
}

uint32_t KpReadCert(KPHANDLE hDev, const char* szContainerName, uint32_t dwKeySpec, unsigned char* pbCert,
                    uint32_t* pdwCertLen) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        if (uint32_t status = openSession(hDev, &s)) return status;
        if (szContainerName == nullptr || pdwCertLen == nullptr) return kpsim::kBadParam;
        if (dwKeySpec != KP_KEYSPEC_SIGN && dwKeySpec != KP_KEYSPEC_ENC) return kpsim::kBadParam;
        if (s.fault.kind == Fault::kNoCert0) {
            *pdwCertLen = 0;  // "success", and nothing in it
            return 0;
        }
        kpsim::Container* container = s.key->findContainer(szContainerName);
        const std::vector<uint8_t>* der = container == nullptr           ? nullptr
                                          : dwKeySpec == KP_KEYSPEC_SIGN ? &container->sign
                                                                         : &container->enc;
        if (der == nullptr || der->empty()) {
            *pdwCertLen = 0;
            return kpsim::kNotFound;
        }
        const uint32_t capacity = *pdwCertLen;
        const uint32_t length = static_cast<uint32_t>(der->size());
        if (s.fault.kind == Fault::kOverlong) {
            if (pbCert != nullptr) std::memcpy(pbCert, der->data(), std::min(capacity, length));
            *pdwCertLen = std::max(capacity, length) + 512;
            return 0;
        }
        *pdwCertLen = length;
        if (pbCert == nullptr) return 0;
        if (length > capacity) return kpsim::kBufferTooSmall;
        std::memcpy(pbCert, der->data(), length);
        return 0;
    });
}

uint32_t KpChangeUserPin(KPHANDLE hDev, const char* szOldPin, const char* szNewPin, uint32_t* pdwRetry) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        if (uint32_t status = openSession(hDev, &s)) return status;
        if (szOldPin == nullptr || szNewPin == nullptr) return kpsim::kBadParam;
        const std::string newPin(szNewPin);
        // PINs are UTF-8 text; anything else could not be stored.
        if (newPin.empty() || newPin.size() > 64 || !kpsim::isUtf8(newPin)) return kpsim::kBadParam;
        const Button button = kpsim::parseButton(s.key->button).value_or(Button{});

        // The old PIN, checked under the lock against the state of this moment.
        uint32_t pressCountBefore = 0;
        uint32_t status = changeState([&](State& state, bool* write) -> uint32_t {
            Key* key = keyOfHandle(state, hDev);
            if (key == nullptr) return kpsim::kNoDevice;
            if (key->tries == 0) return KP_STATUS_PIN_LOCKED;
            if (key->pin != szOldPin) {
                --key->tries;
                if (pdwRetry != nullptr) *pdwRetry = key->tries;
                *write = true;
                return KP_STATUS_PIN_INCORRECT;
            }
            if (button.kind == Button::kWait) {
                key->waiting = true;
                pressCountBefore = key->pressCount;
                *write = true;
            }
            return 0;
        });
        if (status != 0) return status;

        // The button, without the lock: other processes keep working meanwhile.
        switch (button.kind) {
            case Button::kPress:
                sleepSeconds(button.seconds);
                break;
            case Button::kNever:
                sleepSeconds(button.seconds);
                return KP_STATUS_TIMEOUT;
            case Button::kCancel:
                sleepSeconds(button.seconds);
                return KP_STATUS_CANCELLED;
            case Button::kStatus:
                return button.status;
            case Button::kWait: {
                uint32_t pressed = waitForPress(hDev, pressCountBefore, button.seconds);
                if (pressed != 0) {
                    setWaiting(hDev, false);
                    return pressed;
                }
                break;
            }
        }

        return changeState([&](State& state, bool* write) -> uint32_t {
            Key* key = keyOfHandle(state, hDev);
            if (key == nullptr) return kpsim::kNoDevice;
            key->pin = newPin;
            key->tries = key->maxTries;
            key->waiting = false;
            *write = true;
            return 0;
        });
    });
}

uint32_t KpGetUserPinRetryNum(KPHANDLE hDev, uint32_t* pdwRetry) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        if (uint32_t status = openSession(hDev, &s)) return status;
        if (pdwRetry == nullptr) return kpsim::kBadParam;
        *pdwRetry = s.key->tries;
        return 0;
    });
}

uint32_t KpGetChangePINFlage(KPHANDLE hDev, uint32_t* pdwFlag) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        if (uint32_t status = openSession(hDev, &s)) return status;
        if (pdwFlag == nullptr) return kpsim::kBadParam;
        *pdwFlag = s.key->changepin;
        return 0;
    });
}

uint32_t KpGetKeyType(KPHANDLE hDev, uint32_t* pdwKeyType) {
    return guarded(__func__, [&]() -> uint32_t {
        Session s;
        if (uint32_t status = openSession(hDev, &s)) return status;
        if (pdwKeyType == nullptr) return kpsim::kBadParam;
        *pdwKeyType = s.key->keytype;
        return 0;
    });
}

// Every function outside the contract: not supported.
#define KPSIM_UNSUPPORTED_0(name, params, args) \
    uint32_t name params { return notSupported args; }
#define KPSIM_UNSUPPORTED_1(name, params, args)  // written out above
#define KPSIM_FUNCTION(name, params, args) \
    KP_CAT(KPSIM_UNSUPPORTED_, KP_IS_MARKED(CONTRACT, name))(name, params, args)

KP_FUNCTION_LIST(KPSIM_FUNCTION)

}  // extern "C"
