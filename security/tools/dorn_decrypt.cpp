// dorn-decrypt: opens a dornEncrypt output again with the private keys (PEM
// files), the way the bank's servers do; for tests and server developers.
//
//   dorn-decrypt --mode N [--app-key FILE] [--platform-key FILE]
//
// Reads the output from standard input and prints its fields one per line
// ("name: value"). Exits 0 when the output opens and every layout check
// passes, 1 otherwise (reason on standard error), 2 on a usage error.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

#include "decoder.h"

namespace {

int usage(const char* why) {
    std::fprintf(stderr,
                 "dorn-decrypt: %s\n"
                 "usage: dorn-decrypt --mode N [--app-key FILE] [--platform-key FILE]\n"
                 "       the encrypted output is read from standard input\n",
                 why);
    return 2;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "dorn-decrypt: %s\n", why.c_str());
    return 1;
}

void field(const char* name, const std::string& value) { std::printf("%s: %s\n", name, value.c_str()); }

}  // namespace

int main(int argc, char** argv) {
    int mode = -1;
    std::string appPath, platformPath;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (i + 1 >= argc)
            return usage(("missing value for " + opt).c_str());
        std::string value = argv[++i];
        if (!value.empty() && value[0] == '@')
            value.erase(0, 1);
        if (opt == "--mode") {
            char* end = nullptr;
            mode = static_cast<int>(std::strtol(value.c_str(), &end, 10));
            if (value.empty() || *end != '\0' || mode < 0 || mode > 5)
                return usage("--mode takes 0 to 5");
        } else if (opt == "--app-key") {
            appPath = value;
        } else if (opt == "--platform-key") {
            platformPath = value;
        } else {
            return usage(("unknown option " + opt).c_str());
        }
    }
    if (mode < 0)
        return usage("--mode is required");
    const bool needApp = mode != 1, needPlatform = mode != 0;
    if ((needApp && appPath.empty()) || (needPlatform && platformPath.empty()))
        return usage(mode == 0 ? "mode 0 needs --app-key"
                     : mode == 1 ? "mode 1 needs --platform-key"
                                 : "this mode needs --app-key and --platform-key");

    std::string error;
    decoder::PkeyPtr app, platform;
    if (needApp && !(app = decoder::loadPrivateKey(appPath, error)))
        return fail(error);
    if (needPlatform && !(platform = decoder::loadPrivateKey(platformPath, error)))
        return fail(error);

    std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    while (!input.empty() && (input.back() == '\n' || input.back() == '\r'))
        input.pop_back();

    decoder::Envelope env;
    switch (mode) {
    case 0:
        if (!decoder::openEnvelope(app.get(), input, env, error))
            return fail(error);
        field("timestamp", env.timestamp);
        field("text", env.text);
        return 0;
    case 1: {
        decoder::PinResult r;
        if (!decoder::openMode1(platform.get(), input, r, error))
            return fail(error);
        field("pin-block", decoder::hex(r.pinBlock));
        field("des-key", decoder::hex(r.desKey));
        field("fixed-value", decoder::hex(r.fixedValue));
        field("server-random", decoder::hex(r.serverRandom));
        return 0;
    }
    case 2: {
        std::string password;
        if (!decoder::openMode2(app.get(), platform.get(), input, env, password, error))
            return fail(error);
        field("timestamp", env.timestamp);
        field("text", password);
        return 0;
    }
    default: {
        decoder::Bytes block;
        if (!decoder::openSm2Mode(app.get(), platform.get(), input, env, block, error))
            return fail(error);
        field("timestamp", env.timestamp);
        field("block", decoder::hex(block));
        if (mode == 3) {
            decoder::LayoutB b;
            if (!decoder::parseLayoutB(block, b, error))
                return fail(error);
            field("fixed-field", b.fixedField);
            field("text", b.text);
        } else if (mode == 4) {
            std::string text;
            decoder::Bytes random;
            if (!decoder::parseLayoutC(block, text, random, error))
                return fail(error);
            field("text", text);
        } else {
            field("text", std::string(block.begin(), std::find(block.begin(), block.end(), 0)));
        }
        return 0;
    }
    }
}
