#include "alert.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>
#include <cstdio>

#include "platform/windowstyle.h"

namespace kelvane {
namespace {

std::mutex g_hookMutex;
AlertHook g_hook;

constexpr char kOutcomeProperty[] = "kelvane_outcome";

AlertHook currentHook() {
    std::lock_guard lock(g_hookMutex);
    return g_hook;
}

void showOnMainThread(const QString& message, bool outcome) {
    if (AlertHook hook = currentHook()) {
        hook(message);
        return;
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s\n", message.toUtf8().constData());
        return;
    }
    // An outcome outlives the window it was started from (the key's removal
    // closes the first-change dialog), so it stands on its own, placed over
    // that window.
    QWidget* over = QApplication::activeWindow();
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kAlertTitle), message, QMessageBox::NoButton,
                    outcome ? nullptr : over);
    box.setProperty(kOutcomeProperty, outcome);
    if (outcome && over != nullptr && platform::placesWindows()) {
        box.adjustSize();
        QRect frame = box.frameGeometry();
        frame.moveCenter(over->frameGeometry().center());
        box.move(frame.topLeft());
    }
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

void show(const QString& message, bool outcome) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        std::fprintf(stderr, "%s\n", message.toUtf8().constData());
        return;
    }
    if (QThread::currentThread() == app->thread()) {
        showOnMainThread(message, outcome);
        return;
    }
    QMetaObject::invokeMethod(
        app, [message, outcome] { showOnMainThread(message, outcome); }, Qt::QueuedConnection);
}

}  // namespace

void alert(const QString& message) { show(message, false); }

void outcomeAlert(const QString& message) { show(message, true); }

bool isOutcomeAlert(const QWidget* window) {
    return window != nullptr && window->property(kOutcomeProperty).toBool();
}

void setAlertHook(AlertHook hook) {
    std::lock_guard lock(g_hookMutex);
    g_hook = std::move(hook);
}

AlertRecorder::AlertRecorder(std::function<void(const QString&)> onAlert) : m_onAlert(std::move(onAlert)) {
    setAlertHook([this](const QString& message) {
        {
            std::lock_guard lock(m_mutex);
            m_messages.append(message);
        }
        if (m_onAlert) {
            m_onAlert(message);
        }
    });
}

AlertRecorder::~AlertRecorder() { setAlertHook({}); }

QStringList AlertRecorder::messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

void AlertRecorder::clear() {
    std::lock_guard lock(m_mutex);
    m_messages.clear();
}

}  // namespace kelvane
