#include "core/shell/LaunchAgent.h"

#include "core/shell/Console.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QSaveFile>
#include <QtCore/QSettings>
#include <QtCore/QStandardPaths>

namespace LaunchAgent {

QString installedFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/com.vorlanta.creator.desktop");
}

QString executablePath()
{
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    return appImage.isEmpty() ? QCoreApplication::applicationFilePath() : appImage;
}

QString execArgument(const QString &path)
{
    // Desktop Entry rules: an argument with a reserved character is double-quoted, with ", `, $
    // and \ escaped inside; "%" is doubled as field codes use it; then the string value's own
    // escaping doubles every backslash.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString argument = path;
    argument.replace(QLatin1Char('%'), QStringLiteral("%%"));
    const bool quote = std::any_of(argument.cbegin(), argument.cend(),
                                   [](QChar c) { return reserved.contains(c); });
    if (quote) {
        QString quoted;
        for (const QChar c : std::as_const(argument)) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
                quoted += u'\\';
            }
            quoted += c;
        }
        argument = u'"' + quoted + u'"';
    }
    argument.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return argument;
}

void installLaunchAgentIfNeeded()
{
    // 1, 2. Once per user, also when it fails.
    QSettings settings;
    if (settings.value(QLatin1String(kInstalledKey)).toBool()) {
        return;
    }
    settings.setValue(QLatin1String(kInstalledKey), true);
    settings.sync();
    // 3. The template.
    QFile templateFile(QString::fromLatin1(kTemplate));
    if (!templateFile.open(QIODevice::ReadOnly)) {
        Console::printLine(QStringLiteral("[AppDelegate] Launch agent plist not found in bundle"));
        return;
    }
    // 4. The autostart folder.
    const QString target = installedFile();
    const QString folder = QFileInfo(target).path();
    if (!QDir().mkpath(folder)) {
        Console::printLine(QStringLiteral("[AppDelegate] Failed to install launch agent: cannot "
                                          "create ") +
                           folder);
        return;
    }
    // 5. The running program in place of the placeholder, written atomically.
    QString text = QString::fromUtf8(templateFile.readAll());
    text.replace(QLatin1String(kPlaceholder), execArgument(executablePath()));
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        Console::printLine(QStringLiteral("[AppDelegate] Failed to install launch agent: ") +
                           file.errorString());
        return;
    }
    // 6, 7. The session reads the folder at the next login: nothing to load.
    Console::printLine(QStringLiteral("[AppDelegate] Launch agent loaded successfully"));
}

} // namespace LaunchAgent
