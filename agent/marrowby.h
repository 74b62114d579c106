// The key agent: two USB watches (one per kind of the bank's keys), a short
// decision thread per arrival that reads the key's PCODE and starts the key
// manager for the bank's keys, and a request to every running key manager to
// quit on each removal.
//
// Threads: the main thread idles in runAgent; each watch has its thread
// (startDetect1, startDetect2) and runs every callback of its watch there;
// each arrival after start-up makes one detached decision thread (pdpcde).
// SIGINT is blocked everywhere but in the main thread's wait.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "token/KeyIdentity.h"

namespace agent {

// The two watched kinds of key: vendor ID and product ID (0xD449 and 0x6A9F,
// product 4).
inline constexpr uint16_t kVendor1 = token::kBankKeyUsbIds[0].vendor;
inline constexpr uint16_t kVendor2 = token::kBankKeyUsbIds[1].vendor;
inline constexpr uint16_t kProduct = token::kBankKeyUsbIds[0].product;
static_assert(token::kBankKeyUsbIds[1].product == kProduct, "one product ID for both watches");

// pvStart's result when its watch cannot be set up (the desktop's
// "aborted" return code).
inline constexpr uint32_t kWatchAborted = 0xE00002EB;

// The key settles this long before its PCODE is read.
inline constexpr std::chrono::milliseconds kSettleDelay{300};

// False until the first removal watch is armed; arrivals launch only after.
extern std::atomic<bool> isInit;

void* startDetect1(void*);
void* startDetect2(void*);
uint32_t pvStart(uint16_t vendor, uint16_t product);

// Callbacks of a watch (on its thread).
void DeviceAppeared();
void DeviceDisappeared();

// Decision thread: settle, read the PCODE, launch the key manager for 20244.
void* pdpcde(void*);

extern "C" void SignalHandler(int signal);

// The program: loads the token library, starts both watches, idles until
// SIGINT, and ends the process with status 0 then (or -1 when a watch thread
// cannot be started). Never returns.
[[noreturn]] void runAgent();

}  // namespace agent
