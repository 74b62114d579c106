// Certificate viewer: a modal dialog listing one certificate's fields
// (subject, issuer, serial number, validity, algorithms, fingerprints),
// closed with "关闭". Stands in for the desktop's certificate panel.
// Main thread only.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>

class CerViewDlg : public QDialog {
    Q_OBJECT
public:
    // Parses der (DER X.509); isValid() tells whether it could.
    explicit CerViewDlg(const QByteArray& der, QWidget* parent = nullptr);

    bool isValid() const { return m_valid; }
    // Caption and value of every row shown, in order.
    const QList<QPair<QString, QString>>& fields() const { return m_fields; }

    // The rows of a certificate; empty when der is not one DER certificate.
    static QList<QPair<QString, QString>> certificateFields(const QByteArray& der);

private:
    bool m_valid = false;
    QList<QPair<QString, QString>> m_fields;
};
