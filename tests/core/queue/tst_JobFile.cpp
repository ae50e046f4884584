#include "core/queue/JobEnvelope.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/QueueWriter.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/TestEnvironment.h"

#include <QtCore/QRegularExpression>
#include <QtCore/QTimeZone>

#include <ctime>

namespace {

QString writeJobText(const QString &name, const QByteArray &content)
{
    Paths::ensureAll();
    const QString path = Paths::queueDir() + QLatin1Char('/') + name;
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
    return path;
}

bool isFreshIdentifier(const QString &id)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-F]{32}$"));
    return hex.match(id).hasMatch();
}

QString newLogSince(const QString &before)
{
    return Logger::joinedMemoryBuffer().mid(before.size());
}

} // namespace

class TestJobFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        QDir(Paths::queueDir()).removeRecursively();
        Paths::ensureAll();
    }

    void readingRules_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("type");

        using S = JobReadResult::Status;
        QTest::newRow("not JSON") << QByteArray("{\"type\": ") << int(S::readFailed) << QString();
        QTest::newRow("invalid UTF-8")
            << QByteArray("{\"type\":\"Missing\",\"payload\":{\"files\":[\"\xff\"]}}")
            << int(S::readFailed) << QString();
        QTest::newRow("array at the top")
            << QByteArray("[{\"type\":\"Missing\"}]") << int(S::invalid) << QString();
        QTest::newRow("wrong-case type") << QByteArray("{\"type\":\"uploadFiles\",\"payload\":{}}")
                                         << int(S::invalid) << QString();
        QTest::newRow("type not a string")
            << QByteArray("{\"type\":3,\"payload\":{}}") << int(S::invalid) << QString();
        QTest::newRow("no type") << QByteArray("{\"payload\":{}}") << int(S::invalid) << QString();
        QTest::newRow("no payload")
            << QByteArray("{\"type\":\"Missing\"}") << int(S::invalid) << QString();
        QTest::newRow("payload null accepted")
            << QByteArray("{\"type\":\"QuickCreate\",\"payload\":null}") << int(S::ok)
            << QStringLiteral("QuickCreate");
        QTest::newRow("payload array accepted")
            << QByteArray("{\"type\":\"UploadFiles\",\"payload\":[]}") << int(S::ok)
            << QStringLiteral("UploadFiles");
        for (const char *type :
             {"UploadFiles", "UploadFolder", "QuickCreate", "QuickProject", "Missing"}) {
            QTest::newRow(type) << (QByteArray("{\"payload\":{},\"type\":\"") + type + "\"}")
                                << int(S::ok) << QString::fromLatin1(type);
        }
    }
    void readingRules()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, status);
        QFETCH(QString, type);
        const QString path = writeJobText(QStringLiteral("x.job.json"), content);
        const JobReadResult result = JobFileReader::read(path);
        QCOMPARE(int(result.status), status);
        if (result.status == JobReadResult::Status::readFailed) {
            QVERIFY(!result.errorDescription.isEmpty());
        }
        if (result.status == JobReadResult::Status::ok) {
            QCOMPARE(jobTypeRawValue(result.envelope.type), type);
            QVERIFY(result.envelope.payload.is_object());
        }
        // Reading never moves or deletes the file.
        QVERIFY(QFileInfo::exists(path));
    }

    void identifierAndCreationTime_data()
    {
        QTest::addColumn<QByteArray>("members");
        QTest::addColumn<QString>("expectedId");      // empty: a fresh one
        QTest::addColumn<QString>("expectedCreated"); // empty: now
        QTest::addColumn<bool>("warnsUnsafe");

        QTest::newRow("both given")
            << QByteArray("\"id\":\"ABC123\",\"utcCreated\":\"2025-03-01T09:30:00Z\",")
            << QStringLiteral("ABC123") << QStringLiteral("2025-03-01T09:30:00Z") << false;
        QTest::newRow("both missing") << QByteArray() << QString() << QString() << false;
        QTest::newRow("id not a string")
            << QByteArray("\"id\":42,") << QString() << QString() << false;
        QTest::newRow("fractional seconds")
            << QByteArray("\"utcCreated\":\"2025-03-01T09:30:00.123Z\",") << QString() << QString()
            << false;
        QTest::newRow("offset converted to UTC")
            << QByteArray("\"utcCreated\":\"2025-03-01T10:30:00+01:00\",") << QString()
            << QStringLiteral("2025-03-01T09:30:00Z") << false;
        QTest::newRow("no zone") << QByteArray("\"utcCreated\":\"2025-03-01T09:30:00\",")
                                 << QString() << QString() << false;
        QTest::newRow("impossible date") << QByteArray("\"utcCreated\":\"2025-02-30T09:30:00Z\",")
                                         << QString() << QString() << false;
        QTest::newRow("safe punctuation") << QByteArray("\"id\":\"job-1_A.b\",")
                                          << QStringLiteral("job-1_A.b") << QString() << false;
        QTest::newRow("parent escape")
            << QByteArray("\"id\":\"../../x\",") << QString() << QString() << true;
        QTest::newRow("absolute") << QByteArray("\"id\":\"/tmp/x\",") << QString() << QString()
                                  << true;
        QTest::newRow("dot") << QByteArray("\"id\":\".\",") << QString() << QString() << true;
        QTest::newRow("dot dot") << QByteArray("\"id\":\"..\",") << QString() << QString() << true;
        QTest::newRow("separator")
            << QByteArray("\"id\":\"a/b\",") << QString() << QString() << true;
        QTest::newRow("NUL") << QByteArray("\"id\":\"a\\u0000b\",") << QString() << QString()
                             << true;
        QTest::newRow("empty") << QByteArray("\"id\":\"\",") << QString() << QString() << true;
        QTest::newRow("129 characters") << (QByteArray("\"id\":\"") + QByteArray(129, 'a') + "\",")
                                        << QString() << QString() << true;
        QTest::newRow("128 characters") << (QByteArray("\"id\":\"") + QByteArray(128, 'a') + "\",")
                                        << QString(128, QLatin1Char('a')) << QString() << false;
    }
    void identifierAndCreationTime()
    {
        QFETCH(QByteArray, members);
        QFETCH(QString, expectedId);
        QFETCH(QString, expectedCreated);
        QFETCH(bool, warnsUnsafe);
        const QString path =
            writeJobText(QStringLiteral("id.job.json"),
                         "{" + members + "\"type\":\"QuickCreate\",\"payload\":{}}");
        const QString before = Logger::joinedMemoryBuffer();
        const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-1);
        const JobReadResult result = JobFileReader::read(path);
        QCOMPARE(result.status, JobReadResult::Status::ok);
        if (expectedId.isEmpty()) {
            QVERIFY2(isFreshIdentifier(result.envelope.id), qPrintable(result.envelope.id));
        } else {
            QCOMPARE(result.envelope.id, expectedId);
        }
        if (expectedCreated.isEmpty()) {
            QVERIFY(result.envelope.utcCreated >= start);
            QVERIFY(result.envelope.utcCreated <= QDateTime::currentDateTimeUtc().addSecs(1));
        } else {
            QCOMPARE(formatInternetDateTime(result.envelope.utcCreated), expectedCreated);
        }
        const QString warning = QStringLiteral("WARN Unsafe job id in ") + path +
                                QStringLiteral("; using a fresh identifier\n");
        QCOMPARE(newLogSince(before).contains(warning), warnsUnsafe);
    }

    void fileLists_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("hasList");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("mixed elements")
            << QByteArray("{\"files\":[\"/a.mov\",7,null,\"/b.mov\",{\"x\":1},[\"/c\"]]}") << true
            << QStringList{QStringLiteral("/a.mov"), QStringLiteral("/b.mov")};
        QTest::newRow("escaped slashes") << QByteArray("{\"files\":[\"\\/Users\\/c\\/a.mov\"]}")
                                         << true << QStringList{QStringLiteral("/Users/c/a.mov")};
        QTest::newRow("empty list") << QByteArray("{\"files\":[]}") << true << QStringList();
        QTest::newRow("no files key")
            << QByteArray("{\"folderPath\":\"/x\"}") << false << QStringList();
        QTest::newRow("files not a list")
            << QByteArray("{\"files\":\"/a.mov\"}") << false << QStringList();
        QTest::newRow("payload not an object")
            << QByteArray("[\"/a.mov\"]") << false << QStringList();
    }
    void fileLists()
    {
        QFETCH(QByteArray, payload);
        QFETCH(bool, hasList);
        QFETCH(QStringList, files);
        const QString path = writeJobText(QStringLiteral("list.job.json"),
                                          "{\"type\":\"UploadFiles\",\"payload\":" + payload + "}");
        const JobReadResult result = JobFileReader::read(path);
        QCOMPARE(result.status, JobReadResult::Status::ok);
        const std::optional<QStringList> list = extractFilesFromPayload(result.envelope.payload);
        QCOMPARE(list.has_value(), hasList);
        if (hasList) {
            QCOMPARE(*list, files);
        }
    }

    void payloadValuesKeepTheirKinds()
    {
        const QString path = writeJobText(
            QStringLiteral("kinds.job.json"),
            "{\"type\":\"QuickProject\",\"payload\":{\"title\":\"T\",\"deliveryDays\":3,"
            "\"ratio\":2.5,\"longForm\":true,\"thumbnail\":1,\"channel\":null,"
            "\"big\":18446744073709551615,\"nested\":{\"a\":[1,\"b\"]}}}");
        const JobReadResult result = JobFileReader::read(path);
        QCOMPARE(result.status, JobReadResult::Status::ok);
        const AnyCodableValue &p = result.envelope.payload;
        QVERIFY(p.at("title").is_string());
        QVERIFY(p.at("deliveryDays").is_number_integer());
        QCOMPARE(p.at("deliveryDays").get<qint64>(), qint64(3));
        QVERIFY(p.at("ratio").is_number_float());
        QVERIFY(p.at("longForm").is_boolean());
        QVERIFY(p.at("thumbnail").is_number_integer());
        QVERIFY(p.at("channel").is_null());
        // Beyond 64-bit signed: kept as a floating-point number, not wrapped to a negative one.
        QVERIFY(p.at("big").is_number_float());
        QVERIFY(p.at("big").get<double>() > 1.8e19);
        QCOMPARE(p.at("nested").at("a").dump(), std::string("[1,\"b\"]"));
    }

    void oversizedFileIsARefusedRead()
    {
        const QString path = writeJobText(QStringLiteral("huge.job.json"), "{}");
        QFile file(path);
        QVERIFY(file.resize(JobFileReader::kMaxJobFileBytes + 1));
        const JobReadResult result = JobFileReader::read(path);
        QCOMPARE(result.status, JobReadResult::Status::readFailed);
        QVERIFY(result.errorDescription.contains(QStringLiteral("too large")));
    }

    void typedDecodingRefusesNonJsonKinds()
    {
        QCOMPARE(decodeAnyCodableValue(nlohmann::json::parse("[1,2.5,\"x\",true,null,{\"k\":[]}]"))
                     .dump(),
                 std::string("[1,2.5,\"x\",true,null,{\"k\":[]}]"));
        const nlohmann::json binary = nlohmann::json::binary({1, 2, 3});
        try {
            (void)decodeAnyCodableValue(nlohmann::json::array({1, binary}));
            QFAIL("decoded a binary value");
        } catch (const AnyCodableDecodingError &error) {
            QCOMPARE(QString::fromUtf8(error.what()),
                     QStringLiteral("Unsupported type for AnyCodableValue"));
        }
        // The generic conversion describes such a value instead of failing.
        QVERIFY(convertToAnyCodableValue(binary).is_string());
    }

    void writerNamesEncodesAndLogs()
    {
        QuickProjectPayload record;
        record.title = QStringLiteral("Quick Project");
        record.thumbnail = true;
        record.files = {QStringLiteral("/Users/creator/Movies/intro.mov"),
                        QStringLiteral("/Users/creator/Movies/main.mov")};
        JobEnvelope envelope =
            JobEnvelope::makeNew(JobType::quickProject, QueueWriter::convertToAnyCodable(record));
        envelope.id = QStringLiteral("3F2504E04F8941D39A0C0305E82C3301");
        envelope.utcCreated = QDateTime(QDate(2025, 3, 1), QTime(9, 30, 0), QTimeZone::utc());

        const QString before = Logger::joinedMemoryBuffer();
        const QString path = QueueWriter::write(envelope);
        const QString expectedPath =
            Paths::queueDir() +
            QStringLiteral("/20250301_093000_3F2504E04F8941D39A0C0305E82C3301.job.json");
        QCOMPARE(path, expectedPath);
        QVERIFY(
            newLogSince(before).contains(QStringLiteral("INFO Enqueued job: QuickProject \u2192 ") +
                                         expectedPath + QLatin1Char('\n')));
        // Only the job file: no temporary left behind.
        QCOMPARE(QDir(Paths::queueDir()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QFileInfo(expectedPath).fileName()});

        const QByteArray text = TestSupport::readFile(path);
        QVERIFY(text.contains("\n  \"id\": ")); // indented
        const nlohmann::json document = nlohmann::json::parse(text.constData());
        QCOMPARE(document.size(), size_t(4));
        QVERIFY(document.at("id") == "3F2504E04F8941D39A0C0305E82C3301");
        QVERIFY(document.at("utcCreated") == "2025-03-01T09:30:00Z");
        QVERIFY(document.at("type") == "QuickProject");
        const nlohmann::json &payload = document.at("payload");
        QVERIFY(payload.at("title") == "Quick Project");
        QVERIFY(payload.at("longForm") == false);
        QVERIFY(payload.at("thumbnail") == true);
        QVERIFY(payload.at("short") == false);
        QVERIFY(payload.at("files") == nlohmann::json({"/Users/creator/Movies/intro.mov",
                                                       "/Users/creator/Movies/main.mov"}));
        // Absent optionals are left out, never written as null.
        QVERIFY(!payload.contains("notes"));
        QVERIFY(!payload.contains("deliveryDays"));
        QVERIFY(!payload.contains("channel"));

        // What the writer wrote, the reader reads back.
        const JobReadResult read = JobFileReader::read(path);
        QCOMPARE(read.status, JobReadResult::Status::ok);
        QCOMPARE(read.envelope.id, envelope.id);
        QCOMPARE(read.envelope.utcCreated, envelope.utcCreated);
        QCOMPARE(extractFilesFromPayload(read.envelope.payload),
                 std::optional<QStringList>(record.files));
    }

    void payloadRecordsLeaveAbsentMembersOut_data()
    {
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QByteArray>("actual");
        QTest::newRow("quick create without path")
            << QByteArray("{}")
            << QByteArray(QueueWriter::convertToAnyCodable(QuickCreateJob{}).dump().c_str());
        QTest::newRow("quick create with path")
            << QByteArray("{\"targetPath\":\"/x\"}")
            << QByteArray(QueueWriter::convertToAnyCodable(QuickCreateJob{QStringLiteral("/x")})
                              .dump()
                              .c_str());
        QTest::newRow("files keep their order")
            << QByteArray("{\"files\":[\"/z\",\"/a\",\"/m\"]}")
            << QByteArray(QueueWriter::convertToAnyCodable(
                              UploadFilesJob{{QStringLiteral("/z"), QStringLiteral("/a"),
                                              QStringLiteral("/m")}})
                              .dump()
                              .c_str());
        QuickProjectPayload full;
        full.title = QStringLiteral("T");
        full.notes = QStringLiteral("n");
        full.deliveryDays = 5;
        full.channel = QStringLiteral("c");
        full.isShort = true;
        QTest::newRow("quick project, everything")
            << QByteArray("{\"title\":\"T\",\"notes\":\"n\",\"deliveryDays\":5,\"longForm\":false,"
                          "\"thumbnail\":false,\"short\":true,\"channel\":\"c\",\"files\":[]}")
            << QByteArray(QueueWriter::convertToAnyCodable(full).dump().c_str());
        QTest::newRow("folder") << QByteArray("{\"folderPath\":\"/d\"}")
                                << QByteArray(QueueWriter::convertToAnyCodable(
                                                  UploadFolderJob{QStringLiteral("/d")})
                                                  .dump()
                                                  .c_str());
    }
    void payloadRecordsLeaveAbsentMembersOut()
    {
        QFETCH(QByteArray, expected);
        QFETCH(QByteArray, actual);
        QCOMPARE(actual, expected);
    }

    void sameSecondJobsBothSurviveAndStampIsUtc()
    {
        // A zone east of UTC, just before local midnight: the stamp carries the UTC date.
        qputenv("TZ", QByteArrayLiteral("Asia/Tokyo"));
        tzset();
        const QDateTime localLate(QDate(2025, 3, 1), QTime(23, 59, 59), QTimeZone("Asia/Tokyo"));
        JobEnvelope a = JobEnvelope::makeNew(JobType::missing,
                                             QueueWriter::convertToAnyCodable(MissingFilesJob{}));
        JobEnvelope b = JobEnvelope::makeNew(JobType::missing,
                                             QueueWriter::convertToAnyCodable(MissingFilesJob{}));
        a.utcCreated = localLate;
        b.utcCreated = localLate;
        QVERIFY(a.id != b.id);
        const QString pathA = QueueWriter::write(a);
        const QString pathB = QueueWriter::write(b);
        qunsetenv("TZ");
        tzset();
        QVERIFY(QFileInfo(pathA).fileName().startsWith(QStringLiteral("20250301_145959_")));
        QVERIFY(QFileInfo(pathB).fileName().startsWith(QStringLiteral("20250301_145959_")));
        QVERIFY(pathA != pathB);
        QVERIFY(QFileInfo::exists(pathA) && QFileInfo::exists(pathB));
        QCOMPARE(JobFileReader::read(pathA).envelope.utcCreated, localLate.toUTC());
    }

    void failedWriteIsLoggedAndLeavesNothing()
    {
        QVERIFY(QDir(Paths::queueDir()).removeRecursively());
        QFile blocker(Paths::queueDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString before = Logger::joinedMemoryBuffer();
        TestSupport::StdoutCapture capture; // ensureAll complains about the blocked directory
        const QString path = QueueWriter::write(JobEnvelope::makeNew(
            JobType::quickCreate, QueueWriter::convertToAnyCodable(QuickCreateJob{})));
        capture.finish();
        QVERIFY(path.isEmpty());
        QVERIFY(newLogSince(before).contains(QStringLiteral("ERROR Failed to write job: ")));
        QVERIFY(!newLogSince(before).contains(QStringLiteral("Enqueued job")));
        QVERIFY(QFile::remove(Paths::queueDir()));
    }
};

VORLANTA_TEST_MAIN(TestJobFile)
#include "tst_JobFile.moc"
