// keysim: provisions and drives the simulated keys of the token simulator
// (state in platform::simStateDir(), see keystore.h).
//
// Exit status: 0 done; 2 bad input (usage, unknown key or field, malformed
// value, unreadable certificate), nothing changed; 1 any other failure
// (state file damaged or not writable); 3 `status --clean` found a handle
// open or a note of misuse. Errors are one line on stderr.
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "platform/cli.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/ossl.h"
#include "platform/paths.h"
#include "sim/token/demo.h"
#include "sim/token/keystore.h"

namespace {

using kpsim::Key;
using kpsim::State;
using kpsim::Store;

constexpr int kBadInput = 2;
constexpr int kFailure = 1;

const char* const kUsage = R"(usage: keysim COMMAND [ARGS]
       keysim --help | --version

Provisions and drives the simulated USB keys that the simulated token library
(libUSBQdvKey_20244.so) shows. State folder: $KEYSIM_DIR (else
$XDG_RUNTIME_DIR/keysim, else /tmp/keysim-<uid>); file keys.json.

Commands:
  create NAME               a new key, unplugged (PCODE 20244, vendor 0xD449,
                            product 4, PIN 12345678, 6 tries, no containers)
  create --demo NAME        a realistic key, plugged in: a test CA and two
                            containers with signing and encryption
                            certificates (RSA-2048); PEM copies of the
                            certificates and private keys go to
                            $KEYSIM_DIR/NAME.demo/
  list                      one line per key
  show NAME                 every attribute, containers and certificates
  remove NAME               deletes the key
  set NAME FIELD VALUE      changes one attribute (fields below)
  import NAME CONTAINER sign|enc FILE
                            puts a certificate (DER or PEM) into a container
                            (the container is made when missing)
  drop NAME CONTAINER [sign|enc]
                            removes a container, or one of its certificates
  plug NAME / unplug NAME   inserts or pulls out the key
  press NAME                presses the key's button during a waiting PIN
                            change (button "wait")
  dir                       prints the state folder
  strict on [--wait MS] / strict off
                            the session model (on in the test suites):
                            each process may hold 8 handles (the 9th
                            KpConnectDev fails with 0x88000009); a call on a
                            released handle fails with 0x8800000A; a
                            KpBeginTransaction while another handle holds the
                            key's transaction waits up to MS milliseconds
                            (default 3000, at most 600000), then fails with
                            0x88000008; a begin inside the handle's own
                            transaction or an end outside one fails with
                            0x8800000B. Off forgets every handle and note.
  status [--clean]          the mode, open handles (key, process, whether
                            it holds the transaction, stale or process gone)
                            and notes of misuse (a handle released inside its
                            transaction); --clean exits 3 unless no handle is
                            open and no note was made

Fields of set (numbers decimal or 0x-hexadecimal):
  reader TEXT     reader name listed by KpListReaders (unique)
  pcode N         product code (20244 = the bank's keys)
  serial TEXT     serial number read by KpReadDSN (1 to 63 bytes)
  keytype N       KpGetKeyType (1 = no button prompt window)
  changepin N     KpGetChangePINFlage
  pin TEXT        user PIN
  tries N         remaining user PIN tries (0 = locked; at most maxtries)
  maxtries N      tries restored by a successful PIN change (1 to 255)
  vendor N        USB vendor ID (0xD449 or 0x6A9F are watched)
  product N       USB product ID (4 is watched)
  button B        during a PIN change: press:N (pressed after N seconds),
                  never:T (time-out 0xE0020013 after T seconds), cancel or
                  cancel:N (0x88000061), status:0xHEX (that status at once),
                  wait or wait:T (waits for `keysim press`, time-out T, 60 s)
  fault F         bad answers on purpose: none, overlong (reported lengths
                  larger than the buffer), unterminated (name lists without
                  their final empty name, filling the buffer), status:0xHEX
                  (every call on the key fails with it), connect:0xHEX
                  (listed but KpConnectDev fails with it), slow:MS (every
                  call on the key sleeps MS milliseconds), notready:MS
                  (KpConnectDev fails with 0x88000007 until MS milliseconds
                  after the key was plugged in), nocert0 (KpReadCert answers
                  success with length 0)
)";

// One-line error with its exit status.
struct Failure {
    int status = 0;
    std::string message;
};

[[noreturn]] void badInput(const std::string& message) { throw Failure{kBadInput, message}; }

void requireArgs(const std::vector<std::string>& args, size_t count, const char* synopsis) {
    if (args.size() != count) badInput(std::string("usage: keysim ") + synopsis);
}

Key& keyNamed(State& state, const std::string& name) {
    Key* key = state.findByName(name);
    if (key == nullptr) badInput("no key named " + platform::quoted(name));
    return *key;
}

// Runs one locked change; a Failure thrown inside leaves the state unchanged.
void change(const std::function<void(State&)>& edit) {
    std::string error;
    Failure failure;
    bool ok = Store::fromEnvironment().update(
        [&](State& state, std::string*) {
            try {
                edit(state);
                return true;
            } catch (const Failure& f) {
                failure = f;
                return false;
            }
        },
        &error);
    if (failure.status != 0) throw failure;
    if (!ok) throw Failure{kFailure, error};
}

State loadOrFail() {
    State state;
    std::string error;
    if (!Store::fromEnvironment().load(&state, &error)) throw Failure{kFailure, error};
    return state;
}

void checkKey(const State& state, const Key& key) {
    std::string problem = kpsim::validateKey(key);
    if (!problem.empty()) badInput(problem);
    for (const Key& other : state.keys) {
        if (&other != &key && other.reader == key.reader)
            badInput("reader " + platform::quoted(key.reader) + " is already the reader of key " +
                     platform::quoted(other.name));
    }
}

uint32_t numberValue(const std::string& field, const std::string& text) {
    auto n = kpsim::parseNumber(text);
    if (!n) badInput(field + ": " + platform::quoted(text) + " is not a number (decimal or 0x-hexadecimal)");
    return *n;
}

Key newKey(State& state, const std::string& name) {
    if (state.findByName(name) != nullptr)
        badInput("a key named " + platform::quoted(name) + " exists already");
    Key key;
    key.name = name;
    key.id = state.nextId;
    key.reader = "USBQdvKey " + name;
    key.serial = kpsim::makeDemoSerial();
    key.button = "press:2";
    checkKey(state, key);
    return key;
}

// ---- certificates ----

using ossl::X509Ptr;

X509Ptr parseCertificate(const std::vector<uint8_t>& bytes) {
    const unsigned char* p = bytes.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    if (cert && p == bytes.data() + bytes.size()) return cert;
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    if (bio == nullptr) return nullptr;
    cert.reset(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return cert;
}

std::string subjectLine(const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert) return "(not a certificate)";
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return "";
    X509_NAME_print_ex(bio, X509_get_subject_name(cert.get()), 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string line(data, static_cast<size_t>(n));
    BIO_free(bio);
    return line;
}

// A certificate file's bytes. Folders, FIFOs, devices (such as /dev/zero)
// and anything larger than any certificate are bad input.
std::vector<uint8_t> readCertificateFile(const std::string& path) {
    std::string bytes, error;
    if (!platform::readSmallFile(path, 1u << 20, &bytes, &error)) badInput(error);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Writes one file completely (fsync'ed) or throws a Failure naming it;
// private keys are written for the user alone.
void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    int err = fd < 0 ? errno : 0;
    for (size_t done = 0; err == 0 && done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n > 0) done += static_cast<size_t>(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (fd >= 0 && ::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) throw Failure{kFailure, "cannot write " + path + ": " + std::strerror(err)};
}

// The PEM copies of a demo key, written into a staging folder beside the
// final one: only a complete set is ever renamed into place.
void writeDemoFolder(const std::string& folder, const kpsim::DemoMaterial& material) {
    if (::mkdir(folder.c_str(), 0700) != 0)
        throw Failure{kFailure, "cannot make " + folder + ": " + std::strerror(errno)};
    writeFile(folder + "/ca-cert.pem", material.caCertPem, 0644);
    writeFile(folder + "/ca-key.pem", material.caKeyPem, 0600);
    int index = 0;
    for (const auto& c : material.certificates) {
        std::string stem =
            folder + "/container" + std::to_string(1 + index / 2) + (c.signing ? "-sign" : "-enc");
        writeFile(stem + "-cert.pem", c.certPem, 0644);
        writeFile(stem + "-key.pem", c.keyPem, 0600);
        ++index;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void removeTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// ---- commands ----

// A demo key is all or nothing: its PEM copies are written first, moved into
// place under the state lock, and taken away again when the key cannot be
// committed (a full disk), so a failed attempt leaves nothing and a retry works.
void cmdCreate(const std::vector<std::string>& args) {
    std::string name;
    bool demo = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--demo") {
            demo = true;
        } else if (name.empty() && !args[i].empty() && args[i][0] != '-') {
            name = args[i];
        } else {
            badInput("usage: keysim create [--demo] NAME");
        }
    }
    if (name.empty()) badInput("usage: keysim create [--demo] NAME");

    kpsim::DemoMaterial material;
    const Store store = Store::fromEnvironment();
    const std::string folder = store.dir() + "/" + name + ".demo";
    const std::string staging = folder + ".tmp." + std::to_string(::getpid());
    if (demo) {
        // Made before taking the lock: RSA key generation takes a moment.
        State state = loadOrFail();
        newKey(state, name);  // refuses an existing or malformed name before the work
        std::string error;
        if (!kpsim::makeDemoMaterial(&material, &error))
            throw Failure{kFailure, "demo certificates: " + error};
        if (!platform::makePrivateFolder(store.dir(), &error)) throw Failure{kFailure, error};
        try {
            writeDemoFolder(staging, material);
        } catch (...) {
            removeTree(staging);
            throw;
        }
    }
    bool placed = false;
    try {
        change([&](State& state) {
            Key key = newKey(state, name);
            if (demo) {
                key.plugged = true;
                key.plugCount = 1;
                key.pluggedAtMs = kpsim::nowMillis();
                for (const auto& c : material.certificates) {
                    kpsim::Container* container = key.findContainer(c.container);
                    if (container == nullptr) {
                        key.containers.push_back({c.container, {}, {}});
                        container = &key.containers.back();
                    }
                    (c.signing ? container->sign : container->enc) = c.der;
                }
                // No key of this name exists, so a folder of its name is a
                // leftover of an attempt that died.
                removeTree(folder);
                if (::rename(staging.c_str(), folder.c_str()) != 0)
                    throw Failure{kFailure, "cannot rename " + staging + ": " + std::strerror(errno)};
                placed = true;
            }
            ++state.nextId;
            state.keys.push_back(std::move(key));
        });
    } catch (...) {
        if (placed) removeTree(folder);
        if (demo) removeTree(staging);
        throw;
    }
}

void cmdList(const std::vector<std::string>& args) {
    requireArgs(args, 1, "list");
    State state = loadOrFail();
    std::printf("%-16s %-8s %-6s %-18s %-6s %s\n", "NAME", "STATE", "PCODE", "SERIAL", "TRIES", "READER");
    for (const Key& key : state.keys) {
        std::string tries = std::to_string(key.tries) + "/" + std::to_string(key.maxTries);
        std::printf("%-16s %-8s %-6u %-18s %-6s %s\n", key.name.c_str(), key.plugged ? "plugged" : "out",
                    key.pcode, key.serial.c_str(), tries.c_str(), key.reader.c_str());
    }
}

void cmdShow(const std::vector<std::string>& args) {
    requireArgs(args, 2, "show NAME");
    State state = loadOrFail();
    const Key& key = keyNamed(state, args[1]);
    std::printf("key %s (%s)\n", key.name.c_str(), key.plugged ? "plugged in" : "not plugged in");
    std::printf("  reader:          %s\n", key.reader.c_str());
    std::printf("  PCODE:           %u\n", key.pcode);
    std::printf("  serial (DSN):    %s\n", key.serial.c_str());
    std::printf("  key type:        %u\n", key.keytype);
    std::printf("  change-PIN flag: %u\n", key.changepin);
    std::printf("  user PIN:        %s\n", key.pin.c_str());
    std::printf("  tries:           %u of %u%s\n", key.tries, key.maxTries,
                key.tries == 0 ? " (locked)" : "");
    std::printf("  USB:             vendor 0x%04X, product 0x%04X\n", key.vendor, key.product);
    std::printf("  button:          %s%s\n", key.button.c_str(),
                key.waiting ? " (a PIN change is waiting)" : "");
    std::printf("  fault:           %s\n", key.fault.c_str());
    std::printf("  containers:      %zu\n", key.containers.size());
    for (const auto& c : key.containers) {
        std::printf("    %s\n", c.name.c_str());
        for (int spec : {2, 1}) {
            const auto& der = spec == 2 ? c.sign : c.enc;
            const char* label = spec == 2 ? "sign (2)" : "enc (1) ";
            if (der.empty()) {
                std::printf("      %s  none\n", label);
            } else {
                std::printf("      %s  %zu bytes  %s\n", label, der.size(), subjectLine(der).c_str());
            }
        }
    }
}

void cmdRemove(const std::vector<std::string>& args) {
    requireArgs(args, 2, "remove NAME");
    change([&](State& state) {
        Key& key = keyNamed(state, args[1]);
        state.keys.erase(state.keys.begin() + (&key - state.keys.data()));
    });
}

void cmdSet(const std::vector<std::string>& args) {
    requireArgs(args, 4, "set NAME FIELD VALUE");
    const std::string& field = args[2];
    const std::string& value = args[3];
    change([&](State& state) {
        Key& key = keyNamed(state, args[1]);
        if (field == "reader") {
            key.reader = value;
        } else if (field == "pcode") {
            key.pcode = numberValue(field, value);
        } else if (field == "serial") {
            key.serial = value;
        } else if (field == "keytype") {
            key.keytype = numberValue(field, value);
        } else if (field == "changepin") {
            key.changepin = numberValue(field, value);
        } else if (field == "pin") {
            key.pin = value;
        } else if (field == "tries") {
            key.tries = numberValue(field, value);
        } else if (field == "maxtries" || field == "max_tries") {
            key.maxTries = numberValue(field, value);
        } else if (field == "vendor") {
            key.vendor = numberValue(field, value);
        } else if (field == "product") {
            key.product = numberValue(field, value);
        } else if (field == "button") {
            if (!kpsim::parseButton(value))
                badInput("button: " + platform::quoted(value) +
                         " is not press:N, never:T, cancel[:N], status:0xHEX or wait[:T]");
            key.button = value;
        } else if (field == "fault") {
            if (!kpsim::parseFault(value))
                badInput("fault: " + platform::quoted(value) +
                         " is not none, overlong, unterminated, status:0xHEX, connect:0xHEX, slow:MS, "
                         "notready:MS or "
                         "nocert0");
            key.fault = value;
        } else {
            badInput(
                "unknown field " + platform::quoted(field) +
                " (reader, pcode, serial, keytype, changepin, pin, tries, maxtries, vendor, product, button, "
                "fault)");
        }
        checkKey(state, key);
    });
}

void cmdImport(const std::vector<std::string>& args) {
    requireArgs(args, 5, "import NAME CONTAINER sign|enc FILE");
    const std::string& containerName = args[2];
    const std::string& spec = args[3];
    const std::string& file = args[4];
    if (spec != "sign" && spec != "enc") badInput(platform::quoted(spec) + " is neither sign nor enc");
    std::vector<uint8_t> bytes = readCertificateFile(file);
    X509Ptr cert = parseCertificate(bytes);
    if (!cert) badInput(file + ": not an X.509 certificate (DER or PEM)");
    int n = i2d_X509(cert.get(), nullptr);
    if (n <= 0) badInput(file + ": certificate cannot be encoded");
    std::vector<uint8_t> der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_X509(cert.get(), &p);
    change([&](State& state) {
        Key& key = keyNamed(state, args[1]);
        kpsim::Container* container = key.findContainer(containerName);
        if (container == nullptr) {
            key.containers.push_back({containerName, {}, {}});
            container = &key.containers.back();
        }
        (spec == "sign" ? container->sign : container->enc) = der;
        checkKey(state, key);
    });
}

void cmdDrop(const std::vector<std::string>& args) {
    if (args.size() != 3 && args.size() != 4) badInput("usage: keysim drop NAME CONTAINER [sign|enc]");
    if (args.size() == 4 && args[3] != "sign" && args[3] != "enc")
        badInput(platform::quoted(args[3]) + " is neither sign nor enc");
    change([&](State& state) {
        Key& key = keyNamed(state, args[1]);
        kpsim::Container* container = key.findContainer(args[2]);
        if (container == nullptr)
            badInput("key " + platform::quoted(key.name) + " has no container " + platform::quoted(args[2]));
        if (args.size() == 3) {
            key.containers.erase(key.containers.begin() + (container - key.containers.data()));
        } else {
            (args[3] == "sign" ? container->sign : container->enc).clear();
        }
    });
}

void cmdPlug(const std::vector<std::string>& args, bool plugged) {
    requireArgs(args, 2, plugged ? "plug NAME" : "unplug NAME");
    change([&](State& state) {
        Key& key = keyNamed(state, args[1]);
        if (plugged && !key.plugged) {
            key.plugCount = (key.plugCount + 1) & 0xFFFFFFu;
            key.pluggedAtMs = kpsim::nowMillis();
        }
        key.plugged = plugged;
        if (!plugged) key.waiting = false;
    });
}

void cmdPress(const std::vector<std::string>& args) {
    requireArgs(args, 2, "press NAME");
    change([&](State& state) {
        Key& key = keyNamed(state, args[1]);
        if (!key.plugged) badInput("key " + platform::quoted(key.name) + " is not plugged in");
        if (!key.waiting)
            badInput("key " + platform::quoted(key.name) + " is not waiting for a button press");
        ++key.pressCount;
        key.waiting = false;
    });
}

void cmdStrict(const std::vector<std::string>& args) {
    const bool on = args.size() >= 2 && args[1] == "on";
    const bool valid = (on && (args.size() == 2 || (args.size() == 4 && args[2] == "--wait"))) ||
                       (args.size() == 2 && args[1] == "off");
    if (!valid) badInput("usage: keysim strict on [--wait MS] | strict off");
    uint32_t waitMs = kpsim::kDefaultTransactionWaitMs;
    if (args.size() == 4) {
        waitMs = numberValue("--wait", args[3]);
        if (waitMs > 600000) badInput("--wait: at most 600000 milliseconds");
    }
    change([&](State& state) {
        state.strict = on;
        state.transactionWaitMs = waitMs;
        if (!on) {
            state.handles.clear();
            state.notes.clear();
        }
    });
}

// Open handles and notes; with --clean, exit 3 unless there are none.
int cmdStatus(const std::vector<std::string>& args) {
    const bool clean = args.size() == 2 && args[1] == "--clean";
    if (args.size() != 1 && !clean) badInput("usage: keysim status [--clean]");
    State state = loadOrFail();
    if (state.strict) {
        std::printf("strict on (transactions wait up to %u ms)\n", state.transactionWaitMs);
    } else {
        std::printf("strict off\n");
    }
    if (state.handles.empty()) std::printf("no open handles\n");
    for (const kpsim::OpenHandle& h : state.handles) {
        const Key* key = state.findById(h.keyId);
        std::string where = key == nullptr ? "a removed key" : "key " + platform::quoted(key->name);
        std::string flags;
        if (h.transaction) flags += ", holds the transaction";
        if (key == nullptr || !key->plugged || key->plugCount != h.plugCount)
            flags += ", stale (key pulled out)";
        if (!kpsim::processAlive(h.pid)) flags += ", process gone";
        std::printf("handle %u: %s, process %u%s\n", h.serial, where.c_str(), h.pid, flags.c_str());
    }
    for (const std::string& note : state.notes) std::printf("note: %s\n", note.c_str());
    return clean && (!state.handles.empty() || !state.notes.empty()) ? 3 : 0;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) badInput("no command (keysim --help lists them)");
    const std::string& command = args[0];
    if (command == "help") return platform::answer(platform::Asked::Help, "keysim", kUsage);
    if (const platform::Asked asked = platform::askedFor(command); asked != platform::Asked::Nothing)
        return platform::answer(asked, "keysim", kUsage);
    if (std::string error;
        command != "dir" && !platform::checkSimStateDir(Store::fromEnvironment().dir(), &error))
        badInput(error);
    if (command == "create") {
        cmdCreate(args);
    } else if (command == "list") {
        cmdList(args);
    } else if (command == "show") {
        cmdShow(args);
    } else if (command == "remove") {
        cmdRemove(args);
    } else if (command == "set") {
        cmdSet(args);
    } else if (command == "import") {
        cmdImport(args);
    } else if (command == "drop") {
        cmdDrop(args);
    } else if (command == "plug") {
        cmdPlug(args, true);
    } else if (command == "unplug") {
        cmdPlug(args, false);
    } else if (command == "press") {
        cmdPress(args);
    } else if (command == "strict") {
        cmdStrict(args);
    } else if (command == "status") {
        return cmdStatus(args);
    } else if (command == "dir") {
        requireArgs(args, 1, "dir");
        std::printf("%s\n", Store::fromEnvironment().dir().c_str());
    } else {
        badInput("unknown command " + platform::quoted(command) + " (keysim --help lists them)");
    }
    return 0;
}

}  // namespace

// Errors are one line: control characters that came in with the arguments
// (a name holding a newline) are shown as '?'.
static void printError(const std::string& message) {
    std::string line = message;
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    std::fprintf(stderr, "keysim: %s\n", line.c_str());
}

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        return run(args);
    } catch (const Failure& f) {
        printError(f.message);
        return f.status;
    } catch (const std::exception& e) {
        printError(e.what());
        return kFailure;
    }
}
