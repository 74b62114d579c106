// The key manager's filtering KpListReaders against a library that answers
// anything: the caller's buffer is never written past its capacity (it is
// exactly that large), a refused list (34) or a failed listing leaves the
// caller's buffer, length and count as they were, and otherwise the copy,
// length and count are exactly the readers the library let through.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "token/Func_init.h"
#include "token/fuzz/fake-library/fake_controls.h"

namespace {

const fakekp::Controls& fake() { return fakekp::controls(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint32_t capacity = in.below(1100);
    const uint8_t nulls = in.byte();
    const bool nullNames = (nulls & 0x7) == 1, nullLength = (nulls & 0x7) == 2,
               nullCount = (nulls & 0x7) == 3;
    const std::string script = in.rest();
    fake().load(reinterpret_cast<const uint8_t*>(script.data()), script.size());

    constexpr char kUntouched = static_cast<char>(0xAA);
    std::vector<char> buffer(capacity, kUntouched);
    uint32_t len = capacity, count = 0x55;
    const uint32_t status = KpListReaders(nullNames ? nullptr : buffer.data(), nullLength ? nullptr : &len,
                                          nullCount ? nullptr : &count);
    auto untouchedFrom = [&](size_t from) {
        for (size_t i = from; i < buffer.size(); ++i)
            if (buffer[i] != kUntouched) return false;
        return true;
    };
    if (nullLength || capacity == 0) {
        fuzz::require(status == KP_STATUS_UNAVAILABLE && untouchedFrom(0) && count == 0x55);
        return 0;
    }
    // A key of another PCODE refuses the whole list at once; a failed listing
    // is returned as it is. (A library status of 34 from a later step is
    // only a status: the list still counts.)
    if (fake().foreignPcode() || fake().readersStatus() != 0) {
        fuzz::require(status == (fake().foreignPcode() ? KP_STATUS_FOREIGN_KEY : fake().readersStatus()));
        fuzz::require(untouchedFrom(0) && len == capacity && count == 0x55);
        return 0;
    }
    size_t keptSize = 0;
    const char* keptNames = fake().kept(&keptSize);
    const std::string kept(keptNames, keptSize);
    size_t names = 0;
    for (char c : kept) names += c == '\0';
    if (!nullCount) fuzz::require(count == names);
    // The kept length is every kept name with its NUL, one less when the
    // walk ended at the reported length rather than at an empty name.
    fuzz::require(len == kept.size() || (!kept.empty() && len == kept.size() - 1));
    if (!nullNames) {
        const size_t copied = len > 0 ? std::min<size_t>(len, capacity) : 0;
        fuzz::require(std::memcmp(buffer.data(), kept.data(), copied) == 0 && untouchedFrom(copied));
    }
    return 0;
}
