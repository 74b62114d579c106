// The stand-in module's dialogue with the user, through the PIN prompt
// library, which it loads by path (platform::carrowLibraryPath()) as the token
// maker's module does. Every function runs on the caller's thread, which the
// prompt library wants to be the process's main thread.
#pragma once

#include <p11-kit/pkcs11.h>

#include <functional>
#include <string>
#include <vector>

namespace qdpkcs11 {

// The user PIN for a login with an empty PIN: QDPKCS11_TEST_PIN when set
// (unattended tests), else asked with P11_ConsoleInit + P11_BlockPopPin.
// False, with a one-line diagnostic on stderr, when the prompt library cannot
// be loaded. *prompted tells whether the user was asked.
bool collectPin(std::vector<unsigned char>* pin, bool* prompted);

// Runs `work` (the token's part of a signature) while the button-press
// countdown is shown. The work runs on a worker thread after the simulated
// button press (QDPKCS11_PRESS_MS); the calling thread runs
// showCountDownWindow (QDPKCS11_COUNTDOWN seconds, default 30; 0 shows no
// window and works on the calling thread), which the worker ends with
// closeWindow as soon as the token has answered. A countdown that ends before
// the button was pressed (time out, window closed) cancels the work:
// CKR_FUNCTION_CANCELED. *shown tells whether a window was shown.
CK_RV whileCountingDown(const std::function<CK_RV()>& work, bool* shown);

}  // namespace qdpkcs11
