#pragma once

#include <QtCore/QString>

// The update's questions and alerts: application-modal message boxes on the main thread.
//
// A box never runs an event loop of its own: one would hold up whatever loop the main thread
// was already in (a keyring read at launch waits in one) until the user answered. Called from
// another thread, a function waits there for the answer; on the main thread, showAlert returns
// at once.
namespace UpdaterPrompt {

// "Update Available", asked from the update check's thread: true when the user chose
// "Install"; false for "Later", a closed box, or an application that quits meanwhile.
bool confirmUpdate(const QString &version);

enum class Style { information, warning, critical };
// An alert with one button ("OK" unless given).
void showAlert(Style style, const QString &title, const QString &text,
               const QString &button = QString());

// Closes every open box unanswered and answers those not shown yet the same way; for the
// application's quit, so that no thread waits for an answer that cannot come.
void dismissAll();

} // namespace UpdaterPrompt
