// About window, made on the first about request and kept by the
// application delegate. Main thread only.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class AboutWinCtr;
}

class AboutWinCtr : public QDialog {
    Q_OBJECT
public:
    explicit AboutWinCtr(QWidget* parent = nullptr);
    ~AboutWinCtr() override;

private:
    std::unique_ptr<Ui::AboutWinCtr> ui;
};
