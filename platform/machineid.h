// Machine identity for the password field's fingerprint: the desktop's
// registry gives the primary Ethernet interface's MAC address and the
// platform serial number; here they come from Linux's own sources.
//
// - MAC: the interface that carries the default route (/proc/net/route,
//   the lowest metric wins), its address from /sys/class/net/<if>/address.
// - Serial: /sys/class/dmi/id/product_serial when readable and not a
//   firmware placeholder, else /etc/machine-id.
//
// QD_MACHINE_ROOT (a folder) is put in front of every one of those paths, so
// tests and demos can give a machine of their own. Reads the files on every
// call; keeps no state; thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using MacAddress = std::array<uint8_t, 6>;

// The primary interface's address; nothing when there is no default route or
// its interface has no readable address.
std::optional<MacAddress> primaryMacAddress();

// The serial number text (no line end); nothing when neither source gives one.
std::optional<std::string> platformSerialNumber();

// The serial number as the desktop's registry property holds it: 13 bytes of
// zeros, then the serial's text (the password field reads the text at byte
// 13 first, then the text at byte 0, and gets the serial back whole).
std::optional<std::vector<uint8_t>> platformSerialNumberProperty();

}  // namespace platform
