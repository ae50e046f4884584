#include "ReleasePacker.h"

#include "BundleStager.h"
#include "ReleaseError.h"
#include "core/queue/FileCopier.h"
#include "core/updater/BundleSignature.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QSaveFile>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTemporaryFile>
#include <QtCore/QUrl>

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>

namespace {

using OrderedJson = nlohmann::ordered_json;

const QString kBundleName = QStringLiteral("Vorlanta Creator.app");
const QString kExecutable = QStringLiteral("bin/vorlanta-creator");
const QString kInfoFile = QStringLiteral("Info.json");
const QString kManifestFile = QStringLiteral("version-linux");
constexpr int kPollMs = 200;
constexpr qint64 kMaxKeyBytes = 64 * 1024;
constexpr int kEtagHexDigits = 32;

// Info.json of the source bundle: an object, or nothing when the bundle has none.
std::optional<OrderedJson> readInfo(const QString &bundleDir)
{
    const QFileInfo info(bundleDir + QLatin1Char('/') + kInfoFile);
    if (!info.exists() && !info.isSymLink()) {
        return std::nullopt;
    }
    // Written in place later: a link could point out of the staging copy.
    if (info.isSymLink() || !info.isFile()) {
        throw ReleaseError::refused(QStringLiteral("Info.json in the bundle is not a plain file"));
    }
    QFile file(info.filePath());
    if (!file.open(QIODevice::ReadOnly)) {
        throw ReleaseError::refused(QStringLiteral("cannot read Info.json in the bundle: ") +
                                    file.errorString());
    }
    OrderedJson json = OrderedJson::parse(file.readAll().toStdString(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        throw ReleaseError::refused(QStringLiteral("Info.json in the bundle is not a JSON object"));
    }
    return json;
}

} // namespace

ReleasePacker::ReleasePacker(ReleaseOptions options, const std::atomic_bool *interrupted)
    : m_options(std::move(options)), m_interrupted(interrupted)
{}

QByteArray ReleasePacker::run()
{
    // Every refusal comes before the first write.
    checkBundle();
    const QByteArray key = readKey();
    const QString outDir = prepareOutDir();
    const QString archivePath = outDir + QLatin1Char('/') + m_options.fileName;

    QTemporaryDir staging(QDir::tempPath() + QStringLiteral("/vorlanta-release-XXXXXX"));
    if (!staging.isValid()) {
        throw ReleaseError::failed(QStringLiteral("cannot create a staging folder: ") +
                                   staging.errorString());
    }
    const QString stagedBundle = staging.filePath(kBundleName);
    BundleStager::copy(m_options.bundleDir, stagedBundle, m_interrupted);
    throwIfInterrupted();
    writeVersion(stagedBundle);
    try {
        BundleSignature::sign(stagedBundle, key);
    } catch (const std::runtime_error &error) {
        throw ReleaseError::refused(QStringLiteral("cannot sign the bundle: ") +
                                    QString::fromUtf8(error.what()));
    }
    throwIfInterrupted();

    // Packed under a hidden name and moved into place whole.
    QTemporaryFile partial(outDir + QStringLiteral("/.") + m_options.fileName +
                           QStringLiteral(".partial-XXXXXX"));
    if (!partial.open()) {
        throw ReleaseError::failed(QStringLiteral("cannot write into ") + outDir +
                                   QStringLiteral(": ") + partial.errorString());
    }
    partial.close();
    pack(staging.path(), partial.fileName());
    // The temporary file was made private; the archive is for publishing, like version-linux.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::chmod(QFile::encodeName(partial.fileName()).constData(), 0666 & ~mask) != 0) {
        throw ReleaseError::failed(QStringLiteral("cannot set the mode of the archive"));
    }
    const Archive archive = measure(partial.fileName());
    const FileCopier::Result moved =
        FileCopier::moveWithoutReplacing(partial.fileName(), archivePath);
    if (!moved.ok) {
        throw ReleaseError::failed(QStringLiteral("cannot create ") + archivePath +
                                   QStringLiteral(": ") + moved.errorDescription);
    }
    partial.setAutoRemove(false);

    const QByteArray text = manifest(archive);
    QSaveFile manifestFile(outDir + QLatin1Char('/') + kManifestFile);
    if (!manifestFile.open(QIODevice::WriteOnly) || manifestFile.write(text) != text.size() ||
        !manifestFile.commit()) {
        throw ReleaseError::failed(QStringLiteral("cannot write ") + manifestFile.fileName() +
                                   QStringLiteral(": ") + manifestFile.errorString());
    }
    return text;
}

void ReleasePacker::checkBundle() const
{
    if (!QFileInfo(m_options.bundleDir).isDir()) {
        throw ReleaseError::refused(QStringLiteral("--bundle is not a folder: ") +
                                    m_options.bundleDir);
    }
    const QFileInfo executable(m_options.bundleDir + QLatin1Char('/') + kExecutable);
    if (!executable.isFile()) {
        throw ReleaseError::refused(QStringLiteral("the bundle has no ") + kExecutable);
    }
    if (!executable.isExecutable()) {
        throw ReleaseError::refused(kExecutable +
                                    QStringLiteral(" in the bundle is not executable"));
    }
    readInfo(m_options.bundleDir);
}

QByteArray ReleasePacker::readKey() const
{
    QFile file(m_options.keyPath);
    if (QFileInfo(m_options.keyPath).isDir()) {
        throw ReleaseError::refused(QStringLiteral("the key ") + m_options.keyPath +
                                    QStringLiteral(" is a folder"));
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw ReleaseError::refused(QStringLiteral("cannot read the key ") + m_options.keyPath +
                                    QStringLiteral(": ") + file.errorString());
    }
    const QByteArray key = file.read(kMaxKeyBytes + 1);
    if (key.trimmed().isEmpty() || key.size() > kMaxKeyBytes) {
        throw ReleaseError::refused(QStringLiteral("the key ") + m_options.keyPath +
                                    QStringLiteral(" is not a PEM private key"));
    }
    return key;
}

QString ReleasePacker::prepareOutDir() const
{
    const QFileInfo out(m_options.outDir);
    if (out.exists() && !out.isDir()) {
        throw ReleaseError::refused(QStringLiteral("--out is not a folder: ") + m_options.outDir);
    }
    if (!QDir().mkpath(m_options.outDir)) {
        throw ReleaseError::refused(QStringLiteral("cannot create the folder ") + m_options.outDir);
    }
    const QString outDir = QFileInfo(m_options.outDir).absoluteFilePath();
    const QFileInfo archive(outDir + QLatin1Char('/') + m_options.fileName);
    if (archive.exists() || archive.isSymLink()) {
        throw ReleaseError::refused(archive.filePath() +
                                    QStringLiteral(" already exists; it is never replaced"));
    }
    return outDir;
}

void ReleasePacker::writeVersion(const QString &stagedBundle) const
{
    OrderedJson info = readInfo(stagedBundle).value_or(OrderedJson::object());
    info["version"] = m_options.version.toStdString();
    const QByteArray text = QByteArray::fromStdString(info.dump(4)) + '\n';
    const QString path = stagedBundle + QLatin1Char('/') + kInfoFile;
    const bool existed = QFileInfo::exists(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        throw ReleaseError::failed(QStringLiteral("cannot write Info.json: ") + file.errorString());
    }
    if (!existed) {
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                        QFile::ReadOther);
    }
}

void ReleasePacker::pack(const QString &stagingParent, const QString &archivePath) const
{
    QProcess tar;
    tar.setProgram(QStringLiteral("tar"));
    // Sorted names, fixed owners and one time stamp: equal input packs to an equal archive.
    tar.setArguments({QStringLiteral("--sort=name"), QStringLiteral("--owner=0"),
                      QStringLiteral("--group=0"), QStringLiteral("--numeric-owner"),
                      QStringLiteral("--mtime=@%1").arg(m_options.lastModified.toSecsSinceEpoch()),
                      QStringLiteral("-czf"), archivePath, QStringLiteral("-C"), stagingParent,
                      kBundleName});
    tar.setProcessChannelMode(QProcess::MergedChannels);
    tar.start();
    if (!tar.waitForStarted(-1)) {
        throw ReleaseError::failed(QStringLiteral("cannot run tar: ") + tar.errorString());
    }
    while (!tar.waitForFinished(kPollMs)) {
        if (tar.state() == QProcess::NotRunning) {
            break;
        }
        if (m_interrupted && m_interrupted->load()) {
            tar.kill();
            tar.waitForFinished(-1);
            throw ReleaseError::failed(QStringLiteral("interrupted"));
        }
    }
    if (tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0) {
        throw ReleaseError::failed(QStringLiteral("tar failed: ") +
                                   QString::fromLocal8Bit(tar.readAll()).trimmed());
    }
}

ReleasePacker::Archive ReleasePacker::measure(const QString &archivePath) const
{
    QFile file(archivePath);
    QCryptographicHash sha(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !sha.addData(&file)) {
        throw ReleaseError::failed(QStringLiteral("cannot read the archive: ") +
                                   file.errorString());
    }
    return {sha.result().toHex(), file.size()};
}

QByteArray ReleasePacker::manifest(const Archive &archive) const
{
    const QByteArray url = m_options.baseUrl.toUtf8() + QUrl::toPercentEncoding(m_options.fileName);
    OrderedJson json;
    json["version"] = m_options.version.toStdString();
    json["download_url"] = url.toStdString();
    json["sha256"] = archive.sha256Hex.toStdString();
    json["size"] = archive.size;
    json["filename"] = m_options.fileName.toStdString();
    json["last_modified"] =
        m_options.lastModified.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")).toStdString();
    std::string etag = "\"";
    etag += archive.sha256Hex.left(kEtagHexDigits).toStdString();
    etag += '"';
    json["etag"] = etag;
    return QByteArray::fromStdString(json.dump(2)) + '\n';
}

void ReleasePacker::throwIfInterrupted() const
{
    if (m_interrupted && m_interrupted->load()) {
        throw ReleaseError::failed(QStringLiteral("interrupted"));
    }
}
