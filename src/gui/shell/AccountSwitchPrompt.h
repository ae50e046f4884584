#pragma once

#include <QCoro/QCoroTask>
#include <QtCore/QString>

// Asks the user whether a sign-in link that arrived while signed in may switch the app to the
// account it names. Staying signed in is the default answer.
namespace AccountSwitchPrompt {

QCoro::Task<bool> ask(const QString &account);

} // namespace AccountSwitchPrompt
