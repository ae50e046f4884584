#pragma once

#include <QtCore/QString>

#include <optional>

// Where the running application lives. An installed application is a bundle folder
// "<name>.app" with its executable at bin/<executable> and its version in Info.json.
namespace BundleLocation {

// The bundle that holds the executable, or empty when it does not run from a bundle (a
// development build).
QString bundleForExecutable(const QString &executablePath);
QString runningBundle();

// The "version" string of <bundle>/Info.json; none when the file, the key or a string is missing.
std::optional<QString> shortVersion(const QString &bundlePath);

// True when the bundle runs from a temporary place it was mounted or copied to by the system,
// where replacing it would not last: the AppTranslocation folder or a temporary read-only mount
// such as an AppImage's /tmp/.mount_*.
bool isTranslocated(const QString &bundlePath);

// The executable inside a bundle.
QString executableIn(const QString &bundlePath);

inline constexpr char kExecutableName[] = "vorlanta-creator";

} // namespace BundleLocation
