#include "core/uninstall/Trash.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// "clip.mov", "clip.2.mov", "clip.3.mov", ...; a leading dot is part of the name.
QString candidateName(const QString &name, int attempt)
{
    if (attempt == 1) {
        return name;
    }
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString number = QString::number(attempt);
    if (dot <= 0) {
        return name + QLatin1Char('.') + number;
    }
    return name.left(dot) + QLatin1Char('.') + number + name.mid(dot);
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return true;
}

} // namespace

Trash::Trash()
    : Trash(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
            QStringLiteral("/Trash"))
{}

Trash::Trash(QString directory) : m_directory(QDir::cleanPath(std::move(directory))) {}

QByteArray Trash::trashInfo(const QString &path, const QDateTime &deletedAt)
{
    // The path's bytes, escaped as in URLs with the slashes kept.
    return "[Trash Info]\nPath=" + QFile::encodeName(path).toPercentEncoding("/") +
           "\nDeletionDate=" +
           deletedAt.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toLatin1() + '\n';
}

std::optional<QString> Trash::moveToTrash(const QString &path, QString *error) const
{
    const auto fail = [error](const QString &reason) -> std::optional<QString> {
        if (error) {
            *error = reason;
        }
        return std::nullopt;
    };
    // The item's own absolute path: a link in its last component is not resolved.
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    struct stat item {};
    if (::lstat(QFile::encodeName(absolute).constData(), &item) != 0) {
        return fail(errnoText(errno));
    }
    const QString trash = QFileInfo(m_directory).canonicalFilePath();
    if (!trash.isEmpty() && (absolute == trash || trash.startsWith(absolute + QLatin1Char('/')))) {
        return fail(QStringLiteral("it holds the trash itself"));
    }
    const QString files = m_directory + QStringLiteral("/files/");
    const QString info = m_directory + QStringLiteral("/info/");
    if (!QDir().mkpath(files) || !QDir().mkpath(info)) {
        return fail(QStringLiteral("cannot create the trash in ") + m_directory);
    }
    ::chmod(QFile::encodeName(m_directory).constData(), 0700);
    const QByteArray infoText = trashInfo(absolute, QDateTime::currentDateTime());
    const QString name = QFileInfo(absolute).fileName();
    for (int attempt = 1; attempt < 10000; ++attempt) {
        const QString candidate = candidateName(name, attempt);
        // Creating the info file exclusively claims the name against other programs.
        const QByteArray infoPath =
            QFile::encodeName(info + candidate + QStringLiteral(".trashinfo"));
        const int fd = ::open(infoPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return fail(errnoText(errno));
        }
        const bool written = writeAll(fd, infoText);
        ::close(fd);
        const QByteArray target = QFile::encodeName(files + candidate);
        struct stat existing {};
        if (written && ::lstat(target.constData(), &existing) == 0) {
            ::unlink(infoPath.constData());
            continue; // an item without its info file holds the name
        }
        const int renamed =
            written ? ::rename(QFile::encodeName(absolute).constData(), target.constData()) : -1;
        const int renameError = errno;
        if (renamed == 0) {
            return candidate;
        }
        ::unlink(infoPath.constData());
        if (!written) {
            return fail(QStringLiteral("cannot write its trash info"));
        }
        if (renameError == EXDEV) {
            return fail(QStringLiteral("it lies on another file system than the trash, and "
                                       "copying it there would mean deleting the original"));
        }
        return fail(errnoText(renameError));
    }
    return fail(QStringLiteral("no free name in the trash"));
}
