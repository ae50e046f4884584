#include "core/updater/BundleLocation.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>

#include <nlohmann/json.hpp>

namespace BundleLocation {

QString bundleForExecutable(const QString &executablePath)
{
    const QFileInfo executable(executablePath);
    const QDir binDir = executable.absoluteDir();
    if (binDir.dirName() != QLatin1String("bin")) {
        return {};
    }
    const QString bundle = QFileInfo(binDir.absolutePath()).absolutePath();
    if (!bundle.endsWith(QLatin1String(".app")) || bundle == QLatin1String("/")) {
        return {};
    }
    return QDir::cleanPath(bundle);
}

QString runningBundle()
{
    return bundleForExecutable(QCoreApplication::applicationFilePath());
}

std::optional<QString> shortVersion(const QString &bundlePath)
{
    QFile file(QDir(bundlePath).filePath(QStringLiteral("Info.json")));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray bytes = file.read(1 << 20);
    const nlohmann::json info =
        nlohmann::json::parse(bytes.constData(), bytes.constData() + bytes.size(), nullptr, false);
    if (!info.is_object()) {
        return std::nullopt;
    }
    const auto version = info.find("version");
    if (version == info.end() || !version->is_string()) {
        return std::nullopt;
    }
    return QString::fromStdString(version->get<std::string>());
}

bool isTranslocated(const QString &bundlePath)
{
    if (bundlePath.contains(QLatin1String("/AppTranslocation/"))) {
        return true;
    }
    // An AppImage runs from a FUSE mount named .mount_<random> in the temporary directory.
    for (const QString &temp : {QDir::tempPath(), QStringLiteral("/tmp")}) {
        const QString prefix = QDir::cleanPath(temp) + QStringLiteral("/.mount_");
        if (bundlePath.startsWith(prefix)) {
            return true;
        }
    }
    return false;
}

QString executableIn(const QString &bundlePath)
{
    return QDir(bundlePath).filePath(QStringLiteral("bin/") + QLatin1String(kExecutableName));
}

} // namespace BundleLocation
