// The two queue consumers, the collector (event-driven) and the worker (polling), staging job
// files into the outbox and archiving them, alone and side by side.
#include "core/queue/JobEnvelope.h"
#include "core/queue/JobFileRegistry.h"
#include "core/queue/JobWorker.h"
#include "core/queue/QueueCollector.h"
#include "core/queue/QueueWriter.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/DataRows.h"
#include "support/QueueFiles.h"

#include <QtCore/QDateTime>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QRegularExpression>
#include <QtCore/QSaveFile>
#include <QtCore/QScopeGuard>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>

#include <fcntl.h>
#include <mutex>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace QueueFiles;
using namespace TestSupport;

namespace {

constexpr int kTimeoutMs = 10000;

enum class Consumer { collector, worker };
enum class BadFile { notJson, unknownType, archiveTaken, outboxBlocked };

// The log's lines since the mark, without time stamps, that start with the prefix.
QStringList logSince(qsizetype mark, const QString &prefix = {})
{
    QStringList lines = Logger::joinedMemoryBuffer().mid(mark).split(u'\n', Qt::SkipEmptyParts);
    lines.replaceInStrings(QRegularExpression(u"^[^]]*\\] "_s), QString());
    return lines.filter(QRegularExpression(u'^' + QRegularExpression::escape(prefix)));
}

} // namespace

Q_DECLARE_METATYPE(Consumer)
Q_DECLARE_METATYPE(BadFile)

class TestQueueStaging : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_sources;
    std::mutex m_mutex;
    QStringList m_callbacks; // the worker's error callback, from its thread
    qsizetype m_mark = 0;    // of the log, at the start of each test

    QStringList callbacks()
    {
        std::lock_guard lock(m_mutex);
        return m_callbacks;
    }
    QString source(const QString &name) const { return m_sources->filePath(name); }
    static QString queued(const QString &name) { return Paths::queueDir() + u'/' + name; }
    static QByteArray job(QByteArray type, QByteArray payload, QByteArray id = "\"JOB\"")
    {
        return "{\"id\": " + id + ", \"type\": \"" + type + "\", \"payload\": " + payload + "}";
    }
    // Producers write a job file in one step.
    static QString enqueue(const QString &name, const QByteArray &content)
    {
        QSaveFile f(queued(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) && f.commit() ? f.fileName()
                                                                              : u""_s;
    }
    static bool setModified(const QString &path, int minutesAgo)
    {
        QFile file(path);
        return file.open(QIODevice::ReadWrite) &&
               file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-60 * minutesAgo),
                                QFileDevice::FileModificationTime);
    }
    static QStringList partials() { return snapshot(Paths::outboxDir(), 0).filter(u".partial-"_s); }
    static QString archived(const QString &name) { return Paths::processedDir() + u'/' + name; }
    static QString outbox(const QString &id) { return Paths::outboxDir() + u'/' + id; }

private Q_SLOTS:
    void init()
    {
        for (const QString &dir : {Paths::queueDir(), Paths::outboxDir(), Paths::processedDir()}) {
            QDir(dir).removeRecursively();
            QVERIFY(QDir().mkpath(dir));
        }
        JobFileRegistry::shared().clear();
        m_sources = std::make_unique<QTemporaryDir>(TestSupport::root() + u"/src-XXXXXX"_s);
        m_callbacks.clear();
        JobWorker::setErrorCallback([this](const QString &message) {
            std::lock_guard lock(m_mutex);
            m_callbacks.append(message);
        });
        m_mark = Logger::joinedMemoryBuffer().size();
    }
    void cleanup()
    {
        JobWorker::shutdown();
        JobWorker::setErrorCallback(nullptr);
        // Those that fail jobs on purpose check what was reported themselves.
        const QByteArray test = QTest::currentTestFunction();
        if (!test.startsWith("hostile") && !test.startsWith("badFile") &&
            !test.startsWith("fullDisk")) {
            QCOMPARE(logSince(m_mark, u"ERROR "_s), QStringList());
            QCOMPARE(callbacks(), QStringList());
        }
    }

    void stagesEachJobType_data()
    {
        // document: "@" stands for the source folder; before: already in the job's outbox
        // directory; staged: as plant() takes it, "<none>" for no directory.
        columns<Consumer, QByteArray, QString, QString>("consumer", "document", "before", "staged");
        const auto row = [](const char *name, const QByteArray &document, const char *before,
                            const char *byCollector, const char *byWorker) {
            QTest::addRow("collector, %s", name)
                << Consumer::collector << document << cell(before) << cell(byCollector);
            QTest::addRow("worker, %s", name)
                << Consumer::worker << document << cell(before) << cell(byWorker);
        };
        const char *marker = "quickcreate.txt=QuickCreate at: /t";
        row("file list", job("UploadFiles", R"({"files": ["@/a.mov", "@/gone.mov", "@/b.mov"]})"),
            "", "a.mov=A|b.mov=B", "a.mov=A|b.mov=B");
        row("QuickProject", job("QuickProject", R"({"title": "T", "files": ["@/a.mov"]})"), "",
            "a.mov=A", "a.mov=A");
        row("Missing, other values skipped", job("Missing", R"({"files": [7, null, "@/b.mov"]})"),
            "", "b.mov=B", "b.mov=B");
        row("file list with a folder", job("UploadFiles", R"({"files": ["@/a.mov", "@/Footage"]})"),
            "", "Footage/|Footage/a.txt=A|Footage/sub/|Footage/sub/b.txt=B|a.mov=A",
            "Footage/|Footage/a.txt=A|Footage/sub/|Footage/sub/b.txt=B|a.mov=A");
        row("no list", job("UploadFiles", "{}"), "", "<none>", "");
        row("list not an array", job("Missing", R"({"files": "@/a.mov"})"), "", "<none>", "");
        row("staged copy never overwritten",
            job("UploadFiles", R"({"files": ["@/a.mov", "@/b.mov"]})"), "a.mov=earlier",
            "a.mov=earlier|b.mov=B", "a.mov=earlier|b.mov=B");
        // Begun by the collector (cut off): the worker finishes that layout, adding none of its
        // own.
        const char *wholeFolder =
            "Footage/|Footage/.hidden=H|Footage/a.txt=A|Footage/sub/|Footage/sub/b.txt=B";
        row("folder over an earlier copy", job("UploadFolder", R"({"folderPath": "@/Footage"})"),
            "Footage/stale.txt=old", wholeFolder, wholeFolder);
        // A run killed mid-copy left partials beside whole copies; staging again finishes it.
        row("file list restaged after a crash",
            job("UploadFiles", R"({"files": ["@/a.mov", "@/b.mov"]})"),
            "a.mov=A|.a.mov.partial-Ab12Cd=|.b.mov.partial-Ef34Gh=B-part", "a.mov=A|b.mov=B",
            "a.mov=A|b.mov=B");
        // Each consumer's layout of the interrupted run: the collector's Footage/, the worker's
        // contents at the top.
        row("folder restaged after a crash", job("UploadFolder", R"({"folderPath": "@/Footage"})"),
            "a.txt=A|sub/.b.txt.partial-Ab12Cd=|Footage/a.txt=A|Footage/sub/.b.txt.partial-Ab12Cd=",
            "Footage/|Footage/.hidden=H|Footage/a.txt=A|Footage/sub/|Footage/sub/"
            "b.txt=B|a.txt=A|sub/",
            "Footage/|Footage/a.txt=A|Footage/sub/|a.txt=A|sub/|sub/b.txt=B");
        row("no folder at the path", job("UploadFolder", R"({"folderPath": "@/Gone"})"), "", "",
            "");
        row("QuickCreate", job("QuickCreate", R"({"targetPath": "\/t"})"), "", marker, marker);
        row("QuickCreate without a target", job("QuickCreate", "{}"), "", "",
            "quickcreate.txt=QuickCreate at: (none)");
        row("unsafe id", job("QuickCreate", R"({"targetPath": "/t"})", R"("../../x")"), "", marker,
            marker);
    }

    void stagesEachJobType()
    {
        auto [consumer, document, before, staged] = fetch<Consumer, QByteArray, QString, QString>(
            "consumer", "document", "before", "staged");
        QVERIFY(plant(m_sources->path(),
                      u"a.mov=A|b.mov=B|Footage/a.txt=A|Footage/.hidden=H|Footage/sub/b.txt=B"_s));
        QVERIFY(plant(outbox(u"JOB"_s), before));
        document.replace('@', QFile::encodeName(m_sources->path()));
        const QString name = u"20250301_093000_JOB.job.json"_s;
        if (consumer == Consumer::worker) {
            JobWorker::processJob(enqueue(name, document));
        } else {
            QueueCollector collector;
            collector.startMonitoring();
            QVERIFY(!enqueue(name, document).isEmpty());
            QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(queued(name)), kTimeoutMs);
            collector.waitUntilIdle();
        }
        QVERIFY(!QFileInfo::exists(queued(name)));
        QCOMPARE(TestSupport::readFile(archived(name)), document);
        // An id that could leave the outbox is replaced by a fresh one.
        const bool unsafe = !document.contains("\"JOB\"");
        QCOMPARE(logSince(m_mark, u"WARN Unsafe job id in "_s + queued(name)).size(), int(unsafe));
        const QStringList ids =
            QDir(Paths::outboxDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        const QString id = unsafe ? ids.value(0) : u"JOB"_s;
        QVERIFY(!unsafe ||
                (ids.size() == 1 && QRegularExpression(u"^[0-9A-F]{32}$"_s).match(id).hasMatch()));
        QCOMPARE(snapshot(outbox(id)), sorted(staged.split(u'|', Qt::SkipEmptyParts)));
        QCOMPARE(partials(), QStringList());
    }

    void startSweepsStalePartials_data()
    {
        columns<Consumer>("consumer");
        addRow("collector", Consumer::collector);
        addRow("worker", Consumer::worker);
    }
    void startSweepsStalePartials()
    {
        const auto [consumer] = fetch<Consumer>("consumer");
        QVERIFY(plant(Paths::outboxDir(), u".x.partial-Ab12Cd=|OLD/a.mov=A|OLD/.keep=K|"
                                          u"OLD/.a.mov.partial-Ab12Cd=A-part|"
                                          u"OLD/sub/.b.mov.partial-Ef34Gh="_s));
        QueueCollector collector;
        for (int i = 0; i < 2; ++i) { // a second start finds nothing left to sweep
            consumer == Consumer::worker ? JobWorker::start() : collector.startMonitoring();
        }
        QCOMPARE(snapshot(Paths::outboxDir()),
                 (QStringList{u"OLD/"_s, u"OLD/.keep=K"_s, u"OLD/a.mov=A"_s, u"OLD/sub/"_s}));
    }

    void workerTakesTheOldestJobFileFirst()
    {
        // Names and ages disagree: only the modification times give this order.
        const QStringList names{u"1.job.json"_s, u"2.job.json"_s, u"3.job.json"_s};
        const int ages[] = {10, 30, 20};
        for (int i = 0; i < 3; ++i) {
            const QByteArray id = '"' + QByteArray::number(i) + '"';
            QVERIFY(setModified(enqueue(names[i], job("QuickCreate", "{}", id)), ages[i]));
        }
        JobWorker::start();
        QTRY_COMPARE_WITH_TIMEOUT(snapshot(Paths::processedDir(), false), names, kTimeoutMs);
        const QString processing = u"INFO Processing job: "_s + queued(QString());
        QCOMPARE(logSince(m_mark, processing).replaceInStrings(processing, QString()),
                 (QStringList{names[1], names[2], names[0]}));
        JobWorker::processJob(queued(u"gone.job.json"_s)); // gone meanwhile: no failure
    }

    void consumersShareTheQueue_data()
    {
        columns<bool, int>("movedIn", "gapMs"); // else written by QueueWriter; between two files
        addRow("QueueWriter, at once", false, 0);
        addRow("QueueWriter, over two seconds", false, 50);
        addRow("moved in, at once", true, 0);
    }
    void consumersShareTheQueue()
    {
        const auto [movedIn, gapMs] = fetch<bool, int>("movedIn", "gapMs");
        QList<JobEnvelope> jobs;
        for (int i = 0; i < 40; ++i) {
            QVERIFY(writeFile(source(u"%1.mov"_s.arg(i)), QByteArray::number(i)));
            jobs.append(JobEnvelope::makeNew(
                JobType::uploadFiles,
                QueueWriter::convertToAnyCodable(UploadFilesJob{{source(u"%1.mov"_s.arg(i))}})));
        }
        JobWorker::start();
        QueueCollector collector;
        collector.startMonitoring();
        for (const JobEnvelope &envelope : jobs) {
            const QString outside = source(envelope.fileName());
            QVERIFY(movedIn ? writeFile(outside, QByteArray::fromStdString(envelope.encode())) &&
                                  QFile::rename(outside, queued(envelope.fileName()))
                            : QueueWriter::write(envelope) == queued(envelope.fileName()));
            QTest::qSleep(gapMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(snapshot(Paths::queueDir()), QStringList(), 30000);
        collector.waitUntilIdle();
        JobWorker::shutdown();
        // Each job staged and archived exactly once, by one consumer or the other.
        QCOMPARE(logSince(m_mark, u"INFO Job archived: "_s).size(), jobs.size());
        for (int i = 0; i < jobs.size(); ++i) {
            QVERIFY(QFileInfo::exists(archived(jobs[i].fileName())));
            QCOMPARE(snapshot(outbox(jobs[i].id)), QStringList{u"%1.mov=%1"_s.arg(i)});
        }
        QCOMPARE(logSince(m_mark, u"WARN "_s), QStringList());
    }

    void badFileIsSkippedUntilItChanges_data()
    {
        // told: what the user is told, once (a plain sentence, whichever consumer met the file);
        // invalid files are only logged.
        columns<BadFile, bool, QString>("bad", "withCollector", "told");
        const QString json = u"The job file is not valid JSON"_s, taken = u"File exists"_s;
        addRow("not JSON", BadFile::notJson, false, json);
        addRow("unknown type", BadFile::unknownType, false, QString());
        addRow("archive name taken", BadFile::archiveTaken, false, taken);
        addRow("outbox directory blocked", BadFile::outboxBlocked, false,
               u"Cannot create the outbox directory "_s);
        // Whichever consumer meets the file first reports it; the other leaves it alone.
        addRow("not JSON, collector too", BadFile::notJson, true, json);
        addRow("unknown type, collector too", BadFile::unknownType, true, QString());
        addRow("archive name taken, collector too", BadFile::archiveTaken, true, taken);
    }
    void badFileIsSkippedUntilItChanges()
    {
        const auto [bad, withCollector, told] =
            fetch<BadFile, bool, QString>("bad", "withCollector", "told");
        const QString badName = u"20240101_000000_BAD.job.json"_s, badPath = queued(badName);
        const QString goodName = u"20250101_000000_GOOD.job.json"_s;
        const QByteArray valid = job("QuickCreate", R"({"targetPath": "/bad"})", "\"BAD\"");
        const QByteArray content = bad == BadFile::notJson       ? QByteArray("{ \"id\": ")
                                   : bad == BadFile::unknownType ? job("uploadFiles", "{}")
                                                                 : valid;
        QVERIFY(bad != BadFile::archiveTaken || writeFile(archived(badName), "earlier"));
        QVERIFY(bad != BadFile::outboxBlocked || writeFile(outbox(u"BAD"_s), "not a folder"));
        QueueCollector collector;
        if (withCollector) {
            JobWorker::start();
            collector.startMonitoring();
            QVERIFY(!enqueue(badName, content).isEmpty());
            QTRY_COMPARE_WITH_TIMEOUT(logSince(m_mark, u"ERROR "_s).size(), 1, kTimeoutMs);
        } else {
            // The oldest file: it must not hold back the younger one.
            QVERIFY(setModified(enqueue(badName, content), 120));
        }
        QVERIFY(!enqueue(goodName, job("QuickCreate", "{}")).isEmpty());
        JobWorker::start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(goodName)), kTimeoutMs);
        QTest::qWait(1500); // more rounds of the worker's loop over the unchanged file
        const QStringList errors = logSince(m_mark, u"ERROR "_s);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].contains(badName), qPrintable(errors[0]));
        const QStringList heard = callbacks();
        QCOMPARE(heard.size(), int(!told.isEmpty()));
        QVERIFY2(told.isEmpty() ||
                     heard[0].startsWith(u"Failed to process job "_s + badName + u": "_s + told),
                 qPrintable(heard.join(u'\n')));
        QCOMPARE(TestSupport::readFile(badPath), content);
        QVERIFY(bad != BadFile::archiveTaken ||
                TestSupport::readFile(archived(badName)) == "earlier");

        // Changed, it is worth another try; mended, it goes through.
        QVERIFY(setModified(badPath, 90));
        QTRY_COMPARE_WITH_TIMEOUT(logSince(m_mark, u"ERROR "_s).size(), 2, kTimeoutMs);
        if (bad == BadFile::archiveTaken || bad == BadFile::outboxBlocked) {
            QVERIFY(
                QFile::remove(bad == BadFile::archiveTaken ? archived(badName) : outbox(u"BAD"_s)));
            QVERIFY(setModified(badPath, 80));
        } else {
            QVERIFY(!enqueue(badName, valid).isEmpty());
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(badName)), kTimeoutMs);
        QCOMPARE(snapshot(outbox(u"BAD"_s)),
                 QStringList{u"quickcreate.txt=QuickCreate at: /bad"_s});
    }

    void fullDiskKeepsTheJobQueuedUntilThereIsRoom_data()
    {
        columns<Consumer, QByteArray, QString>("consumer", "document", "staged");
        const QByteArray files = job("UploadFiles", R"({"files": ["@/a.mov", "@/Footage/big"]})");
        addRow("worker, file list", Consumer::worker, files, u"a.mov|big"_s);
        addRow("worker, folder", Consumer::worker,
               job("UploadFolder", R"({"folderPath": "@/Footage"})"), u"big|small.mov"_s);
        addRow("collector, file list", Consumer::collector, files, u"a.mov|big"_s);
    }
    void fullDiskKeepsTheJobQueuedUntilThereIsRoom()
    {
        auto [consumer, document, staged] =
            fetch<Consumer, QByteArray, QString>("consumer", "document", "staged");
        // The outbox on a small file system of its own.
        const QByteArray outboxDir = QFile::encodeName(Paths::outboxDir());
        if (::mount("tmpfs", outboxDir.constData(), "tmpfs", 0, "size=1m") != 0) {
            QSKIP("Mounting a small file system needs privileges");
        }
        const auto unmount = qScopeGuard([&] { ::umount2(outboxDir.constData(), MNT_DETACH); });
        QVERIFY(plant(m_sources->path(), u"a.mov=A|Footage/small.mov=S"_s) &&
                writeFile(source(u"Footage/big"_s), QByteArray(2 << 20, 'B')));
        document.replace('@', QFile::encodeName(m_sources->path()));
        const QString name = u"20250301_093000_JOB.job.json"_s;
        QueueCollector collector;
        consumer == Consumer::worker ? JobWorker::start() : collector.startMonitoring();
        const QString path = enqueue(name, document);
        QTRY_COMPARE_WITH_TIMEOUT(
            callbacks(),
            QStringList{u"Failed to process job "_s + name + u": No space left on device"_s},
            kTimeoutMs);
        QTest::qWait(1500); // not tried again at once: no spinning
        QVERIFY(QFileInfo::exists(path) && !QFileInfo::exists(archived(name)));
        QCOMPARE(partials(), QStringList());
        QCOMPARE(logSince(m_mark, u"ERROR Failed to process job "_s).size(), 1);

        // Room again: a later try stages what is missing, and the user is not told again.
        QCOMPARE(::mount("tmpfs", outboxDir.constData(), "tmpfs", MS_REMOUNT, "size=8m"), 0);
        JobWorker::start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(name)), 15000);
        QCOMPARE(snapshot(outbox(u"JOB"_s), false), staged.split(u'|'));
        QCOMPARE(QFileInfo(outbox(u"JOB"_s) + u"/big"_s).size(), 2 << 20);
        QCOMPARE(callbacks().size(), 1);
    }

    void hostileEntryNeverHoldsBackAJob_data()
    {
        // kind: how the entry named like a job is made, with its argument. The worker meets it
        // in the queue at start, the collector as a new entry; each alone must pass it by.
        columns<Consumer, QString, QByteArray>("consumer", "kind", "content");
        const auto rows = [](const char *name, const char *kind, const QByteArray &content) {
            for (const Consumer consumer : {Consumer::worker, Consumer::collector}) {
                QTest::addRow("%s, %s", consumer == Consumer::worker ? "worker" : "collector", name)
                    << consumer << QString::fromUtf8(kind) << content;
            }
        };
        rows("FIFO", "fifo", {});
        rows("link to an endless device", "link", "/dev/zero");
        rows("directory", "dir", {});
        rows("dangling link", "link", "gone.job.json");
        rows("link to itself", "link", "20240101_000000_BAD.job.json");
        rows("name not UTF-8", "raw-name", job("QuickCreate", "{}"));
        rows("100,000 nested arrays", "file",
             job("QuickCreate", QByteArray(100000, '[') + QByteArray(100000, ']')));
        rows("number out of range", "file", job("QuickCreate", R"({"n": 1e400})"));
        rows("10 MB string", "file", "{\"id\": \"" + QByteArray(10'000'000, 'x'));
    }
    void hostileEntryNeverHoldsBackAJob()
    {
        const auto [consumer, kind, content] =
            fetch<Consumer, QString, QByteArray>("consumer", "kind", "content");
        const QByteArray bad = QFile::encodeName(queued(u"20240101_000000_BAD.job.json"_s));
        const QByteArray rawName = QFile::encodeName(Paths::queueDir()) + "/2024\xff.job.json";
        QueueCollector collector;
        if (consumer == Consumer::collector) {
            collector.startMonitoring();
        }
        QVERIFY(kind != u"fifo" || ::mkfifo(bad.constData(), 0600) == 0);
        QVERIFY(kind != u"link" || ::symlink(content.constData(), bad.constData()) == 0);
        QVERIFY(kind != u"dir" || QDir().mkdir(QFile::decodeName(bad)));
        QVERIFY(kind != u"file" || writeFile(QFile::decodeName(bad), content));
        if (kind == u"raw-name") { // bytes Qt cannot name: written with the system call
            const int fd = ::open(rawName.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            QVERIFY(fd >= 0 && ::write(fd, content.constData(), size_t(content.size())) > 0);
            ::close(fd);
        }
        QTest::qWait(200); // the younger job comes later
        const QString good = u"20250101_000000_GOOD.job.json"_s;
        QVERIFY(!enqueue(good, job("QuickCreate", "{}")).isEmpty());
        if (consumer == Consumer::worker) {
            JobWorker::start();
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(good)), kTimeoutMs);
        QTest::qWait(1500); // more rounds of the worker's loop
        // Reported at most once, never filling the log; the entry itself stays.
        const QString log = Logger::joinedMemoryBuffer().mid(m_mark);
        QVERIFY2(log.size() < 20000, qPrintable(log.left(3000)));
        QVERIFY2(logSince(m_mark, u"ERROR "_s).size() <= 1, qPrintable(log.left(3000)));
        struct stat st {};
        QVERIFY(::lstat(kind == u"raw-name" ? rawName.constData() : bad.constData(), &st) == 0);
    }

    void largeCopyIsFinishedOrCancelled_data()
    {
        columns<Consumer, bool>("consumer", "cancel");
        addRow("worker stopped: the job finishes", Consumer::worker, false);
        addRow("worker shut down: the copy is cancelled", Consumer::worker, true);
        addRow("collector kept: the job finishes", Consumer::collector, false);
        addRow("collector destroyed: the copy is cancelled", Consumer::collector, true);
    }
    void largeCopyIsFinishedOrCancelled()
    {
        const auto [consumer, cancel] = fetch<Consumer, bool>("consumer", "cancel");
        // Real data, so that copying takes a while on any file system without reflinks.
        const qint64 size = qint64(512) << 20;
        const QString big = source(u"big.bin"_s);
        for (int mib = 0; mib < size >> 20; ++mib) {
            QVERIFY(writeFile(big, QByteArray(1 << 20, char('a' + mib % 26)), true));
        }
        const QString name = u"20250301_093000_BIG.job.json"_s;
        const QString staged = outbox(u"JOB"_s) + u"/big.bin"_s;
        const QByteArray document =
            job("UploadFiles", "{\"files\": [\"" + QFile::encodeName(big) + "\"]}");
        auto collector = std::make_unique<QueueCollector>();
        consumer == Consumer::worker ? JobWorker::start() : collector->startMonitoring();
        const QString path = enqueue(name, document);
        // Meanwhile the final name never holds part of the data, and the job is archived
        // only after its staging.
        const auto watchUntil = [&](const std::function<bool()> &done) {
            for (QDeadlineTimer left(60000); !done() && !left.hasExpired(); QThread::usleep(200)) {
                if (const QFileInfo f(staged);
                    f.exists() ? f.size() != size : QFile::exists(archived(name))) {
                    return false;
                }
            }
            return done();
        };
        QVERIFY(watchUntil([] { return !partials().isEmpty(); }));
        if (!cancel) {
            JobWorker::stop(); // a job under way still runs to its end
            QVERIFY(watchUntil([&] { return QFileInfo::exists(archived(name)); }));
            QCOMPARE(QFileInfo(staged).size(), size);
            QVERIFY(!QFileInfo::exists(path));
        } else {
            consumer == Consumer::worker ? JobWorker::shutdown() : collector.reset();
            QCOMPARE(TestSupport::readFile(path), document);
            QVERIFY(!QFileInfo::exists(archived(name)) && !QFileInfo::exists(staged));
        }
        QCOMPARE(partials(), QStringList());
    }
};

VORLANTA_TEST_MAIN(TestQueueStaging)
#include "tst_QueueStaging.moc"
