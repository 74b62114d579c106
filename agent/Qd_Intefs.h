// The key agent's small key interface: the product code of the first reader.
#pragma once

#include <cstdint>

#include "token/KeyIdentity.h"

namespace agent {

// The bank's product code.
inline constexpr uint32_t kBankPcode = token::kBankPcode;

// Reads the PCODE of the first reader the token library lists, through the
// plain binding: list, connect, read, disconnect. Any failure (library
// missing, no reader, connect or read refused) reads as 0. Safe from any
// thread (the binding takes no lock; the library's own rules apply).
uint32_t readFirstReaderPcode();

}  // namespace agent

// Kept as the system names it; nothing in the agent calls it.
class Qd_Intefs {
public:
    // The first reader's PCODE, read at once as the arrival decision does.
    uint32_t getPcode();

private:
    static void ccc();
};
