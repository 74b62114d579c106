// The bank's key as the system knows it: on the USB bus by vendor and
// product ID (two makes of the same key, watched one each), through the token
// library by its product code (PCODE). Header only, no link dependency: the
// USB watches, the agent, the binding and the simulator all read it here.
#pragma once

#include <stdint.h>

#define KP_PCODE_BANK 20244u  // PCODE of the bank's keys

#ifdef __cplusplus
namespace token {

struct UsbId {
    uint16_t vendor;
    uint16_t product;
};

// The two makes, in the order of their watches (1 and 2).
inline constexpr UsbId kBankKeyUsbIds[2] = {{0xD449, 4}, {0x6A9F, 4}};
inline constexpr uint32_t kBankPcode = KP_PCODE_BANK;

}  // namespace token
#endif
