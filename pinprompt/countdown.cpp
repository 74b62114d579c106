#include "pinprompt/countdown.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImageReader>
#include <QMovie>
#include <QPalette>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdint>

#include "pinprompt/carrow.h"
#include "platform/paths.h"
#include "platform/windowstyle.h"

namespace carrow_state {

QApplication* myapp = nullptr;
QPointer<Carrow> win;
QPointer<Carrow> pinwin;
QPointer<QLabel> nameLabel;
QPointer<Carrow> session;
QPointer<MyDelegate> myDelegate;
int32_t TIME = 0;
std::atomic<bool> windowClosed{false};
int32_t* IsWinCloesd = nullptr;

QString countdownText(int32_t seconds) { return QStringLiteral("剩余%1秒").arg(seconds); }

void closeNow() {
    windowClosed.store(true, std::memory_order_release);
    session = nullptr;  // ends the modal session: the window goes below
    nameLabel = nullptr;
    if (win) {
        win->closeByLibrary();
    }
}

}  // namespace carrow_state

using namespace carrow_state;

namespace {

// The caller writes its flag from another thread without synchronisation of
// its own; an atomic load at least makes every tick read memory afresh.
int32_t readCallerFlag(int32_t* flag) { return __atomic_load_n(flag, __ATOMIC_ACQUIRE); }

// Waits one tick while the window keeps handling its events (repaints, the
// picture's frames, close requests), so the window never freezes for a second.
// Returns early once the countdown is to end.
void waitOneTick() {
    QEventLoop loop;
    QTimer tick;
    tick.setSingleShot(true);
    QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&loop] {
        if (windowClosed.load(std::memory_order_acquire)) {
            loop.quit();
        }
    });
    tick.start(1000);
    poll.start(50);
    loop.exec();
}

void setLine(int32_t seconds) {
    if (nameLabel) {
        // A label reports its new text to assistive technology itself (as
        // a name change), so a screen reader hears each number.
        nameLabel->setText(countdownText(seconds));
        // Paint now: the last value is shown only briefly before the window goes.
        nameLabel->repaint();
    }
}

}  // namespace

Carrow::Carrow(QWidget* parent) : QDialog(parent) {}

void Carrow::closeByLibrary() {
    // hide(), not close(): this also runs from inside closeEvent, where a
    // nested close() would be ignored.
    hide();
}

void Carrow::closeEvent(QCloseEvent* event) {
    if (this == win && myDelegate && !myDelegate->windowShouldClose(this)) {
        event->ignore();
        return;
    }
    event->accept();
}

bool MyDelegate::windowShouldClose(Carrow* /*sender*/) {
    closeNow();
    windowClosed.store(true, std::memory_order_release);
    if (IsWinCloesd) {
        __atomic_store_n(IsWinCloesd, 0, __ATOMIC_RELEASE);
    }
    return false;
}

int Carrow::showCountdownWin(int32_t seconds, const QString& gifName, const QString& sourcePath,
                             int32_t wlenght, int32_t wWide) {
    Q_UNUSED(sourcePath);  // the picture always comes from the key manager's bundle
    myapp = qobject_cast<QApplication*>(QCoreApplication::instance());
    windowClosed.store(false, std::memory_order_release);

    // The previous countdown's window is not needed any more.
    delete win.data();

    const int height = std::clamp<int32_t>(wlenght, 1, 16384);
    const int width = std::clamp<int32_t>(wWide, 1, 16384);

    auto* window = new Carrow;
    win = window;
    // Title bar only: no close, minimise or resize control, and it cannot be
    // hidden. A close request still ends the countdown (MyDelegate).
    window->setWindowFlag(Qt::WindowStaysOnTopHint);
    platform::keepTitledOnly(window);
    window->setFixedSize(width, height);
    window->setWindowTitle(QStringLiteral("按键提示"));
    TIME = seconds;
    QScreen* screen = platform::placesWindows() ? QGuiApplication::primaryScreen() : nullptr;
    if (screen) {
        window->move(screen->availableGeometry().center() - window->rect().center());
    }
    myDelegate = new MyDelegate(window);

    auto* imageView = new QLabel(window);
    imageView->setObjectName(QStringLiteral("imageView"));
    imageView->setGeometry(0, 0, width, height);
    imageView->setAlignment(Qt::AlignCenter);
    QMovie* image = nullptr;
    if (!gifName.isEmpty()) {
        const QString path = QString::fromStdString(platform::bundleResource(gifName.toStdString() + ".gif"));
        image = new QMovie(path, QByteArray(), imageView);
        if (image->isValid()) {
            // Shrink a picture larger than the window, keeping its proportions;
            // the size must be set before the first frame is read.
            QSize size = QImageReader(path).size();
            if (size.width() > width || size.height() > height) {
                size.scale(width, height, Qt::KeepAspectRatio);
                image->setScaledSize(size);
            }
            imageView->setMovie(image);
            image->start();
        }
        // A missing picture leaves the area empty; the countdown goes on.
    }

    auto* line = new QLabel(window);
    line->setObjectName(QStringLiteral("nameLabel"));
    // The line sits at y = height / 2 - 15 counted, as the desktop counts it,
    // from the window's bottom edge (the same place for even heights).
    line->setGeometry(0, height - (height / 2 - 15) - 30, width, 30);
    line->setText(countdownText(TIME));
    line->setAlignment(Qt::AlignCenter);
    // The desktop's 16 points are 16 pixels at 1x, whatever the screen's DPI.
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(16);
    line->setFont(font);
    QPalette palette = line->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    line->setPalette(palette);
    line->setAutoFillBackground(false);
    line->setTextInteractionFlags(Qt::NoTextInteraction);
    nameLabel = line;

    // The modal session: the window blocks input to every other window.
    window->setWindowModality(Qt::ApplicationModal);
    window->show();
    platform::bringToFront(window);
    session = window;

    for (;;) {
        if (windowClosed.load(std::memory_order_acquire)) {
            session = nullptr;
            nameLabel = nullptr;
            if (win) {
                win->closeByLibrary();
            }
            break;
        }
        if (!session) {
            break;  // closed outside the library's control; nothing to count for
        }
        QCoreApplication::processEvents();
        if (!session || !session->isVisible()) {
            // The session was stopped: close what is left and end.
            closeNow();
            break;
        }
        waitOneTick();
        if (windowClosed.load(std::memory_order_acquire)) {
            continue;
        }
        if (TIME > INT32_MIN) {
            --TIME;  // a countdown started at INT32_MIN still ends after one tick
        }
        setLine(TIME);
        if (TIME <= 0) {
            closeWindow();
        }
        if (IsWinCloesd && readCallerFlag(IsWinCloesd) == 0) {
            closeWindow();
        }
    }

    if (image) {
        image->stop();
    }
    delete imageView;  // also releases the picture, its child
    return 0;
}
