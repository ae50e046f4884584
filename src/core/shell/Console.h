#pragma once

#include <QtCore/QString>

// Plain diagnostic lines: standard output only, never the log file or the report.
namespace Console {

// Prints the line and a line feed in one write, so concurrent lines stay whole.
void printLine(const QString &line);

} // namespace Console
