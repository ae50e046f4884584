#include "BundleStager.h"

#include "ReleaseError.h"
#include "core/queue/FileCopier.h"

#include <QtCore/QDir>
#include <QtCore/QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace BundleStager {
namespace {

QString systemError(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

void copyLink(const QString &from, const QString &to, const QString &relative)
{
    const QByteArray source = QFile::encodeName(from);
    struct stat st {};
    if (::lstat(source.constData(), &st) != 0) {
        throw ReleaseError::failed(relative + QStringLiteral(": ") + systemError(errno));
    }
    std::vector<char> target(size_t(st.st_size) + 2);
    const ssize_t n = ::readlink(source.constData(), target.data(), target.size() - 1);
    if (n < 0 || size_t(n) >= target.size() - 1) {
        throw ReleaseError::failed(QStringLiteral("cannot read the link ") + relative);
    }
    target[size_t(n)] = '\0';
    if (::symlink(target.data(), QFile::encodeName(to).constData()) != 0) {
        throw ReleaseError::failed(relative + QStringLiteral(": ") + systemError(errno));
    }
}

void copyFolder(const QString &source, const QString &destination, const QString &relative,
                const std::atomic_bool *cancel)
{
    struct stat folder {};
    if (::stat(QFile::encodeName(source).constData(), &folder) != 0 ||
        ::mkdir(QFile::encodeName(destination).constData(), 0700) != 0) {
        throw ReleaseError::failed(QStringLiteral("cannot copy the folder ") +
                                   (relative.isEmpty() ? source : relative) + QStringLiteral(": ") +
                                   systemError(errno));
    }
    const QStringList names = QDir(source).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        if (cancel && cancel->load()) {
            throw ReleaseError::failed(QStringLiteral("interrupted"));
        }
        const QString from = source + QLatin1Char('/') + name;
        const QString to = destination + QLatin1Char('/') + name;
        const QString path = relative.isEmpty() ? name : relative + QLatin1Char('/') + name;
        struct stat st {};
        if (::lstat(QFile::encodeName(from).constData(), &st) != 0) {
            throw ReleaseError::failed(path + QStringLiteral(": ") + systemError(errno));
        }
        if (S_ISDIR(st.st_mode)) {
            copyFolder(from, to, path, cancel);
        } else if (S_ISLNK(st.st_mode)) {
            copyLink(from, to, path);
        } else if (S_ISREG(st.st_mode)) {
            const FileCopier::Result result = FileCopier::copyFile(from, to, cancel);
            if (result.cancelled) {
                throw ReleaseError::failed(QStringLiteral("interrupted"));
            }
            if (!result.ok) {
                throw ReleaseError::failed(path + QStringLiteral(": ") + result.errorDescription);
            }
        } else {
            throw ReleaseError::refused(QStringLiteral("unsupported entry in the bundle: ") + path);
        }
    }
    // Created private, opened up once filled: the folder keeps its own mode in the archive.
    if (::chmod(QFile::encodeName(destination).constData(), (folder.st_mode & 07777) | 0700) != 0) {
        throw ReleaseError::failed(QStringLiteral("cannot set the mode of ") + destination);
    }
}

} // namespace

void copy(const QString &source, const QString &destination, const std::atomic_bool *cancel)
{
    copyFolder(source, destination, {}, cancel);
}

} // namespace BundleStager
