#include "core/queue/FileCopier.h"
#include "core/shell/Paths.h"
#include "support/DataRows.h"
#include "support/QueueFiles.h"

#include <atomic>
#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;
using namespace QueueFiles;
using namespace TestSupport;

class TestFileCopier : public QObject {
    Q_OBJECT
    QString m_dir = TestSupport::root() + u"/copier"_s;

private Q_SLOTS:
    void init()
    {
        QDir(m_dir).removeRecursively();
        QVERIFY(QDir().mkpath(m_dir));
    }
    // Copies leave no hidden temporary behind, whatever their outcome.
    void cleanup() { QCOMPARE(snapshot(m_dir, false).filter(u".partial-"_s), QStringList()); }

    void refusals_data()
    {
        // Relative to the test folder, which holds a.mov. canPass: a failure where the copy is
        // written, which staging tries again later.
        columns<QString, QString, QString, bool>("source", "destination", "error", "canPass");
        row("dangling link at the destination", "a.mov", "link", "File exists", false);
        // A FIFO without a writer would block its open forever.
        row("FIFO source", "fifo", "b.mov", "Not a regular file", false);
        row("source gone", "gone.mov", "b.mov", "No such file or directory", false);
        row("destination folder gone", "a.mov", "gone/b.mov", "No such file or directory", true);
    }
    void refusals()
    {
        const auto [source, destination, error, canPass] =
            fetch<QString, QString, QString, bool>("source", "destination", "error", "canPass");
        QVERIFY(writeFile(m_dir + u"/a.mov"_s));
        QVERIFY(QFile::link(m_dir + u"/nowhere"_s, m_dir + u"/link"_s));
        QCOMPARE(::mkfifo(QFile::encodeName(m_dir + u"/fifo"_s).constData(), 0644), 0);
        const FileCopier::Result result =
            FileCopier::copyFile(m_dir + u'/' + source, m_dir + u'/' + destination);
        QVERIFY(!result.ok);
        QCOMPARE(result.errorDescription, error);
        QCOMPARE(result.canPass, canPass);
    }

    void treeCopies_data()
    {
        columns<bool>("recursively");
        addRow("copyRecursively: hidden entries too, earlier copy replaced", true);
        addRow("copyDirectory: visible entries only, merged, whole copies kept", false);
    }
    void treeCopies()
    {
        QFETCH(bool, recursively);
        const QString source = m_dir + u"/Shoot"_s;
        QVERIFY(plant(source, u"a.mov=A|.hidden.mov=H|day1/b.mov=B|.cache/c=C"_s));
        QVERIFY(QDir().mkpath(source + u"/empty"_s));
        QVERIFY(::chmod(QFile::encodeName(source + u"/a.mov"_s).constData(), 0640) == 0);
        // A link to the folder itself must not make the copy recurse forever.
        QVERIFY(QFile::link(source, source + u"/day1/loop"_s));
        const QString destination = m_dir + u"/staged"_s;
        // Left by a run cut off by a crash: a whole copy is kept, not an error.
        QVERIFY(writeFile(destination + u"/stale.mov"_s, "old") &&
                writeFile(destination + u"/day1/b.mov"_s, "B"));
        const FileCopier::Result result = recursively
                                              ? FileCopier::copyRecursively(source, destination)
                                              : FileCopier::copyDirectory(source, destination);
        QVERIFY2(result.ok, qPrintable(result.errorDescription));
        QCOMPARE(
            snapshot(destination),
            sorted(QStringList{u"a.mov=A"_s, u"day1/"_s, u"day1/b.mov=B"_s,
                               u"day1/loop -> "_s + source, u"empty/"_s} +
                   (recursively ? QStringList{u".cache/"_s, u".cache/c=C"_s, u".hidden.mov=H"_s}
                                : QStringList{u"stale.mov=old"_s})));
        QCOMPARE(QFileInfo(destination + u"/a.mov"_s).permissions(),
                 QFileInfo(source + u"/a.mov"_s).permissions()); // the mode travels
    }

    void treeCopySkipsSpecialFilesItselfAndTheAppData_data()
    {
        columns<bool>("recursively");
        addRow("copyRecursively", true);
        addRow("copyDirectory", false);
    }
    void treeCopySkipsSpecialFilesItselfAndTheAppData()
    {
        // A folder holding the app's data and the destination, like a home folder.
        QFETCH(bool, recursively);
        QVERIFY(writeFile(m_dir + u"/a.mov"_s, "A") &&
                writeFile(Paths::outboxDir() + u"/J/x.mov"_s, "X"));
        QCOMPARE(::mkfifo(QFile::encodeName(m_dir + u"/pipe"_s).constData(), 0644), 0);
        const QString destination = m_dir + u"/staged"_s;
        const FileCopier::Result result = recursively
                                              ? FileCopier::copyRecursively(root(), destination)
                                              : FileCopier::copyDirectory(root(), destination);
        QVERIFY2(result.ok, qPrintable(result.errorDescription));
        const QStringList copied = snapshot(destination, false);
        QVERIFY2(copied.contains(u"copier/a.mov"_s), qPrintable(copied.join(u'\n')));
        const QString data = QDir(root()).relativeFilePath(Paths::baseDir());
        for (const QString &skipped :
             QStringList{u"copier/pipe"_s, u"copier/staged/"_s, data + u"/"_s}) {
            QVERIFY2(!copied.contains(skipped), qPrintable(skipped));
        }
    }

    void moveRefusesToReplace()
    {
        const QString from = m_dir + u"/job.json"_s, to = m_dir + u"/archive.json"_s;
        QVERIFY(writeFile(from, "new") && writeFile(to, "old"));
        QVERIFY(!FileCopier::moveWithoutReplacing(from, to).ok);
        QCOMPARE(TestSupport::readFile(to), QByteArray("old"));
        QVERIFY(QFile::remove(to) && FileCopier::moveWithoutReplacing(from, to).ok);
        QCOMPARE(TestSupport::readFile(to), QByteArray("new"));
        QVERIFY(!QFileInfo::exists(from));
    }
};

VORLANTA_TEST_MAIN(TestFileCopier)
#include "tst_FileCopier.moc"
