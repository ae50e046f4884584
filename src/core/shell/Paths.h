#pragma once

#include <QtCore/QString>

// The application's private working directories. Every value is an absolute path, computed once
// (thread-safe) on first use and never changed afterwards.
namespace Paths {

const QString &baseDir();
const QString &inboxDir();
const QString &configDir();
const QString &queueDir();
const QString &logsDir();
const QString &cacheDir();
const QString &outboxDir();
const QString &processedDir();

// Creates the seven subdirectories (and the base directory with the first one). Never fails
// towards the caller: a directory that cannot be created gets one line on standard output.
void ensureAll();

} // namespace Paths
