#pragma once

#include <QtCore/QString>

namespace Logger {

// Shows the modal "Upload Failed" alert for an error and, when the user asks, puts the
// diagnostic report on the clipboard. Main thread only; returns after the user has answered.
void showUploadFailedModal(const QString &errorDescription);

} // namespace Logger
