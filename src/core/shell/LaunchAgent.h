#pragma once

#include <QtCore/QString>

// Start at login: a desktop entry in the user's autostart folder, written once per user at the
// first start. Every outcome is one line on standard output.
namespace LaunchAgent {

inline constexpr char kInstalledKey[] = "LaunchAgentInstalled";
inline constexpr char kTemplate[] = ":/autostart/com.vorlanta.creator.desktop";
inline constexpr char kPlaceholder[] = "@VORLANTA_CREATOR_EXECUTABLE@";

// $XDG_CONFIG_HOME/autostart/com.vorlanta.creator.desktop
QString installedFile();
// The program to start: $APPIMAGE when set, else this executable.
QString executablePath();
// The path as one argument of a desktop entry's Exec key: quoted when it holds a reserved
// character, with the value's own escapes.
QString execArgument(const QString &path);

void installLaunchAgentIfNeeded();

} // namespace LaunchAgent
