#include "TestPrograms.h"
#include "core/updater/BundleSignature.h"
#include "support/BundleTestFiles.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>

#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace BundleTestFiles;

namespace {

const QString kBundleName = QStringLiteral("Vorlanta Creator.app");
const QString kFileList = QString::fromLatin1(BundleSignature::kFileListPath);
const QString kSignature = QString::fromLatin1(BundleSignature::kSignaturePath);
const QString kMismatch = QStringLiteral("the signature does not match the bundle's file list");
const QString kNotSigned = QStringLiteral("the bundle is not signed");
const QString kUnreadable = QStringLiteral("the bundle's file list is unreadable");

QByteArray testPrivateKey()
{
    return TestSupport::readFile(keyFile("test-key.pem"));
}

// Spans several read chunks, so a digest over the first chunk only would not match.
QByteArray largeContent()
{
    QByteArray content;
    content.reserve(3 * 1024 * 1024 + 17);
    quint32 state = 12345;
    while (content.size() < 3 * 1024 * 1024 + 17) {
        state = state * 1103515245u + 12345u;
        content += char(state >> 24);
    }
    return content;
}

struct Run {
    int exitCode = -1;
    QByteArray output;
};

Run run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(-1)) {
        return {-1, process.errorString().toUtf8()};
    }
    process.waitForFinished(-1);
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return {code, process.readAll()};
}

Run openssl(const QStringList &arguments)
{
    return run(QStringLiteral("openssl"), arguments);
}

struct KeyPair {
    QByteArray privatePem;
    QByteArray publicKey; // 32 raw bytes
};

// The raw public key of a PEM private key, as OpenSSL itself derives it.
QByteArray publicKeyOf(const QString &privatePemPath)
{
    const QString der = privatePemPath + QStringLiteral(".pub.der");
    const Run derived = openssl({QStringLiteral("pkey"), QStringLiteral("-in"), privatePemPath,
                                 QStringLiteral("-pubout"), QStringLiteral("-outform"),
                                 QStringLiteral("DER"), QStringLiteral("-out"), der});
    return derived.exitCode == 0 ? TestSupport::readFile(der).right(32) : QByteArray();
}

KeyPair generateKeyPair(const QString &path, const QStringList &extraArguments = {})
{
    const Run generated =
        openssl(QStringList{QStringLiteral("genpkey"), QStringLiteral("-algorithm"),
                            QStringLiteral("ed25519"), QStringLiteral("-out"), path} +
                extraArguments);
    if (generated.exitCode != 0) {
        qWarning("openssl genpkey: %s", generated.output.constData());
        return {};
    }
    return {TestSupport::readFile(path),
            extraArguments.isEmpty() ? publicKeyOf(path) : QByteArray()};
}

// Signs arbitrary bytes as the signature file, with OpenSSL's own Ed25519.
bool signWithOpenSsl(const QString &bundle, const QByteArray &list, const QString &keyPath)
{
    writeFile(bundle + QLatin1Char('/') + kFileList, list);
    const Run signing = openssl({QStringLiteral("pkeyutl"), QStringLiteral("-sign"),
                                 QStringLiteral("-inkey"), keyPath, QStringLiteral("-rawin"),
                                 QStringLiteral("-in"), bundle + QLatin1Char('/') + kFileList,
                                 QStringLiteral("-out"), bundle + QLatin1Char('/') + kSignature});
    if (signing.exitCode != 0) {
        qWarning("openssl pkeyutl: %s", signing.output.constData());
    }
    return signing.exitCode == 0;
}

QString signFailure(const QString &bundle, const QByteArray &pem)
{
    try {
        BundleSignature::sign(bundle, pem);
    } catch (const std::runtime_error &error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}

bool existsNoFollow(const QString &path)
{
    struct stat st {};
    return ::lstat(native(path).constData(), &st) == 0;
}

enum class Change {
    contentSameSize,
    executableBitRemoved,
    groupWriteAdded,
    fileRemoved,
    fileAdded,
    fileAddedInNewFolder,
    hiddenFileAdded,
    fileAddedBesideSignature,
    emptyFolderAdded,
    fileRenamed,
    linkRetargeted,
    linkReplacedByCopyOfTarget,
    linkReplacedByFileOfSameDigest,
    fileReplacedByLink,
    listDigestEdited,
    listLineAndFileRemoved,
    listRemoved,
    listReplacedByLink,
    signatureRemoved,
    signatureByteFlipped,
    signatureTruncated,
    signatureExtended,
    signedWithOtherKey,
    verifiedWithOtherKey,
    emptyKey,
    shortKey,
    fifoAdded,
};

enum class BadKey { empty, garbage, publicKeyPem, ecKey, encrypted, truncated };

enum class Unsupported { fifo, socket, newline, carriageReturn, tab, del, c1Control, invalidUtf8 };

} // namespace

class TestBundleSignature : public QObject {
    Q_OBJECT
private:
    QString m_dir;
    QString m_bundle;
    KeyPair m_otherKey;
    QString m_otherKeyPath;
    QString m_testKeyPath;

    QString path(const QString &relative) const { return m_bundle + QLatin1Char('/') + relative; }

    void makeBundle()
    {
        writeFile(path(QStringLiteral("Info.json")), R"({"name": "Vorlanta Creator"})");
        writeFile(path(QStringLiteral("bin/vorlanta-creator")), "#!/bin/sh\necho creator\n", 0755);
        makeLink("vorlanta-creator", path(QStringLiteral("bin/run")));
        writeFile(path(QStringLiteral("lib/libcore.so.1")), largeContent());
        makeLink("libcore.so.1", path(QStringLiteral("lib/libcore.so")));
        writeFile(path(QStringLiteral("share/read me.txt")), "hello\n");
        writeFile(path(QStringLiteral("share/empty")), "", 0600);
        writeFile(path(QStringLiteral("share/a-b")), "x", 0644);
        writeFile(path(QString::fromUtf8("share/\xc3\xa4-notes.txt")), "umlaut", 0640);
        QDir().mkpath(path(QStringLiteral("plugins")));
    }

    // The file list of makeBundle(), built line by line, in byte order.
    QByteArray expectedList() const
    {
        const QByteArray notes = "umlaut";
        return "f 0444 " + sha256Hex(R"({"name": "Vorlanta Creator"})") + " Info.json\n" +
               "l 0555 " + sha256Hex("vorlanta-creator") + " bin/run\n" + "f 0555 " +
               sha256Hex("#!/bin/sh\necho creator\n") + " bin/vorlanta-creator\n" + "l 0555 " +
               sha256Hex("libcore.so.1") + " lib/libcore.so\n" + "f 0444 " +
               sha256Hex(largeContent()) + " lib/libcore.so.1\n" + "f 0444 " + sha256Hex("x") +
               " share/a-b\n" + "f 0400 " + sha256Hex("") + " share/empty\n" + "f 0444 " +
               sha256Hex("hello\n") + " share/read me.txt\n" + "f 0440 " + sha256Hex(notes) +
               " share/\xc3\xa4-notes.txt\n";
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_testKeyPath = keyFile("test-key.pem");
        QCOMPARE(testPublicKey().size(), 32);
        m_otherKeyPath = TestSupport::root() + QStringLiteral("/other-key.pem");
        m_otherKey = generateKeyPair(m_otherKeyPath);
        QCOMPARE(m_otherKey.publicKey.size(), 32);
    }

    void init()
    {
        m_dir = TestSupport::root() + QStringLiteral("/signature");
        QDir(m_dir).removeRecursively();
        m_bundle = m_dir + QLatin1Char('/') + kBundleName;
        makeBundle();
    }

    void testPublicKeyBelongsToTestPrivateKey()
    {
        QCOMPARE(publicKeyOf(m_testKeyPath), testPublicKey());
    }

    void listsEveryFileWithItsDigestAndMode()
    {
        BundleSignature::sign(m_bundle, testPrivateKey());
        QCOMPARE(TestSupport::readFile(path(kFileList)), expectedList());
        QCOMPARE(TestSupport::readFile(path(kSignature)).size(), 64);
        QCOMPARE(BundleSignature::verify(m_bundle, testPublicKey()), QString());
    }

    // Anyone holding the public key can check a release with stock OpenSSL.
    void signatureIsPlainEd25519OverTheList()
    {
        BundleSignature::sign(m_bundle, testPrivateKey());
        const QString publicPem = m_dir + QStringLiteral("/public.pem");
        QCOMPARE(openssl({QStringLiteral("pkey"), QStringLiteral("-in"), m_testKeyPath,
                          QStringLiteral("-pubout"), QStringLiteral("-out"), publicPem})
                     .exitCode,
                 0);
        const Run checked = openssl(
            {QStringLiteral("pkeyutl"), QStringLiteral("-verify"), QStringLiteral("-pubin"),
             QStringLiteral("-inkey"), publicPem, QStringLiteral("-rawin"), QStringLiteral("-in"),
             path(kFileList), QStringLiteral("-sigfile"), path(kSignature)});
        QVERIFY2(checked.exitCode == 0, checked.output.constData());
    }

    void detectsEveryChange_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *name, Change change, const QString &reason) {
            QTest::newRow(name) << int(change) << reason;
        };
        row("content changed, same size", Change::contentSameSize,
            QStringLiteral("file changed: lib/libcore.so.1"));
        row("executable bit removed", Change::executableBitRemoved,
            QStringLiteral("file changed: bin/vorlanta-creator"));
        // Write bits are not signed: installing makes the bundle writable by its owner.
        row("group write added", Change::groupWriteAdded, QString());
        row("file removed", Change::fileRemoved, QStringLiteral("file missing: share/read me.txt"));
        row("file added", Change::fileAdded, QStringLiteral("unexpected file: bin/helper"));
        row("file added in a new folder", Change::fileAddedInNewFolder,
            QStringLiteral("unexpected file: plugins/extra/libx.so"));
        row("hidden file added", Change::hiddenFileAdded,
            QStringLiteral("unexpected file: bin/.hidden"));
        row("file added beside the signature", Change::fileAddedBesideSignature,
            QStringLiteral("unexpected file: signature/extra"));
        row("empty folder added", Change::emptyFolderAdded, QString());
        row("file renamed", Change::fileRenamed, QStringLiteral("file missing: share/a-b"));
        row("link retargeted", Change::linkRetargeted,
            QStringLiteral("file changed: lib/libcore.so"));
        row("link replaced by a copy of its target", Change::linkReplacedByCopyOfTarget,
            QStringLiteral("file changed: lib/libcore.so"));
        row("link replaced by a file of equal digest and mode",
            Change::linkReplacedByFileOfSameDigest, QStringLiteral("file changed: lib/libcore.so"));
        row("file replaced by a link", Change::fileReplacedByLink,
            QStringLiteral("file changed: share/read me.txt"));
        row("digest edited in the list", Change::listDigestEdited, kMismatch);
        row("line and file removed", Change::listLineAndFileRemoved, kMismatch);
        row("list removed", Change::listRemoved, kNotSigned);
        row("list replaced by a link to a copy", Change::listReplacedByLink, kNotSigned);
        row("signature removed", Change::signatureRemoved, kNotSigned);
        row("signature byte flipped", Change::signatureByteFlipped, kMismatch);
        row("signature truncated", Change::signatureTruncated, kMismatch);
        row("signature extended", Change::signatureExtended, kMismatch);
        row("signed with another key", Change::signedWithOtherKey, kMismatch);
        row("verified with another key", Change::verifiedWithOtherKey, kMismatch);
        row("empty key", Change::emptyKey, QStringLiteral("no update signing key in this build"));
        row("31-byte key", Change::shortKey,
            QStringLiteral("the update signing key in this build is not valid"));
        row("fifo added", Change::fifoAdded, QStringLiteral("unsupported entry: share/pipe"));
    }

    void detectsEveryChange()
    {
        QFETCH(int, change);
        QFETCH(QString, reason);
        BundleSignature::sign(m_bundle, testPrivateKey());
        QCOMPARE(BundleSignature::verify(m_bundle, testPublicKey()), QString());

        QByteArray key = testPublicKey();
        const QByteArray list = TestSupport::readFile(path(kFileList));
        const QByteArray signature = TestSupport::readFile(path(kSignature));
        switch (Change(change)) {
        case Change::contentSameSize: {
            QByteArray content = largeContent();
            content[2 * 1024 * 1024 + 5] = char(content[2 * 1024 * 1024 + 5] ^ 0x01);
            writeFile(path(QStringLiteral("lib/libcore.so.1")), content);
            break;
        }
        case Change::executableBitRemoved:
            QCOMPARE(
                ::chmod(native(path(QStringLiteral("bin/vorlanta-creator"))).constData(), 0644), 0);
            break;
        case Change::groupWriteAdded:
            QCOMPARE(::chmod(native(path(QStringLiteral("share/read me.txt"))).constData(), 0664),
                     0);
            break;
        case Change::fileRemoved:
            QVERIFY(QFile::remove(path(QStringLiteral("share/read me.txt"))));
            break;
        case Change::fileAdded:
            writeFile(path(QStringLiteral("bin/helper")), "helper", 0755);
            break;
        case Change::fileAddedInNewFolder:
            writeFile(path(QStringLiteral("plugins/extra/libx.so")), "x");
            break;
        case Change::hiddenFileAdded:
            writeFile(path(QStringLiteral("bin/.hidden")), "");
            break;
        case Change::fileAddedBesideSignature:
            writeFile(path(QStringLiteral("signature/extra")), "extra");
            break;
        case Change::emptyFolderAdded:
            QVERIFY(QDir().mkpath(path(QStringLiteral("share/new/empty"))));
            break;
        case Change::fileRenamed:
            QVERIFY(QFile::rename(path(QStringLiteral("share/a-b")),
                                  path(QStringLiteral("share/a-c"))));
            break;
        case Change::linkRetargeted:
            QVERIFY(QFile::remove(path(QStringLiteral("lib/libcore.so"))));
            makeLink("libcore.so.2", path(QStringLiteral("lib/libcore.so")));
            break;
        case Change::linkReplacedByCopyOfTarget:
            QVERIFY(QFile::remove(path(QStringLiteral("lib/libcore.so"))));
            writeFile(path(QStringLiteral("lib/libcore.so")), largeContent());
            break;
        case Change::linkReplacedByFileOfSameDigest:
            // Only the kind tells this one apart: the content is the old target, mode 0777.
            QVERIFY(QFile::remove(path(QStringLiteral("lib/libcore.so"))));
            writeFile(path(QStringLiteral("lib/libcore.so")), "libcore.so.1", 0777);
            break;
        case Change::fileReplacedByLink:
            QVERIFY(QFile::remove(path(QStringLiteral("share/read me.txt"))));
            makeLink("a-b", path(QStringLiteral("share/read me.txt")));
            break;
        case Change::listDigestEdited: {
            // Still well formed: the list must not be trusted before its signature.
            QByteArray edited = list;
            const QByteArray old = sha256Hex("x");
            QVERIFY(edited.contains(old));
            edited.replace(old, sha256Hex("y"));
            writeFile(path(kFileList), edited);
            writeFile(path(QStringLiteral("share/a-b")), "y");
            break;
        }
        case Change::listLineAndFileRemoved: {
            QByteArray edited;
            for (const QByteArray &line : list.split('\n')) {
                if (!line.isEmpty() && !line.endsWith(" share/read me.txt")) {
                    edited += line + '\n';
                }
            }
            QCOMPARE(edited.count('\n'), list.count('\n') - 1);
            writeFile(path(kFileList), edited);
            QVERIFY(QFile::remove(path(QStringLiteral("share/read me.txt"))));
            break;
        }
        case Change::listRemoved:
            QVERIFY(QFile::remove(path(kFileList)));
            break;
        case Change::listReplacedByLink: {
            const QString copy = m_dir + QStringLiteral("/list-copy.txt");
            writeFile(copy, list);
            QVERIFY(QFile::remove(path(kFileList)));
            makeLink(native(copy), path(kFileList));
            break;
        }
        case Change::signatureRemoved:
            QVERIFY(QFile::remove(path(kSignature)));
            break;
        case Change::signatureByteFlipped: {
            QByteArray flipped = signature;
            flipped[10] = char(flipped[10] ^ 0x20);
            writeFile(path(kSignature), flipped);
            break;
        }
        case Change::signatureTruncated:
            writeFile(path(kSignature), signature.left(63));
            break;
        case Change::signatureExtended:
            writeFile(path(kSignature), signature + '\0');
            break;
        case Change::signedWithOtherKey:
            BundleSignature::sign(m_bundle, m_otherKey.privatePem);
            QCOMPARE(BundleSignature::verify(m_bundle, m_otherKey.publicKey), QString());
            break;
        case Change::verifiedWithOtherKey:
            key = m_otherKey.publicKey;
            break;
        case Change::emptyKey:
            key.clear();
            break;
        case Change::shortKey:
            key.chop(1);
            break;
        case Change::fifoAdded:
            QCOMPARE(::mkfifo(native(path(QStringLiteral("share/pipe"))).constData(), 0644), 0);
            break;
        }
        QCOMPARE(BundleSignature::verify(m_bundle, key), reason);
    }

    // Lists signed by OpenSSL directly: the parser alone decides, and only well-formed lists
    // reach the comparison with the folder.
    void parsesOnlyWellFormedLists_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QString>("reason");
        QTest::newRow("the genuine list") << QByteArray("{genuine}") << QString();
        QTest::newRow("an entry more")
            << QByteArray("{genuine}f 0644 {digest} zzz\n") << QStringLiteral("file missing: zzz");
        QTest::newRow("no final newline")
            << QByteArray("{genuine}f 0644 {digest} zzz") << kUnreadable;
        QTest::newRow("blank line") << QByteArray("{genuine}\n") << kUnreadable;
        QTest::newRow("out of order")
            << QByteArray("f 0644 {digest} zzz\n{genuine}") << kUnreadable;
        QTest::newRow("listed twice")
            << QByteArray("{genuine}f 0644 {digest} zzz\nf 0644 {digest} zzz\n") << kUnreadable;
        QTest::newRow("three-digit mode")
            << QByteArray("{genuine}f 644 {digest} zzz\n") << kUnreadable;
        QTest::newRow("mode digit 8")
            << QByteArray("{genuine}f 0648 {digest} zzz\n") << kUnreadable;
        QTest::newRow("upper-case digest")
            << QByteArray("{genuine}f 0644 {DIGEST} zzz\n") << kUnreadable;
        QTest::newRow("short digest") << QByteArray("{genuine}f 0644 {short} zzz\n") << kUnreadable;
        QTest::newRow("kind d") << QByteArray("{genuine}d 0755 {digest} zzz\n") << kUnreadable;
        QTest::newRow("no path") << QByteArray("{genuine}f 0644 {digest} \n") << kUnreadable;
        QTest::newRow("absolute path")
            << QByteArray("f 0644 {digest} /etc/passwd\n{genuine}") << kUnreadable;
        QTest::newRow("parent path")
            << QByteArray("f 0644 {digest} ../outside\n{genuine}") << kUnreadable;
        QTest::newRow("dot name") << QByteArray("{genuine}f 0644 {digest} zzz/./x\n")
                                  << kUnreadable;
        QTest::newRow("empty name")
            << QByteArray("{genuine}f 0644 {digest} zzz//x\n") << kUnreadable;
        QTest::newRow("trailing slash")
            << QByteArray("{genuine}f 0644 {digest} zzz/\n") << kUnreadable;
        QTest::newRow("CRLF line end")
            << QByteArray("{genuine}f 0644 {digest} zzz\r\n") << kUnreadable;
        QTest::newRow("tab in path")
            << QByteArray("{genuine}f 0644 {digest} z\tz\n") << kUnreadable;
        QTest::newRow("invalid UTF-8")
            << QByteArray("{genuine}f 0644 {digest} zz\xff\n") << kUnreadable;
    }

    void parsesOnlyWellFormedLists()
    {
        QFETCH(QByteArray, list);
        QFETCH(QString, reason);
        BundleSignature::sign(m_bundle, testPrivateKey());
        const QByteArray digest = sha256Hex("anything");
        list.replace("{genuine}", TestSupport::readFile(path(kFileList)));
        list.replace("{digest}", digest);
        list.replace("{DIGEST}", digest.toUpper());
        list.replace("{short}", digest.left(63));
        QVERIFY(signWithOpenSsl(m_bundle, list, m_testKeyPath));
        QCOMPARE(BundleSignature::verify(m_bundle, testPublicKey()), reason);
    }

    void refusesUnsupportedEntries_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *title, Unsupported kind, const QByteArray &name,
                            const char *reason) {
            QTest::newRow(title) << int(kind) << name << QString::fromUtf8(reason);
        };
        row("fifo", Unsupported::fifo, "pipe", "unsupported entry: share/pipe");
        row("socket", Unsupported::socket, "sock", "unsupported entry: share/sock");
        row("newline in a name", Unsupported::newline, "bad\nname",
            "unsupported entry: share/bad\\x0aname");
        row("carriage return in a name", Unsupported::carriageReturn, "bad\rname",
            "unsupported entry: share/bad\\x0dname");
        row("tab in a name", Unsupported::tab, "bad\tname",
            "unsupported entry: share/bad\\x09name");
        row("DEL in a name", Unsupported::del, "bad\x7fname",
            "unsupported entry: share/bad\\x7fname");
        row("C1 control in a name", Unsupported::c1Control, "bad\xc2\x85name",
            "unsupported entry: share/bad\\x85name");
        row("invalid UTF-8 in a name", Unsupported::invalidUtf8, "bad\xffname",
            "unsupported entry: share/bad\xef\xbf\xbdname");
    }

    void refusesUnsupportedEntries()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, name);
        QFETCH(QString, reason);
        BundleSignature::sign(m_bundle, testPrivateKey());
        const QByteArray list = TestSupport::readFile(path(kFileList));

        const QByteArray entry = native(m_bundle) + "/share/" + name;
        int socketFd = -1;
        switch (Unsupported(kind)) {
        case Unsupported::fifo:
            QCOMPARE(::mkfifo(entry.constData(), 0644), 0);
            break;
        case Unsupported::socket: {
            socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            QVERIFY(size_t(entry.size()) < sizeof address.sun_path);
            std::memcpy(address.sun_path, entry.constData(), size_t(entry.size()));
            QCOMPARE(::bind(socketFd, reinterpret_cast<const sockaddr *>(&address), sizeof address),
                     0);
            break;
        }
        default: {
            const int fd = ::open(entry.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        }
        const QString verified = BundleSignature::verify(m_bundle, testPublicKey());
        const QString signFailed = signFailure(m_bundle, testPrivateKey());
        if (socketFd >= 0) {
            ::close(socketFd);
        }
        ::unlink(entry.constData()); // QDir cannot remove a name that is not UTF-8
        QCOMPARE(verified, reason);
        QCOMPARE(signFailed, reason);
        // The failed signing left the earlier signature as it was.
        QCOMPARE(TestSupport::readFile(path(kFileList)), list);
        QCOMPARE(BundleSignature::verify(m_bundle, testPublicKey()), QString());
    }

    void refusesUnusablePrivateKeys_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("empty") << int(BadKey::empty);
        QTest::newRow("not PEM") << int(BadKey::garbage);
        QTest::newRow("public key") << int(BadKey::publicKeyPem);
        QTest::newRow("EC P-256 key") << int(BadKey::ecKey);
        QTest::newRow("encrypted Ed25519 key") << int(BadKey::encrypted);
        QTest::newRow("truncated PEM") << int(BadKey::truncated);
    }

    void refusesUnusablePrivateKeys()
    {
        QFETCH(int, kind);
        QByteArray pem;
        const QString keyPath = m_dir + QStringLiteral("/bad-key.pem");
        switch (BadKey(kind)) {
        case BadKey::empty:
            break;
        case BadKey::garbage:
            pem = "not a key\n";
            break;
        case BadKey::publicKeyPem:
            QCOMPARE(openssl({QStringLiteral("pkey"), QStringLiteral("-in"), m_testKeyPath,
                              QStringLiteral("-pubout"), QStringLiteral("-out"), keyPath})
                         .exitCode,
                     0);
            pem = TestSupport::readFile(keyPath);
            break;
        case BadKey::ecKey:
            QCOMPARE(openssl({QStringLiteral("genpkey"), QStringLiteral("-algorithm"),
                              QStringLiteral("EC"), QStringLiteral("-pkeyopt"),
                              QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-out"),
                              keyPath})
                         .exitCode,
                     0);
            pem = TestSupport::readFile(keyPath);
            break;
        case BadKey::encrypted:
            pem = generateKeyPair(keyPath, {QStringLiteral("-aes-256-cbc"), QStringLiteral("-pass"),
                                            QStringLiteral("pass:secret")})
                      .privatePem;
            QVERIFY(pem.contains("ENCRYPTED"));
            break;
        case BadKey::truncated:
            pem = testPrivateKey();
            pem.chop(40);
            break;
        }
        const QString failure = signFailure(m_bundle, pem);
        QVERIFY2(failure.contains(QStringLiteral("key")), qPrintable(failure));
        QVERIFY(!existsNoFollow(path(QStringLiteral("signature"))));
    }

    void signsAnEmptyFolder()
    {
        const QString empty = m_dir + QStringLiteral("/empty.app");
        QVERIFY(QDir().mkpath(empty + QStringLiteral("/plugins")));
        BundleSignature::sign(empty, testPrivateKey());
        QCOMPARE(TestSupport::readFile(empty + QLatin1Char('/') + kFileList), QByteArray());
        QCOMPARE(BundleSignature::verify(empty, testPublicKey()), QString());
        writeFile(empty + QStringLiteral("/plugins/late.so"), "late");
        QCOMPARE(BundleSignature::verify(empty, testPublicKey()),
                 QStringLiteral("unexpected file: plugins/late.so"));
    }

    void signingAgainReplacesTheSignature()
    {
        BundleSignature::sign(m_bundle, testPrivateKey());
        writeFile(path(QStringLiteral("share/a-b")), "changed");
        QCOMPARE(BundleSignature::verify(m_bundle, testPublicKey()),
                 QStringLiteral("file changed: share/a-b"));
        BundleSignature::sign(m_bundle, testPrivateKey());
        QCOMPARE(BundleSignature::verify(m_bundle, testPublicKey()), QString());
        const QByteArray list = TestSupport::readFile(path(kFileList));
        QVERIFY(list.contains(QByteArray("f 0444 " + sha256Hex("changed") + " share/a-b\n")));
        QVERIFY(!list.contains(sha256Hex("x")));
    }

    // A planted link at the list's place is replaced, never written through.
    void signingNeverWritesThroughLinks()
    {
        const QString outside = m_dir + QStringLiteral("/outside.txt");
        writeFile(outside, "keep me");
        makeLink(native(outside), path(kFileList));
        BundleSignature::sign(m_bundle, testPrivateKey());
        QCOMPARE(TestSupport::readFile(outside), QByteArray("keep me"));
        QVERIFY(!QFileInfo(path(kFileList)).isSymLink());
        QCOMPARE(BundleSignature::verify(m_bundle, testPublicKey()), QString());
    }

    void refusesASignatureFolderThatIsALink()
    {
        const QString outside = m_dir + QStringLiteral("/outside");
        QVERIFY(QDir().mkpath(outside));
        makeLink(native(outside), path(QStringLiteral("signature")));
        const QString failure = signFailure(m_bundle, testPrivateKey());
        QVERIFY2(failure.startsWith(QStringLiteral("unsupported entry: signature")),
                 qPrintable(failure));
        QVERIFY(QDir(outside).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                                      QDir::NoDotAndDotDot));
    }

    void verifyNamesAMissingBundle()
    {
        const QString reason =
            BundleSignature::verify(m_dir + QStringLiteral("/nowhere"), testPublicKey());
        QCOMPARE(reason, kNotSigned);
    }

    void publicKeyFromHex_data()
    {
        const QByteArray hex = TestSupport::readFile(keyFile("test-key.pub.hex")).trimmed();
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("key");
        const QByteArray key = QByteArray::fromHex(hex);
        QTest::newRow("64 lower-case digits") << hex << key;
        QTest::newRow("64 upper-case digits") << hex.toUpper() << key;
        QTest::newRow("all zero") << QByteArray(64, '0') << QByteArray(32, '\0');
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("63 digits") << hex.left(63) << QByteArray();
        QTest::newRow("65 digits") << QByteArray(hex + 'a') << QByteArray();
        QTest::newRow("62 digits") << hex.left(62) << QByteArray();
        QTest::newRow("non-hex digit") << QByteArray(hex).replace(0, 1, "g") << QByteArray();
        QTest::newRow("0x prefix") << QByteArray("0x" + hex.left(62)) << QByteArray();
        QTest::newRow("inner space")
            << QByteArray(hex.left(31) + ' ' + hex.mid(32)) << QByteArray();
        QTest::newRow("trailing newline") << QByteArray(hex + '\n') << QByteArray();
        QTest::newRow("colon separated")
            << QByteArray(hex.left(32) + ':' + hex.mid(33)) << QByteArray();
    }

    void publicKeyFromHex()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, key);
        QCOMPARE(BundleSignature::publicKeyFromHex(text), key);
    }
};

VORLANTA_TEST_MAIN(TestBundleSignature)
#include "tst_BundleSignature.moc"
