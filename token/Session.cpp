#include "token/Session.h"

namespace token {

Session::Session(const char* reader) {
    connectStatus_ = KpConnectDev(reader, &handle_);
    open_ = connectStatus_ == 0;
}

Session::~Session() { (void)close(); }

uint32_t Session::begin() {
    if (!open_) {
        return KP_STATUS_UNAVAILABLE;
    }
    const uint32_t status = KpBeginTransaction(handle_);
    if (status == 0) {
        inTransaction_ = true;
    }
    return status;
}

uint32_t Session::close() {
    if (!open_) {
        return 0;
    }
    if (inTransaction_) {
        // Its status changes nothing: the disconnect releases the key either way.
        (void)KpEndTransaction(handle_);
        inTransaction_ = false;
    }
    open_ = false;
    return KpDisconnectDev(handle_);
}

}  // namespace token
