#include "sim/token/keystore.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "platform/log.h"
#include "platform/paths.h"

namespace kpsim {
namespace {

using json = nlohmann::ordered_json;  // fields written in a readable order

constexpr const char* kFormat = "keysim-1";

// Closes a descriptor on every path.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool hasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

// Text a field can hold: 1 to `max` bytes of UTF-8 without NUL.
bool isFieldText(const std::string& s, size_t max) {
    return !s.empty() && s.size() <= max && !hasNul(s) && isUtf8(s);
}

// Test hook for the crash-safety tests: KEYSIM_TEST_PAUSE=<phase>:<ms> makes
// a writer sleep at that phase ("midwrite": half of the temporary file written;
// "rename": temporary file complete, not yet renamed; "renamed": just after
// the rename) so a test can kill it there.
void testPause(const char* phase) {
    const char* hook = std::getenv("KEYSIM_TEST_PAUSE");
    if (hook == nullptr) return;
    std::string value(hook);
    size_t colon = value.find(':');
    if (colon == std::string::npos || value.substr(0, colon) != phase) return;
    auto ms = parseNumber(value.substr(colon + 1));
    if (ms) std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// ---- JSON <-> State ----

template <typename T>
T field(const json& object, const char* name, const std::string& where) {
    auto it = object.find(name);
    if (it == object.end()) throw std::runtime_error(where + ": missing " + platform::quoted(name));
    if constexpr (std::is_same_v<T, std::string>) {
        if (!it->is_string())
            throw std::runtime_error(where + ": " + platform::quoted(name) + " is not a string");
        return it->get<std::string>();
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!it->is_boolean())
            throw std::runtime_error(where + ": " + platform::quoted(name) + " is not true or false");
        return it->get<bool>();
    } else {
        if (!it->is_number_unsigned() || it->get<uint64_t>() > std::numeric_limits<T>::max())
            throw std::runtime_error(where + ": " + platform::quoted(name) + " is not a number in range");
        return static_cast<T>(it->get<uint64_t>());
    }
}

// A number that older state files lack: `fallback` when absent.
uint64_t optionalNumber(const json& object, const char* name, uint64_t fallback, const std::string& where) {
    return object.contains(name) ? field<uint64_t>(object, name, where) : fallback;
}

std::vector<uint8_t> certField(const json& object, const char* name, const std::string& where) {
    auto it = object.find(name);
    if (it == object.end() || it->is_null()) return {};
    if (!it->is_string())
        throw std::runtime_error(where + ": " + platform::quoted(name) + " is not a string");
    auto der = base64Decode(it->get<std::string>());
    if (!der) throw std::runtime_error(where + ": " + platform::quoted(name) + " is not Base64");
    return *der;
}

State fromJson(const json& root) {
    if (!root.is_object()) throw std::runtime_error("not a JSON object");
    if (field<std::string>(root, "format", "state") != kFormat)
        throw std::runtime_error(std::string("\"format\" is not \"") + kFormat + "\"");
    State state;
    state.nextId = field<uint64_t>(root, "next_id", "state");
    auto keys = root.find("keys");
    if (keys == root.end() || !keys->is_array()) throw std::runtime_error("\"keys\" is not a list");
    for (size_t i = 0; i < keys->size(); ++i) {
        const json& k = (*keys)[i];
        std::string where = "key " + std::to_string(i);
        if (!k.is_object()) throw std::runtime_error(where + ": not an object");
        Key key;
        key.name = field<std::string>(k, "name", where);
        where = "key " + platform::quoted(key.name);
        key.id = field<uint64_t>(k, "id", where);
        key.reader = field<std::string>(k, "reader", where);
        key.pcode = field<uint32_t>(k, "pcode", where);
        key.serial = field<std::string>(k, "serial", where);
        key.keytype = field<uint32_t>(k, "keytype", where);
        key.changepin = field<uint32_t>(k, "changepin", where);
        key.pin = field<std::string>(k, "pin", where);
        key.tries = field<uint32_t>(k, "tries", where);
        key.maxTries = field<uint32_t>(k, "max_tries", where);
        key.vendor = field<uint32_t>(k, "vendor", where);
        key.product = field<uint32_t>(k, "product", where);
        key.plugged = field<bool>(k, "plugged", where);
        key.plugCount = field<uint32_t>(k, "plug_count", where);
        key.pluggedAtMs = optionalNumber(k, "plugged_at", 0, where);
        key.button = field<std::string>(k, "button", where);
        key.fault = field<std::string>(k, "fault", where);
        key.waiting = field<bool>(k, "waiting", where);
        key.pressCount = field<uint32_t>(k, "press_count", where);
        auto containers = k.find("containers");
        if (containers == k.end() || !containers->is_array())
            throw std::runtime_error(where + ": \"containers\" is not a list");
        for (const json& c : *containers) {
            if (!c.is_object()) throw std::runtime_error(where + ": a container is not an object");
            Container container;
            container.name = field<std::string>(c, "name", where + " container");
            std::string cwhere = where + " container " + platform::quoted(container.name);
            container.sign = certField(c, "sign", cwhere);
            container.enc = certField(c, "enc", cwhere);
            key.containers.push_back(std::move(container));
        }
        std::string problem = validateKey(key);
        if (!problem.empty()) throw std::runtime_error(where + ": " + problem);
        state.keys.push_back(std::move(key));
    }
    state.strict = root.contains("strict") && field<bool>(root, "strict", "state");
    state.transactionWaitMs = static_cast<uint32_t>(
        optionalNumber(root, "transaction_wait_ms", kDefaultTransactionWaitMs, "state"));
    if (state.transactionWaitMs > 600000) throw std::runtime_error("\"transaction_wait_ms\" is over 600000");
    state.nextHandle = static_cast<uint32_t>(optionalNumber(root, "next_handle", 1, "state"));
    if (state.nextHandle == 0 || state.nextHandle > 0xFFFFF)
        throw std::runtime_error("\"next_handle\" out of range");
    if (auto handles = root.find("handles"); handles != root.end()) {
        if (!handles->is_array()) throw std::runtime_error("\"handles\" is not a list");
        std::set<uint32_t> serials;
        for (const json& h : *handles) {
            if (!h.is_object()) throw std::runtime_error("a handle is not an object");
            OpenHandle handle;
            handle.serial = field<uint32_t>(h, "serial", "handle");
            const std::string where = "handle " + std::to_string(handle.serial);
            if (handle.serial == 0 || handle.serial > 0xFFFFF || !serials.insert(handle.serial).second)
                throw std::runtime_error(where + ": bad serial");
            handle.keyId = field<uint64_t>(h, "key_id", where);
            handle.plugCount = field<uint32_t>(h, "plug_count", where);
            handle.pid = field<uint32_t>(h, "pid", where);
            handle.transaction = field<bool>(h, "transaction", where);
            handle.sinceMs = field<uint64_t>(h, "since", where);
            state.handles.push_back(handle);
        }
    }
    if (auto notes = root.find("notes"); notes != root.end()) {
        if (!notes->is_array()) throw std::runtime_error("\"notes\" is not a list");
        for (const json& n : *notes) {
            if (!n.is_string()) throw std::runtime_error("a note is not a string");
            state.notes.push_back(n.get<std::string>());
        }
    }
    std::set<std::string> names, readers;
    std::set<uint64_t> ids;
    for (const Key& key : state.keys) {
        if (!names.insert(key.name).second)
            throw std::runtime_error("two keys named " + platform::quoted(key.name));
        if (!readers.insert(key.reader).second)
            throw std::runtime_error("two keys with the reader " + platform::quoted(key.reader));
        if (key.id == 0 || key.id >= state.nextId || !ids.insert(key.id).second)
            throw std::runtime_error("key " + platform::quoted(key.name) + ": bad id");
    }
    return state;
}

json toJson(const State& state) {
    json keys = json::array();
    for (const Key& key : state.keys) {
        json containers = json::array();
        for (const Container& c : key.containers) {
            json jc = {{"name", c.name}};
            if (!c.sign.empty()) jc["sign"] = base64Encode(c.sign);
            if (!c.enc.empty()) jc["enc"] = base64Encode(c.enc);
            containers.push_back(std::move(jc));
        }
        keys.push_back({{"name", key.name},
                        {"id", key.id},
                        {"reader", key.reader},
                        {"pcode", key.pcode},
                        {"serial", key.serial},
                        {"keytype", key.keytype},
                        {"changepin", key.changepin},
                        {"pin", key.pin},
                        {"tries", key.tries},
                        {"max_tries", key.maxTries},
                        {"vendor", key.vendor},
                        {"product", key.product},
                        {"plugged", key.plugged},
                        {"plug_count", key.plugCount},
                        {"plugged_at", key.pluggedAtMs},
                        {"button", key.button},
                        {"fault", key.fault},
                        {"waiting", key.waiting},
                        {"press_count", key.pressCount},
                        {"containers", std::move(containers)}});
    }
    json root = {{"format", kFormat}, {"next_id", state.nextId}, {"keys", std::move(keys)}};
    // The session model only once strict mode was used: older readers and
    // hand-written files stay as they were.
    if (state.strict || !state.handles.empty() || !state.notes.empty()) {
        json handles = json::array();
        for (const OpenHandle& h : state.handles) {
            handles.push_back({{"serial", h.serial},
                               {"key_id", h.keyId},
                               {"plug_count", h.plugCount},
                               {"pid", h.pid},
                               {"transaction", h.transaction},
                               {"since", h.sinceMs}});
        }
        root["strict"] = state.strict;
        root["transaction_wait_ms"] = state.transactionWaitMs;
        root["next_handle"] = state.nextHandle;
        root["handles"] = std::move(handles);
        root["notes"] = state.notes;
    }
    return root;
}

std::optional<double> parseSeconds(const std::string& text) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    int dots = 0;
    for (char c : text) {
        if (c == '.') {
            ++dots;
        } else if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    if (dots > 1 || text.front() == '.' || text.back() == '.') return std::nullopt;
    double value = std::strtod(text.c_str(), nullptr);
    if (value > 86400) return std::nullopt;
    return value;
}

// Splits "kind:arg" (arg empty when there is no colon).
std::pair<std::string, std::optional<std::string>> splitSetting(const std::string& text) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) return {text, std::nullopt};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

std::optional<uint32_t> parseHexStatus(const std::string& text) {
    if (text.size() < 3 || (text.compare(0, 2, "0x") != 0 && text.compare(0, 2, "0X") != 0))
        return std::nullopt;
    return parseNumber(text);
}

}  // namespace

// The state file is JSON, which carries only UTF-8 text: a reader name, serial,
// PIN or container name in any other encoding could never be written.
bool isUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t extra;
        uint32_t min;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = c & 0x07u;
        } else {
            return false;
        }
        if (s.size() - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (next & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

bool processAlive(uint32_t pid) {
    return pid != 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

void State::addNote(std::string note) {
    notes.push_back(std::move(note));
    if (notes.size() > kMaxNotes)
        notes.erase(notes.begin(), notes.end() - static_cast<std::ptrdiff_t>(kMaxNotes));
}

uint64_t nowMillis() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

Container* Key::findContainer(const std::string& containerName) {
    for (Container& c : containers) {
        if (c.name == containerName) return &c;
    }
    return nullptr;
}

Key* State::findByName(const std::string& name) {
    for (Key& key : keys) {
        if (key.name == name) return &key;
    }
    return nullptr;
}

Key* State::findById(uint64_t id) {
    for (Key& key : keys) {
        if (key.id == id) return &key;
    }
    return nullptr;
}

std::optional<uint32_t> parseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    unsigned base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<Button> parseButton(const std::string& text) {
    auto [kind, arg] = splitSetting(text);
    Button b;
    if (kind == "press" || kind == "never" || kind == "cancel" || kind == "wait") {
        b.kind = kind == "press"    ? Button::kPress
                 : kind == "never"  ? Button::kNever
                 : kind == "cancel" ? Button::kCancel
                                    : Button::kWait;
        if (!arg) {
            if (b.kind == Button::kPress || b.kind == Button::kNever) return std::nullopt;
            b.seconds = b.kind == Button::kWait ? 60 : 0;
            return b;
        }
        auto seconds = parseSeconds(*arg);
        if (!seconds) return std::nullopt;
        b.seconds = *seconds;
        return b;
    }
    if (kind == "status" && arg) {
        auto status = parseHexStatus(*arg);
        if (!status) return std::nullopt;
        b.kind = Button::kStatus;
        b.status = *status;
        return b;
    }
    return std::nullopt;
}

std::optional<Fault> parseFault(const std::string& text) {
    auto [kind, arg] = splitSetting(text);
    Fault f;
    if (!arg) {
        if (kind == "none") return f;
        if (kind == "overlong") {
            f.kind = Fault::kOverlong;
            return f;
        }
        if (kind == "unterminated") {
            f.kind = Fault::kUnterminated;
            return f;
        }
        if (kind == "nocert0") {
            f.kind = Fault::kNoCert0;
            return f;
        }
        return std::nullopt;
    }
    if (kind == "status" || kind == "connect") {
        auto status = parseHexStatus(*arg);
        if (!status) return std::nullopt;
        f.kind = kind == "status" ? Fault::kStatus : Fault::kConnect;
        f.status = *status;
        return f;
    }
    if (kind == "slow" || kind == "notready") {
        auto ms = parseNumber(*arg);
        if (!ms || *ms > 600000) return std::nullopt;
        f.kind = kind == "slow" ? Fault::kSlow : Fault::kNotReady;
        f.millis = *ms;
        return f;
    }
    return std::nullopt;
}

std::string validateKey(const Key& key) {
    if (key.name.empty() || key.name.size() > 64) return "name must have 1 to 64 characters";
    for (char c : key.name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok) return "name may hold only letters, digits, '_', '-' and '.'";
    }
    if (!isFieldText(key.reader, 255)) return "reader name must have 1 to 255 bytes of UTF-8 and no NUL";
    if (!isFieldText(key.serial, 63)) return "serial must have 1 to 63 bytes of UTF-8 and no NUL";
    if (!isFieldText(key.pin, 64)) return "PIN must have 1 to 64 bytes of UTF-8 and no NUL";
    if (key.maxTries == 0 || key.maxTries > 255) return "max_tries must be 1 to 255";
    if (key.tries > key.maxTries)
        return "tries must not exceed max_tries (" + std::to_string(key.maxTries) + ")";
    if (key.vendor > 0xFFFF) return "vendor must be at most 0xFFFF";
    if (key.product > 0xFFFF) return "product must be at most 0xFFFF";
    if (!parseButton(key.button))
        return "button " + platform::quoted(key.button) + " is not a button behaviour";
    if (!parseFault(key.fault)) return "fault " + platform::quoted(key.fault) + " is not a fault setting";
    std::set<std::string> names;
    for (const Container& c : key.containers) {
        if (!isFieldText(c.name, 255)) return "container name must have 1 to 255 bytes of UTF-8 and no NUL";
        if (!names.insert(c.name).second) return "two containers named " + platform::quoted(c.name);
        if (c.sign.size() > 65536 || c.enc.size() > 65536) return "certificate larger than 64 KiB";
    }
    return {};
}

std::string base64Encode(const std::vector<uint8_t>& data) {
    if (data.empty()) return {};
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                            static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
    if (text.empty()) return std::vector<uint8_t>{};
    if (text.size() % 4 != 0 || text.size() > (1u << 20)) return std::nullopt;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                  c == '/' || (c == '=' && i + 2 >= text.size());
        if (!ok) return std::nullopt;
    }
    std::vector<uint8_t> out(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    size_t padding = 0;
    if (text.back() == '=') ++padding;
    if (text.size() > 1 && text[text.size() - 2] == '=') {
        if (text.back() != '=') return std::nullopt;
        ++padding;
    }
    out.resize(static_cast<size_t>(n) - padding);
    return out;
}

Store::Store(std::string dir) : dir_(std::move(dir)) {}

Store Store::fromEnvironment() { return Store(platform::simStateDir()); }

bool Store::load(State* state, std::string* error) const {
    if (!platform::checkSimStateDir(dir_, error)) return false;
    const std::string path = statePath();
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            *state = State{};
            return true;
        }
        *error = errnoText(path);
        return false;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errnoText(path);
            return false;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
        if (content.size() > (64u << 20)) {
            *error = path + ": damaged state file: larger than 64 MiB";
            return false;
        }
    }
    if (!parseState(content, state, error)) {
        *error = path + ": damaged state file: " + *error;
        return false;
    }
    return true;
}

bool parseState(const std::string& text, State* state, std::string* error) {
    json root = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) {
        *error = "not valid JSON";
        return false;
    }
    try {
        *state = fromJson(root);
    } catch (const std::exception& e) {
        *error = e.what();
        return false;
    }
    return true;
}

std::string stateText(const State& state) { return toJson(state).dump(2) + "\n"; }

bool Store::update(const std::function<bool(State&, std::string*)>& change, std::string* error) {
    // Checked again once made: someone else may have made it in between.
    if (!platform::checkSimStateDir(dir_, error) || !platform::makePrivateFolder(dir_, error) ||
        !platform::checkSimStateDir(dir_, error))
        return false;
    const std::string lockPath = dir_ + "/keys.lock";
    Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() < 0) {
        *error = errnoText(lockPath);
        return false;
    }
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            *error = errnoText("flock " + lockPath);
            return false;
        }
    }
    // The lock is released when `lock` closes, on every path below.

    State state;
    if (!load(&state, error)) return false;
    if (!change(state, error)) return false;

    // Under the lock any temporary file left behind is a dead writer's.
    if (DIR* d = ::opendir(dir_.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            if (std::strncmp(entry->d_name, "keys.json.tmp.", 14) == 0)
                ::unlink((dir_ + "/" + entry->d_name).c_str());
        }
        ::closedir(d);
    }

    const std::string text = stateText(state);
    const std::string path = statePath();
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    {
        Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (out.get() < 0) {
            *error = errnoText(temp);
            return false;
        }
        size_t half = text.size() / 2;
        bool written = writeAll(out.get(), text.data(), half);
        if (written) {
            ::fsync(out.get());
            testPause("midwrite");
            written = writeAll(out.get(), text.data() + half, text.size() - half);
        }
        if (!written || ::fsync(out.get()) != 0) {
            *error = errnoText(temp);
            ::unlink(temp.c_str());
            return false;
        }
    }
    testPause("rename");
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        *error = errnoText("rename " + temp);
        ::unlink(temp.c_str());
        return false;
    }
    testPause("renamed");
    Fd folder(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) ::fsync(folder.get());
    return true;
}

}  // namespace kpsim
