#include "core/updater/BundleSignature.h"
#include "support/TestEnvironment.h"
#include "support/UpdateTestHelpers.h"

#include <stdexcept>

using namespace UpdateTest;

namespace {

constexpr char kMismatch[] = "the signature does not match the bundle's file list";
constexpr char kNotSigned[] = "the bundle is not signed";
constexpr char kUnreadable[] = "the bundle's file list is unreadable";
const QString kList = QString::fromLatin1(BundleSignature::kFileListPath);
const QString kSig = QString::fromLatin1(BundleSignature::kSignaturePath);

// Arguments separated by "|", as paths hold spaces.
bool openssl(const QString &arguments)
{
    return QProcess::execute("openssl"_q, arguments.split(u'|')) == 0;
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

} // namespace

class TestBundleSignature : public QObject {
    Q_OBJECT
    QString m_dir = root() + "/signature"_q;
    QString m_bundle = m_dir + u'/' + kBundleName;
    QString m_other = root() + "/other-key.pem"_q;
    QString m_ec = root() + "/ec-key.pem"_q;
    QByteArray m_otherPublic;

    QString path(const QString &relative) const { return m_bundle + u'/' + relative; }
    QString other(const QString &name) const { return m_dir + u'/' + name; }
    bool put(const QString &rel, const QByteArray &content, int mode = 0644) const
    {
        return writeFile(path(rel), content, mode);
    }

    // One change, written "operation|path|argument"; false when it could not be made.
    bool change(const QString &command, QByteArray &key)
    {
        const QStringList a = command.split(u'|');
        const QString p = path(a.value(1));
        const QByteArray old = readFile(p);
        QByteArray content = a.value(2).toUtf8();
        if (a[0] == "key"_q) {
            key = a[1] == "other"_q ? m_otherPublic : key.left(a[1].toInt());
            return true;
        } else if (a[0] == "sign-other"_q) {
            BundleSignature::sign(m_bundle, readFile(m_other));
            return BundleSignature::verify(m_bundle, m_otherPublic).isEmpty();
        } else if (a[0] == "chmod"_q) {
            return ::chmod(native(p).constData(), mode_t(a[2].toInt(nullptr, 8))) == 0;
        } else if (a[0] == "mkdir"_q) {
            return QDir().mkpath(p);
        } else if (a[0] == "fifo"_q) {
            return ::mkfifo(native(p).constData(), 0644) == 0;
        } else if (a[0] == "list"_q) { // signed as it is, so only the parser decides
            content = readFile(path(kList)) + content.replace("{d}", sha256Hex("z"));
            return put(kList, content) &&
                   openssl("pkeyutl|-sign|-rawin|-inkey|"_q + kKey + "|-in|"_q + path(kList) +
                           "|-out|"_q + path(kSig));
        } else if (a[0] == "edit-list"_q) { // still well formed, with the new digest
            return put(kList, QByteArray(old).replace(sha256Hex("x"), sha256Hex("y"))) &&
                   put("share/a-b"_q, "y");
        } else if (a[0] == "link-to-copy"_q) {
            return writeFile(other("copy"_q), old) && QFile::remove(p) &&
                   makeLink(native(other("copy"_q)), p);
        } else if (a[0] == "flip"_q) {
            content = old;
            content[content.size() * 2 / 3] = char(content[content.size() * 2 / 3] ^ 0x01);
        } else if (a[0] == "cut"_q) {
            content = old.chopped(1);
        }
        QFile::remove(p); // a link is replaced, not written through
        if (a[0] == "rm"_q || a[0] == "link"_q) {
            return !old.isEmpty() && (a[0] == "rm"_q || makeLink(content, p));
        }
        return writeFile(p, content, a.size() > 3 ? a[3].toInt(nullptr, 8) : 0644);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(openssl("genpkey|-algorithm|ed25519|-out|"_q + m_other));
        QVERIFY(
            openssl("pkey|-pubout|-outform|DER|-in|"_q + m_other + "|-out|"_q + m_other + "d"_q));
        QVERIFY(openssl("genpkey|-algorithm|EC|-pkeyopt|group:P-256|-out|"_q + m_ec));
        m_otherPublic = readFile(m_other + "d"_q).right(32);
    }

    void init()
    {
        QDir(m_dir).removeRecursively();
        QVERIFY(put("Info.json"_q, "{}") && put("bin/app"_q, "#!/bin/sh\n", 0755));
        QVERIFY(makeLink("app", path("bin/run"_q)));
        // Spans several read chunks, so a digest over the first chunk only would not match.
        QVERIFY(put("lib/core.so.1"_q, QByteArray(3 * 1024 * 1024 + 17, 'c')));
        QVERIFY(makeLink("core.so.1", path("lib/core.so"_q)));
        QVERIFY(put("share/read me.txt"_q, "hello\n") && put("share/empty"_q, "", 0600));
        QVERIFY(put("share/a-b"_q, "x") && put("share/\xc3\xa4-notes.txt"_q, "umlaut", 0640));
        QVERIFY(QDir().mkpath(path("plugins"_q)));
    }

    void detectsEveryChange_data()
    {
        columns<QString, QString>("command", "reason");
        row("content changed, same size", "flip|lib/core.so.1", "file changed: lib/core.so.1");
        row("exec bit removed", "chmod|bin/app|644", "file changed: bin/app");
        // Write bits are not signed: installing makes the bundle writable by its owner.
        row("group write added", "chmod|share/read me.txt|664", "");
        row("empty folder added", "mkdir|share/new/empty", "");
        row("file removed", "rm|share/read me.txt", "file missing: share/read me.txt");
        row("file added", "put|bin/helper", "unexpected file: bin/helper");
        row("file in a new folder", "put|plugins/x/libx.so", "unexpected file: plugins/x/libx.so");
        row("hidden file added", "put|bin/.hidden", "unexpected file: bin/.hidden");
        row("beside the signature", "put|signature/extra", "unexpected file: signature/extra");
        row("link retargeted", "link|lib/core.so|core.so.2", "file changed: lib/core.so");
        row("link replaced by its target", "put|bin/run|#!/bin/sh\n|755", "file changed: bin/run");
        // Only the kind tells this one apart: the content is the old target, mode 0777.
        row("link as equal file", "put|lib/core.so|core.so.1|777", "file changed: lib/core.so");
        row("file now a link", "link|share/read me.txt|a-b", "file changed: share/read me.txt");
        row("digest edited in the list", "edit-list|signature/manifest.txt", kMismatch);
        row("list removed", "rm|signature/manifest.txt", kNotSigned);
        row("list a link to a copy", "link-to-copy|signature/manifest.txt", kNotSigned);
        row("signature removed", "rm|signature/manifest.sig", kNotSigned);
        row("signature byte flipped", "flip|signature/manifest.sig", kMismatch);
        row("signature truncated", "cut|signature/manifest.sig", kMismatch);
        row("signed with another key", "sign-other", kMismatch);
        row("verified with another key", "key|other", kMismatch);
        row("empty key", "key|0", "no update signing key in this build");
        row("31-byte key", "key|31", "the update signing key in this build is not valid");
        // Lists signed as they are: only well-formed ones reach the comparison with the folder.
        row("list: entry more", "list||f 0444 {d} zzz\n", "file missing: zzz");
        row("list: no final newline", "list||f 0444 {d} zzz", kUnreadable);
        row("list: listed twice", "list||f 0444 {d} zzz\nf 0444 {d} zzz\n", kUnreadable);
        row("list: parent path", "list||f 0444 {d} zzz/../../x\n", kUnreadable);
        row("list: three-digit mode", "list||f 444 {d} zzz\n", kUnreadable);
        row("list: CRLF", "list||f 0444 {d} zzz\r\n", kUnreadable);
        // Refused by signing too, which then leaves the earlier signature as it was.
        row("fifo", "fifo|share/pipe", "unsupported entry: share/pipe");
        row("newline in a name", "put|share/a\nb", "unsupported entry: share/a\\x0ab");
        row("DEL in a name", "put|share/a\x7fz", "unsupported entry: share/a\\x7fz");
        row("C1 control in a name", "put|share/a\xc2\x85z", "unsupported entry: share/a\\x85z");
    }
    void detectsEveryChange()
    {
        const auto [command, reason] = fetch<QString, QString>("command", "reason");
        BundleSignature::sign(m_bundle, readFile(kKey));
        const QByteArray list = readFile(path(kList));
        QByteArray key = testPublicKey();
        QVERIFY(change(command, key));
        QCOMPARE(BundleSignature::verify(m_bundle, key), reason);
        if (reason.startsWith("unsupported entry"_q)) {
            QCOMPARE(signFailure(m_bundle, readFile(kKey)), reason);
            QCOMPARE(readFile(path(kList)), list);
        }
    }

    // Nothing is written with a key that is not an unencrypted Ed25519 private key.
    void refusesUnusablePrivateKeys_data()
    {
        columns<QByteArray>("pem");
        QTest::newRow("not PEM") << QByteArray("not a key\n");
        QTest::newRow("truncated PEM") << readFile(kKey).chopped(40);
        QTest::newRow("EC P-256 key") << readFile(m_ec);
    }
    void refusesUnusablePrivateKeys()
    {
        const QString failure = signFailure(m_bundle, std::get<0>(fetch<QByteArray>("pem")));
        QVERIFY2(failure.startsWith("the signing key "_q), qPrintable(failure));
        QVERIFY(!QFileInfo::exists(path("signature"_q)));
    }

    // A planted link at the list's place is replaced, never written through; a signature
    // folder that is a link is refused.
    void signingNeverWritesThroughLinks()
    {
        QVERIFY(writeFile(other("outside/list"_q), "keep me"));
        QVERIFY(makeLink(native(other("outside/list"_q)), path(kList)));
        BundleSignature::sign(m_bundle, readFile(kKey));
        QCOMPARE(readFile(other("outside/list"_q)), QByteArray("keep me"));
        QVERIFY(!QFileInfo(path(kList)).isSymLink());
        QCOMPARE(BundleSignature::verify(m_bundle, testPublicKey()), QString());

        QVERIFY(QDir(path("signature"_q)).removeRecursively());
        QVERIFY(makeLink(native(other("outside"_q)), path("signature"_q)));
        const QString failure = signFailure(m_bundle, readFile(kKey));
        QVERIFY2(failure.startsWith("unsupported entry: signature"_q), qPrintable(failure));
        QCOMPARE(entriesOf(other("outside"_q)), QStringList{"list"_q});
    }
};

VORLANTA_TEST_MAIN(TestBundleSignature)
#include "tst_BundleSignature.moc"
