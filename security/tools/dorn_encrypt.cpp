// dorn-encrypt: one dornEncrypt call from the command line, for the bank's
// server developers and for integration tests.
//
//   dorn-encrypt --mode N [--app-key HEX|@FILE] [--platform-key HEX|@FILE] [--extra TEXT]
//
// The text to encrypt is standard input, less one trailing newline. Prints
// the output and a newline and exits 0; exits 1 when no output was produced
// (the library's messages are on standard error), 2 on a usage error.
#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include "security/security.h"

namespace {

int usage(const char* why) {
    std::fprintf(stderr,
                 "dorn-encrypt: %s\n"
                 "usage: dorn-encrypt --mode N [--app-key HEX|@FILE] [--platform-key HEX|@FILE] [--extra TEXT]\n"
                 "       the text to encrypt is read from standard input\n",
                 why);
    return 2;
}

// A key option: the hex text itself, or @FILE holding it (surrounding
// whitespace dropped).
std::optional<std::string> keyText(const std::string& value) {
    if (value.empty() || value[0] != '@')
        return value;
    std::ifstream in(value.substr(1));
    if (!in)
        return std::nullopt;
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto first = s.find_first_not_of(" \t\r\n");
    const auto last = s.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<int> mode;
    std::optional<std::string> appKey, platformKey, extra;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            usage("help");
            return 0;
        }
        if (i + 1 >= argc)
            return usage(("missing value for " + opt).c_str());
        const std::string value = argv[++i];
        if (opt == "--mode") {
            char* end = nullptr;
            const long m = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || m < -2147483647L || m > 2147483647L)
                return usage("--mode takes an integer");
            mode = static_cast<int>(m);
        } else if (opt == "--app-key" || opt == "--platform-key") {
            auto text = keyText(value);
            if (!text)
                return usage(("cannot read " + value.substr(1)).c_str());
            (opt == "--app-key" ? appKey : platformKey) = *text;
        } else if (opt == "--extra") {
            extra = value;
        } else {
            return usage(("unknown option " + opt).c_str());
        }
    }
    if (!mode)
        return usage("--mode is required");

    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (!text.empty() && text.back() == '\n')
        text.pop_back();

    EncryptionKeys keys{appKey ? appKey->c_str() : nullptr, platformKey ? platformKey->c_str() : nullptr};
    char* out = nullptr;
    dornEncrypt(*mode, &keys, &out, text.c_str(), extra ? extra->c_str() : nullptr);
    OPENSSL_cleanse(text.data(), text.size());
    if (out == nullptr)
        return 1;
    std::printf("%s\n", out);
    std::free(out);
    return 0;
}
