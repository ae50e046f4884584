#pragma once

#include "TestPrograms.h"
#include "core/shell/Logger.h"
#include "core/updater/BundleSignature.h"
#include "support/DataRows.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QProcess>
#include <QtTest/QTest>

#include <sys/stat.h>
#include <unistd.h>

// Bundles, signed releases and the test signing key, for the update tests.
namespace UpdateTest {

// "text"_q: a QString literal for the tests (this build refuses implicit conversions).
inline QString operator""_q(const char *text, size_t size)
{
    return QString::fromUtf8(text, qsizetype(size));
}

using namespace TestSupport; // readFile, columns, row, fetch, SandboxProcess

inline const QString kBundleName = QStringLiteral("Vorlanta Creator.app");

// The test signing key (PEM), and its public half beside it.
inline const QString kKey =
    QString::fromUtf8(TestPrograms::kTestDataDir) + "/update-signing/test-key.pem"_q;
inline QByteArray testPublicKey()
{
    return BundleSignature::publicKeyFromHex(readFile(kKey.chopped(3) + "pub.hex"_q).trimmed());
}

inline QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

inline QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// Writes a file with exactly this mode, making its folders.
inline bool writeFile(const QString &path, const QByteArray &content, int mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                         file.write(content) == content.size();
    file.close();
    return written && ::chmod(native(path).constData(), mode_t(mode)) == 0;
}

inline bool makeLink(const QByteArray &target, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return ::symlink(target.constData(), native(path).constData()) == 0;
}

inline QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A bundle <parent>/<name>: bin/vorlanta-creator, Info.json with the version, a resource file
// and a link to it.
inline QString makeBundle(const QString &parent, const QString &version,
                          const QByteArray &executable)
{
    const QString bundle = QDir(parent).filePath(kBundleName);
    writeFile(bundle + "/bin/vorlanta-creator"_q, executable, 0755);
    writeFile(bundle + "/Info.json"_q,
              "{\"name\": \"Vorlanta Creator\", \"version\": \"" + version.toUtf8() + "\"}\n");
    writeFile(bundle + "/share/resources/readme.txt"_q, "resource " + version.toUtf8());
    makeLink("resources/readme.txt", bundle + "/share/readme-link.txt"_q);
    return bundle;
}

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};
// The release tool, with this temporary directory and PATH when given.
inline Run releaseTool(const QStringList &arguments, const QString &tmp, const QString &path = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TMPDIR"_q, tmp);
    environment.insert("PATH"_q, path.isEmpty() ? environment.value("PATH"_q) : path);
    QDir().mkpath(tmp);
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(QString::fromUtf8(TestPrograms::kRelease), arguments);
    const bool ended = tool.waitForFinished(120000) && tool.exitStatus() == QProcess::NormalExit;
    return {ended ? tool.exitCode() : -1, tool.readAllStandardOutput(),
            tool.readAllStandardError()};
}

// Packs and signs a release with the test key; the archive's path, empty when that failed.
inline QString packRelease(const QString &bundle, const QString &version, const QString &outDir,
                           const QString &name = "Vorlanta-Creator.tar.gz"_q)
{
    const Run packed =
        releaseTool({"--bundle"_q, bundle, "--version"_q, version, "--key"_q, kKey, "--out"_q,
                     outDir, "--base-url"_q, "http://127.0.0.1/r/"_q, "--filename"_q, name},
                    QDir::tempPath());
    return packed.exitCode == 0 ? QDir(outDir).filePath(name)
                                : (qWarning() << "release tool failed:" << packed.err, QString());
}

// Everything the logger kept in memory, once its queue has written it.
inline QString loggedText()
{
    Logger::flush();
    return Logger::joinedMemoryBuffer();
}

// chattr +i / -i: a path even root cannot remove or rename. False when not supported here.
inline bool setImmutable(const QString &path, bool on)
{
    return QProcess::execute("chattr"_q, {on ? "+i"_q : "-i"_q, path}) == 0;
}

} // namespace UpdateTest
