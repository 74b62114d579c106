#include "EndModal.h"

#include <QApplication>
#include <QDialog>

#include "OneChangePinCtr.h"
#include "Qd_MacIntf.h"
#include "alert.h"

namespace kelvane {

void endModal() {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog != nullptr && !isOutcomeAlert(dialog)) dialog->reject();
    Qd_MacIntf::stopModal();
    OneChangePinCtr::closeShared();
}

}  // namespace kelvane
