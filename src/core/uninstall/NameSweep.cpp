#include "core/uninstall/NameSweep.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QStandardPaths>

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// Resolved links and dots; a path that does not exist stays as it is written.
QString canonical(const QString &path)
{
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : resolved;
}

QList<QByteArray> entryNames(const QByteArray &folder)
{
    QList<QByteArray> names;
    DIR *dir = ::opendir(folder.constData());
    if (!dir) {
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") {
            names.append(name);
        }
    }
    ::closedir(dir);
    // A stable order, so that the confirmation lists what the sweep then takes first.
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

NameSweep::NameSweep(QStringList roots, QStringList kept, Trash trash)
    : m_roots(std::move(roots)), m_trash(std::move(trash))
{
    for (const QString &path : std::as_const(kept)) {
        if (!path.isEmpty()) {
            m_kept.append(canonical(path));
        }
    }
    m_kept.append(canonical(m_trash.directory()));
}

QStringList NameSweep::defaultRoots()
{
    return {QDir::homePath(),
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation),
            QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation),
            QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)};
}

bool NameSweep::nameMatches(const QString &name)
{
    return name.contains(QLatin1String("Vorlanta Creator")) ||
           name.contains(QLatin1String("vorlanta.creator"));
}

QStringList NameSweep::findMatches() const
{
    QStringList matches;
    walk([&matches](const QString &path) {
        matches.append(path);
        return true;
    });
    return matches;
}

NameSweep::Result NameSweep::sweep() const
{
    Result result;
    walk([this, &result](const QString &path) {
        QString error;
        if (m_trash.moveToTrash(path, &error)) {
            result.moved.append(path);
            return true;
        }
        result.failed.append(path + QStringLiteral(": ") + error);
        return false;
    });
    return result;
}

bool NameSweep::isKept(const QString &path) const
{
    const QString below = path + QLatin1Char('/');
    return std::any_of(m_kept.cbegin(), m_kept.cend(),
                       [&](const QString &kept) { return kept == path || kept.startsWith(below); });
}

void NameSweep::walk(const Take &take) const
{
    QSet<QString> walkedRoots;
    // A match reached from two overlapping roots (the home and its Downloads) counts once.
    QSet<QString> taken;
    for (const QString &root : m_roots) {
        const QString resolved = QFileInfo(root).canonicalFilePath();
        if (resolved.isEmpty() || walkedRoots.contains(resolved)) {
            continue;
        }
        walkedRoots.insert(resolved);
        struct stat info {};
        if (::stat(QFile::encodeName(resolved).constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            continue;
        }
        walkFolder(QFile::encodeName(resolved), 0, info.st_dev, take, taken);
    }
}

void NameSweep::walkFolder(const QByteArray &folder, int components, dev_t device, const Take &take,
                           QSet<QString> &taken) const
{
    // Below a canonical root, with links never followed, every path is canonical too.
    if (components + 1 > kMaxComponents) {
        return;
    }
    for (const QByteArray &name : entryNames(folder)) {
        const QByteArray native = folder + '/' + name;
        struct stat info {};
        if (::lstat(native.constData(), &info) != 0 || info.st_dev != device) {
            continue; // gone meanwhile, or a mount point of another file system
        }
        const QString path = QFile::decodeName(native);
        if (taken.contains(path)) {
            continue;
        }
        if (nameMatches(QFile::decodeName(name)) && !isKept(path) && take(path)) {
            taken.insert(path);
            continue;
        }
        // Nothing inside the trash or the running application is the sweep's either.
        if (S_ISDIR(info.st_mode) && !m_kept.contains(path)) {
            walkFolder(native, components + 1, device, take, taken);
        }
    }
}
