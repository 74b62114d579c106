// dorn-decrypt: opens a dornEncrypt output again with the private keys (PEM
// files), the way the bank's servers do; for tests and server developers.
//
//   dorn-decrypt --mode N [--app-key FILE] [--platform-key FILE]
//
// Reads the output from standard input and prints its fields one per line
// ("name: value"). Exits 0 when the output opens and every layout check
// passes, 1 otherwise (reason on standard error), 2 on a usage error.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "decoder.h"
#include "platform/cli.h"
#include "platform/log.h"

namespace {

constexpr char kUsage[] =
    "usage: dorn-decrypt --mode N [--app-key FILE] [--platform-key FILE]\n"
    "       dorn-decrypt --help | --version\n"
    "       the encrypted output is read from standard input\n";
// Far above any output of a 1 MiB text, far below what would exhaust memory.
constexpr size_t kMaxInput = 16u << 20;

int usage(const std::string& why) {
    std::fprintf(stderr, "dorn-decrypt: %s\n%s", why.c_str(), kUsage);
    return 2;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "dorn-decrypt: %s\n", why.c_str());
    return 1;
}

void field(const char* name, const std::string& value) { std::printf("%s: %s\n", name, value.c_str()); }

bool readInput(std::string* input, std::string* error) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) return true;
        if (input->size() + static_cast<size_t>(n) > kMaxInput) {
            *error = "the input is longer than " + std::to_string(kMaxInput) + " bytes";
            return false;
        }
        input->append(chunk, static_cast<size_t>(n));
    }
}

// Prints the fields of one opened output; 0, or 1 with the reason.
int show(int mode, EVP_PKEY* app, EVP_PKEY* platformKey, const std::string& input);

}  // namespace

int main(int argc, char** argv) {
    int mode = -1;
    std::string appPath, platformPath;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (const platform::Asked asked = platform::askedFor(opt); asked != platform::Asked::Nothing)
            return platform::answer(asked, "dorn-decrypt", kUsage);
        if (opt != "--mode" && opt != "--app-key" && opt != "--platform-key")
            return usage("unknown option " + platform::quoted(opt));
        if (i + 1 >= argc) return usage("missing value for " + opt);
        std::string value = argv[++i];
        if (!value.empty() && value[0] == '@') value.erase(0, 1);
        if (opt == "--mode") {
            // Range-checked as text: a value such as 4294967296 must not wrap to a mode.
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), mode);
            if (value.empty() || ec != std::errc() || end != value.data() + value.size() || mode < 0 ||
                mode > 5)
                return usage("--mode takes 0 to 5");
        } else if (opt == "--app-key") {
            appPath = value;
        } else {
            platformPath = value;
        }
    }
    if (mode < 0) return usage("--mode is required");
    const bool needApp = mode != 1, needPlatform = mode != 0;
    if ((needApp && appPath.empty()) || (needPlatform && platformPath.empty()))
        return usage(mode == 0   ? "mode 0 needs --app-key"
                     : mode == 1 ? "mode 1 needs --platform-key"
                                 : "this mode needs --app-key and --platform-key");

    std::string error;
    decoder::PkeyPtr app, platformKey;
    if (needApp && !(app = decoder::loadPrivateKey(appPath, error))) return fail(error);
    if (needPlatform && !(platformKey = decoder::loadPrivateKey(platformPath, error))) return fail(error);

    std::string input;
    if (!readInput(&input, &error)) return fail(error);
    while (!input.empty() && (input.back() == '\n' || input.back() == '\r')) input.pop_back();

    const int status = show(mode, app.get(), platformKey.get(), input);
    if (status != 0) return status;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || std::fclose(stdout) != 0)
        return fail(std::string("cannot write the output: ") + std::strerror(errno));
    return 0;
}

namespace {

int show(int mode, EVP_PKEY* app, EVP_PKEY* platformKey, const std::string& input) {
    std::string error;
    decoder::Envelope env;
    switch (mode) {
        case 0:
            if (!decoder::openEnvelope(app, input, env, error)) return fail(error);
            field("timestamp", env.timestamp);
            field("text", env.text);
            return 0;
        case 1: {
            decoder::PinResult r;
            if (!decoder::openMode1(platformKey, input, r, error)) return fail(error);
            field("pin-block", decoder::hex(r.pinBlock));
            field("des-key", decoder::hex(r.desKey));
            field("fixed-value", decoder::hex(r.fixedValue));
            field("server-random", decoder::hex(r.serverRandom));
            return 0;
        }
        case 2: {
            std::string password;
            if (!decoder::openMode2(app, platformKey, input, env, password, error)) return fail(error);
            field("timestamp", env.timestamp);
            field("text", password);
            return 0;
        }
        default: {
            decoder::Bytes block;
            if (!decoder::openSm2Mode(app, platformKey, input, env, block, error)) return fail(error);
            field("timestamp", env.timestamp);
            field("block", decoder::hex(block));
            if (mode == 3) {
                decoder::LayoutB b;
                if (!decoder::parseLayoutB(block, b, error)) return fail(error);
                field("fixed-field", b.fixedField);
                field("text", b.text);
            } else if (mode == 4) {
                std::string text;
                decoder::Bytes random;
                if (!decoder::parseLayoutC(block, text, random, error)) return fail(error);
                field("text", text);
            } else {
                field("text", std::string(block.begin(), std::find(block.begin(), block.end(), 0)));
            }
            return 0;
        }
    }
}

}  // namespace
