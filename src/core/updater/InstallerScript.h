#pragma once

#include <QtCore/QString>

// The bash script that swaps the bundles once the application has quit. It takes the running
// bundle's path, the staged build's path and the application's process id as arguments.
namespace InstallerScript {

// One word for bash, whatever the text holds (quotes, $, backticks, backslashes, newlines).
QString bashQuoted(const QString &value);

// The script with the log file and the download site (opened when the swap fails) embedded.
QString compose(const QString &logFile, const QString &downloadSite);

} // namespace InstallerScript
