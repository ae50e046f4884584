#pragma once

#include <QtCore/QString>

// The update's questions and alerts: modal message boxes, shown on the main thread.
namespace UpdaterPrompt {

// "Update Available": true when the user chose "Install".
bool confirmUpdate(const QString &version);

enum class Style { information, warning, critical };
// A modal alert with one button ("OK" unless given).
void showAlert(Style style, const QString &title, const QString &text,
               const QString &button = QString());

} // namespace UpdaterPrompt
