#pragma once

#include "BuildConfig.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QString>

#include <unistd.h>

// Where the running instance keeps its lock file and local socket. Header-only: the service
// client finds the socket with QtCore alone.
namespace InstancePaths {

inline QString applicationIdentifier()
{
    const QString id = QString::fromUtf8(BuildConfig::kBundleIdentifier);
    return id.isEmpty() ? QStringLiteral("VorlantaCreator") : id;
}

inline bool usableRuntimeDir(const QString &dir)
{
    const QFileInfo info(dir);
    return !dir.isEmpty() && info.isDir() && info.isWritable() && info.ownerId() == ::getuid();
}

// XDG_RUNTIME_DIR, or the temporary directory when it is unset or unusable.
inline QString runtimeDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return usableRuntimeDir(runtime) ? QDir::cleanPath(runtime) : QDir::tempPath();
}

inline QString lockFilePath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (usableRuntimeDir(runtime)) {
        return QDir::cleanPath(runtime) + QLatin1Char('/') + applicationIdentifier() +
               QStringLiteral(".lock");
    }
    // The temporary directory is shared between users: the user id keeps them apart.
    return QDir::tempPath() + QLatin1Char('/') + applicationIdentifier() +
           QStringLiteral("-%1.lock").arg(::getuid());
}

inline QString serverPath()
{
    QString path = lockFilePath();
    path.chop(int(sizeof(".lock")) - 1);
    return path + QStringLiteral(".socket");
}

} // namespace InstancePaths
