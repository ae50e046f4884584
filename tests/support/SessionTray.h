#pragma once

#include <QtCore/QPoint>
#include <QtCore/QString>
#include <QtCore/QStringList>

// The tray host that scripts/with-test-session starts (trayer), for tests that need the desktop
// without it or with their own. Tests that stop it run serially and restart it when done.
namespace TestSupport {

// xdotool's output, trimmed.
QString xdotool(const QStringList &arguments);

// Moves the pointer there in a few relative steps: a warp produces no raw motion events, which
// is how drags of other clients are seen.
void movePointerTo(const QPoint &target);

// trayer's arguments for a panel at the edge ("top" or "bottom"), as the session starts it.
QStringList trayArguments(const QString &edge);

// Stops every running trayer.
void stopSessionTray();

// Starts the session's trayer again, detached from this process and its output, so that the
// test's runner does not wait for it.
void restartSessionTray();

} // namespace TestSupport
