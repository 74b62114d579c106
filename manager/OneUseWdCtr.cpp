#include "OneUseWdCtr.h"

#include <QCloseEvent>

#include "EndModal.h"
#include "OneChangePinCtr.h"
#include "platform/windowstyle.h"
#include "ui_OneUseWdCtr.h"

OneUseWdCtr::OneUseWdCtr(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::OneUseWdCtr>()) {
    ui->setupUi(this);
    setFixedSize(size());
    connect(ui->xgPinBtn, &QPushButton::clicked, this, &OneUseWdCtr::xgPinbutAction);
}

OneUseWdCtr::~OneUseWdCtr() = default;

QPushButton* OneUseWdCtr::changeButton() const { return ui->xgPinBtn; }

void OneUseWdCtr::xgPinbutAction() {
    kelvane::endModal();
    close();
    if (!oneCgPin) oneCgPin = OneChangePinCtr::sharedConfgCtr();
    oneCgPin->cshViw();
    if (platform::placesWindows()) {
        // Where this window was.
        QRect frame = oneCgPin->frameGeometry();
        frame.moveCenter(frameGeometry().center());
        oneCgPin->move(frame.topLeft());
    }
    oneCgPin->setWindowModality(Qt::ApplicationModal);
    oneCgPin->exec();
}

void OneUseWdCtr::reject() { close(); }

void OneUseWdCtr::closeEvent(QCloseEvent* event) {
    // Closing this window ends whatever runs modally, as its button does.
    kelvane::endModal();
    event->accept();
}
