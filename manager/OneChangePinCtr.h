// First-change PIN dialog: the three PIN fields, a strength label, OK and
// cancel. One shared instance per process (sharedConfgCtr), run modally after
// cshViw() each time. Main thread only.
#pragma once

#include <QDialog>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;

namespace Ui {
class OneChangePinCtr;
}

class OneChangePinCtr : public QDialog {
    Q_OBJECT
public:
    // The shared instance, made on first call and kept for the process.
    static OneChangePinCtr* sharedConfgCtr();
    // Stops the shared dialog's modal loop and closes it, if it was ever made
    // and is showing; never creates it.
    static void closeShared();

    // Resets the dialog: fields and strength label empty, OK disabled.
    void cshViw();
    // OK: test the rules, change the PIN; a success closes the dialog.
    void okBtnAction();
    // Cancel: stop the modal loop and close.
    void noPushAct();

    QLineEdit* oldPinTf() const;
    QLineEdit* newOnePinTf() const;
    QLineEdit* newTwoPinTf() const;
    QPushButton* okBtn() const;
    QPushButton* noBtn() const;
    QLabel* mimaQd() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    explicit OneChangePinCtr(QWidget* parent = nullptr);
    ~OneChangePinCtr() override;
    void controlTextDidChange(QLineEdit* field);
    void clearAll();

    std::unique_ptr<Ui::OneChangePinCtr> ui;
};
