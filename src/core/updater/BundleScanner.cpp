#include "core/updater/BundleScanner.h"

#include "core/shell/FileDescriptor.h"

#include <QtCore/QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace BundleScanner {
namespace {

constexpr size_t kChunkBytes = size_t(1) << 20;

[[noreturn]] void fail(const char *what, const QByteArray &path, int errorNumber = 0)
{
    std::string message = what;
    message += BundleFileList::printable(path).toStdString();
    if (errorNumber != 0) {
        message += " (";
        message += std::strerror(errorNumber);
        message += ')';
    }
    throw std::runtime_error(message);
}

class Sha256 {
public:
    Sha256() : m_context(EVP_MD_CTX_new())
    {
        if (!m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("SHA-256 is unavailable");
        }
    }
    void add(const void *data, size_t size) { EVP_DigestUpdate(m_context.get(), data, size); }
    QByteArray hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_context.get(), digest, &length);
        return QByteArray(reinterpret_cast<const char *>(digest), length).toHex();
    }

private:
    struct Free {
        void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> m_context;
};

// Write bits are left out: an update is unpacked read-only and installed writable by its
// owner, while read, execute and the set-id bits are what the release decides.
unsigned signedMode(mode_t mode)
{
    return unsigned(mode & 07777 & ~mode_t(0222));
}

BundleFileList::Entry hashFile(const QByteArray &absolute, const QByteArray &relative)
{
    // O_NONBLOCK: something swapped in for the file after lstat must not hang the open.
    const FileDescriptor file(
        ::open(absolute.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        fail("cannot read ", relative, errno);
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) {
        fail("cannot read ", relative, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        fail("unsupported entry: ", relative);
    }
    Sha256 sha;
    std::vector<char> buffer(kChunkBytes);
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            fail("cannot read ", relative, errno);
        }
        if (n == 0) {
            break;
        }
        sha.add(buffer.data(), size_t(n));
    }
    return {'f', signedMode(st.st_mode), sha.hex()};
}

BundleFileList::Entry hashLink(const QByteArray &absolute, const QByteArray &relative,
                               const struct stat &st)
{
    // st_size is the target's length, but the link may change meanwhile: one byte more tells.
    std::vector<char> target(size_t(st.st_size) + 2);
    const ssize_t n = ::readlink(absolute.constData(), target.data(), target.size());
    if (n < 0) {
        fail("cannot read ", relative, errno);
    }
    if (size_t(n) >= target.size()) {
        fail("changed while being read: ", relative);
    }
    Sha256 sha;
    sha.add(target.data(), size_t(n));
    return {'l', signedMode(st.st_mode), sha.hex()};
}

class Walker {
public:
    Walker(QByteArray root, const QList<QByteArray> &skipped)
        : m_root(std::move(root)), m_skipped(skipped)
    {}

    void walk(const QByteArray &relativeDir)
    {
        const QByteArray absoluteDir = relativeDir.isEmpty() ? m_root : m_root + '/' + relativeDir;
        std::vector<QByteArray> names;
        {
            const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(absoluteDir.constData()),
                                                           ::closedir);
            if (!dir) {
                fail("cannot read the folder ", relativeDir.isEmpty() ? "." : relativeDir, errno);
            }
            errno = 0;
            while (const dirent *entry = ::readdir(dir.get())) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                    names.emplace_back(entry->d_name);
                }
            }
            if (errno != 0) {
                fail("cannot read the folder ", relativeDir.isEmpty() ? "." : relativeDir, errno);
            }
        }
        for (const QByteArray &name : names) {
            const QByteArray relative = relativeDir.isEmpty() ? name : relativeDir + '/' + name;
            if (m_skipped.contains(relative)) {
                continue;
            }
            visit(relative);
        }
    }

    BundleFileList takeList() { return std::move(m_list); }

private:
    void visit(const QByteArray &relative)
    {
        const QByteArray absolute = m_root + '/' + relative;
        struct stat st {};
        if (::lstat(absolute.constData(), &st) != 0) {
            fail("cannot read ", relative, errno);
        }
        if (!BundleFileList::isListablePath(relative)) {
            fail("unsupported entry: ", relative);
        }
        if (S_ISDIR(st.st_mode)) {
            walk(relative);
        } else if (S_ISREG(st.st_mode)) {
            m_list.insert(relative, hashFile(absolute, relative));
        } else if (S_ISLNK(st.st_mode)) {
            m_list.insert(relative, hashLink(absolute, relative, st));
        } else {
            fail("unsupported entry: ", relative);
        }
    }

    const QByteArray m_root;
    const QList<QByteArray> &m_skipped;
    BundleFileList m_list;
};

} // namespace

BundleFileList scan(const QString &bundleDir, const QList<QByteArray> &skipped)
{
    const QByteArray root = QFile::encodeName(bundleDir);
    struct stat st {};
    if (::stat(root.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::string message = "the bundle folder does not exist: ";
        message += bundleDir.toStdString();
        throw std::runtime_error(message);
    }
    Walker walker(root, skipped);
    walker.walk({});
    return walker.takeList();
}

} // namespace BundleScanner
