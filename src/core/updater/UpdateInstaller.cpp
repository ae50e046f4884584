#include "core/updater/UpdateInstaller.h"

#include "core/api/HttpTransport.h"
#include "core/queue/FileCopier.h"
#include "core/shell/Logger.h"
#include "core/updater/BundleSignature.h"
#include "core/updater/InstallerScript.h"
#include "core/updater/UpdaterError.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDir>
#include <QtCore/QDirIterator>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QStandardPaths>
#include <QtCore/QUuid>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Only a stalled download fails: on a slow link a release may take longer than any fixed cap.
constexpr std::chrono::seconds kRequestTimeout{60};

[[noreturn]] void failWith(const QString &description)
{
    throw std::runtime_error(description.toStdString());
}

QString freshUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

struct ProcessRun {
    int exitCode = 0;
    QByteArray output;
};

// Starts the program directly (no shell) and waits for it; throws when it cannot start.
ProcessRun runProcess(const QString &program, const QStringList &arguments, bool mergeOutput,
                      const QString &workingDirectory = QString(), const QString &input = QString())
{
    const QString path =
        program.startsWith(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    if (path.isEmpty()) {
        failWith(QStringLiteral("The program \"") + program +
                 QStringLiteral("\" could not be started: not found"));
    }
    QProcess process;
    process.setProcessChannelMode(mergeOutput ? QProcess::MergedChannels
                                              : QProcess::SeparateChannels);
    process.setStandardInputFile(input.isEmpty() ? QProcess::nullDevice() : input);
    if (!workingDirectory.isEmpty()) {
        process.setWorkingDirectory(workingDirectory);
    }
    process.start(path, arguments);
    if (!process.waitForStarted(-1)) {
        failWith(QStringLiteral("The program \"") + path +
                 QStringLiteral("\" could not be started: ") + process.errorString());
    }
    process.waitForFinished(-1);
    ProcessRun run;
    run.output = process.readAllStandardOutput();
    if (!mergeOutput) {
        run.output = process.readAllStandardError();
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

QString utf8OrEmpty(const QByteArray &bytes, const QString &fallback)
{
    const QString text = QString::fromUtf8(bytes);
    return text.toUtf8() == bytes ? text : fallback;
}

// Copies a bundle with its links as links; the copy is the user's to replace later, so every
// file and folder in it is writable by its owner.
void copyBundle(const QString &source, const QString &destination)
{
    const FileCopier::Result copied = FileCopier::copyRecursively(source, destination);
    if (!copied.ok) {
        failWith(QStringLiteral("Could not copy ") + source + QStringLiteral(" to ") + destination +
                 QStringLiteral(": ") + copied.errorDescription);
    }
    const auto makeWritable = [](const QString &path) {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            ::chmod(QFile::encodeName(path).constData(), (st.st_mode & 07777) | S_IWUSR);
        }
    };
    makeWritable(destination);
    QDirIterator entries(destination,
                         QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        makeWritable(entries.next());
    }
}

void removeQuietly(const QString &path)
{
    if (path.isEmpty()) {
        return;
    }
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        QDir(path).removeRecursively();
    } else {
        QFile::remove(path);
    }
}

} // namespace

UpdateInstaller::UpdateInstaller(Setup setup) : m_setup(std::move(setup)) {}

QString UpdateInstaller::logFilePath() const
{
    return QDir(m_setup.temporaryDirectory).filePath(QStringLiteral("vorlanta-updater.log"));
}

void UpdateInstaller::install(const ReleaseManifest &manifest,
                              const std::function<void()> &terminate)
{
    const QString image = downloadDMG(manifest);
    QString extracted;
    // Clean-up on every exit after the download, also when terminating.
    struct CleanUp {
        const QString &image;
        const QString &extracted;
        ~CleanUp()
        {
            removeQuietly(image);
            if (!extracted.isEmpty()) {
                removeQuietly(QFileInfo(extracted).absolutePath());
            }
        }
    } cleanUp{image, extracted};

    // 1.
    Logger::info(QStringLiteral("[Updater] Verifying DMG integrity"));
    verifyArchive(image, manifest);
    // 2.
    Logger::info(QStringLiteral("[Updater] Mounting DMG and extracting app"));
    extracted = mountAndExtractFromDMG(image);
    // 3.
    Logger::info(QStringLiteral("[Updater] Clearing quarantine attribute"));
    clearQuarantine(extracted);
    // 4.
    Logger::info(QStringLiteral("[Updater] Verifying code signature of downloaded app"));
    verifyCodeSignature(extracted);
    // 5.
    Logger::info(QStringLiteral("[Updater] Staging new build"));
    const QString staged = stageApp(extracted);
    // 6.
    UpdateMetadata metadata;
    metadata.etag = manifest.etag;
    metadata.lastModified = manifest.lastModified;
    metadata.version = manifest.version;
    UpdateMetadata::store(metadata);
    // 7.
    Logger::info(
        QStringLiteral("[Updater] Launching installer script and terminating current app"));
    launchInstallerScript(staged);
    // 8.
    if (terminate) {
        terminate();
    }
}

QString UpdateInstaller::downloadDMG(const ReleaseManifest &manifest)
{
    // Only the last path component names the file: "../" must not lead out of the directory.
    const QString name = manifest.filename.section(QLatin1Char('/'), -1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.contains(QChar(u'\0'))) {
        throw UpdaterError::unsafeFileName(manifest.filename);
    }
    const QDir temporary(m_setup.temporaryDirectory);
    // 1.
    const QString partial = temporary.filePath(QStringLiteral(".vorlanta-download-") + freshUuid());
    HttpRequest request;
    request.url = manifest.downloadURL;
    request.timeout = kRequestTimeout;
    request.responseFile = partial;
    HttpResponse response;
    try {
        response = HttpTransport::sendBlocking(request);
    } catch (...) {
        QFile::remove(partial);
        throw;
    }
    // 2.
    if (response.statusCode != 200) {
        QFile::remove(partial);
        throw UpdaterError::badStatus(response.statusCode);
    }
    // 3.
    const QString destination = temporary.filePath(freshUuid() + QLatin1Char('-') + name);
    removeQuietly(destination);
    if (::rename(QFile::encodeName(partial).constData(),
                 QFile::encodeName(destination).constData()) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(partial);
        failWith(QStringLiteral("Could not move the download to ") + destination +
                 QStringLiteral(": ") + reason);
    }
    // 4.
    return destination;
}

void UpdateInstaller::verifyArchive(const QString &imagePath, const ReleaseManifest &manifest)
{
    // Streamed: the digest is the same without holding the whole archive in memory.
    QFile image(imagePath);
    if (!image.open(QIODevice::ReadOnly)) {
        failWith(QStringLiteral("Could not read ") + imagePath + QStringLiteral(": ") +
                 image.errorString());
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&image) || image.error() != QFileDevice::NoError) {
        failWith(QStringLiteral("Could not read ") + imagePath + QStringLiteral(": ") +
                 image.errorString());
    }
    const QString digest = QString::fromLatin1(hash.result().toHex());
    if (digest != manifest.sha256.toLower()) {
        throw UpdaterError::integrityMismatch();
    }
}

QString UpdateInstaller::mountAndExtractFromDMG(const QString &imagePath)
{
    const QDir temporary(m_setup.temporaryDirectory);
    // 1.
    const QString mountPoint = temporary.filePath(QStringLiteral("vorlanta-dmg-") + freshUuid());
    if (!QDir().mkpath(mountPoint)) {
        failWith(QStringLiteral("Could not create ") + mountPoint);
    }
    // 2. Attaching: the archive is unpacked into the mount point, which is then made read-only.
    const auto attachStep = [&](const QString &program, const QStringList &arguments,
                                const QString &input) {
        const ProcessRun run = runProcess(program, arguments, true, mountPoint, input);
        if (run.exitCode != 0) {
            Logger::error(QStringLiteral("[Updater] Failed to mount DMG: ") +
                          utf8OrEmpty(run.output, QString()));
            // Unlike a failed attach, a failed unpack leaves a folder (maybe half full) behind.
            unmountDMG(mountPoint);
            throw UpdaterError::dmgMountFailed(run.exitCode);
        }
    };
    // tar reads escapes in path arguments, so the paths travel as the working directory and
    // standard input instead.
    attachStep(QStringLiteral("tar"),
               {QStringLiteral("--extract"), QStringLiteral("--gzip"), QStringLiteral("--file=-"),
                QStringLiteral("--preserve-permissions"), QStringLiteral("--no-same-owner")},
               imagePath);
    attachStep(QStringLiteral("chmod"),
               {QStringLiteral("-R"), QStringLiteral("a-w"), QStringLiteral(".")}, QString());
    // 3. The first ".app" item, in name order so the choice does not depend on the file system.
    QDir mounted(mountPoint);
    if (!mounted.exists()) {
        failWith(QStringLiteral("Could not list ") + mountPoint);
    }
    const QFileInfoList entries = mounted.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    QString app;
    for (const QFileInfo &entry : entries) {
        if (entry.suffix() == QLatin1String("app") && entry.fileName() != QLatin1String(".app")) {
            app = entry.absoluteFilePath();
            break;
        }
    }
    if (app.isEmpty()) {
        unmountDMG(mountPoint);
        throw UpdaterError::unexpectedArchiveContents();
    }
    // 4.
    const QString extractionFolder =
        temporary.filePath(QStringLiteral("vorlanta-extracted-") + freshUuid());
    const QString copy = QDir(extractionFolder).filePath(QFileInfo(app).fileName());
    try {
        if (!QDir().mkpath(extractionFolder)) {
            failWith(QStringLiteral("Could not create ") + extractionFolder);
        }
        copyBundle(app, copy);
    } catch (...) {
        unmountDMG(mountPoint);
        removeQuietly(extractionFolder);
        throw;
    }
    // 5.
    Logger::info(QStringLiteral("[Updater] Extracted app to: ") + copy);
    // 6.
    unmountDMG(mountPoint);
    removeQuietly(mountPoint);
    return copy;
}

void UpdateInstaller::unmountDMG(const QString &mountPoint)
{
    // Detaching: the read-only tree is made writable again and removed.
    try {
        for (const auto &[program, arguments] :
             {std::pair{QStringLiteral("chmod"),
                        QStringList{QStringLiteral("-R"), QStringLiteral("u+w"), mountPoint}},
              std::pair{QStringLiteral("rm"), QStringList{QStringLiteral("-rf"), mountPoint}}}) {
            const ProcessRun run = runProcess(program, arguments, false);
            if (run.exitCode != 0) {
                Logger::warn(QStringLiteral("[Updater] Failed to unmount DMG at ") + mountPoint +
                             QStringLiteral(", status: ") + QString::number(run.exitCode));
                return;
            }
        }
    } catch (const std::exception &error) {
        Logger::warn(QStringLiteral("[Updater] Failed to run hdiutil detach: ") +
                     QString::fromUtf8(error.what()));
    }
}

void UpdateInstaller::clearQuarantine(const QString &)
{
    // Downloads carry no quarantine mark on Linux.
}

void UpdateInstaller::verifyCodeSignature(const QString &appPath)
{
    const QString reason = BundleSignature::verify(appPath, m_setup.publicKey);
    if (reason.isEmpty()) {
        Logger::info(QStringLiteral("[Updater] Code signature verified successfully"));
        return;
    }
    Logger::error(QStringLiteral("[Updater] Code signature verification failed: ") + reason);
    throw UpdaterError::codeSignatureInvalid(reason.trimmed());
}

QString UpdateInstaller::stageApp(const QString &appPath)
{
    // 1.
    const QFileInfo bundle(m_setup.bundlePath);
    const QString folder = bundle.absolutePath();
    // 2.
    if (::access(QFile::encodeName(folder).constData(), W_OK) != 0) {
        throw UpdaterError::installLocationNotWritable();
    }
    // 3.
    const QString staged = QDir(folder).filePath(bundle.fileName() + QStringLiteral(".update"));
    // 4.
    const QFileInfo existing(staged);
    if (existing.exists() || existing.isSymLink()) {
        const bool removed = existing.isDir() && !existing.isSymLink()
                                 ? QDir(staged).removeRecursively()
                                 : QFile::remove(staged);
        if (!removed) {
            failWith(QStringLiteral("Could not remove the earlier staged build at ") + staged);
        }
    }
    // 5.
    copyBundle(appPath, staged);
    return staged;
}

void UpdateInstaller::launchInstallerScript(const QString &stagedAppPath)
{
    // 1.
    const QString script =
        QDir(m_setup.temporaryDirectory)
            .filePath(QStringLiteral("vorlanta-updater-") + freshUuid() + QStringLiteral(".sh"));
    const QString text = InstallerScript::compose(logFilePath(), m_setup.downloadSite);
    // 2.
    const FileCopier::Result written = FileCopier::writeTextAtomically(script, text);
    if (!written.ok) {
        failWith(QStringLiteral("Could not write ") + script + QStringLiteral(": ") +
                 written.errorDescription);
    }
    if (::chmod(QFile::encodeName(script).constData(), 0755) != 0) {
        failWith(QStringLiteral("Could not make ") + script + QStringLiteral(" executable: ") +
                 QString::fromLocal8Bit(std::strerror(errno)));
    }
    // 3.
    QProcess installer;
    installer.setProgram(QStringLiteral("/bin/bash"));
    installer.setArguments(
        {script, m_setup.bundlePath, stagedAppPath, QString::number(m_setup.processId)});
    installer.setStandardInputFile(QProcess::nullDevice());
    installer.setStandardOutputFile(QProcess::nullDevice());
    installer.setStandardErrorFile(QProcess::nullDevice());
    if (!installer.startDetached()) {
        failWith(QStringLiteral("The installer script could not be started: ") +
                 installer.errorString());
    }
}
