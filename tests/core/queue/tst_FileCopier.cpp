#include "core/queue/FileCopier.h"
#include "support/TestEnvironment.h"

#include <QtCore/QFileInfo>

#include <atomic>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString makeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
    return path;
}

// Every entry below the directory, relative, sorted; directories end in "/".
QStringList tree(const QString &root)
{
    QStringList entries;
    const QDir base(root);
    std::function<void(const QString &)> walk = [&](const QString &dir) {
        const QFileInfoList infos = QDir(dir).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &info : infos) {
            const QString relative = base.relativeFilePath(info.filePath());
            if (info.isSymLink()) {
                entries << relative + QStringLiteral(" -> ") + info.symLinkTarget();
            } else if (info.isDir()) {
                entries << relative + QLatin1Char('/');
                walk(info.filePath());
            } else {
                entries << relative;
            }
        }
    };
    walk(root);
    return entries;
}

bool hasPartialFiles(const QString &dir)
{
    for (const QString &entry : tree(dir)) {
        if (entry.contains(QStringLiteral(".partial-"))) {
            return true;
        }
    }
    return false;
}

} // namespace

class TestFileCopier : public QObject {
    Q_OBJECT
private:
    QString m_dir;

private Q_SLOTS:
    void init()
    {
        m_dir = TestSupport::root() + QStringLiteral("/copier");
        QDir(m_dir).removeRecursively();
        QDir().mkpath(m_dir);
    }

    void copiesContentAndModeAndNeverOverwrites()
    {
        QByteArray content;
        for (int i = 0; i < 300000; ++i) {
            content += char('a' + i % 26);
        }
        const QString source = makeFile(m_dir + QStringLiteral("/in/clip.mov"), content);
        QVERIFY(::chmod(QFile::encodeName(source).constData(), 0640) == 0);
        const QString destination = m_dir + QStringLiteral("/out/clip.mov");
        QDir().mkpath(m_dir + QStringLiteral("/out"));

        QVERIFY(FileCopier::copyFile(source, destination).ok);
        QCOMPARE(TestSupport::readFile(destination), content);
        QCOMPARE(QFileInfo(destination).permissions(), QFileInfo(source).permissions());

        makeFile(source, "changed");
        const FileCopier::Result again = FileCopier::copyFile(source, destination);
        QVERIFY(!again.ok);
        QVERIFY(!again.cancelled);
        QCOMPARE(again.errorDescription, QStringLiteral("File exists"));
        QCOMPARE(TestSupport::readFile(destination), content);
        QVERIFY(!hasPartialFiles(m_dir));
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing source")
            << QStringLiteral("missing") << QStringLiteral("No such file or directory");
        QTest::newRow("directory source")
            << QStringLiteral("directory") << QStringLiteral("Is a directory");
        QTest::newRow("no destination directory")
            << QStringLiteral("nodir") << QStringLiteral("No such file or directory");
        QTest::newRow("dangling link at destination")
            << QStringLiteral("danglingDestination") << QStringLiteral("File exists");
        // A FIFO without a writer would block the open forever.
        QTest::newRow("fifo source")
            << QStringLiteral("fifo") << QStringLiteral("Not a regular file");
    }
    void refusals()
    {
        QFETCH(QString, kind);
        QFETCH(QString, error);
        QString source = makeFile(m_dir + QStringLiteral("/a.mov"), "data");
        QString destination = m_dir + QStringLiteral("/b.mov");
        if (kind == QLatin1String("missing")) {
            source = m_dir + QStringLiteral("/nothing.mov");
        } else if (kind == QLatin1String("directory")) {
            source = m_dir + QStringLiteral("/adir");
            QDir().mkpath(source);
        } else if (kind == QLatin1String("nodir")) {
            destination = m_dir + QStringLiteral("/no/such/dir/b.mov");
        } else if (kind == QLatin1String("fifo")) {
            source = m_dir + QStringLiteral("/pipe");
            QCOMPARE(::mkfifo(QFile::encodeName(source).constData(), 0644), 0);
        } else {
            QVERIFY(QFile::link(m_dir + QStringLiteral("/nowhere"), destination));
        }
        const FileCopier::Result result = FileCopier::copyFile(source, destination);
        QVERIFY(!result.ok);
        QCOMPARE(result.errorDescription, error);
        QVERIFY(!hasPartialFiles(m_dir));
    }

    void cancelledCopyLeavesNothing()
    {
        const QString source =
            makeFile(m_dir + QStringLiteral("/big.mov"), QByteArray(1 << 20, 'x'));
        const std::atomic_bool cancel{true};
        const FileCopier::Result result =
            FileCopier::copyFile(source, m_dir + QStringLiteral("/copy.mov"), &cancel);
        QVERIFY(!result.ok);
        QVERIFY(result.cancelled);
        QVERIFY(!QFileInfo::exists(m_dir + QStringLiteral("/copy.mov")));
        QVERIFY(!hasPartialFiles(m_dir));
    }

    void treeCopies_data()
    {
        QTest::addColumn<bool>("recursively");
        QTest::newRow("copyRecursively: hidden entries too, earlier copy replaced") << true;
        QTest::newRow("copyDirectory: visible entries only, merged") << false;
    }
    void treeCopies()
    {
        QFETCH(bool, recursively);
        const QString source = m_dir + QStringLiteral("/Shoot");
        makeFile(source + QStringLiteral("/a.mov"), "a");
        makeFile(source + QStringLiteral("/.hidden.mov"), "h");
        makeFile(source + QStringLiteral("/day1/b.mov"), "b");
        makeFile(source + QStringLiteral("/.cache/c.bin"), "c");
        QDir().mkpath(source + QStringLiteral("/empty"));
        // A link to the folder itself must not make the copy recurse forever.
        QVERIFY(QFile::link(source, source + QStringLiteral("/day1/loop")));

        const QString destination = m_dir + QStringLiteral("/staged");
        makeFile(destination + QStringLiteral("/stale.mov"), "old");

        const FileCopier::Result result = recursively
                                              ? FileCopier::copyRecursively(source, destination)
                                              : FileCopier::copyDirectory(source, destination);
        QVERIFY2(result.ok, qPrintable(result.errorDescription));
        const QString loop = QStringLiteral("day1/loop -> ") + source;
        const QStringList expected =
            recursively ? QStringList{QStringLiteral(".cache/"),
                                      QStringLiteral(".cache/c.bin"),
                                      QStringLiteral(".hidden.mov"),
                                      QStringLiteral("a.mov"),
                                      QStringLiteral("day1/"),
                                      QStringLiteral("day1/b.mov"),
                                      loop,
                                      QStringLiteral("empty/")}
                        : QStringList{QStringLiteral("a.mov"),      QStringLiteral("day1/"),
                                      QStringLiteral("day1/b.mov"), loop,
                                      QStringLiteral("empty/"),     QStringLiteral("stale.mov")};
        QCOMPARE(tree(destination), expected);
        QCOMPARE(TestSupport::readFile(destination + QStringLiteral("/day1/b.mov")),
                 QByteArray("b"));
    }

    void treeCopyStopsAtTheFirstError()
    {
        const QString source = m_dir + QStringLiteral("/src");
        makeFile(source + QStringLiteral("/a.mov"), "a");
        makeFile(source + QStringLiteral("/b.mov"), "b");
        const QString destination = m_dir + QStringLiteral("/dst");
        makeFile(destination + QStringLiteral("/b.mov"), "already");
        const FileCopier::Result result = FileCopier::copyDirectory(source, destination);
        QVERIFY(!result.ok);
        QCOMPARE(result.errorDescription, QStringLiteral("File exists"));
        QCOMPARE(TestSupport::readFile(destination + QStringLiteral("/b.mov")),
                 QByteArray("already"));
    }

    void treeCopyRefusesSpecialFiles()
    {
        const QString source = m_dir + QStringLiteral("/src");
        makeFile(source + QStringLiteral("/a.mov"), "a");
        QCOMPARE(::mkfifo(QFile::encodeName(source + QStringLiteral("/pipe")).constData(), 0644),
                 0);
        const FileCopier::Result result =
            FileCopier::copyRecursively(source, m_dir + QStringLiteral("/dst"));
        QVERIFY(!result.ok);
        QCOMPARE(result.errorDescription,
                 QStringLiteral("Not a regular file: ") + source + QStringLiteral("/pipe"));
    }

    void moveRefusesToReplace()
    {
        const QString from = makeFile(m_dir + QStringLiteral("/job.json"), "new");
        const QString to = makeFile(m_dir + QStringLiteral("/archive.json"), "old");
        const FileCopier::Result refused = FileCopier::moveWithoutReplacing(from, to);
        QVERIFY(!refused.ok);
        QCOMPARE(TestSupport::readFile(to), QByteArray("old"));
        QVERIFY(QFileInfo::exists(from));
        QVERIFY(QFile::remove(to));
        QVERIFY(FileCopier::moveWithoutReplacing(from, to).ok);
        QCOMPARE(TestSupport::readFile(to), QByteArray("new"));
        QVERIFY(!QFileInfo::exists(from));
    }

    void markerIsWrittenWhole()
    {
        const QString marker = m_dir + QStringLiteral("/quickcreate.txt");
        QVERIFY(FileCopier::writeTextAtomically(marker, QStringLiteral("QuickCreate at: /ü x")).ok);
        QCOMPARE(TestSupport::readFile(marker), QStringLiteral("QuickCreate at: /ü x").toUtf8());
        QVERIFY(!FileCopier::writeTextAtomically(m_dir + QStringLiteral("/none/q.txt"),
                                                 QStringLiteral("x"))
                     .ok);
    }
};

VORLANTA_TEST_MAIN(TestFileCopier)
#include "tst_FileCopier.moc"
