#include "core/queue/FileMonitor.h"
#include "core/queue/JobEnvelope.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/JobFileRegistry.h"
#include "core/queue/JobWorker.h"
#include "core/queue/QueueCollector.h"
#include "core/queue/QueueWriter.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/QueueTestHelpers.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDir>
#include <QtCore/QDirIterator>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMap>
#include <QtCore/QRegularExpression>
#include <QtCore/QSaveFile>
#include <QtCore/QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using namespace QueueTestHelpers;

// Waits until the collector reported the file and has finished what that set off.
bool settle(QueueCollector &collector, const LogMark &log, const QString &path)
{
    const bool seen = QTest::qWaitFor(
        [&] { return log.count(QStringLiteral("INFO New job file detected: ") + path) > 0; },
        kTimeoutMs);
    collector.waitUntilIdle();
    return seen;
}

std::unique_ptr<QueueCollector> startedCollector()
{
    auto collector = std::make_unique<QueueCollector>();
    collector->startMonitoring();
    return collector;
}

enum class Delivery { queueWriter, saveFile, movedIn };
enum class Rejected {
    notJson,
    tooLarge,
    unknownType,
    notesNotAJob,
    notAnObject,
    noPayload,
    archiveTaken
};

} // namespace

Q_DECLARE_METATYPE(Delivery)
Q_DECLARE_METATYPE(Rejected)

class TestQueueCollector : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(m_queue.setUp()); }
    void cleanup() { m_queue.tearDown(); }

    void startAndStopMonitoring()
    {
        CapturedStdout out;
        LogMark log;
        QueueCollector collector;
        QVERIFY(!collector.isMonitoring());
        collector.startMonitoring();
        QVERIFY(collector.isMonitoring());
        QCOMPARE(out.count(QStringLiteral("[QueueCollector] Starting queue monitoring")), 1);
        QCOMPARE(log.lines(),
                 QStringList{QStringLiteral("INFO QueueCollector started monitoring: ") +
                             Paths::queueDir()});
        collector.stopMonitoring();
        QVERIFY(!collector.isMonitoring());
        QCOMPARE(out.count(QStringLiteral("[QueueCollector] Stopping queue monitoring")), 1);
        QCOMPARE(log.count(QStringLiteral("INFO QueueCollector stopped monitoring")), 1);

        // A file dropped now is seen by another monitor, but not by the collector.
        const QString name = QStringLiteral("20250301_093000_AFTER.job.json");
        const QString path = queued(name);
        std::atomic_bool seen{false};
        FileMonitor witness(Paths::queueDir(), [&](const QList<FileChange> &changes) {
            for (const FileChange &change : changes) {
                if (change.path == path) {
                    seen = true;
                }
            }
        });
        QVERIFY(!enqueue(name, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                           QStringLiteral("AFTER")))
                     .isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(seen.load(), kTimeoutMs);
        QTest::qWait(400); // well past the collector's 0.1 s delay
        collector.waitUntilIdle();
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(log.startingWith(QStringLiteral("INFO New job file detected: ")), QStringList());
        QVERIFY(!QFileInfo::exists(outbox(QStringLiteral("AFTER"))));
    }

    void jobFilePresentBeforeStartIsLeftAlone()
    {
        const QString earlier = enqueue(
            QStringLiteral("20250301_093000_EARLIER.job.json"),
            jobDocument(QStringLiteral("QuickCreate"), Json::object(), QStringLiteral("EARLIER")));
        QVERIFY(!earlier.isEmpty());
        LogMark log;
        const auto collector = startedCollector();
        QTest::qWait(500);
        const QString laterName = QStringLiteral("20250301_093001_LATER.job.json");
        const QString later =
            enqueue(laterName, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                           QStringLiteral("LATER")));
        QVERIFY(settle(*collector, log, later));
        QVERIFY(QFileInfo::exists(archived(laterName)));
        QVERIFY(QFileInfo::exists(earlier));
        QCOMPARE(log.startingWith(QStringLiteral("INFO New job file detected: ")),
                 QStringList{QStringLiteral("INFO New job file detected: ") + later});
        QVERIFY(!QFileInfo::exists(outbox(QStringLiteral("EARLIER"))));
    }

    void newJobFileIsStagedAndArchived_data()
    {
        QTest::addColumn<Delivery>("delivery");
        QTest::newRow("QueueWriter") << Delivery::queueWriter;
        QTest::newRow("QSaveFile") << Delivery::saveFile;
        QTest::newRow("moved in") << Delivery::movedIn;
    }
    void newJobFileIsStagedAndArchived()
    {
        QFETCH(Delivery, delivery);
        const QString clip = m_queue.sourcePath(QStringLiteral("clip.mov"));
        QVERIFY(writeFile(clip, "clip"));
        const JobEnvelope envelope = JobEnvelope::makeNew(
            JobType::uploadFiles, QueueWriter::convertToAnyCodable(UploadFilesJob{{clip}}));
        const QString path = queued(envelope.fileName());
        const QByteArray document = QByteArray::fromStdString(envelope.encode());

        CapturedStdout out;
        const auto collector = startedCollector();
        LogMark log;
        switch (delivery) {
        case Delivery::queueWriter:
            QCOMPARE(QueueWriter::write(envelope), path);
            break;
        case Delivery::saveFile:
            QCOMPARE(enqueue(envelope.fileName(), document), path);
            break;
        case Delivery::movedIn: {
            const QString outside = m_queue.sourcePath(envelope.fileName());
            QVERIFY(writeFile(outside, document));
            QVERIFY(QFile::rename(outside, path));
            break;
        }
        }
        QVERIFY(settle(*collector, log, path));

        QStringList lines = log.lines();
        lines.removeIf([](const QString &line) {
            return line.startsWith(QLatin1String("INFO Enqueued job: "));
        });
        const QString staged = outbox(envelope.id) + QStringLiteral("/clip.mov");
        QCOMPARE(
            lines,
            (QStringList{QStringLiteral("INFO New job file detected: ") + path,
                         QStringLiteral("INFO Processing job: UploadFiles - ") + envelope.id,
                         QStringLiteral("INFO Copied file to outbox: ") + staged,
                         QStringLiteral("INFO Job archived: ") + archived(envelope.fileName())}));
        QCOMPARE(TestSupport::readFile(staged), QByteArray("clip"));
        QCOMPARE(TestSupport::readFile(archived(envelope.fileName())), document);
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(out.count(QStringLiteral("[QueueCollector] New job file detected: ") + path), 1);
        QVERIFY(out.count(QStringLiteral(
                    "[QueueCollector] Handling queue changes: 1 changes detected")) >= 1);
        QCOMPARE(partialFiles(Paths::outboxDir()), QStringList());
    }

    void stagesFileLists_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QStringList>("entries"); // "?" marks a path where nothing exists
        QTest::addColumn<QString>("copied");
        QTest::addColumn<QString>("absent");
        const QString copied = QStringLiteral("INFO Copied file to outbox: ");
        const QString absent = QStringLiteral("WARN File does not exist: ");
        QTest::newRow("UploadFiles, one present, one missing")
            << QStringLiteral("UploadFiles")
            << QStringList{QStringLiteral("a.mov"), QStringLiteral("?gone.mov")} << copied
            << absent;
        QTest::newRow("UploadFiles, missing one first")
            << QStringLiteral("UploadFiles")
            << QStringList{QStringLiteral("?gone.mov"), QStringLiteral("a.mov"),
                           QStringLiteral("b.mov")}
            << copied << absent;
        QTest::newRow("UploadFiles, empty list")
            << QStringLiteral("UploadFiles") << QStringList() << copied << absent;
        QTest::newRow("QuickProject")
            << QStringLiteral("QuickProject")
            << QStringList{QStringLiteral("intro.mov"), QStringLiteral("?gone.mov")} << copied
            << absent;
        QTest::newRow("Missing") << QStringLiteral("Missing")
                                 << QStringList{QStringLiteral("m.wav"),
                                                QStringLiteral("?gone.wav")}
                                 << QStringLiteral("INFO Copied missing file to outbox: ")
                                 << QStringLiteral("WARN Missing file does not exist: ");
    }
    void stagesFileLists()
    {
        QFETCH(QString, type);
        QFETCH(QStringList, entries);
        QFETCH(QString, copied);
        QFETCH(QString, absent);
        const QString id = QStringLiteral("LIST");
        QStringList paths;
        QStringList present;
        for (const QString &entry : entries) {
            const bool missing = entry.startsWith(QLatin1Char('?'));
            const QString name = missing ? entry.mid(1) : entry;
            paths.append(m_queue.sourcePath(name));
            if (!missing) {
                QVERIFY(writeFile(paths.last(), QByteArray("content of " + name.toUtf8())));
                present.append(name);
            }
        }
        Json payload = {{"files", stringArray(paths)}};
        if (type == QLatin1String("QuickProject")) {
            payload = {{"title", "Quick Project"},
                       {"longForm", false},
                       {"thumbnail", 1},
                       {"short", false},
                       {"files", stringArray(paths)}};
        }
        const auto collector = startedCollector();
        LogMark log;
        const QString name = QStringLiteral("20250301_093000_LIST.job.json");
        const QString path = enqueue(name, jobDocument(type, payload, id));
        QVERIFY(!path.isEmpty());
        QVERIFY(settle(*collector, log, path));

        QStringList expected{QStringLiteral("INFO New job file detected: ") + path,
                             QStringLiteral("INFO Processing job: ") + type +
                                 QStringLiteral(" - ") + id};
        for (const QString &source : paths) {
            expected.append(
                QFileInfo::exists(source)
                    ? QString(copied + outbox(id) + QLatin1Char('/') + QFileInfo(source).fileName())
                    : QString(absent + source));
        }
        expected.append(QStringLiteral("INFO Job archived: ") + archived(name));
        QCOMPARE(log.lines(), expected);
        QVERIFY(QFileInfo(outbox(id)).isDir());
        QCOMPARE(tree(outbox(id)), sorted(present));
        for (const QString &file : present) {
            QCOMPARE(TestSupport::readFile(outbox(id) + QLatin1Char('/') + file),
                     QByteArray("content of " + file.toUtf8()));
        }
        QVERIFY(!QFileInfo::exists(path));
    }

    void fileListJobWithoutAListStagesNothing_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("UploadFiles without files")
            << QStringLiteral("UploadFiles") << QByteArray("{}");
        QTest::newRow("UploadFiles, payload an array")
            << QStringLiteral("UploadFiles") << QByteArray("[]");
        QTest::newRow("QuickProject without files")
            << QStringLiteral("QuickProject") << QByteArray(R"({"title": "T"})");
        QTest::newRow("Missing, files not an array")
            << QStringLiteral("Missing") << QByteArray(R"({"files": "/a.wav"})");
    }
    void fileListJobWithoutAListStagesNothing()
    {
        QFETCH(QString, type);
        QFETCH(QByteArray, payload);
        const auto collector = startedCollector();
        LogMark log;
        const QString name = QStringLiteral("20250301_093000_NOLIST.job.json");
        const QString path = enqueue(
            name, jobDocument(type, Json::parse(payload.toStdString()), QStringLiteral("NOLIST")));
        QVERIFY(settle(*collector, log, path));
        QCOMPARE(log.lines(),
                 (QStringList{QStringLiteral("INFO New job file detected: ") + path,
                              QStringLiteral("INFO Processing job: ") + type +
                                  QStringLiteral(" - NOLIST"),
                              QStringLiteral("INFO Job archived: ") + archived(name)}));
        QVERIFY(!QFileInfo::exists(outbox(QStringLiteral("NOLIST"))));
        QVERIFY(!QFileInfo::exists(path));
    }

    void stagedCopyIsNeverOverwritten()
    {
        const QString id = QStringLiteral("TAKEN");
        const QString a = m_queue.sourcePath(QStringLiteral("a.mov"));
        const QString b = m_queue.sourcePath(QStringLiteral("b.mov"));
        QVERIFY(writeFile(a, "new a"));
        QVERIFY(writeFile(b, "new b"));
        QVERIFY(writeFile(outbox(id) + QStringLiteral("/a.mov"), "earlier a"));
        const auto collector = startedCollector();
        LogMark log;
        const QString name = QStringLiteral("20250301_093000_TAKEN.job.json");
        const QString path = enqueue(
            name, jobDocument(QStringLiteral("UploadFiles"), {{"files", stringArray({a, b})}}, id));
        QVERIFY(settle(*collector, log, path));
        // The refused copy is not reported.
        QCOMPARE(log.lines(),
                 (QStringList{QStringLiteral("INFO New job file detected: ") + path,
                              QStringLiteral("INFO Processing job: UploadFiles - TAKEN"),
                              QStringLiteral("INFO Copied file to outbox: ") + outbox(id) +
                                  QStringLiteral("/b.mov"),
                              QStringLiteral("INFO Job archived: ") + archived(name)}));
        QCOMPARE(TestSupport::readFile(outbox(id) + QStringLiteral("/a.mov")),
                 QByteArray("earlier a"));
        QCOMPARE(TestSupport::readFile(outbox(id) + QStringLiteral("/b.mov")), QByteArray("new b"));
        QCOMPARE(tree(outbox(id)), (QStringList{QStringLiteral("a.mov"), QStringLiteral("b.mov")}));
    }

    void quickCreate_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("marker"); // empty: no marker
        QTest::newRow("target") << QByteArray(R"({"targetPath": "/Users/creator/x"})")
                                << QByteArray("QuickCreate at: /Users/creator/x");
        QTest::newRow("escaped slashes") << QByteArray(R"({"targetPath": "\/Users\/creator\/x"})")
                                         << QByteArray("QuickCreate at: /Users/creator/x");
        QTest::newRow("no target") << QByteArray("{}") << QByteArray();
        QTest::newRow("target not a string")
            << QByteArray(R"({"targetPath": ["/Users/creator/x"]})") << QByteArray();
    }
    void quickCreate()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, marker);
        const auto collector = startedCollector();
        LogMark log;
        const QString name = QStringLiteral("20250301_093000_QC.job.json");
        const QString path =
            enqueue(name, jobDocument(QStringLiteral("QuickCreate"),
                                      Json::parse(payload.toStdString()), QStringLiteral("QC")));
        QVERIFY(settle(*collector, log, path));
        const QString markerPath =
            outbox(QStringLiteral("QC")) + QStringLiteral("/quickcreate.txt");
        QStringList expected{QStringLiteral("INFO New job file detected: ") + path,
                             QStringLiteral("INFO Processing job: QuickCreate - QC")};
        if (!marker.isEmpty()) {
            expected.append(QStringLiteral("INFO QuickCreate marker written: ") + markerPath);
        }
        expected.append(QStringLiteral("INFO Job archived: ") + archived(name));
        QCOMPARE(log.lines(), expected);
        QVERIFY(QFileInfo(outbox(QStringLiteral("QC"))).isDir());
        if (marker.isEmpty()) {
            QCOMPARE(tree(outbox(QStringLiteral("QC"))), QStringList());
        } else {
            QCOMPARE(tree(outbox(QStringLiteral("QC"))),
                     QStringList{QStringLiteral("quickcreate.txt")});
            QCOMPARE(TestSupport::readFile(markerPath), marker);
        }
    }

    void uploadFolderStagesTheWholeTreeAndReplacesIt()
    {
        const QString folder = m_queue.sourcePath(QStringLiteral("Footage"));
        QVERIFY(writeFile(folder + QStringLiteral("/a.txt"), "A"));
        QVERIFY(writeFile(folder + QStringLiteral("/.hidden"), "H"));
        QVERIFY(writeFile(folder + QStringLiteral("/.git/c"), "C"));
        QVERIFY(writeFile(folder + QStringLiteral("/sub/b.txt"), "B"));
        QVERIFY(writeFile(folder + QStringLiteral("/sub/deeper/d.txt"), "D"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/empty")));
        const QByteArray document =
            jobDocument(QStringLiteral("UploadFolder"), {{"folderPath", utf8(folder)}},
                        QStringLiteral("FOLDER"));
        const QString staged = outbox(QStringLiteral("FOLDER")) + QStringLiteral("/Footage");

        const auto collector = startedCollector();
        LogMark log;
        const QString firstName = QStringLiteral("20250301_093000_FOLDER.job.json");
        const QString first = enqueue(firstName, document);
        QVERIFY(settle(*collector, log, first));
        QCOMPARE(log.lines(),
                 (QStringList{QStringLiteral("INFO New job file detected: ") + first,
                              QStringLiteral("INFO Processing job: UploadFolder - FOLDER"),
                              QStringLiteral("INFO Copied folder to outbox: ") + folder,
                              QStringLiteral("INFO Job archived: ") + archived(firstName)}));
        QCOMPARE(QDir(outbox(QStringLiteral("FOLDER")))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("Footage")});
        QCOMPARE(tree(staged), tree(folder));
        QCOMPARE(TestSupport::readFile(staged + QStringLiteral("/.git/c")), QByteArray("C"));
        QCOMPARE(TestSupport::readFile(staged + QStringLiteral("/sub/deeper/d.txt")),
                 QByteArray("D"));

        // The same job again, after the folder changed: the earlier copy is replaced.
        QVERIFY(QFile::remove(folder + QStringLiteral("/sub/b.txt")));
        QVERIFY(writeFile(folder + QStringLiteral("/a.txt"), "A2"));
        QVERIFY(writeFile(folder + QStringLiteral("/new.txt"), "N"));
        const QString secondName = QStringLiteral("20250301_093001_FOLDER.job.json");
        const QString second = enqueue(secondName, document);
        QVERIFY(settle(*collector, log, second));
        QVERIFY(QFileInfo::exists(archived(secondName)));
        QCOMPARE(log.count(QStringLiteral("INFO Copied folder to outbox: ") + folder), 2);
        QCOMPARE(tree(staged), tree(folder));
        QVERIFY(!QFileInfo::exists(staged + QStringLiteral("/sub/b.txt")));
        QCOMPARE(TestSupport::readFile(staged + QStringLiteral("/a.txt")), QByteArray("A2"));
        QCOMPARE(TestSupport::readFile(staged + QStringLiteral("/new.txt")), QByteArray("N"));
    }

    void uploadFolderWithoutAFolder_data()
    {
        QTest::addColumn<QByteArray>("payload"); // "%1" stands for a path where nothing exists
        QTest::addColumn<bool>("outboxCreated");
        QTest::newRow("nothing at the path") << QByteArray(R"({"folderPath": "%1"})") << true;
        QTest::newRow("no folder path") << QByteArray("{}") << false;
        QTest::newRow("folder path not a string") << QByteArray(R"({"folderPath": 5})") << false;
    }
    void uploadFolderWithoutAFolder()
    {
        QFETCH(QByteArray, payload);
        QFETCH(bool, outboxCreated);
        const QString folder = m_queue.sourcePath(QStringLiteral("Gone"));
        const QByteArray json = payload.replace("%1", QFile::encodeName(folder));
        const auto collector = startedCollector();
        LogMark log;
        const QString name = QStringLiteral("20250301_093000_FOLDER.job.json");
        const QString path =
            enqueue(name, jobDocument(QStringLiteral("UploadFolder"),
                                      Json::parse(json.toStdString()), QStringLiteral("FOLDER")));
        QVERIFY(settle(*collector, log, path));
        QStringList expected{QStringLiteral("INFO New job file detected: ") + path,
                             QStringLiteral("INFO Processing job: UploadFolder - FOLDER")};
        if (outboxCreated) {
            expected.append(QStringLiteral("WARN Folder does not exist: ") + folder);
        }
        expected.append(QStringLiteral("INFO Job archived: ") + archived(name));
        QCOMPARE(log.lines(), expected);
        QCOMPARE(QFileInfo(outbox(QStringLiteral("FOLDER"))).isDir(), outboxCreated);
        if (outboxCreated) {
            QCOMPARE(tree(outbox(QStringLiteral("FOLDER"))), QStringList());
        }
    }

    void rejectedFileStaysAndIsReportedOnce_data()
    {
        QTest::addColumn<Rejected>("rejected");
        QTest::addColumn<bool>("workerRunning");
        QTest::newRow("not JSON") << Rejected::notJson << false;
        QTest::newRow("larger than 16 MiB") << Rejected::tooLarge << false;
        QTest::newRow("unknown type") << Rejected::unknownType << false;
        QTest::newRow("notes.json, not a job") << Rejected::notesNotAJob << false;
        QTest::newRow("not an object") << Rejected::notAnObject << false;
        QTest::newRow("no payload") << Rejected::noPayload << false;
        QTest::newRow("archive name taken") << Rejected::archiveTaken << false;
        // Whichever consumer meets the file first reports it; the other leaves it alone.
        QTest::newRow("not JSON, worker running") << Rejected::notJson << true;
        QTest::newRow("larger than 16 MiB, worker running") << Rejected::tooLarge << true;
        QTest::newRow("unknown type, worker running") << Rejected::unknownType << true;
        QTest::newRow("no payload, worker running") << Rejected::noPayload << true;
    }
    void rejectedFileStaysAndIsReportedOnce()
    {
        QFETCH(Rejected, rejected);
        QFETCH(bool, workerRunning);
        const QString name = rejected == Rejected::notesNotAJob
                                 ? QStringLiteral("notes.json")
                                 : QStringLiteral("20250301_093000_BAD.job.json");
        const QString path = queued(name);
        const QByteArray valid = jobDocument(QStringLiteral("QuickCreate"),
                                             {{"targetPath", "/bad"}}, QStringLiteral("BAD"));
        // Valid JSON padded with spaces: only its size keeps it from being a job.
        QByteArray tooLarge = valid;
        tooLarge.append(QByteArray(JobFileReader::kMaxJobFileBytes + 1 - valid.size(), ' '));
        const QMap<Rejected, QByteArray> contents = {
            {Rejected::notJson, QByteArray("{ \"id\": ")},
            {Rejected::tooLarge, tooLarge},
            {Rejected::unknownType, jobDocument(QStringLiteral("uploadFiles"),
                                                {{"files", Json::array()}}, QStringLiteral("BAD"))},
            {Rejected::notesNotAJob, QByteArray(R"({"note": "call the editor"})")},
            {Rejected::notAnObject, QByteArray("[1, 2]")},
            {Rejected::noPayload, QByteArray(R"({"id": "BAD", "type": "QuickCreate"})")},
            {Rejected::archiveTaken, valid},
        };
        const bool readFailure = rejected == Rejected::notJson || rejected == Rejected::tooLarge;
        const QString report =
            rejected == Rejected::archiveTaken ? QString()
            : readFailure ? QString(QStringLiteral("ERROR Failed to process job file ") + path +
                                    QStringLiteral(": "))
                          : QString(QStringLiteral("ERROR Invalid job file format: ") + path);
        if (rejected == Rejected::archiveTaken) {
            QVERIFY(writeFile(archived(name), "earlier"));
        }

        if (workerRunning) {
            JobWorker::start();
        }
        const auto collector = startedCollector();
        LogMark log;
        QVERIFY(!enqueue(name, contents.value(rejected)).isEmpty());
        QVERIFY(settle(*collector, log, path));
        // More changes in the directory: another job comes and goes.
        const QString otherName = QStringLiteral("20250301_093001_OTHER.job.json");
        const QString other =
            enqueue(otherName, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                           QStringLiteral("OTHER")));
        QVERIFY(settle(*collector, log, other));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(otherName)), kTimeoutMs);
        if (workerRunning) {
            QTest::qWait(1500); // more rounds of the worker's loop
        }

        const QStringList errors = log.startingWith(QStringLiteral("ERROR "));
        if (report.isEmpty()) {
            QCOMPARE(errors, QStringList());
            QCOMPARE(log.count(QStringLiteral("INFO Processing job: QuickCreate - BAD")), 1);
            QCOMPARE(TestSupport::readFile(archived(name)), QByteArray("earlier"));
            QCOMPARE(TestSupport::readFile(outbox(QStringLiteral("BAD")) +
                                           QStringLiteral("/quickcreate.txt")),
                     QByteArray("QuickCreate at: /bad"));
        } else if (readFailure) {
            QCOMPARE(errors.size(), 1);
            const QString byWorker =
                QStringLiteral("ERROR Failed to process job ") + name + QStringLiteral(": ");
            const QString &line = errors.first();
            QVERIFY2(
                (line.startsWith(report) && line.size() > report.size()) ||
                    (workerRunning && line.startsWith(byWorker) && line.size() > byWorker.size()),
                qPrintable(line));
            QCOMPARE(m_queue.callbacks().size(), line.startsWith(byWorker) ? 1 : 0);
        } else {
            QCOMPARE(errors, QStringList{report});
            QCOMPARE(m_queue.callbacks(), QStringList());
        }
        QCOMPARE(log.startingWith(QStringLiteral("WARN ")), QStringList());
        QCOMPARE(TestSupport::readFile(path), contents.value(rejected));
    }

    void unsafeIdentifierIsReplaced_data()
    {
        QTest::addColumn<QByteArray>("idJson"); // empty: no "id" member
        QTest::addColumn<QString>("kept");      // empty: a fresh identifier
        QTest::addColumn<bool>("warned");
        QTest::newRow("parent traversal") << QByteArray(R"("../../x")") << QString() << true;
        QTest::newRow("absolute") << QByteArray(R"("/vorlanta-unsafe-abs/x")") << QString() << true;
        QTest::newRow("subdirectory") << QByteArray(R"("a/b")") << QString() << true;
        QTest::newRow("dot dot") << QByteArray(R"("..")") << QString() << true;
        QTest::newRow("dot") << QByteArray(R"(".")") << QString() << true;
        QTest::newRow("129 characters")
            << QByteArray('"' + QByteArray(129, 'a') + '"') << QString() << true;
        QTest::newRow("no id") << QByteArray() << QString() << false;
        QTest::newRow("letters, digits, - _ .")
            << QByteArray(R"("Job-1_a.B")") << QStringLiteral("Job-1_a.B") << false;
    }
    void unsafeIdentifierIsReplaced()
    {
        QFETCH(QByteArray, idJson);
        QFETCH(QString, kept);
        QFETCH(bool, warned);
        Json document = {{"type", "QuickCreate"},
                         {"payload", {{"targetPath", "/Users/creator/x"}}}};
        if (!idJson.isEmpty()) {
            document["id"] = Json::parse(idJson.toStdString());
        }
        const QString name = QStringLiteral("20250301_093000_unsafe.job.json");
        const QStringList before = entriesOutsideQueueDirectories();
        const auto collector = startedCollector();
        LogMark log;
        const QString path = enqueue(name, QByteArray::fromStdString(document.dump(2)));
        QVERIFY(settle(*collector, log, path));

        QCOMPARE(log.count(QStringLiteral("WARN Unsafe job id in ") + path +
                           QStringLiteral("; using a fresh identifier")),
                 warned ? 1 : 0);
        const QStringList staged =
            QDir(Paths::outboxDir())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        QCOMPARE(staged.size(), 1);
        if (kept.isEmpty()) {
            static const QRegularExpression fresh(QStringLiteral("^[0-9A-F]{32}$"));
            QVERIFY2(fresh.match(staged.first()).hasMatch(), qPrintable(staged.first()));
        } else {
            QCOMPARE(staged.first(), kept);
        }
        QCOMPARE(log.count(QStringLiteral("INFO Processing job: QuickCreate - ") + staged.first()),
                 1);
        QCOMPARE(tree(outbox(staged.first())), QStringList{QStringLiteral("quickcreate.txt")});
        QCOMPARE(TestSupport::readFile(outbox(staged.first()) + QStringLiteral("/quickcreate.txt")),
                 QByteArray("QuickCreate at: /Users/creator/x"));
        QVERIFY(QFileInfo::exists(archived(name)));
        QCOMPARE(entriesOutsideQueueDirectories(), before);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/vorlanta-unsafe-abs")));
    }

    void claimedJobFileIsSkippedSilently()
    {
        const QString name = QStringLiteral("20250301_093000_CLAIMED.job.json");
        const QString path = queued(name);
        QVERIFY(JobFileRegistry::shared().tryClaim(path));
        const auto collector = startedCollector();
        LogMark log;
        QVERIFY(!enqueue(name, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                           QStringLiteral("CLAIMED")))
                     .isEmpty());
        QVERIFY(settle(*collector, log, path));
        QCOMPARE(log.lines(), QStringList{QStringLiteral("INFO New job file detected: ") + path});
        QVERIFY(QFileInfo::exists(path));
        QVERIFY(!QFileInfo::exists(outbox(QStringLiteral("CLAIMED"))));
        // The claim is the holder's: the collector leaves it in place.
        QVERIFY(JobFileRegistry::shared().isClaimed(path));
    }

    void handleQueueChangesTakesAddedJsonFilesOnly()
    {
        const QString added = enqueue(
            QStringLiteral("20250301_093000_ADDED.job.json"),
            jobDocument(QStringLiteral("QuickCreate"), Json::object(), QStringLiteral("ADDED")));
        const QString modified = enqueue(
            QStringLiteral("20250301_093000_MODIFIED.job.json"),
            jobDocument(QStringLiteral("QuickCreate"), Json::object(), QStringLiteral("MODIFIED")));
        const QString text = enqueue(
            QStringLiteral("20250301_093000_TEXT.job.txt"),
            jobDocument(QStringLiteral("QuickCreate"), Json::object(), QStringLiteral("TEXT")));
        QVERIFY(!added.isEmpty() && !modified.isEmpty() && !text.isEmpty());
        const QString removed = queued(QStringLiteral("20250301_093000_REMOVED.job.json"));

        CapturedStdout out;
        LogMark log;
        QueueCollector collector; // not monitoring: only this batch
        collector.handleQueueChanges({FileChange{FileChange::Kind::added, added},
                                      FileChange{FileChange::Kind::added, text},
                                      FileChange{FileChange::Kind::modified, modified},
                                      FileChange{FileChange::Kind::removed, removed}});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(QFileInfo(added).fileName())),
                                 kTimeoutMs);
        collector.waitUntilIdle();
        QCOMPARE(out.count(
                     QStringLiteral("[QueueCollector] Handling queue changes: 4 changes detected")),
                 1);
        QCOMPARE(out.count(QStringLiteral("[QueueCollector] New job file detected: ") + added), 1);
        QCOMPARE(log.startingWith(QStringLiteral("INFO New job file detected: ")),
                 QStringList{QStringLiteral("INFO New job file detected: ") + added});
        QVERIFY(QFileInfo::exists(modified));
        QVERIFY(QFileInfo::exists(text));
    }

    void processJobFileWaitsBeforeProcessing()
    {
        const QString name = QStringLiteral("20250301_093000_LATER.job.json");
        const QString path = enqueue(name, jobDocument(QStringLiteral("QuickCreate"),
                                                       Json::object(), QStringLiteral("LATER")));
        QVERIFY(!path.isEmpty());
        QueueCollector collector;
        collector.processJobFile(path);
        QVERIFY(QFileInfo::exists(path)); // 0.1 s later, not now
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(name)), kTimeoutMs);
    }

    void startingAgainReplacesTheMonitor()
    {
        const auto collector = startedCollector();
        collector->startMonitoring();
        QVERIFY(collector->isMonitoring());
        LogMark log;
        const QString name = QStringLiteral("20250301_093000_ONCE.job.json");
        const QString path = enqueue(name, jobDocument(QStringLiteral("QuickCreate"),
                                                       Json::object(), QStringLiteral("ONCE")));
        QVERIFY(settle(*collector, log, path));
        QTest::qWait(300); // time for a second, stray report
        collector->waitUntilIdle();
        QCOMPARE(log.count(QStringLiteral("INFO New job file detected: ") + path), 1);
        QCOMPARE(log.count(QStringLiteral("INFO Job archived: ") + archived(name)), 1);
        collector->stopMonitoring();
        QVERIFY(!collector->isMonitoring());
    }

    void workerAndCollectorShareTheQueue_data()
    {
        QTest::addColumn<Delivery>("delivery");
        QTest::addColumn<int>("gapMs"); // between two job files
        QTest::newRow("QueueWriter, at once") << Delivery::queueWriter << 0;
        QTest::newRow("QueueWriter, over two seconds") << Delivery::queueWriter << 50;
        QTest::newRow("moved in, at once") << Delivery::movedIn << 0;
    }
    void workerAndCollectorShareTheQueue()
    {
        QFETCH(Delivery, delivery);
        QFETCH(int, gapMs);
        constexpr int kJobs = 40;
        QList<JobEnvelope> envelopes;
        for (int i = 0; i < kJobs; ++i) {
            const QString clip = m_queue.sourcePath(QStringLiteral("clip-%1.mov").arg(i));
            QVERIFY(writeFile(clip, QByteArray::number(i)));
            envelopes.append(JobEnvelope::makeNew(
                JobType::uploadFiles, QueueWriter::convertToAnyCodable(UploadFilesJob{{clip}})));
        }

        JobWorker::start();
        const auto collector = startedCollector();
        LogMark log;
        for (const JobEnvelope &envelope : envelopes) {
            if (delivery == Delivery::queueWriter) {
                QCOMPARE(QueueWriter::write(envelope), queued(envelope.fileName()));
            } else {
                const QString outside = m_queue.sourcePath(envelope.fileName());
                QVERIFY(writeFile(outside, QByteArray::fromStdString(envelope.encode())));
                QVERIFY(QFile::rename(outside, queued(envelope.fileName())));
            }
            if (gapMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(envelopes.cbegin(), envelopes.cend(),
                                             [](const JobEnvelope &envelope) {
                                                 return QFileInfo::exists(
                                                     archived(envelope.fileName()));
                                             }),
                                 30000);
        collector->waitUntilIdle();
        JobWorker::shutdown();

        for (int i = 0; i < kJobs; ++i) {
            const JobEnvelope &envelope = envelopes.at(i);
            QCOMPARE(
                log.count(QStringLiteral("INFO Job archived: ") + archived(envelope.fileName())),
                1);
            QCOMPARE(
                TestSupport::readFile(outbox(envelope.id) + QStringLiteral("/clip-%1.mov").arg(i)),
                QByteArray::number(i));
        }
        QCOMPARE(log.startingWith(QStringLiteral("ERROR ")), QStringList());
        QCOMPARE(log.startingWith(QStringLiteral("WARN ")), QStringList());
        QCOMPARE(m_queue.callbacks(), QStringList());
        QCOMPARE(tree(Paths::queueDir()), QStringList());
        QCOMPARE(partialFiles(Paths::outboxDir()), QStringList());
    }

    void largeCopyIsFinishedOrCancelled_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("collector kept") << false;
        QTest::newRow("collector destroyed") << true;
    }
    void largeCopyIsFinishedOrCancelled()
    {
        QFETCH(bool, destroy);
        const qint64 size = qint64(256) << 20;
        const QString big = m_queue.sourcePath(QStringLiteral("big.bin"));
        QVERIFY(writeLargeFile(big, size));
        const QString name = QStringLiteral("20250301_093000_BIG.job.json");
        const QByteArray document = jobDocument(
            QStringLiteral("UploadFiles"), {{"files", stringArray({big})}}, QStringLiteral("BIG"));
        const QString staged = outbox(QStringLiteral("BIG")) + QStringLiteral("/big.bin");

        auto collector = startedCollector();
        LogMark log;
        const QString path = enqueue(name, document);
        QVERIFY(!path.isEmpty());
        // Wait for the copy's hidden temporary; a final name must never hold part of the data.
        QElapsedTimer timer;
        timer.start();
        bool underWay = false;
        bool done = false;
        while (!underWay && !done && timer.elapsed() < kTimeoutMs) {
            const qint64 stagedSize = sizeOf(staged);
            QVERIFY(stagedSize == -1 || stagedSize == size);
            done = QFileInfo::exists(archived(name));
            underWay = !partialFiles(outbox(QStringLiteral("BIG"))).isEmpty();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        QVERIFY2(underWay || done, "the copy never started");

        if (!destroy) {
            timer.restart();
            while (!QFileInfo::exists(archived(name)) && timer.elapsed() < 60000) {
                const qint64 stagedSize = sizeOf(staged);
                QVERIFY(stagedSize == -1 || stagedSize == size);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            QVERIFY(QFileInfo::exists(archived(name)));
            QCOMPARE(sizeOf(staged), size); // archived only after its staging
            QVERIFY(!QFileInfo::exists(path));
            QCOMPARE(partialFiles(Paths::outboxDir()), QStringList());
            return;
        }

        const qint64 copied = copiedSoFar(outbox(QStringLiteral("BIG")), staged, size);
        collector.reset();
        // Only a copy that was nearly done may have finished before noticing the cancel.
        if (copied > size / 2 &&
            log.count(QStringLiteral("INFO Job archived: ") + archived(name)) == 1) {
            QSKIP("The copy finished before it could be cancelled");
        }
        QCOMPARE(TestSupport::readFile(path), document);
        QVERIFY(!QFileInfo::exists(archived(name)));
        QVERIFY(!QFileInfo::exists(staged));
        QCOMPARE(partialFiles(Paths::outboxDir()), QStringList());
        QCOMPARE(log.startingWith(QStringLiteral("ERROR ")), QStringList());
    }

private:
    QueueTestState m_queue;
};

VORLANTA_TEST_MAIN(TestQueueCollector)
#include "tst_QueueCollector.moc"
