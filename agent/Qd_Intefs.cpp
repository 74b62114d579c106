#include "agent/Qd_Intefs.h"

#include <cstring>

#include "token/Func_init.h"
#include "token/Session.h"

namespace agent {

uint32_t readFirstReaderPcode() {
    char names[1024];
    std::memset(names, 0, sizeof names);
    uint32_t length = sizeof names;
    uint32_t count = 0;
    uint32_t pcode = 0;
    uint32_t other = 0;
    // Statuses are not looked at: whatever fails leaves the PCODE at 0.
    KpListReaders(names, &length, &count);
    // The first name must end inside the buffer, whatever the library wrote.
    names[sizeof names - 1] = '\0';
    const token::Session device(names);
    if (device.open()) {
        KpReadPCODE(device.handle(), &pcode, &other);
    }
    // A refused connect leaves no handle: nothing to read or release, so the
    // library never sees a handle it did not hand out.
    return pcode;
}

}  // namespace agent

void Qd_Intefs::ccc() {}

uint32_t Qd_Intefs::getPcode() {
    // The desktop version queues the empty ccc 0.3 s ahead on the caller's
    // run loop before reading; it has no effect, and our threads have no run
    // loop, so it is not queued. The read itself is the arrival decision's.
    return agent::readFirstReaderPcode();
}
