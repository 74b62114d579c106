// The user at the module's own windows, played by a timer on the offscreen
// platform while a signing call blocks the main thread as a browser's would:
// the PIN typed into each PIN window as it shows, the countdown watched.
// Optionally the page acts while the first PIN window is up (a page timer
// firing inside the window's nested event loop), and the user answers that
// window only once the page's action has returned.
#pragma once

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

namespace signtest {

// What the user saw, sampled as it ran.
struct Seen {
    int prompts = 0;  // PIN windows answered
    bool prompt = false;
    QString promptText;
    bool countdown = false;
    QString title;
    std::vector<QString> lines;
};

inline QWidget* countdownWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qstrcmp(w->metaObject()->className(), "Carrow") == 0 && w->isVisible()) return w;
    }
    return nullptr;
}

// `onCountdown` is called once, when the countdown window first shows;
// `pageAction` once, from a timer of its own, while the first PIN window is up.
inline QTimer* playUser(Seen* seen, const QString& pin, std::function<void(QWidget*)> onCountdown,
                        std::function<void()> pageAction = {}) {
    struct Page {
        bool started = false;
        bool done = false;
        QMessageBox* first = nullptr;
    };
    auto page = std::make_shared<Page>();
    auto* timer = new QTimer();
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            auto* field = box->findChild<QLineEdit*>("pinField");
            if (field && !box->property("answered").toBool()) {
                if (pageAction && page->first == nullptr) page->first = box;
                if (box == page->first && !page->done) {
                    if (!page->started) {
                        page->started = true;
                        QTimer::singleShot(0, [=] {
                            pageAction();
                            page->done = true;
                        });
                    }
                    return;
                }
                box->setProperty("answered", true);
                ++seen->prompts;
                seen->prompt = true;
                seen->promptText = box->text();
                field->insert(pin);
                for (auto* button : box->findChildren<QPushButton*>()) {
                    if (button->text() == "OK") button->click();
                }
                return;
            }
        }
        if (QWidget* window = countdownWindow()) {
            const bool first = !seen->countdown;
            seen->countdown = true;
            seen->title = window->windowTitle();
            if (auto* line = window->findChild<QLabel*>("nameLabel")) {
                if (seen->lines.empty() || seen->lines.back() != line->text())
                    seen->lines.push_back(line->text());
            }
            if (first && onCountdown) onCountdown(window);
        }
    });
    timer->start(20);
    return timer;
}

}  // namespace signtest
