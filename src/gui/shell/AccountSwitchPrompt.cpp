#include "gui/shell/AccountSwitchPrompt.h"

#include <QCoro/QCoroSignal>
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
    box->setInformativeText(QStringLiteral("Your uploads would go to that account from now on. "
                                           "Switch only if you opened the link yourself."));
    QPushButton *switchAccount =
        box->addButton(QStringLiteral("Switch Account"), QMessageBox::AcceptRole);
    QPushButton *stay = box->addButton(QStringLiteral("Stay Signed In"), QMessageBox::RejectRole);
    box->setDefaultButton(stay);
    box->setEscapeButton(stay);
    // Deleted after the answer, not on close: the answer reaches this coroutine through a queued
    // call to the box, which a deletion on close would cancel, leaving the sign-in waiting.
    box->open();
    co_await qCoro(box, &QMessageBox::finished);
    const bool agreed = box->clickedButton() == switchAccount;
    box->deleteLater();
    co_return agreed;
}

} // namespace AccountSwitchPrompt
