#pragma once

class QWidget;
struct StartupActivation;

// Lets a window shown for another program's request come up in front of it: the launcher's X11
// startup id (set on the window, its time used for activation, its notification ended) or the
// Wayland activation token (used by Qt's next activation request).
namespace StartupNotification {

// Before the window is shown or raised.
void prepare(QWidget *window, const StartupActivation &activation);
// After the window was shown and activated.
void complete(QWidget *window, const StartupActivation &activation);

} // namespace StartupNotification
