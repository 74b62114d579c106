// What the stand-in module has seen, kept in the file named by QDPKCS11_STATE
// so a test can read it after the module has been unloaded. The module reads
// the file when it is loaded and rewrites it (whole, by rename) after every
// change, so the totals run on across loads.
//
// File: one "name value" pair per line, in this order:
//   loads unloads loaded initializations finalizations initialized
//   sessions_opened sessions_closed logins logouts pin_prompts countdowns
//   unknown_objects open_sessions
// initializations counts successful C_Initialize calls, finalizations every
// C_Finalize call (also one that fails), logins and logouts every call.
// unknown_objects counts attribute reads of an object handle that no search
// of this load handed out (a caller reading past what it was given).
// open_sessions = sessions_opened - sessions_closed: the sessions that callers
// opened and never closed (C_Finalize does not count as closing them).
#pragma once

#include <string>

namespace qdpkcs11 {

struct Counters {
    long loads = 0;
    long unloads = 0;
    long loaded = 0;
    long initializations = 0;
    long finalizations = 0;
    long initialized = 0;
    long sessions_opened = 0;
    long sessions_closed = 0;
    long logins = 0;
    long logouts = 0;
    long pin_prompts = 0;
    long countdowns = 0;
    long unknown_objects = 0;

    // Reads the totals from `path`; a missing or unreadable file leaves zeros.
    void load(const std::string& path);
    // Writes the file; silently does nothing when it cannot.
    void save(const std::string& path) const;
};

}  // namespace qdpkcs11
