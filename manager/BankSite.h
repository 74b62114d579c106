// The bank's web site, opened in the user's default browser when a key is
// connected. Its address is a deployment setting: the build option
// QD_BANK_URL, overridden at run time by the environment variable of the same
// name. The value "none" (or "off") opens nothing: tests and offscreen demos
// use it so no browser starts.
#pragma once

#include <QUrl>
#include <optional>

namespace kelvane {

// The address to open, or nullopt when opening is switched off or the
// setting is not a valid absolute URL. Reads the environment on every call.
std::optional<QUrl> bankSiteUrl();

// Opens the address through the desktop (QDesktopServices); main thread.
// Returns false when nothing was opened.
bool openBankSite();

}  // namespace kelvane
