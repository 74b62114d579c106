// The simulator's state file: any text is either refused with a one-line
// reason or read into a state that writes back as a file which reads to the
// same state again (so nothing that was accepted is lost or changed on the
// next write).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/token/keystore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    kpsim::State state;
    std::string error;
    if (!kpsim::parseState(text, &state, &error)) {
        if (error.empty() || error.find('\n') != std::string::npos) std::abort();
        return 0;
    }
    for (const kpsim::Key& key : state.keys)
        if (!kpsim::validateKey(key).empty()) std::abort();
    const std::string written = kpsim::stateText(state);
    kpsim::State again;
    if (!kpsim::parseState(written, &again, &error)) std::abort();
    if (kpsim::stateText(again) != written) std::abort();
    return 0;
}
