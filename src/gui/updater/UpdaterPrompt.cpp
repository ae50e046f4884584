#include "gui/updater/UpdaterPrompt.h"

#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

namespace UpdaterPrompt {

bool confirmUpdate(const QString &version)
{
    QMessageBox box;
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(QStringLiteral("Update Available"));
    box.setText(QStringLiteral("Update Available"));
    box.setInformativeText(QStringLiteral("Version ") + version +
                           QStringLiteral(" is available. Download and install now? The app will "
                                          "restart when installation finishes."));
    QPushButton *install = box.addButton(QStringLiteral("Install"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box.setDefaultButton(install);
    box.exec();
    return box.clickedButton() == install;
}

void showAlert(Style style, const QString &title, const QString &text, const QString &button)
{
    QMessageBox box;
    switch (style) {
    case Style::information:
        box.setIcon(QMessageBox::Information);
        break;
    case Style::warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case Style::critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    box.setWindowTitle(title);
    box.setText(title);
    box.setInformativeText(text);
    QPushButton *only = button.isEmpty() ? box.addButton(QMessageBox::Ok)
                                         : box.addButton(button, QMessageBox::AcceptRole);
    box.setDefaultButton(only);
    box.exec();
}

} // namespace UpdaterPrompt
