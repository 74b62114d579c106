#include "alert.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>

#include <cstdio>

namespace kelvane {
namespace {

std::mutex g_hookMutex;
AlertHook g_hook;

AlertHook currentHook() {
    std::lock_guard lock(g_hookMutex);
    return g_hook;
}

void showOnMainThread(const QString& message) {
    if (AlertHook hook = currentHook()) {
        hook(message);
        return;
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s\n", message.toUtf8().constData());
        return;
    }
    QMessageBox box(QMessageBox::Warning, QString(), message, QMessageBox::NoButton,
                    QApplication::activeWindow());
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

}  // namespace

void alert(const QString& message) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        std::fprintf(stderr, "%s\n", message.toUtf8().constData());
        return;
    }
    if (QThread::currentThread() == app->thread()) {
        showOnMainThread(message);
        return;
    }
    QMetaObject::invokeMethod(app, [message] { showOnMainThread(message); }, Qt::QueuedConnection);
}

void setAlertHook(AlertHook hook) {
    std::lock_guard lock(g_hookMutex);
    g_hook = std::move(hook);
}

AlertRecorder::AlertRecorder(std::function<void(const QString&)> onAlert)
    : m_onAlert(std::move(onAlert)) {
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
