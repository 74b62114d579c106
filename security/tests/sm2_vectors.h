// SM3 test vectors from the published SM3 standard's examples (message as
// text, digest as hex).
#pragma once

struct Sm3Vector {
    const char* message;
    const char* digest;
};

inline constexpr Sm3Vector kSm3Vectors[] = {
    {"abc", "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0"},
    {"abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd",
     "DEBE9FF92275B8A138604889C18E5A4D6FDB70E5387E5765293DCBA39C0C5732"},
};
