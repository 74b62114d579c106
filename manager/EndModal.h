// Ending whatever runs modally, as the desktop's "stop the application's
// modal loop" does: the modal dialog on top (an alert, the certificate
// viewer, the first-change dialog, wherever it is in the stack) and the PIN
// change countdown's session. An alert telling the outcome of a PIN change
// is spared: the user is always told how the change ended.
//
// Threads: main thread only.
#pragma once

namespace kelvane {

void endModal();

}  // namespace kelvane
