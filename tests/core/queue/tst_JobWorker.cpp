#include "core/queue/JobEnvelope.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/JobFileRegistry.h"
#include "core/queue/JobWorker.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/QueueTestHelpers.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
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
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using namespace QueueTestHelpers;

bool setModified(const QString &path, const QDateTime &when)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(when, QFileDevice::FileModificationTime);
}

QDateTime minutesAgo(int minutes)
{
    return QDateTime::currentDateTimeUtc().addSecs(-60 * qint64(minutes));
}

// A logged line without its level.
QString messageOf(const QString &line)
{
    return line.mid(line.indexOf(QLatin1Char(' ')) + 1);
}

enum class BadFile { notJson, tooLarge, unknownType, notAnObject, noPayload, archiveTaken };
enum class FolderCase { noKey, notAString, missing, empty, destinationTaken };
enum class Interruption { stop, shutdown };

} // namespace

Q_DECLARE_METATYPE(BadFile)
Q_DECLARE_METATYPE(FolderCase)
Q_DECLARE_METATYPE(Interruption)

class TestJobWorker : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(m_queue.setUp()); }
    void cleanup() { m_queue.tearDown(); }

    void takesJobFilesOldestFirstAndOnlyByTheirName()
    {
        const QDateTime ten(QDate(2025, 3, 1), QTime(10, 0, 0), Qt::UTC);
        // Names and ages disagree, so only the modification times give this order.
        const QList<std::pair<QString, int>> jobs = {{QStringLiteral("1.job.json"), 3},
                                                     {QStringLiteral("2.job.json"), 1},
                                                     {QStringLiteral("3.job.json"), 2}};
        for (const auto &[name, second] : jobs) {
            QVERIFY(!enqueue(name, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                               name.left(1)))
                         .isEmpty());
            QVERIFY(setModified(queued(name), ten.addSecs(second)));
        }
        // Older than every job: they would come first if they were taken at all.
        const QStringList ignored = {QStringLiteral(".x.job.json"), QStringLiteral("report.json"),
                                     QStringLiteral("x.job.json.tmp"), QStringLiteral("x.job.txt")};
        for (const QString &name : ignored) {
            QVERIFY(!enqueue(name, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                               QStringLiteral("IGNORED")))
                         .isEmpty());
            QVERIFY(setModified(queued(name), ten.addSecs(-3600)));
        }
        QCOMPARE(JobWorker::getNextJobFile().value_or(QString()),
                 queued(QStringLiteral("2.job.json")));

        LogMark log;
        JobWorker::start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(QStringLiteral("1.job.json"))) &&
                                     QFileInfo::exists(archived(QStringLiteral("2.job.json"))) &&
                                     QFileInfo::exists(archived(QStringLiteral("3.job.json"))),
                                 kTimeoutMs);
        QCOMPARE(
            log.startingWith(QStringLiteral("INFO Processing job: ")),
            (QStringList{
                QStringLiteral("INFO Processing job: ") + queued(QStringLiteral("2.job.json")),
                QStringLiteral("INFO Processing job: ") + queued(QStringLiteral("3.job.json")),
                QStringLiteral("INFO Processing job: ") + queued(QStringLiteral("1.job.json"))}));
        for (const QString &name : ignored) {
            QVERIFY2(QFileInfo::exists(queued(name)), qPrintable(name));
        }
        QVERIFY(!QFileInfo::exists(outbox(QStringLiteral("IGNORED"))));
        QVERIFY(!JobWorker::getNextJobFile().has_value());
    }

    void stagesFileLists_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("label");
        // "?" marks a path where nothing exists.
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<bool>("otherValues"); // a number and a null among the paths

        const QString upload = QStringLiteral("UploadFiles");
        QTest::newRow("UploadFiles, two files")
            << upload << upload << QStringList{QStringLiteral("a.mov"), QStringLiteral("b.mov")}
            << false;
        QTest::newRow("UploadFiles, empty list") << upload << upload << QStringList() << false;
        QTest::newRow("UploadFiles, a missing file between two")
            << upload << upload
            << QStringList{QStringLiteral("a.mov"), QStringLiteral("?gone.mov"),
                           QStringLiteral("b.mov")}
            << false;
        QTest::newRow("UploadFiles, other values skipped")
            << upload << upload << QStringList{QStringLiteral("a.mov"), QStringLiteral("b.mov")}
            << true;
        QTest::newRow("QuickProject")
            << QStringLiteral("QuickProject") << QStringLiteral("QuickProject")
            << QStringList{QStringLiteral("intro.mov"), QStringLiteral("main.mov")} << false;
        QTest::newRow("Missing, one file")
            << QStringLiteral("Missing") << QStringLiteral("MissingFiles")
            << QStringList{QStringLiteral("m.wav")} << false;
        QTest::newRow("Missing, nothing at the path")
            << QStringLiteral("Missing") << QStringLiteral("MissingFiles")
            << QStringList{QStringLiteral("?gone.wav")} << false;
    }
    void stagesFileLists()
    {
        QFETCH(QString, type);
        QFETCH(QString, label);
        QFETCH(QStringList, entries);
        QFETCH(bool, otherValues);

        const QString id = QStringLiteral("LIST");
        QStringList paths;
        QStringList present;
        for (const QString &entry : entries) {
            const bool absent = entry.startsWith(QLatin1Char('?'));
            const QString name = absent ? entry.mid(1) : entry;
            paths.append(m_queue.sourcePath(name));
            if (!absent) {
                QVERIFY(writeFile(paths.last(), QByteArray("content of " + name.toUtf8())));
                present.append(name);
            }
        }
        Json files = stringArray(paths);
        if (otherValues) {
            files.insert(files.begin() + 1, Json(7));
            files.insert(files.begin() + 2, Json(nullptr));
        }
        Json payload = {{"files", files}};
        if (type == QLatin1String("QuickProject")) {
            payload = {{"title", "Quick Project"},
                       {"longForm", false},
                       {"thumbnail", 1},
                       {"short", false},
                       {"files", files}};
        }
        const QString name = QStringLiteral("20250301_093000_LIST.job.json");
        const QByteArray document = jobDocument(type, payload, id);
        const QString path = enqueue(name, document);
        QVERIFY(!path.isEmpty());

        LogMark log;
        JobWorker::processJob(path);

        QStringList expected{QStringLiteral("INFO Processing job: ") + path,
                             QStringLiteral("INFO ") + label + QStringLiteral(": ") +
                                 QString::number(paths.size()) + QStringLiteral(" file(s).")};
        for (const QString &source : paths) {
            const QString destination =
                outbox(id) + QLatin1Char('/') + QFileInfo(source).fileName();
            expected.append(QFileInfo::exists(source)
                                ? QString(QStringLiteral("INFO Copied: ") + source +
                                          QStringLiteral(" -> ") + destination)
                                : QString(QStringLiteral("WARN Missing file: ") + source));
        }
        expected.append(QStringLiteral("INFO Job archived: ") + archived(name));
        QCOMPARE(log.lines(), expected);

        QCOMPARE(tree(outbox(id)), sorted(present));
        for (const QString &file : present) {
            QCOMPARE(TestSupport::readFile(outbox(id) + QLatin1Char('/') + file),
                     QByteArray("content of " + file.toUtf8()));
        }
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(TestSupport::readFile(archived(name)), document);
        QCOMPARE(m_queue.callbacks(), QStringList());
    }

    void fileListJobWithoutAListIsArchived_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("UploadFiles without files")
            << QStringLiteral("UploadFiles") << QStringLiteral("UploadFiles") << QByteArray("{}");
        QTest::newRow("UploadFiles, files not an array")
            << QStringLiteral("UploadFiles") << QStringLiteral("UploadFiles")
            << QByteArray(R"({"files": "/a.mov"})");
        QTest::newRow("UploadFiles, payload an array")
            << QStringLiteral("UploadFiles") << QStringLiteral("UploadFiles") << QByteArray("[]");
        QTest::newRow("QuickProject without files")
            << QStringLiteral("QuickProject") << QStringLiteral("QuickProject")
            << QByteArray(R"({"title": "T"})");
        QTest::newRow("Missing without files")
            << QStringLiteral("Missing") << QStringLiteral("MissingFiles") << QByteArray("{}");
    }
    void fileListJobWithoutAListIsArchived()
    {
        QFETCH(QString, type);
        QFETCH(QString, label);
        QFETCH(QByteArray, payload);
        const QString name = QStringLiteral("20250301_093000_NOLIST.job.json");
        const QString path = enqueue(
            name, jobDocument(type, Json::parse(payload.toStdString()), QStringLiteral("NOLIST")));
        QVERIFY(!path.isEmpty());

        LogMark log;
        JobWorker::processJob(path);
        QCOMPARE(log.lines(),
                 (QStringList{QStringLiteral("INFO Processing job: ") + path,
                              QStringLiteral("WARN No files found in ") + label +
                                  QStringLiteral(" job payload"),
                              QStringLiteral("INFO Job archived: ") + archived(name)}));
        QVERIFY(QFileInfo(outbox(QStringLiteral("NOLIST"))).isDir());
        QCOMPARE(tree(outbox(QStringLiteral("NOLIST"))), QStringList());
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
        const QString name = QStringLiteral("20250301_093000_TAKEN.job.json");
        const QString path = enqueue(
            name, jobDocument(QStringLiteral("UploadFiles"), {{"files", stringArray({a, b})}}, id));
        QVERIFY(!path.isEmpty());

        LogMark log;
        JobWorker::processJob(path);
        QCOMPARE(log.lines(),
                 (QStringList{QStringLiteral("INFO Processing job: ") + path,
                              QStringLiteral("INFO UploadFiles: 2 file(s)."),
                              QStringLiteral("WARN Failed to copy file ") + a +
                                  QStringLiteral(": File exists"),
                              QStringLiteral("INFO Copied: ") + b + QStringLiteral(" -> ") +
                                  outbox(id) + QStringLiteral("/b.mov"),
                              QStringLiteral("INFO Job archived: ") + archived(name)}));
        QCOMPARE(TestSupport::readFile(outbox(id) + QStringLiteral("/a.mov")),
                 QByteArray("earlier a"));
        QCOMPARE(TestSupport::readFile(outbox(id) + QStringLiteral("/b.mov")), QByteArray("new b"));
        QCOMPARE(tree(outbox(id)), (QStringList{QStringLiteral("a.mov"), QStringLiteral("b.mov")}));
        QCOMPARE(m_queue.callbacks(), QStringList());
    }

    void quickCreateWritesAMarker_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("marker");
        QTest::newRow("no target") << QByteArray("{}") << QByteArray("QuickCreate at: (none)");
        QTest::newRow("target") << QByteArray(R"({"targetPath": "/Users/creator/x"})")
                                << QByteArray("QuickCreate at: /Users/creator/x");
        QTest::newRow("escaped slashes, non-ASCII")
            << QByteArray(R"({"targetPath": "\/Users\/cr\u00e9ateur\/\u00fc"})")
            << QByteArray("QuickCreate at: /Users/cr\xc3\xa9"
                          "ateur/\xc3\xbc");
        QTest::newRow("target not a string")
            << QByteArray(R"({"targetPath": 42})") << QByteArray("QuickCreate at: (none)");
    }
    void quickCreateWritesAMarker()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, marker);
        const QString name = QStringLiteral("20250301_093000_QC.job.json");
        const QString path =
            enqueue(name, jobDocument(QStringLiteral("QuickCreate"),
                                      Json::parse(payload.toStdString()), QStringLiteral("QC")));
        QVERIFY(!path.isEmpty());

        LogMark log;
        JobWorker::processJob(path);
        const QString markerPath =
            outbox(QStringLiteral("QC")) + QStringLiteral("/quickcreate.txt");
        QCOMPARE(log.lines(),
                 (QStringList{QStringLiteral("INFO Processing job: ") + path,
                              QStringLiteral("INFO QuickCreate marker written: ") + markerPath,
                              QStringLiteral("INFO Job archived: ") + archived(name)}));
        QCOMPARE(TestSupport::readFile(markerPath), marker);
        QCOMPARE(tree(outbox(QStringLiteral("QC"))),
                 QStringList{QStringLiteral("quickcreate.txt")});
        QVERIFY(QFileInfo::exists(archived(name)));
    }

    void uploadFolderStagesItsVisibleContents()
    {
        const QString folder = m_queue.sourcePath(QStringLiteral("Footage"));
        QVERIFY(writeFile(folder + QStringLiteral("/a.txt"), "A"));
        QVERIFY(writeFile(folder + QStringLiteral("/.hidden"), "H"));
        QVERIFY(writeFile(folder + QStringLiteral("/.git/c"), "C"));
        QVERIFY(writeFile(folder + QStringLiteral("/sub/b.txt"), "B"));
        QVERIFY(writeFile(folder + QStringLiteral("/sub/.h2"), "H2"));
        QVERIFY(writeFile(folder + QStringLiteral("/sub/deeper/d.txt"), "D"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/empty")));
        const QString name = QStringLiteral("20250301_093000_FOLDER.job.json");
        const QString path =
            enqueue(name, jobDocument(QStringLiteral("UploadFolder"),
                                      {{"folderPath", utf8(folder)}}, QStringLiteral("FOLDER")));
        QVERIFY(!path.isEmpty());

        LogMark log;
        JobWorker::processJob(path);
        QCOMPARE(log.lines(),
                 (QStringList{QStringLiteral("INFO Processing job: ") + path,
                              QStringLiteral("INFO UploadFolder: ") + folder,
                              QStringLiteral("INFO Job archived: ") + archived(name)}));
        const QString staged = outbox(QStringLiteral("FOLDER"));
        QCOMPARE(tree(staged),
                 sorted({QStringLiteral("a.txt"), QStringLiteral("empty/"), QStringLiteral("sub/"),
                         QStringLiteral("sub/b.txt"), QStringLiteral("sub/deeper/"),
                         QStringLiteral("sub/deeper/d.txt")}));
        QCOMPARE(TestSupport::readFile(staged + QStringLiteral("/a.txt")), QByteArray("A"));
        QCOMPARE(TestSupport::readFile(staged + QStringLiteral("/sub/b.txt")), QByteArray("B"));
        QCOMPARE(TestSupport::readFile(staged + QStringLiteral("/sub/deeper/d.txt")),
                 QByteArray("D"));
    }

    void uploadFolderProblemsAreLoggedAndTheJobArchived_data()
    {
        QTest::addColumn<FolderCase>("folderCase");
        QTest::newRow("no folder path") << FolderCase::noKey;
        QTest::newRow("folder path not a string") << FolderCase::notAString;
        QTest::newRow("nothing at the path") << FolderCase::missing;
        QTest::newRow("empty path") << FolderCase::empty;
        QTest::newRow("staged copy already there") << FolderCase::destinationTaken;
    }
    void uploadFolderProblemsAreLoggedAndTheJobArchived()
    {
        QFETCH(FolderCase, folderCase);
        const QString id = QStringLiteral("FOLDER");
        const QString folder = m_queue.sourcePath(QStringLiteral("Footage"));
        Json payload = {{"folderPath", utf8(folder)}};
        QString problem;
        switch (folderCase) {
        case FolderCase::noKey:
            payload = Json::object();
            problem = QStringLiteral("WARN No folder path found in UploadFolder job payload");
            break;
        case FolderCase::notAString:
            payload = {{"folderPath", 5}};
            problem = QStringLiteral("WARN No folder path found in UploadFolder job payload");
            break;
        case FolderCase::missing:
            problem = QStringLiteral("WARN UploadFolder invalid/missing: ") + folder;
            break;
        case FolderCase::empty:
            payload = {{"folderPath", ""}};
            problem = QStringLiteral("WARN UploadFolder invalid/missing: ");
            break;
        case FolderCase::destinationTaken:
            QVERIFY(writeFile(folder + QStringLiteral("/a.txt"), "new"));
            QVERIFY(writeFile(outbox(id) + QStringLiteral("/a.txt"), "earlier"));
            problem = QStringLiteral("ERROR Failed to copy directory ") + folder +
                      QStringLiteral(": File exists");
            break;
        }
        const QString name = QStringLiteral("20250301_093000_FOLDER.job.json");
        const QString path =
            enqueue(name, jobDocument(QStringLiteral("UploadFolder"), payload, id));
        QVERIFY(!path.isEmpty());

        LogMark log;
        JobWorker::processJob(path);
        QStringList expected{QStringLiteral("INFO Processing job: ") + path};
        if (folderCase == FolderCase::destinationTaken) {
            expected.append(QStringLiteral("INFO UploadFolder: ") + folder);
        }
        expected.append(problem);
        expected.append(QStringLiteral("INFO Job archived: ") + archived(name));
        QCOMPARE(log.lines(), expected);
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(m_queue.callbacks(), QStringList());
        if (folderCase == FolderCase::destinationTaken) {
            QCOMPARE(TestSupport::readFile(outbox(id) + QStringLiteral("/a.txt")),
                     QByteArray("earlier"));
            QCOMPARE(tree(outbox(id)), QStringList{QStringLiteral("a.txt")});
        }
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
        QTest::newRow("id not a string") << QByteArray("42") << QString() << false;
        QTest::newRow("letters, digits, - _ .")
            << QByteArray(R"("Job-1_a.B")") << QStringLiteral("Job-1_a.B") << false;
        QTest::newRow("128 characters") << QByteArray('"' + QByteArray(128, 'a') + '"')
                                        << QString(128, QLatin1Char('a')) << false;
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
        const QString path = enqueue(name, QByteArray::fromStdString(document.dump(2)));
        QVERIFY(!path.isEmpty());
        const QStringList before = entriesOutsideQueueDirectories();

        LogMark log;
        JobWorker::processJob(path);
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
        QCOMPARE(TestSupport::readFile(outbox(staged.first()) + QStringLiteral("/quickcreate.txt")),
                 QByteArray("QuickCreate at: /Users/creator/x"));
        QCOMPARE(tree(outbox(staged.first())), QStringList{QStringLiteral("quickcreate.txt")});
        QVERIFY(QFileInfo::exists(archived(name)));
        QCOMPARE(entriesOutsideQueueDirectories(), before);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/vorlanta-unsafe-abs")));
    }

    void badJobFileStaysAndDoesNotHoldBackYoungerJobs_data()
    {
        QTest::addColumn<BadFile>("bad");
        QTest::addColumn<bool>("callback");
        QTest::newRow("not JSON") << BadFile::notJson << true;
        QTest::newRow("larger than 16 MiB") << BadFile::tooLarge << true;
        QTest::newRow("unknown type") << BadFile::unknownType << false;
        QTest::newRow("not an object") << BadFile::notAnObject << false;
        QTest::newRow("no payload") << BadFile::noPayload << false;
        QTest::newRow("archive name taken") << BadFile::archiveTaken << true;
    }
    void badJobFileStaysAndDoesNotHoldBackYoungerJobs()
    {
        QFETCH(BadFile, bad);
        QFETCH(bool, callback);
        const QString badName = QStringLiteral("20240101_000000_BAD.job.json");
        const QString badPath = queued(badName);
        const QByteArray valid = jobDocument(QStringLiteral("QuickCreate"),
                                             {{"targetPath", "/bad"}}, QStringLiteral("BAD"));
        // Valid JSON padded with spaces: only its size keeps it from being a job.
        QByteArray tooLarge = valid;
        tooLarge.append(QByteArray(JobFileReader::kMaxJobFileBytes + 1 - valid.size(), ' '));
        const QMap<BadFile, QByteArray> contents = {
            {BadFile::notJson, QByteArray("{ \"id\": ")},
            {BadFile::tooLarge, tooLarge},
            {BadFile::unknownType, jobDocument(QStringLiteral("uploadFiles"),
                                               {{"files", Json::array()}}, QStringLiteral("BAD"))},
            {BadFile::notAnObject, QByteArray("[1, 2]")},
            {BadFile::noPayload, QByteArray(R"({"id": "BAD", "type": "QuickCreate"})")},
            {BadFile::archiveTaken, valid},
        };
        QVERIFY(!enqueue(badName, contents.value(bad)).isEmpty());
        QVERIFY(setModified(badPath, minutesAgo(120)));
        if (bad == BadFile::archiveTaken) {
            QVERIFY(writeFile(archived(badName), "earlier"));
        }
        const QString goodName = QStringLiteral("20250101_000000_GOOD.job.json");
        QVERIFY(!enqueue(goodName, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                               QStringLiteral("GOOD")))
                     .isEmpty());
        QVERIFY(setModified(queued(goodName), minutesAgo(60)));

        const bool invalid =
            bad == BadFile::unknownType || bad == BadFile::notAnObject || bad == BadFile::noPayload;
        const QString report =
            invalid ? QString(QStringLiteral("ERROR Invalid job file format: ") + badPath)
                    : QString(QStringLiteral("ERROR Failed to process job ") + badName +
                              QStringLiteral(": "));
        LogMark log;
        JobWorker::start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(goodName)), kTimeoutMs);
        // More rounds of the loop over the unchanged file.
        QTest::qWait(1500);
        QVERIFY2(log.startingWith(QStringLiteral("ERROR ")).size() == 1, log.dump().constData());
        const QString line = log.startingWith(report).value(0);
        QVERIFY2(!line.isEmpty(), log.dump().constData());
        if (invalid) {
            QCOMPARE(line, report);
        } else {
            QVERIFY2(line.size() > report.size(), qPrintable(line)); // a description follows
        }
        const QString message = messageOf(line);
        QTRY_COMPARE(m_queue.callbacks(), callback ? QStringList{message} : QStringList());
        QVERIFY(QFileInfo::exists(badPath));
        QCOMPARE(log.count(QStringLiteral("INFO Processing job: ") + badPath), 1);
        if (bad == BadFile::archiveTaken) {
            QCOMPARE(TestSupport::readFile(archived(badName)), QByteArray("earlier"));
            QCOMPARE(TestSupport::readFile(outbox(QStringLiteral("BAD")) +
                                           QStringLiteral("/quickcreate.txt")),
                     QByteArray("QuickCreate at: /bad"));
        }

        // A changed file is worth another try.
        QVERIFY(setModified(badPath, minutesAgo(90)));
        QTRY_COMPARE_WITH_TIMEOUT(log.startingWith(report).size(), 2, kTimeoutMs);
        QTRY_COMPARE(m_queue.callbacks().size(), callback ? 2 : 0);
        QVERIFY(QFileInfo::exists(badPath));

        // Mended, it goes through.
        switch (bad) {
        case BadFile::tooLarge:
            QVERIFY(QFile::resize(badPath, JobFileReader::kMaxJobFileBytes));
            break;
        case BadFile::archiveTaken:
            QVERIFY(QFile::remove(archived(badName)));
            QVERIFY(setModified(badPath, minutesAgo(80)));
            break;
        default:
            QVERIFY(writeAtomically(badPath, valid));
            break;
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(badName)), kTimeoutMs);
        QVERIFY(!QFileInfo::exists(badPath));
        QCOMPARE(TestSupport::readFile(outbox(QStringLiteral("BAD")) +
                                       QStringLiteral("/quickcreate.txt")),
                 QByteArray("QuickCreate at: /bad"));
        QCOMPARE(m_queue.callbacks().size(), callback ? 2 : 0);
    }

    void outboxFailureTakesTheErrorPathOnce()
    {
        QVERIFY(QDir(Paths::outboxDir()).removeRecursively());
        QVERIFY(writeFile(Paths::outboxDir(), "not a directory"));
        const QString name = QStringLiteral("20250301_093000_BLOCKED.job.json");
        const QString path =
            enqueue(name, jobDocument(QStringLiteral("QuickCreate"), {{"targetPath", "/t"}},
                                      QStringLiteral("BLOCKED")));
        QVERIFY(!path.isEmpty());
        const QString report =
            QStringLiteral("ERROR Failed to process job ") + name + QStringLiteral(": ");

        LogMark log;
        JobWorker::start();
        QTRY_COMPARE_WITH_TIMEOUT(log.startingWith(report).size(), 1, kTimeoutMs);
        const QString line = log.startingWith(report).first();
        QVERIFY2(line.size() > report.size(), qPrintable(line));
        QTRY_COMPARE(m_queue.callbacks(), QStringList{messageOf(line)});
        QTest::qWait(1500); // more rounds of the loop
        QCOMPARE(log.startingWith(QStringLiteral("ERROR ")), QStringList{line});
        QCOMPARE(m_queue.callbacks().size(), 1);
        QVERIFY(QFileInfo::exists(path));

        QVERIFY(setModified(path, minutesAgo(30)));
        QTRY_COMPARE_WITH_TIMEOUT(log.startingWith(report).size(), 2, kTimeoutMs);
        QTRY_COMPARE(m_queue.callbacks().size(), 2);

        QVERIFY(recreateDirectory(Paths::outboxDir()));
        QVERIFY(setModified(path, minutesAgo(20)));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(name)), kTimeoutMs);
        QCOMPARE(TestSupport::readFile(outbox(QStringLiteral("BLOCKED")) +
                                       QStringLiteral("/quickcreate.txt")),
                 QByteArray("QuickCreate at: /t"));
        QCOMPARE(m_queue.callbacks().size(), 2);
    }

    void claimedJobFileWaitsForItsRelease()
    {
        const QString olderName = QStringLiteral("20250301_093000_OLDER.job.json");
        const QString youngerName = QStringLiteral("20250301_093001_YOUNGER.job.json");
        const QString older =
            enqueue(olderName, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                           QStringLiteral("OLDER")));
        const QString younger =
            enqueue(youngerName, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                             QStringLiteral("YOUNGER")));
        QVERIFY(!older.isEmpty() && !younger.isEmpty());
        QVERIFY(setModified(older, minutesAgo(20)));
        QVERIFY(setModified(younger, minutesAgo(10)));
        QVERIFY(JobFileRegistry::shared().tryClaim(older));

        LogMark log;
        JobWorker::processJob(older);
        QCOMPARE(log.lines(), QStringList());
        QVERIFY(QFileInfo::exists(older));
        QCOMPARE(JobWorker::getNextJobFile().value_or(QString()), younger);

        JobWorker::start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(youngerName)), kTimeoutMs);
        QVERIFY(QFileInfo::exists(older));
        QCOMPARE(log.count(QStringLiteral("INFO Processing job: ") + older), 0);

        JobFileRegistry::shared().release(older);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(olderName)), kTimeoutMs);
        QCOMPARE(log.count(QStringLiteral("INFO Processing job: ") + older), 1);
        QCOMPARE(log.startingWith(QStringLiteral("ERROR ")), QStringList());
    }

    void vanishedJobFileIsSkippedSilently()
    {
        LogMark log;
        JobWorker::processJob(queued(QStringLiteral("20250301_093000_GONE.job.json")));
        QCOMPARE(log.lines(), QStringList());
        QCOMPARE(m_queue.callbacks(), QStringList());
    }

    void unlistableQueueIsReported()
    {
        QVERIFY(QDir(Paths::queueDir()).removeRecursively());
        LogMark log;
        QVERIFY(!JobWorker::getNextJobFile().has_value());
        const QStringList lines = log.lines();
        QCOMPARE(lines.size(), 1);
        const QString prefix = QStringLiteral("ERROR Failed to enumerate queue directory: ");
        QVERIFY2(lines.first().startsWith(prefix) && lines.first().size() > prefix.size(),
                 qPrintable(lines.first()));
    }

    void startWhileRunningStartsNoSecondLoop()
    {
        CapturedStdout out;
        LogMark log;
        JobWorker::start();
        JobWorker::start();
        QVERIFY(JobWorker::isRunning());
        QCOMPARE(log.count(QStringLiteral("INFO JobWorker started")), 1);
        QCOMPARE(log.count(QStringLiteral("INFO JobWorker already running")), 1);
        const QString first = QStringLiteral("20250301_093000_FIRST.job.json");
        QVERIFY(!enqueue(first, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                            QStringLiteral("FIRST")))
                     .isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(first)), kTimeoutMs);
        QCOMPARE(out.count(QStringLiteral("[JobWorker] Starting main processing loop")), 1);

        // After stop, start begins a new loop.
        JobWorker::stop();
        QVERIFY(!JobWorker::isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(
            out.count(QStringLiteral("[JobWorker] Main processing loop ended")), 1, kTimeoutMs);
        JobWorker::start();
        QVERIFY(JobWorker::isRunning());
        const QString second = QStringLiteral("20250301_093001_SECOND.job.json");
        QVERIFY(!enqueue(second, jobDocument(QStringLiteral("QuickCreate"), Json::object(),
                                             QStringLiteral("SECOND")))
                     .isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(archived(second)), kTimeoutMs);
        QCOMPARE(out.count(QStringLiteral("[JobWorker] Starting main processing loop")), 2);
        QCOMPARE(log.count(QStringLiteral("INFO JobWorker started")), 2);
    }

    void stopEndsTheLoopWithinItsPause()
    {
        CapturedStdout out;
        LogMark log;
        JobWorker::start();
        QTRY_COMPARE(out.count(QStringLiteral("[JobWorker] Starting main processing loop")), 1);
        QTest::qWait(200); // into the pause of the empty queue
        QCOMPARE(out.count(QStringLiteral("[JobWorker] Main processing loop ended")), 0);
        JobWorker::stop();
        QVERIFY(!JobWorker::isRunning());
        QCOMPARE(log.count(QStringLiteral("INFO JobWorker stopped")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(
            out.count(QStringLiteral("[JobWorker] Main processing loop ended")), 1, 1500);
    }

    void largeCopyIsFinishedOrCancelled_data()
    {
        QTest::addColumn<Interruption>("interruption");
        QTest::newRow("stop lets the job finish") << Interruption::stop;
        QTest::newRow("shutdown cancels the copy") << Interruption::shutdown;
    }
    void largeCopyIsFinishedOrCancelled()
    {
        QFETCH(Interruption, interruption);
        const qint64 size = qint64(256) << 20;
        const QString big = m_queue.sourcePath(QStringLiteral("big.bin"));
        QVERIFY(writeLargeFile(big, size));
        const QString name = QStringLiteral("20250301_093000_BIG.job.json");
        const QByteArray document = jobDocument(
            QStringLiteral("UploadFiles"), {{"files", stringArray({big})}}, QStringLiteral("BIG"));
        const QString path = enqueue(name, document);
        QVERIFY(!path.isEmpty());
        const QString staged = outbox(QStringLiteral("BIG")) + QStringLiteral("/big.bin");

        LogMark log;
        JobWorker::start();
        // Wait for the copy's hidden temporary; a final name must never hold part of the data.
        QElapsedTimer timer;
        timer.start();
        bool underWay = false;
        while (!underWay && timer.elapsed() < kTimeoutMs) {
            const qint64 stagedSize = sizeOf(staged);
            QVERIFY(stagedSize == -1 || stagedSize == size);
            if (QFileInfo::exists(archived(name))) {
                QCOMPARE(sizeOf(staged), size); // archived only after its staging
                break;
            }
            underWay = !partialFiles(outbox(QStringLiteral("BIG"))).isEmpty();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }

        if (interruption == Interruption::stop) {
            JobWorker::stop();
            timer.restart();
            while (!QFileInfo::exists(archived(name)) && timer.elapsed() < 60000) {
                const qint64 stagedSize = sizeOf(staged);
                QVERIFY(stagedSize == -1 || stagedSize == size);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            QVERIFY(QFileInfo::exists(archived(name)));
            QCOMPARE(sizeOf(staged), size);
            QVERIFY(!QFileInfo::exists(path));
            QCOMPARE(partialFiles(Paths::outboxDir()), QStringList());
            return;
        }

        QVERIFY2(underWay || QFileInfo::exists(archived(name)), "the copy never started");
        const qint64 copied = copiedSoFar(outbox(QStringLiteral("BIG")), staged, size);
        JobWorker::shutdown();
        QVERIFY(!JobWorker::isRunning());
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
        QCOMPARE(m_queue.callbacks(), QStringList());
    }

private:
    QueueTestState m_queue;
};

VORLANTA_TEST_MAIN(TestJobWorker)
#include "tst_JobWorker.moc"
