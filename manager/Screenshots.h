// Screenshot mode: once the main window shows a connected key, save a PNG of
// the window with each of its three panels to a folder and quit. Used by the
// demo on machines without a display (Qt's offscreen platform).
#pragma once

#include <QString>
#include <QStringList>

class MailWinCtr;

namespace kelvane {

// Saves device.png, pin.png and certificates.png (and first-use.png when the
// first-use window is up) into dir, switching panels as a user would and
// typing sample PINs so the meters show; the window is left on the device
// panel. Returns the files written; an unwritable file (or folder) is
// reported on stderr, left out and makes *complete false. Main thread.
QStringList saveScreenshots(MailWinCtr* window, const QString& dir, bool* complete = nullptr);

// Waits for the first arrival that connects a key, then saves the
// screenshots and quits the application with status 0; when no key is
// connected within patienceMs, saves the no-key window and quits with
// status 3. A picture that cannot be written makes the status 1. Main thread.
void scheduleScreenshots(MailWinCtr* window, const QString& dir, int patienceMs);

}  // namespace kelvane
