#include "core/updater/BundleSignature.h"

#include "core/shell/FileDescriptor.h"
#include "core/updater/BundleFileList.h"
#include "core/updater/BundleScanner.h"

#include <QtCore/QFile>
#include <QtCore/QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace BundleSignature {
namespace {

constexpr int kPublicKeyBytes = 32;
constexpr qsizetype kSignatureBytes = 64;
// Far above any real bundle's list; keeps a hostile one from exhausting memory.
constexpr qsizetype kMaxFileListBytes = qsizetype(64) << 20;
constexpr char kSignatureFolder[] = "signature";

struct KeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

struct ContextFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};

[[noreturn]] void fail(const std::string &message)
{
    ERR_clear_error();
    throw std::runtime_error(message);
}

// A passphrase prompt on the terminal would stall unattended signing: encrypted keys just fail.
int noPassphrase(char *, int, int, void *)
{
    return 0;
}

Key privateKeyFromPem(const QByteArray &pem)
{
    if (pem.trimmed().isEmpty()) {
        fail("the signing key is empty");
    }
    const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr) : nullptr);
    if (!key) {
        fail("the signing key is not an unencrypted private key in PEM");
    }
    if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
        fail("the signing key is not an Ed25519 key");
    }
    return key;
}

QByteArray signBytes(EVP_PKEY *key, const QByteArray &message)
{
    const Context context(EVP_MD_CTX_new());
    QByteArray signature(kSignatureBytes, '\0');
    size_t length = size_t(signature.size());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                       reinterpret_cast<const unsigned char *>(message.constData()),
                       size_t(message.size())) != 1 ||
        length != size_t(kSignatureBytes)) {
        fail("signing failed");
    }
    return signature;
}

bool signatureMatches(const QByteArray &publicKey, const QByteArray &message,
                      const QByteArray &signature)
{
    if (signature.size() != kSignatureBytes) {
        return false;
    }
    const Key key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()),
        size_t(publicKey.size())));
    const Context context(EVP_MD_CTX_new());
    const bool matches =
        key && context &&
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.data()),
                         size_t(signature.size()),
                         reinterpret_cast<const unsigned char *>(message.constData()),
                         size_t(message.size())) == 1;
    ERR_clear_error();
    return matches;
}

QByteArray nativePath(const QString &bundleDir, const char *relative)
{
    QByteArray path = QFile::encodeName(bundleDir);
    path += '/';
    path += relative;
    return path;
}

struct ReadResult {
    std::optional<QByteArray> data; // nothing: no such regular file
    int error = 0;                  // why it could not be read otherwise
};

// At most limit + 1 bytes: more cannot be genuine, and the signature check then fails. Links
// are not followed: the signature files are the bundle's own.
ReadResult readSmallFile(const QByteArray &path, qsizetype limit)
{
    const FileDescriptor file(
        ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        const bool absent = errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
        return {std::nullopt, absent ? 0 : errno};
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) {
        return {std::nullopt, errno};
    }
    if (!S_ISREG(st.st_mode)) {
        return {};
    }
    QByteArray data;
    char buffer[65536];
    while (data.size() <= limit) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return {std::nullopt, errno};
        }
        if (n == 0) {
            break;
        }
        data.append(buffer, std::min<qsizetype>(n, limit + 1 - data.size()));
    }
    return {data, 0};
}

// Removes what sits at the path so that writing never goes through a link.
void removeEntry(const QByteArray &path, const char *relative)
{
    if (::unlink(path.constData()) != 0 && errno != ENOENT) {
        std::string message = "cannot replace ";
        message += relative;
        message += " (";
        message += std::strerror(errno);
        message += ')';
        fail(message);
    }
}

void writeFile(const QString &bundleDir, const char *relative, const QByteArray &data)
{
    const QByteArray path = nativePath(bundleDir, relative);
    removeEntry(path, relative);
    QSaveFile file(QFile::decodeName(path));
    // Unbuffered, so that a failed write is seen before commit() renames the file into place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        file.write(data) != data.size() || !file.commit()) {
        std::string message = "cannot write ";
        message += relative;
        message += " (";
        message += file.errorString().toStdString();
        message += ')';
        fail(message);
    }
}

void prepareSignatureFolder(const QString &bundleDir)
{
    const QByteArray path = nativePath(bundleDir, kSignatureFolder);
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            fail("unsupported entry: signature (it must be a folder)");
        }
        return;
    }
    if (errno != ENOENT || ::mkdir(path.constData(), 0755) != 0) {
        std::string message = "cannot create the signature folder (";
        message += std::strerror(errno);
        message += ')';
        fail(message);
    }
}

QString unreadable(const char *relative, int error)
{
    return QStringLiteral("cannot read %1 (%2)")
        .arg(QString::fromLatin1(relative), QString::fromLocal8Bit(std::strerror(error)));
}

} // namespace

void sign(const QString &bundleDir, const QByteArray &privateKeyPem)
{
    const Key key = privateKeyFromPem(privateKeyPem);
    const QByteArray text =
        BundleScanner::scan(bundleDir, {QByteArray(kFileListPath), QByteArray(kSignaturePath)})
            .text();
    const QByteArray signature = signBytes(key.get(), text);
    prepareSignatureFolder(bundleDir);
    writeFile(bundleDir, kFileListPath, text);
    writeFile(bundleDir, kSignaturePath, signature);
}

QString verify(const QString &bundleDir, const QByteArray &publicKey)
{
    if (publicKey.isEmpty()) {
        return QStringLiteral("no update signing key in this build");
    }
    if (publicKey.size() != kPublicKeyBytes) {
        return QStringLiteral("the update signing key in this build is not valid");
    }
    const ReadResult list = readSmallFile(nativePath(bundleDir, kFileListPath), kMaxFileListBytes);
    const ReadResult signature =
        readSmallFile(nativePath(bundleDir, kSignaturePath), kSignatureBytes);
    if (list.error != 0) {
        return unreadable(kFileListPath, list.error);
    }
    if (signature.error != 0) {
        return unreadable(kSignaturePath, signature.error);
    }
    if (!list.data || !signature.data) {
        return QStringLiteral("the bundle is not signed");
    }
    // Nothing in the list counts before the signature over its exact bytes holds.
    if (!signatureMatches(publicKey, *list.data, *signature.data)) {
        return QStringLiteral("the signature does not match the bundle's file list");
    }
    const std::optional<BundleFileList> expected = BundleFileList::parse(*list.data);
    if (!expected) {
        return QStringLiteral("the bundle's file list is unreadable");
    }
    try {
        const BundleFileList actual =
            BundleScanner::scan(bundleDir, {QByteArray(kFileListPath), QByteArray(kSignaturePath)});
        return expected->differenceTo(actual);
    } catch (const std::runtime_error &error) {
        return QString::fromUtf8(error.what());
    }
}

QByteArray publicKeyFromHex(const QByteArray &hex)
{
    if (hex.size() != 2 * kPublicKeyBytes) {
        return {};
    }
    for (const char c : hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            return {}; // fromHex would skip such characters silently
        }
    }
    return QByteArray::fromHex(hex);
}

} // namespace BundleSignature
