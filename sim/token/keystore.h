// State of the simulated keys, shared by the simulated token library
// (libUSBQdvKey_20244.so), the keysim command and the simulated USB bus
// (platform/usbwatch_sim reads the same file).
//
// One JSON file, <dir>/keys.json, where <dir> is platform::simStateDir()
// (KEYSIM_DIR):
//
//   {"format": "keysim-1", "next_id": 3,
//    "keys": [ {"name": "demo", "id": 1, "reader": "USBQdvKey demo",
//               "pcode": 20244, "serial": "QD20244A00012345", "keytype": 2,
//               "changepin": 0, "pin": "12345678", "tries": 6, "max_tries": 6,
//               "vendor": 54345, "product": 4, "plugged": true, "plug_count": 1,
//               "plugged_at": 1700000000000,
//               "button": "press:2", "fault": "none",
//               "waiting": false, "press_count": 0,
//               "containers": [ {"name": "...", "sign": "<base64 DER>", "enc": "<base64 DER>"} ] } ] }
//
// Every change takes an exclusive flock on <dir>/keys.lock, reads the file
// again, writes a temporary file beside it, fsyncs it and renames it over
// keys.json (then fsyncs the folder): a reader sees the old or the new state,
// never half of a change, and a writer killed midway leaves the old state.
// Readers take no lock. A missing file is an empty state; a damaged file is
// reported (one line) and never used.
//
// Thread safety: no shared state; each call opens the files anew.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "token/KeyIdentity.h"

namespace kpsim {

// Statuses of the simulator beyond those of the contract (token/Func_init.h).
constexpr uint32_t kNotSupported = 0x88000001u;    // a function outside the contract
constexpr uint32_t kNoDevice = 0x88000002u;        // unknown or unplugged reader, stale handle
constexpr uint32_t kBadParam = 0x88000003u;        // null pointer, bad key spec, empty PIN
constexpr uint32_t kBufferTooSmall = 0x88000004u;  // *len set to the length needed
constexpr uint32_t kStateError = 0x88000005u;      // state file damaged or unreadable
constexpr uint32_t kNotFound = 0x88000006u;        // no such container or certificate
constexpr uint32_t kNotReady = 0x88000007u;        // just plugged in, not answering yet (fault notready)
// Strict mode only (State::strict):
constexpr uint32_t kBusy = 0x88000008u;  // another handle kept the key's transaction past the wait limit
constexpr uint32_t kTooManyHandles = 0x88000009u;  // the process holds kMaxHandlesPerProcess handles already
constexpr uint32_t kReleased = 0x8800000Au;        // a handle released already, or never handed out
constexpr uint32_t kTransactionState =
    0x8800000Bu;  // a begin inside the handle's transaction, or an end outside one

// Strict mode: how many handles one process may hold at once, how long a
// KpBeginTransaction waits by default for another handle's transaction, and
// how many notes about misuse the state keeps.
constexpr size_t kMaxHandlesPerProcess = 8;
constexpr uint32_t kDefaultTransactionWaitMs = 3000;
constexpr size_t kMaxNotes = 16;

struct Container {
    std::string name;
    std::vector<uint8_t> sign;  // DER, empty when absent (key spec 2)
    std::vector<uint8_t> enc;   // DER, empty when absent (key spec 1)
};

struct Key {
    std::string name;
    uint64_t id = 0;  // unique in the state folder, never reused
    std::string reader;
    uint32_t pcode = token::kBankPcode;
    std::string serial;
    uint32_t keytype = 2;
    uint32_t changepin = 0;
    std::string pin = "12345678";
    uint32_t tries = 6;
    uint32_t maxTries = 6;
    uint32_t vendor = token::kBankKeyUsbIds[0].vendor;
    uint32_t product = token::kBankKeyUsbIds[0].product;
    bool plugged = false;
    uint32_t plugCount = 0;    // bumped by each plug: handles of an earlier plug go stale
    uint64_t pluggedAtMs = 0;  // wall clock of the last plug, ms since 1970 (0: unknown)
    std::string button = "press:1";
    std::string fault = "none";
    bool waiting = false;     // a PIN change waits for `keysim press` (button "wait")
    uint32_t pressCount = 0;  // bumped by `keysim press`
    std::vector<Container> containers;

    Container* findContainer(const std::string& containerName);
};

// A handle open in strict mode: who holds it, on which key and plug, and
// whether it holds the key's transaction. Kept until KpDisconnectDev, also
// when the key is pulled out or the process ends, so a test sees what a
// client left open.
struct OpenHandle {
    uint32_t serial = 0;  // 1 to 0xFFFFF, carried in the KPHANDLE
    uint64_t keyId = 0;
    uint32_t plugCount = 0;
    uint32_t pid = 0;
    bool transaction = false;
    uint64_t sinceMs = 0;  // wall clock of the connect
};

struct State {
    uint64_t nextId = 1;
    std::vector<Key> keys;
    // Session model, used in strict mode only.
    bool strict = false;
    uint32_t transactionWaitMs = kDefaultTransactionWaitMs;
    uint32_t nextHandle = 1;
    std::vector<OpenHandle> handles;
    std::vector<std::string> notes;  // misuse seen (a release inside a transaction), newest last

    // Keeps the newest kMaxNotes.
    void addNote(std::string note);

    Key* findByName(const std::string& name);
    Key* findById(uint64_t id);
};

// How the key's button behaves during a PIN change ("press:N", "never:T",
// "cancel", "cancel:N", "status:0xHEX", "wait", "wait:T"; seconds may have decimals).
struct Button {
    enum Kind { kPress, kNever, kCancel, kStatus, kWait } kind = kPress;
    double seconds = 0;   // press/never/cancel: delay; wait: time-out
    uint32_t status = 0;  // kStatus
};
std::optional<Button> parseButton(const std::string& text);

// Fault setting: "none", "overlong", "unterminated", "status:0xHEX",
// "connect:0xHEX", "slow:MS", "notready:MS", "nocert0".
struct Fault {
    enum Kind { kNone, kOverlong, kUnterminated, kStatus, kConnect, kSlow, kNotReady, kNoCert0 } kind = kNone;
    uint32_t status = 0;  // kStatus, kConnect
    uint32_t millis = 0;  // kSlow, kNotReady
};

// Whether a process of that id still runs (handles of one that ended are
// reported, never counted against the living).
bool processAlive(uint32_t pid);

// Wall clock in ms since 1970: plug times are compared across processes.
uint64_t nowMillis();
std::optional<Fault> parseFault(const std::string& text);

// Decimal or 0x-hexadecimal unsigned 32-bit number; nothing else.
std::optional<uint32_t> parseNumber(const std::string& text);

// Well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool isUtf8(const std::string& text);

// Checks one key's fields (also used by keysim before it writes); empty when fine.
std::string validateKey(const Key& key);

// The state file's text, read and written: parseState checks everything
// load() checks (false with *error, one line); stateText is what update()
// writes.
[[nodiscard]] bool parseState(const std::string& text, State* state, std::string* error);
std::string stateText(const State& state);

std::string base64Encode(const std::vector<uint8_t>& data);
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text);

class Store {
public:
    explicit Store(std::string dir);
    // platform::simStateDir().
    static Store fromEnvironment();

    const std::string& dir() const { return dir_; }
    std::string statePath() const { return dir_ + "/keys.json"; }

    // Reads the state without a lock; a missing file gives an empty state.
    // On failure *error is one line naming the file and what is wrong.
    [[nodiscard]] bool load(State* state, std::string* error) const;

    // Locks, loads, lets `change` edit the state and, when it returns true,
    // writes it atomically. `change` returning false leaves the file as it
    // was (its *error says why). Creates the folder (0700) when missing.
    [[nodiscard]] bool update(const std::function<bool(State&, std::string*)>& change, std::string* error);

private:
    std::string dir_;
};

}  // namespace kpsim
