// Tip window holding one image view (the button picture). Nothing in the
// application opens it; it is kept with its resource for completeness.
#pragma once

#include <QWidget>
#include <memory>

class QLabel;

namespace Ui {
class TsqdWinCtr;
}

class TsqdWinCtr : public QWidget {
    Q_OBJECT
public:
    explicit TsqdWinCtr(QWidget* parent = nullptr);
    ~TsqdWinCtr() override;

    QLabel* bkImgVw() const { return m_bkImgVw; }
    // Replaces the image view (the window does not take ownership of a view
    // that has another parent).
    void setBkImgVw(QLabel* view) { m_bkImgVw = view; }

private:
    std::unique_ptr<Ui::TsqdWinCtr> ui;
    QLabel* m_bkImgVw = nullptr;
};
