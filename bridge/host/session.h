// One page's conversation with the signing service: each request the
// extension forwards gets one answer, in order, as JSON.
//
// Requests (the extension adds "origin", the page's origin as the browser
// reported it; "id" is any number or text, echoed):
//   {"id":1, "origin":"https://bank.example", "set":"CN", "value":"80F00D2048"}
//   {"id":2, "origin":"https://bank.example", "get":"SignData"}
//   {"id":3, "origin":"https://bank.example", "call":"getCertList", "args":[]}
// Answers:
//   {"id":1, "result":null}          a write, or a method without a value
//   {"id":2, "result":"UD65001:..."} a text ("E:1000" on failure, as the plug-in answers)
//   {"id":3, "result":1}             a number
//   {"id":4, "error":{"code":"not-allowed", "message":"origin https://x is not allowed ..."}}
//
// The names and answers are the signing plug-in's script table
// (sign/ScriptTable.h, which the plug-in's script object uses too): properties
// CN, SignData, IssuerCN, Signature, SignFile, HashAlgorithm, JSCB; its 19
// methods. Error codes: "malformed" (not JSON), "too-large" (over 1 MiB),
// "bad-request" (not a request object, an unknown name, a value of the wrong
// type), "refused" (a property the plug-in does not read or write that way),
// "not-allowed" (origin), "reply-too-large" (found before the module signs
// whenever the answer's size is known beforehand: reading SignData), "busy"
// (another signing held the key for longer than the wait), "internal". A
// request that gets an error changes nothing.
//
// A session serves one origin: the first allowed origin binds it, and a
// request from any other origin is refused, so one page's texts never reach
// another's requests. A session that has refused an origin is over
// (ended()): its host exits after the answer, and the extension refuses that
// origin itself for a while without starting another.
// The page's refusal names nothing of this machine; the allow-list files go
// to standard error.
//
// The requests that use the module (reading SignData or Signature, SignCert,
// getCertList) take turns with other hosts of the user (turns.h).
//
// Threads: one call at a time; reading SignData or Signature blocks through
// the module's PIN window. Nothing throws.
#pragma once

#include <string>
#include <string_view>

#include "bridge/host/codec.h"
#include "bridge/host/origins.h"
#include "bridge/host/turns.h"

class ServiceBase;

namespace bridge {

class Session {
public:
    // `turns` null: the module is used without waiting for other hosts.
    Session(ServiceBase& service, AllowList allowList, const Turns* turns = nullptr)
        : service_(service), allowList_(std::move(allowList)), turns_(turns) {}

    // The answer to one frame from the reader (a message or one too large);
    // never longer than kMaxMessage.
    std::string answer(const Frame& frame);

    // True once an origin has been refused: the host stops after this answer.
    bool ended() const { return ended_; }

private:
    std::string handle(std::string_view body);

    ServiceBase& service_;
    AllowList allowList_;
    const Turns* turns_;
    std::string boundOrigin_;
    bool ended_ = false;
};

}  // namespace bridge
