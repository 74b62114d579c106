// How the key manager's main thread waits for the key: it still waits (the
// order of work stays as it is), but the windows keep painting, the mouse
// pointer shows the wait, and what the user clicks or types into the
// windows is dropped until the wait is over. Only an alert that comes up
// during the wait (queued by a watch thread, say) takes input, with the
// ordinary pointer while it is up.
//
// Threads: main thread only. Called elsewhere (or without a QApplication)
// they wait without handling events.
#pragma once

#include <chrono>
#include <functional>

namespace kelvane {

// Returns once done() holds; done() is polled every few milliseconds.
void waitBusy(const std::function<bool()>& done);

// Waits for `pause` the same way.
void pauseBusy(std::chrono::milliseconds pause);

// Runs work on a helper thread while the main thread waits as above; when
// no thread can be made, runs it on the calling thread.
void runBusy(const std::function<void()>& work);

}  // namespace kelvane
