// Draws each prompt of the PIN prompt library into a PNG file, answering it
// as soon as it has been drawn. Run on the offscreen platform:
//   QT_QPA_PLATFORM=offscreen carrow_screenshots OUTDIR
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "pinprompt/carrow.h"

namespace {

QString outDir;

// Grabs the first modal window once it has settled, then lets `answer` end it.
void grabWhenShown(const QString& file, int delayMs, std::function<void(QWidget*)> answer) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        if (answer) {
            answer(nullptr);  // typing before the picture
        }
        QTimer::singleShot(delayMs, modal, [=] {
            const QString path = outDir + "/" + file;
            std::printf("%s %s\n", modal->grab().save(path) ? "wrote" : "FAILED", qPrintable(path));
            answer ? answer(modal) : void();
        });
    });
    poll->start(20);
}

void clickOk(QWidget* box) {
    for (auto* b : box->findChildren<QPushButton*>()) {
        if (b->text() == "OK") {
            b->click();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    P11_ConsoleInit();

    grabWhenShown("carrow-pin.png", 200, [](QWidget* box) {
        if (!box) {
            if (auto* f = QApplication::activeModalWidget()->findChild<QLineEdit*>()) {
                f->insert("123456");
            }
            return;
        }
        clickOk(box);
    });
    char pin[64];
    uint32_t len = 0;
    P11_BlockPopPin(pin, &len);

    grabWhenShown("carrow-message.png", 200, [](QWidget* box) { box ? clickOk(box) : void(); });
    P11_ShowMsg("PIN码已锁定，请联系银行。", 0);

    grabWhenShown("carrow-ok-cancel.png", 200, [](QWidget* box) { box ? clickOk(box) : void(); });
    P11_ShowMsg2("确定要继续吗？", 0);

    grabWhenShown("carrow-countdown.png", 1300, [](QWidget* box) { box ? closeWindow() : void(); });
    int32_t flag = 1;
    showCountDownWindow(30, "QDCountDown", "", 261, 384, &flag);
    return 0;
}
