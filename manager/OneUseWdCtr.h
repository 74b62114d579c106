// First-use window: shown when a key that still has its first PIN arrives;
// its button opens the first-change PIN dialog. Not modal, but a dialog, so
// that a screen reader announces it when it appears. Main thread only.
#pragma once

#include <QDialog>
#include <memory>

class OneChangePinCtr;
class QPushButton;

namespace Ui {
class OneUseWdCtr;
}

class OneUseWdCtr : public QDialog {
    Q_OBJECT
public:
    explicit OneUseWdCtr(QWidget* parent = nullptr);
    ~OneUseWdCtr() override;

    // The change-PIN button: closes this window and runs the first-change
    // dialog application-modal; returns when that dialog has stopped.
    void xgPinbutAction();

    QPushButton* changeButton() const;
    OneChangePinCtr* oneCgPin = nullptr;  // the shared first-change dialog, once used

    // Escape closes the window as its close box does.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::OneUseWdCtr> ui;
};
