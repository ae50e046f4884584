#include "gui/shell/AccountSwitchPrompt.h"

#include <QCoro/QCoroSignal>
#include <QtCore/QPointer>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

namespace AccountSwitchPrompt {

QCoro::Task<bool> ask(const QString &account)
{
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Switch Account?"),
                                QStringLiteral("A sign-in link asks Vorlanta Creator to sign in "
                                               "as ") +
                                    account + QStringLiteral("."));
    box->setObjectName(QStringLiteral("accountSwitchPrompt"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setInformativeText(QStringLiteral("Your uploads would go to that account from now on. "
                                           "Switch only if you opened the link yourself."));
    QPushButton *switchAccount =
        box->addButton(QStringLiteral("Switch Account"), QMessageBox::AcceptRole);
    QPushButton *stay = box->addButton(QStringLiteral("Stay Signed In"), QMessageBox::RejectRole);
    box->setDefaultButton(stay);
    box->setEscapeButton(stay);
    const QPointer<QMessageBox> guard = box;
    box->open();
    co_await qCoro(box, &QMessageBox::finished);
    co_return guard && guard->clickedButton() == switchAccount;
}

} // namespace AccountSwitchPrompt
