// dorn-encrypt: one dornEncrypt call from the command line, for the bank's
// server developers and for integration tests.
//
//   dorn-encrypt --mode N [--app-key HEX|@FILE] [--platform-key HEX|@FILE] [--extra TEXT]
//
// The text to encrypt is standard input, less one trailing newline: at most
// 1 MiB and no NUL byte (the library takes a C string, which would end at
// it). Prints the output and a newline and exits 0; exits 1 when no output
// was produced or it could not be written (the reason is one line on
// standard error), 2 on a usage error.
#include <openssl/crypto.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/cli.h"
#include "platform/files.h"
#include "platform/log.h"
#include "security/security.h"

namespace {

constexpr char kUsage[] =
    "usage: dorn-encrypt --mode N [--app-key HEX|@FILE] [--platform-key HEX|@FILE] [--extra TEXT]\n"
    "       dorn-encrypt --help | --version\n"
    "       the text to encrypt is read from standard input\n";
constexpr size_t kMaxText = 1u << 20;
constexpr size_t kMaxKeyFile = 64u << 10;  // a 16384-bit modulus is 4096 digits

int usage(const std::string& why) {
    std::fprintf(stderr, "dorn-encrypt: %s\n%s", why.c_str(), kUsage);
    return 2;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "dorn-encrypt: %s\n", why.c_str());
    return 1;
}

// A key option: the hex text itself, or @FILE holding it (surrounding
// whitespace dropped).
bool keyText(const std::string& value, std::string* key, std::string* error) {
    if (value.empty() || value[0] != '@') {
        *key = value;
        return true;
    }
    std::string s;
    if (!platform::readSmallFile(value.substr(1), kMaxKeyFile, &s, error)) return false;
    const auto first = s.find_first_not_of(" \t\r\n");
    const auto last = s.find_last_not_of(" \t\r\n");
    *key = first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
    return true;
}

// The text to encrypt: one buffer sized up front (a growing string would
// leave copies of the password behind in freed memory, and so would the
// stdio buffer), read with read(2), wiped before it is released.
class Secret {
public:
    Secret() : bytes_(static_cast<char*>(std::calloc(kMaxText + 2, 1))) {}
    ~Secret() {
        if (bytes_ != nullptr) {
            OPENSSL_cleanse(bytes_, used_);
            std::free(bytes_);
        }
    }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    // Standard input to its end; false with *error when it cannot be taken.
    bool readStandardInput(std::string* error) {
        if (bytes_ == nullptr) {
            *error = "out of memory";
            return false;
        }
        // Room for the longest text, its newline and one byte more, which
        // tells a longer text: the limit is the text's, the newline aside.
        size_t len = 0;
        while (len < kMaxText + 2) {
            const ssize_t n = ::read(STDIN_FILENO, bytes_ + len, kMaxText + 2 - len);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *error = std::string("cannot read standard input: ") + std::strerror(errno);
                used_ = len;
                return false;
            }
            if (n == 0) break;
            len += static_cast<size_t>(n);
        }
        used_ = len;
        const size_t textLen = len > 0 && bytes_[len - 1] == '\n' ? len - 1 : len;
        if (textLen > kMaxText) {
            *error = "the text is longer than " + std::to_string(kMaxText) + " bytes";
            return false;
        }
        if (std::memchr(bytes_, '\0', textLen) != nullptr) {
            *error = "the text holds a NUL byte";
            return false;
        }
        bytes_[textLen] = '\0';
        return true;
    }
    const char* text() const { return bytes_; }

private:
    char* bytes_;
    size_t used_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::optional<int> mode;
    std::optional<std::string> appKey, platformKey, extra;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (const platform::Asked asked = platform::askedFor(opt); asked != platform::Asked::Nothing)
            return platform::answer(asked, "dorn-encrypt", kUsage);
        if (opt != "--mode" && opt != "--app-key" && opt != "--platform-key" && opt != "--extra")
            return usage("unknown option " + platform::quoted(opt));
        if (i + 1 >= argc) return usage("missing value for " + opt);
        const std::string value = argv[++i];
        if (opt == "--mode") {
            int m = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), m);
            if (value.empty() || ec != std::errc() || end != value.data() + value.size())
                return usage("--mode takes an integer");
            mode = m;
        } else if (opt == "--extra") {
            extra = value;
        } else {
            std::string key, error;
            if (!keyText(value, &key, &error)) return fail(error);
            (opt == "--app-key" ? appKey : platformKey) = std::move(key);
        }
    }
    if (!mode) return usage("--mode is required");
    // The library would stay silent: say why nothing comes out.
    if (*mode < 0 || *mode > 5) return fail("mode " + std::to_string(*mode) + " is not one of 0 to 5");

    Secret text;
    std::string error;
    if (!text.readStandardInput(&error)) return fail(error);

    EncryptionKeys keys{appKey ? appKey->c_str() : nullptr, platformKey ? platformKey->c_str() : nullptr};
    char* out = nullptr;
    dornEncrypt(*mode, &keys, &out, text.text(), extra ? extra->c_str() : nullptr);
    if (out == nullptr) return 1;  // the library has said why
    const bool written =
        std::fputs(out, stdout) >= 0 && std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0;
    const int writeErrno = errno;
    std::free(out);
    // The close is where a full device or a broken pipe may show last.
    if (!written || std::fclose(stdout) != 0)
        return fail(std::string("cannot write the output: ") + std::strerror(written ? errno : writeErrno));
    return 0;
}
