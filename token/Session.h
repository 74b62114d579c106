// One connection to a key through the binding, closed on every path.
//
// Made with a reader name, it connects (KpConnectDev); begin() takes the
// key's transaction (KpBeginTransaction); close() or the destructor ends the
// transaction it holds (KpEndTransaction) and then releases the handle
// (KpDisconnectDev). A connect that failed leaves nothing to release: the
// library never sees a handle it did not hand out.
//
// Cost: the constructor, begin() and close() each make one library call
// (close() two when it holds the transaction). Threads: one session belongs
// to one thread at a time; its handle may be lent to another thread while the
// owner waits for it (the PIN change's worker). Not copyable.
#pragma once

#include <cstdint>

#include "token/Func_init.h"

namespace token {

class Session {
public:
    // Connects to `reader` (a NUL-terminated name; null is passed on as is).
    explicit Session(const char* reader);
    // close(), its status dropped.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // KpConnectDev's status: 0 when the session is open.
    uint32_t connectStatus() const { return connectStatus_; }
    bool open() const { return open_; }
    // The library's handle while open (it may be null even then: the library
    // decides); null once closed or when the connect failed.
    KPHANDLE handle() const { return open_ ? handle_ : nullptr; }

    // Takes the key's transaction; on status 0 the session holds it until
    // close(). Not open: KP_STATUS_UNAVAILABLE without calling the library.
    [[nodiscard]] uint32_t begin();

    // Ends the transaction when held, then disconnects. Returns the
    // disconnect's status for the log; 0 when there was nothing to release
    // (a failed connect, or closed already).
    uint32_t close();

private:
    KPHANDLE handle_ = nullptr;
    uint32_t connectStatus_ = KP_STATUS_UNAVAILABLE;
    bool open_ = false;
    bool inTransaction_ = false;
};

}  // namespace token
