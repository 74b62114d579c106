// The application's one way of telling the user something: a modal alert of
// warning style with a single "OK" button. Every alert of the key manager goes
// through alert(), so tests can intercept them all with setAlertHook() (or the
// AlertRecorder below) instead of blocking on a modal box.
//
// Threads: alert() may be called from any thread. On the Qt main thread it
// shows the box at once and returns after "OK" (or after the hook returned).
// From any other thread it queues the box to the main thread and returns at
// once without waiting, so a watch thread never blocks on the user.
// The hook always runs on the main thread, at the moment the box would show.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <mutex>

class QWidget;

namespace kelvane {

// Title of every alert: the key, as the user calls it.
inline constexpr char kAlertTitle[] = "网盾";

// Shows (or hands to the hook) one warning alert with the button "OK".
// Needs a QApplication; without one the message is only written to stderr.
void alert(const QString& message);

// The same, for the outcome of something the user started (a PIN change):
// pulling the key out, which ends every other modal window, leaves it up,
// so the user is always told.
void outcomeAlert(const QString& message);

// Whether `window` is an alert shown by outcomeAlert.
bool isOutcomeAlert(const QWidget* window);

// Replaces how alerts are shown. An empty hook restores the modal box.
// The hook runs on the main thread and must not throw.
using AlertHook = std::function<void(const QString& message)>;
void setAlertHook(AlertHook hook);

// Test helper: while alive, every alert is recorded instead of shown.
// messages() may be read from any thread.
class AlertRecorder {
public:
    // onAlert, when given, also runs for each message (after it was recorded),
    // on the main thread: a test can act "while the alert is up".
    explicit AlertRecorder(std::function<void(const QString&)> onAlert = {});
    ~AlertRecorder();
    AlertRecorder(const AlertRecorder&) = delete;
    AlertRecorder& operator=(const AlertRecorder&) = delete;

    QStringList messages() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    QStringList m_messages;
    std::function<void(const QString&)> m_onAlert;
};

}  // namespace kelvane
