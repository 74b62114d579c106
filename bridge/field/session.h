// One page's conversation with the password field service (varnex-bridge):
// each request the extension forwards gets one answer, in order, as JSON.
//
// Requests carry "id" (a number or a short text, echoed), "origin" (added by
// the extension: the page's origin as the browser reported it), "field" (an
// integer >= 1, numbered by the extension per page) and exactly one of:
//   "create": {page parameters}  -> {"listed": true|false}
//   "call": "getValue", "args": [...], "text": "typed"  -> text, number or null
//   "get": "maxLength"           -> a number
//   "set": "minLength", "value": 8  -> null
//   "destroy": true              -> null
// The calls and properties are the plug-in's script table (FieldScript.h)
// with its argument checks, and "degree" (the degree event's letter). The
// calls that work on the typed text (verify, getValue, getPinValue,
// getMeasureValue, getLength, getComplexDegree, degree) need "text"; no
// other request may carry one. The text is typed into the field's engine
// exactly as keystrokes are in the plug-in (maxLength stops it), answered,
// and wiped before the answer leaves.
//
// Any https page may create fields and get envelopes (they open only with
// the bank's private key); getMeasureValue and degree answer only origins on
// the bridge's allow-list ("listed"), since the digest lets page script test
// guesses and the degree events time each key.
//
// Error codes: "malformed" (not JSON), "too-large" (over 1 MiB),
// "bad-request" (a request of the wrong shape, an unknown name, arguments
// the plug-in refuses, a field not created or created twice, a lone UTF-16
// surrogate in a text), "refused" (getMeasureValue or degree for an origin
// not listed; a call that gives no value where the plug-in's call fails,
// such as getValue of a text that does not pass verify), "not-allowed" (an
// origin that is not https, or another origin than the one the session
// serves: the session is over), "busy" (more than 16 fields), "internal".
// A request that gets an error changes nothing.
//
// Threads: one request at a time. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "bridge/host/codec.h"
#include "bridge/host/origins.h"

class FieldEngine;

namespace bridge::field {

inline constexpr size_t kMaxFields = 16;

class Session {
public:
    explicit Session(AllowList allowList);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The answer to one frame from the reader (never longer than
    // kMaxMessage). The frame's body is wiped before this returns: it may
    // hold the typed text.
    std::string answer(Frame& frame);

    // True once an origin has been refused: the host stops after this answer.
    bool ended() const { return ended_; }
    size_t fields() const { return fields_.size(); }

private:
    std::string handle(std::string& body);

    AllowList allowList_;
    std::string boundOrigin_;
    bool ended_ = false;
    std::map<int64_t, std::unique_ptr<FieldEngine>> fields_;
};

// Replaces, in place, each \u escape of a lone UTF-16 surrogate in JSON text
// by \ufffd (the same length); true when there was one.
bool replaceLoneSurrogates(std::string& json);

// Zeroes a stretch of the stack below the caller: the parser's and the
// frame reader's dead locals may still hold the typed text.
void scrubStack();

}  // namespace bridge::field
