#include "gui/shell/UploadFailedModal.h"

#include "core/shell/DiagnosticReport.h"

#include <QtGui/QClipboard>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

namespace Logger {

void showUploadFailedModal(const QString &errorDescription)
{
    // 1. A critical alert with the copy button first and default.
    QMessageBox alert(QMessageBox::Critical, QGuiApplication::applicationDisplayName(),
                      QStringLiteral("Upload Failed"));
    alert.setObjectName(QStringLiteral("uploadFailedAlert"));
    alert.setInformativeText(
        QStringLiteral("The upload could not be completed.\n\nError: ") + errorDescription +
        QStringLiteral("\n\nYou can copy the full diagnostic log to share with support."));
    QPushButton *copy = alert.addButton(QStringLiteral("Copy Error Log"), QMessageBox::AcceptRole);
    QPushButton *cancel = alert.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    alert.setDefaultButton(copy);
    alert.setEscapeButton(cancel);

    // 2. Run it modally; "Cancel" ends here.
    alert.exec();
    if (alert.clickedButton() != copy) {
        return;
    }

    // 3. Replace the clipboard with the report.
    const QString report = DiagnosticReport::buildForCurrentProcess(errorDescription);
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(report);
}

} // namespace Logger
