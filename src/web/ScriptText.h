#pragma once

#include <QtCore/QString>

// Text that goes into scripts run in web pages.
namespace ScriptText {

// The text as a script string literal, quotes included: JSON-encoded, so quotes, backslashes
// and line breaks survive, with "<", U+2028 and U+2029 escaped as well.
QString literal(const QString &text);

// One immediately invoked function writing the token into local and then session storage under
// "token"; catchBody runs with the error as "e".
QString storageWrite(const QString &token, const QString &catchBody = {});

} // namespace ScriptText
