#include "core/queue/JobEnvelope.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/MissingFilesWatcher.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/DataRows.h"
#include "support/QueueFiles.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QRegularExpression>
#include <QtCore/QThread>

#include <algorithm>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace QueueFiles;
using namespace TestSupport;

namespace {

constexpr int kTimeoutMs = 10000;

// The file lists of the queued jobs, sorted; a job that is not a Missing job shows as "<bad>".
QList<QStringList> jobFileLists()
{
    QList<QStringList> lists;
    for (const QString &name : QDir(Paths::queueDir()).entryList({u"*.job.json"_s}, QDir::Files)) {
        const JobReadResult job = JobFileReader::read(Paths::queueDir() + u'/' + name);
        lists.append(job.envelope.type == JobType::missing
                         ? extractFilesFromPayload(job.envelope.payload).value_or(QStringList())
                         : QStringList{u"<bad>"_s});
    }
    std::sort(lists.begin(), lists.end());
    return lists;
}

// Keeps every missingFiles published, and whether each came on the main thread.
struct Watcher : MissingFilesWatcher {
    Watcher()
    {
        connect(this, &MissingFilesWatcher::missingFilesChanged, [this] {
            published.append(missingFiles());
            onMainThread &= QThread::currentThread() == qApp->thread();
        });
    }
    // Runs what was asked and delivers what it posted to this thread.
    void settle()
    {
        waitUntilIdle();
        QCoreApplication::sendPostedEvents();
    }
    QList<QStringList> published;
    bool onMainThread = true;
};

} // namespace

class TestMissingFilesWatcher : public QObject {
    Q_OBJECT
    QString m_media = TestSupport::root() + u"/media"_s;
    QString m_inbox = MissingFilesWatcher::defaultInboxDir();
    QString m_queue = m_inbox + u"/missing.queue"_s;
    QString m_private = m_inbox + u"/.missing.queue.processing"_s;

    static QByteArray lines(const QStringList &list) { return (list.join(u'\n') + u'\n').toUtf8(); }
    // Paths in the media folder, given as "a|b".
    QStringList media(const char *paths) const
    {
        return QString::fromUtf8(paths).split(u'|').replaceInStrings(QRegularExpression(u"^"_s),
                                                                     m_media + u'/');
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_inbox.startsWith(TestSupport::root()));
        for (const QString &file :
             media("a/clip.mov|b/Clip.MOV|c/1.mov|c/2.mov|c/3.mov|q/\"quoted\".mov|sp/name with "
                   "space.mov|\xc3\xbc/na\xc3\xafve.mov")) {
            QVERIFY(QDir().mkpath(QFileInfo(file).path()) && writeFile(file, "m"));
        }
    }
    void init()
    {
        QDir(m_inbox).removeRecursively();
        QDir(Paths::queueDir()).removeRecursively();
        Paths::ensureAll();
    }

    void burstBecomesOneJobPublishedOnTheMainThread()
    {
        Watcher watcher;
        watcher.startWatching();
        const QStringList files = media("c/1.mov|c/2.mov|c/3.mov|a/clip.mov");
        QElapsedTimer sinceLastWrite;
        for (const QString &file : files) {
            QTest::qWait(100);
            sinceLastWrite.start();
            QVERIFY(writeFile(m_queue, lines({file}), true));
        }
        QTRY_COMPARE_WITH_TIMEOUT(jobFileLists().size(), 1, kTimeoutMs);
        // The quiet period restarts with every write.
        QCOMPARE_GE(sinceLastWrite.elapsed(), 750);
        QTest::qWait(1000);
        QCOMPARE(jobFileLists(), QList<QStringList>{files});
        QCOMPARE(watcher.published, QList<QStringList>{files});
        QVERIFY(watcher.onMainThread);
        QVERIFY(!QFileInfo::exists(m_queue) && !QFileInfo::exists(m_private));
    }

    void readsTheQueueFile_data()
    {
        columns<QString, QString>("content", "expected"); // "@": the media folder; "|" separates
        row("order kept, blanks and missing paths skipped, last line unterminated",
            "\n \t\n@/nowhere/x.mov\n\"\"\n@/c/2.mov\n@/c/1.mov", "@/c/2.mov|@/c/1.mov");
        // A missing path claims no name; then the first of one name in any case wins.
        row("one name, any case", "@/nowhere/clip.mov\n@/b/Clip.MOV\n@/a/clip.mov\n@/b/Clip.MOV\n",
            "@/b/Clip.MOV");
        row("quotes: both ends stripped, one end or inner kept",
            "  \"@/c/1.mov\"  \n\"\n\"@/c/2.mov\n@/c/3.mov\"\n\"@/q/\"quoted\".mov\"\n",
            "@/c/1.mov|@/q/\"quoted\".mov");
        row("no-break spaces trimmed, inner spaces and UTF-8 kept",
            "\xc2\xa0@/c/1.mov\xc2\xa0\n@/sp/name with space.mov\n@/\xc3\xbc/na\xc3\xafve.mov\n",
            "@/c/1.mov|@/sp/name with space.mov|@/\xc3\xbc/na\xc3\xafve.mov");
        row("every kind of line break",
            "@/c/1.mov\r\n@/c/2.mov\r@/c/3.mov\xe2\x80\xa8@/a/clip.mov\xc2\x85@/sp\x0b@/q\x0c@/c",
            "@/c/1.mov|@/c/2.mov|@/c/3.mov|@/a/clip.mov|@/sp|@/q|@/c");
    }
    void readsTheQueueFile()
    {
        auto [content, expected] = fetch<QString, QString>("content", "expected");
        const QStringList files = expected.replace(u'@', m_media).split(u'|');
        Watcher watcher;
        QVERIFY(writeFile(m_queue, content.replace(u'@', m_media).toUtf8()));
        watcher.processMissingQueue();
        watcher.settle();
        QVERIFY(!QFileInfo::exists(m_queue) && !QFileInfo::exists(m_private));
        QCOMPARE(watcher.published, QList<QStringList>{files});
        QCOMPARE(jobFileLists(), QList<QStringList>{files});
    }

    void leftoverIsReadOnTheNextChange_data()
    {
        columns<bool>("withQueueFile");
        addRow("leftover alone, unrelated change", false);
        addRow("leftover before the queue file", true);
    }
    void leftoverIsReadOnTheNextChange()
    {
        QFETCH(bool, withQueueFile);
        Watcher watcher;
        const QStringList older = media("c/1.mov|c/2.mov");
        QVERIFY(writeFile(m_private, lines(older)));
        watcher.startWatching();
        QVERIFY(withQueueFile ? writeFile(m_queue, lines(media("c/3.mov")), true)
                              : writeFile(m_inbox + u"/unrelated.txt"_s, "x"));
        const QList<QStringList> expected =
            withQueueFile ? QList{older, media("c/3.mov")} : QList<QStringList>{older};
        QTRY_COMPARE_WITH_TIMEOUT(watcher.published, expected, kTimeoutMs);
        QCOMPARE(jobFileLists(), expected);
        QVERIFY(!QFileInfo::exists(m_queue) && !QFileInfo::exists(m_private));
    }

    void undecodableQueueFileIsSetAsideAndLaterOnesRead()
    {
        Watcher watcher;
        const QByteArray invalid = "\xff\xfe" + lines(media("c/1.mov"));
        QVERIFY(writeFile(m_queue, invalid));
        watcher.processMissingQueue();
        watcher.settle();
        QVERIFY(watcher.published.isEmpty() && jobFileLists().isEmpty());
        // Kept for the user, never read again; the next queue file goes through.
        const QStringList kept = QDir(m_inbox).entryList({u"missing.queue.unreadable-*"_s});
        QCOMPARE(kept.size(), 1);
        QCOMPARE(TestSupport::readFile(m_inbox + u'/' + kept[0]), invalid);
        for (int round = 2; round <= 3; ++round) {
            QVERIFY(writeFile(m_queue, lines(media(round == 2 ? "c/2.mov" : "c/3.mov"))));
            watcher.processMissingQueue();
            watcher.settle();
        }
        QCOMPARE(watcher.published, (QList<QStringList>{media("c/2.mov"), media("c/3.mov")}));
        QVERIFY(!QFileInfo::exists(m_queue) && !QFileInfo::exists(m_private));
    }

    void linesAppendedAfterTheTakeAreKept()
    {
        Watcher watcher;
        const QStringList first = media("c/1.mov|c/2.mov");
        QVERIFY(writeFile(m_queue, lines(first)));
        watcher.startWatching();
        const int events = ::inotify_init1(IN_CLOEXEC);
        QVERIFY(events >= 0);
        QVERIFY(::inotify_add_watch(events, QFile::encodeName(m_inbox).constData(),
                                    IN_MOVED_FROM) >= 0);
        watcher.processMissingQueue();
        // The producer appends as soon as the queue file has been renamed away.
        pollfd ready{events, POLLIN, 0};
        alignas(inotify_event) char buffer[4096];
        const ssize_t length =
            ::poll(&ready, 1, kTimeoutMs) == 1 ? ::read(events, buffer, sizeof buffer) : -1;
        ::close(events);
        QVERIFY2(length > 0, "the queue file was never renamed before reading");
        QVERIFY(writeFile(m_queue, lines(media("c/3.mov")), true));
        QCOMPARE(QString::fromUtf8(reinterpret_cast<const inotify_event *>(buffer)->name),
                 u"missing.queue"_s);
        const QList<QStringList> expected{first, media("c/3.mov")};
        QTRY_COMPARE_WITH_TIMEOUT(watcher.published, expected, kTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(jobFileLists(), expected, kTimeoutMs);
    }

    void destructionLosesNoLines_data()
    {
        QTest::addColumn<int>("delayMs");
        for (const int delay : {0, 0, 1, 2, 5, 50}) {
            QTest::addRow("after %d ms", delay) << delay;
        }
    }
    void destructionLosesNoLines()
    {
        QFETCH(int, delayMs);
        const QStringList files = media("c/1.mov|c/2.mov");
        QVERIFY(QDir().mkpath(m_inbox) && writeFile(m_queue, lines(files)));
        {
            MissingFilesWatcher watcher;
            watcher.processMissingQueue();
            QThread::msleep(delayMs);
        }
        // Either the batch became a job, or its lines are still on disk.
        const QByteArray onDisk = TestSupport::readFile(m_queue) + TestSupport::readFile(m_private);
        const QList<QStringList> jobs = jobFileLists();
        QVERIFY2((jobs == QList<QStringList>{files} && onDisk.isEmpty()) ||
                     (jobs.isEmpty() && onDisk == lines(files)),
                 onDisk.constData());
        Watcher next;
        next.processMissingQueue();
        next.settle();
        QCOMPARE(jobFileLists(), QList<QStringList>{files});
    }
};

VORLANTA_TEST_MAIN(TestMissingFilesWatcher)
#include "tst_MissingFilesWatcher.moc"
