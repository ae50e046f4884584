#pragma once

#include <QtCore/QString>

// The one logging facility. Each message becomes one line, "[" timestamp "] " level " " message,
// printed to standard output, kept in memory for the life of the process and appended to the
// day's file under Paths::logsDir(). Callable from any thread; the caller never waits for disk.
namespace Logger {

void write(const QString &level, const QString &message);
void info(const QString &message);
void warn(const QString &message);
void error(const QString &message);

// Every line logged by this process since start, oldest first, joined with no separator.
QString joinedMemoryBuffer();

// Input quoted in a log line: at most maxCharacters of it, the cut marked, so that hostile input
// cannot fill the log.
QString excerpt(const QString &text, qsizetype maxCharacters = 300);

// Blocks until every append submitted so far has reached the file (used at termination).
void flush();

// From now on lines go to standard output and memory only, and every earlier append has reached
// the file: the uninstall calls it before removing the folder the day files live in, which an
// append would create again.
void stopFileOutput();

// "2025-03-14T093015Z" for the given seconds since the epoch.
QString formatTimestamp(qint64 secondsSinceEpoch);
// "2025-03-14.log" for the given seconds since the epoch.
QString dayFileName(qint64 secondsSinceEpoch);

} // namespace Logger
