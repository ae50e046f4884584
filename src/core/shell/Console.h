#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QString>

#include <atomic>
#include <cstdio>

// Plain diagnostic lines: standard output only, never the log file or the report.
namespace Console {

// Prints the line and a line feed in one write, so concurrent lines stay whole.
void printLine(const QString &line);

// Where diagnostic lines (these and the logger's) go: standard output unless a program that owns
// its standard output, like the command line, sends them elsewhere or nowhere (nullptr).
void setDiagnosticStream(std::FILE *stream);
// Writes bytes to the diagnostic stream, if any, and flushes.
void writeDiagnostic(const QByteArray &bytes);

} // namespace Console
