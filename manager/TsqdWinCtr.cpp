#include "TsqdWinCtr.h"

#include <QPixmap>

#include "Qd_MacIntf.h"
#include "platform/paths.h"
#include "ui_TsqdWinCtr.h"

TsqdWinCtr::TsqdWinCtr(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TsqdWinCtr>()) {
    ui->setupUi(this);
    setFixedSize(size());
    m_bkImgVw = ui->bkImgVw;
    m_bkImgVw->setPixmap(QPixmap(QString::fromStdString(platform::bundleResource(kTipImageName))));
}

TsqdWinCtr::~TsqdWinCtr() = default;
