#include "core/queue/FileCopier.h"

#include "core/shell/FileDescriptor.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"

#include <QtCore/QDir>
#include <QtCore/QDirIterator>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QRegularExpression>
#include <QtCore/QSaveFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace FileCopier {
namespace {

// Large enough to keep the kernel busy, small enough to notice a cancel quickly.
constexpr size_t kChunkBytes = size_t(64) << 20;

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// The temporaries of copies under way, by device and inode: the sweep must leave them alone.
struct InFlight {
    std::mutex mutex;
    std::set<std::pair<dev_t, ino_t>> files;
};

InFlight &inFlight()
{
    static InFlight instance;
    return instance;
}

// Directories a tree copy never enters, by device and inode.
using SkippedDirectories = std::set<std::pair<dev_t, ino_t>>;

bool cancelled(const std::atomic_bool *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

// Copies the bytes between two open files, to the source's end (also if it grew meanwhile);
// the kernel does the work.
Result copyContents(int in, int out, const std::atomic_bool *cancel)
{
    if (::ioctl(out, FICLONE, in) == 0) {
        return Result::success();
    }
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        if (cancelled(cancel)) {
            return Result::cancel();
        }
        ssize_t n = 0;
        if (kernelCopy) {
            n = ::copy_file_range(in, nullptr, out, nullptr, kChunkBytes, 0);
            if (n < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false; // this pair of file systems needs the plain way
                continue;
            }
            // Which side failed is not told; these come from the written one.
            if (n < 0 && (errno == ENOSPC || errno == EDQUOT || errno == EIO || errno == EROFS)) {
                return Result::destinationFailure(errno);
            }
        } else {
            buffer.resize(size_t(1) << 20);
            n = ::read(in, buffer.data(), buffer.size());
            for (ssize_t written = 0; n > 0 && written < n;) {
                const ssize_t w = ::write(out, buffer.data() + written, size_t(n - written));
                if (w < 0 && errno != EINTR) {
                    return Result::destinationFailure(errno);
                }
                written += std::max<ssize_t>(w, 0);
            }
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Result::failure(errno);
        }
        if (n == 0) {
            return Result::success();
        }
    }
}

// 0, or the error number.
int renameNoReplace(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // File systems without RENAME_NOREPLACE: a hard link is just as exclusive.
    if (::link(from.constData(), to.constData()) != 0) {
        return errno;
    }
    ::unlink(from.constData());
    return 0;
}

bool existsNoFollow(const QByteArray &path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0;
}

Result copySymlink(const QByteArray &source, const QByteArray &destination)
{
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t n = ::readlink(source.constData(), target.data(), target.size() - 1);
    if (n < 0) {
        return Result::failure(errno);
    }
    target[size_t(n)] = '\0';
    if (::symlink(target.data(), destination.constData()) != 0) {
        return Result::destinationFailure(errno);
    }
    return Result::success();
}

Result removeAll(const QString &path)
{
    const QByteArray native = encoded(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        return errno == ENOENT ? Result::success() : Result::failure(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        if (!QDir(path).removeRecursively()) {
            return Result::failure(QStringLiteral("Cannot remove ") + path);
        }
        return Result::success();
    }
    if (::unlink(native.constData()) != 0) {
        return Result::failure(errno);
    }
    return Result::success();
}

// Walks a directory; hidden entries included or not.
Result copyTree(const QString &source, const QString &destination, bool includeHidden,
                const SkippedDirectories &skipped, const std::atomic_bool *cancel)
{
    if (!QDir().mkpath(destination)) {
        return Result::destinationFailure(QStringLiteral("Cannot create directory ") + destination);
    }
    DIR *dir = ::opendir(encoded(source).constData());
    if (!dir) {
        return Result::failure(errno);
    }
    std::vector<std::pair<QString, unsigned char>> entries;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (!includeHidden && name[0] == '.') {
            continue;
        }
        entries.emplace_back(QFile::decodeName(name), entry->d_type);
    }
    ::closedir(dir);

    for (const auto &[name, type] : entries) {
        const QString from = source + QLatin1Char('/') + name;
        const QString to = destination + QLatin1Char('/') + name;
        struct stat st {};
        if (::lstat(encoded(from).constData(), &st) != 0) {
            return Result::failure(errno);
        }
        struct stat existing {};
        if (!S_ISDIR(st.st_mode) && ::lstat(encoded(to).constData(), &existing) == 0 &&
            (existing.st_mode & S_IFMT) == (st.st_mode & S_IFMT)) {
            continue; // staged by an earlier run: whatever has its final name is whole
        }
        if (S_ISDIR(st.st_mode) && skipped.contains({st.st_dev, st.st_ino})) {
            Logger::info(QStringLiteral("Not copied, the application's own data: ") + from);
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode)) {
            Logger::info(QStringLiteral("Not copied, not a regular file: ") + from);
            continue;
        }
        Result result;
        if (S_ISDIR(st.st_mode)) {
            result = copyTree(from, to, includeHidden, skipped, cancel);
        } else if (S_ISLNK(st.st_mode)) {
            // Links are recreated, never followed: a link to a parent must not recurse.
            result = copySymlink(encoded(from), encoded(to));
        } else {
            result = copyFile(from, to, cancel);
        }
        if (!result.ok) {
            return result;
        }
    }
    return Result::success();
}

// The destination (created) and the application's data directory.
SkippedDirectories skippedFor(const QString &destination)
{
    SkippedDirectories skipped;
    for (const QString &path : {destination, Paths::baseDir()}) {
        struct stat st {};
        if (::stat(encoded(path).constData(), &st) == 0) {
            skipped.insert({st.st_dev, st.st_ino});
        }
    }
    return skipped;
}

} // namespace

Result Result::failure(int errorNumber)
{
    return failure(QString::fromLocal8Bit(std::strerror(errorNumber)));
}

Result Result::destinationFailure(int errorNumber)
{
    Result result = failure(errorNumber);
    result.canPass = errorNumber != EEXIST;
    return result;
}

Result copyFile(const QString &source, const QString &destination, const std::atomic_bool *cancel)
{
    const QByteArray src = encoded(source);
    const QByteArray dst = encoded(destination);
    // Non-blocking: opening a FIFO would otherwise wait for a writer forever.
    FileDescriptor in(::open(src.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.get() < 0) {
        return Result::failure(errno);
    }
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) {
        return Result::failure(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return Result::failure(EISDIR);
    }
    if (!S_ISREG(st.st_mode)) {
        return Result::failure(QStringLiteral("Not a regular file"));
    }
    if (existsNoFollow(dst)) {
        return Result::failure(EEXIST);
    }

    // Hidden temporary beside the destination, so the final rename stays on one file system.
    const QFileInfo target(destination);
    QByteArray temporary = encoded(target.absolutePath() + QStringLiteral("/.") +
                                   target.fileName() + QStringLiteral(".partial-XXXXXX"));
    std::unique_lock registering(inFlight().mutex);
    FileDescriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.get() < 0) {
        return Result::destinationFailure(errno);
    }
    struct stat made {};
    if (::fstat(out.get(), &made) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return Result::destinationFailure(error);
    }
    const std::pair<dev_t, ino_t> key{made.st_dev, made.st_ino};
    inFlight().files.insert(key);
    registering.unlock();

    Result result = copyContents(in.get(), out.get(), cancel);
    if (result.ok && ::fchmod(out.get(), st.st_mode & 07777) != 0) {
        result = Result::destinationFailure(errno);
    }
    if (result.ok && ::close(out.release()) != 0) {
        result = Result::destinationFailure(errno);
    }
    if (const int error = result.ok ? renameNoReplace(temporary, dst) : 0) {
        result = Result::destinationFailure(error);
    }
    if (!result.ok) {
        ::unlink(temporary.constData());
    }
    std::lock_guard lock(inFlight().mutex);
    inFlight().files.erase(key);
    return result;
}

Result copyRecursively(const QString &source, const QString &destination,
                       const std::atomic_bool *cancel)
{
    // 1. Replace an earlier copy.
    const Result removed = removeAll(destination);
    if (!removed.ok) {
        return removed;
    }
    // 2.-4.
    if (!QDir().mkpath(destination)) {
        return Result::destinationFailure(QStringLiteral("Cannot create directory ") + destination);
    }
    return copyTree(source, destination, true, skippedFor(destination), cancel);
}

Result copyDirectory(const QString &source, const QString &destination,
                     const std::atomic_bool *cancel)
{
    if (!QDir().mkpath(destination)) {
        return Result::destinationFailure(QStringLiteral("Cannot create directory ") + destination);
    }
    return copyTree(source, destination, false, skippedFor(destination), cancel);
}

void removeStalePartials(const QString &directory)
{
    static const QRegularExpression partial(QStringLiteral("^\\..+\\.partial-[A-Za-z0-9]{6}$"));
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo file = it.nextFileInfo();
        if (!partial.match(file.fileName()).hasMatch()) {
            continue;
        }
        const QByteArray path = encoded(file.filePath());
        std::lock_guard lock(inFlight().mutex);
        struct stat st {};
        // Gone already (a second sweep) is just as good.
        if (::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            !inFlight().files.contains({st.st_dev, st.st_ino})) {
            ::unlink(path.constData());
        }
    }
}

Result writeTextAtomically(const QString &path, const QString &text)
{
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    // Unbuffered, so that a failed write is seen before commit() renames the file into place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        return Result::destinationFailure(file.errorString());
    }
    return Result::success();
}

Result moveWithoutReplacing(const QString &source, const QString &destination)
{
    const int error = renameNoReplace(encoded(source), encoded(destination));
    return error ? Result::failure(error) : Result::success();
}

} // namespace FileCopier
