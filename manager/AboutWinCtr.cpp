#include "AboutWinCtr.h"

#include <QCoreApplication>

#include "ui_AboutWinCtr.h"

#ifndef QD_APP_VERSION
#define QD_APP_VERSION "1.0"
#endif

AboutWinCtr::AboutWinCtr(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::AboutWinCtr>()) {
    ui->setupUi(this);
    setFixedSize(size());
    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty()) version = QStringLiteral(QD_APP_VERSION);
    ui->aboutVersion->setText(QStringLiteral("版本 %1").arg(version));
}

AboutWinCtr::~AboutWinCtr() = default;
