#include "gui/shell/NautilusScripts.h"

#include "core/shell/Logger.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QDirIterator>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QSaveFile>
#include <QtCore/QSettings>
#include <QtCore/QStandardPaths>

namespace {

constexpr char kServiceProgram[] = "vorlanta-creator-service";
constexpr char kInstalledKey[] = "NautilusScriptsInstalled";

// The client beside this executable when there is one (a bundle outside PATH), else by name.
QByteArray serviceCommand()
{
    const QString beside =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(kServiceProgram);
    if (!QFileInfo(beside).isExecutable()) {
        return kServiceProgram;
    }
    QByteArray quoted = beside.toUtf8();
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

bool writeScript(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                               QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                               QFileDevice::ExeGroup | QFileDevice::ReadOther |
                               QFileDevice::ExeOther) &&
           file.commit();
}

} // namespace

QString NautilusScripts::directory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/nautilus/scripts");
}

void NautilusScripts::installIfMissing()
{
    // Once per user: a script deleted afterwards stays deleted.
    QSettings settings;
    if (settings.value(QLatin1String(kInstalledKey)).toBool()) {
        return;
    }
    if (!QDir().mkpath(directory())) {
        Logger::warn(QStringLiteral("[NautilusScripts] Cannot create ") + directory());
        return;
    }
    bool complete = true;
    for (QDirIterator it(QStringLiteral(":/nautilus-scripts"), QDir::Files); it.hasNext();) {
        const QFileInfo source(it.next());
        const QString target = directory() + QLatin1Char('/') + source.fileName();
        if (QFileInfo::exists(target)) {
            continue;
        }
        QFile resource(source.filePath());
        QByteArray content = resource.open(QIODevice::ReadOnly) ? resource.readAll() : QByteArray();
        const QByteArray program(kServiceProgram);
        content.replace(QByteArray("exec " + program), QByteArray("exec " + serviceCommand()));
        if (!writeScript(target, content)) {
            Logger::warn(QStringLiteral("[NautilusScripts] Cannot write ") + target);
            complete = false;
        }
    }
    if (complete) {
        settings.setValue(QLatin1String(kInstalledKey), true);
    }
}
