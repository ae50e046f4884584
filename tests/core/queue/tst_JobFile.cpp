#include "core/queue/JobEnvelope.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/QueueWriter.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/DataRows.h"
#include "support/QueueFiles.h"

#include <QtCore/QRegularExpression>
#include <QtCore/QTimeZone>

#include <csignal>
#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;
using namespace TestSupport;

namespace {

QString writeJobText(const QByteArray &content)
{
    const QString path = Paths::queueDir() + u"/x.job.json"_s;
    return QueueFiles::writeFile(path, content) ? path : QString();
}

} // namespace

Q_DECLARE_METATYPE(JobReadResult::Status)

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
        // content "": over 16 MiB; payload: as read, when it is read.
        columns<QByteArray, JobReadResult::Status, QByteArray>("content", "status", "payload");
        using S = JobReadResult::Status;
        const auto row = [](const char *name, const char *json, S status, const char *read = "") {
            QTest::newRow(name) << QByteArray(json) << status << QByteArray(read);
        };
        row("not JSON", R"({"type": )", S::readFailed);
        row("invalid UTF-8", "{\"type\":\"Missing\",\"payload\":\"\xff\"}", S::readFailed);
        row("over 16 MiB", "", S::readFailed);
        row("array", R"([{"type":"Missing","payload":{}}])", S::invalid);
        row("wrong-case type", R"({"type":"uploadFiles","payload":{}})", S::invalid);
        row("type not a string", R"({"type":3,"payload":{}})", S::invalid);
        row("no payload", R"({"type":"Missing"})", S::invalid);
        // Anything but an object reads as no members.
        row("payload null", R"({"payload":null,"type":"QuickCreate"})", S::ok, "{}");
        row("UploadFiles", R"({"payload":[],"type":"UploadFiles"})", S::ok, "{}");
        // Beyond 64-bit signed: a floating-point number, not wrapped to a negative one.
        row("values keep their kinds",
            R"({"payload":{"i":3,"r":2.5,"b":true,"n":null,"big":18446744073709551615,"o":{"a":[1,"b"]}},"type":"Missing"})",
            S::ok,
            R"({"b":true,"big":1.8446744073709552e+19,"i":3,"n":null,"o":{"a":[1,"b"]},"r":2.5})");
    }
    void readingRules()
    {
        const auto [content, status, payload] =
            fetch<QByteArray, JobReadResult::Status, QByteArray>("content", "status", "payload");
        const QString path = writeJobText(content.isEmpty() ? "{}" : content);
        if (content.isEmpty()) {
            QVERIFY(QFile::resize(path, JobFileReader::kMaxJobFileBytes + 1));
        }
        const JobReadResult result = JobFileReader::read(path);
        QCOMPARE(result.status, status);
        if (status == JobReadResult::Status::ok) {
            QCOMPARE(jobTypeRawValue(result.envelope.type).toUtf8(),
                     content.mid(content.lastIndexOf(':') + 2).chopped(2));
            QCOMPARE(result.envelope.payload.dump(), payload.toStdString());
        }
        QVERIFY(QFileInfo::exists(path)); // reading never moves the file
    }

    void identifierAndCreationTime_data()
    {
        columns<QByteArray, QString, QString>("members", "id", "created"); // empty: fresh, now
        const auto row = [](const char *name, const QByteArray &members, const QString &id = {},
                            const QString &created = {}) {
            QTest::newRow(name) << members << id << created;
        };
        row("both given", R"("id":"ABC123","utcCreated":"2025-03-01T09:30:00Z",)", u"ABC123"_s,
            u"2025-03-01T09:30:00Z"_s);
        row("id not a string", R"("id":42,)");
        row("fractional seconds", R"("utcCreated":"2025-03-01T09:30:00.123Z",)");
        row("offset", R"("utcCreated":"2025-03-01T10:30:00+01:00",)", {},
            u"2025-03-01T09:30:00Z"_s);
        row("no zone", R"("utcCreated":"2025-03-01T09:30:00",)");
        row("impossible date", R"("utcCreated":"2025-02-30T09:30:00Z",)");
        row("safe punctuation", R"("id":"job-1_A.b",)", u"job-1_A.b"_s);
        row("128 characters", "\"id\":\"" + QByteArray(128, 'a') + "\",", QString(128, u'a'));
        row("129 characters", "\"id\":\"" + QByteArray(129, 'a') + "\",");
        for (const char *id : {"../../x", "/tmp/x", ".", "..", "a/b", "a\\u0000b", ""}) {
            row(id, "\"id\":\"" + QByteArray(id) + "\",");
        }
    }
    void identifierAndCreationTime()
    {
        const auto [members, id, created] =
            fetch<QByteArray, QString, QString>("members", "id", "created");
        const bool unsafe = id.isEmpty() && members.contains("\"id\":\""); // a string not kept
        const QString path =
            writeJobText("{" + members + "\"type\":\"QuickCreate\",\"payload\":{}}");
        const qsizetype logMark = Logger::joinedMemoryBuffer().size();
        const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-1);
        const JobReadResult result = JobFileReader::read(path);
        QCOMPARE(result.status, JobReadResult::Status::ok);
        const QDateTime &utc = result.envelope.utcCreated;
        QVERIFY2(id.isEmpty()
                     ? QRegularExpression(u"^[0-9A-F]{32}$"_s).match(result.envelope.id).hasMatch()
                     : result.envelope.id == id,
                 qPrintable(result.envelope.id));
        QVERIFY2(created.isEmpty() ? utc >= start && utc <= start.addSecs(3)
                                   : formatInternetDateTime(utc) == created,
                 qPrintable(formatInternetDateTime(utc)));
        QCOMPARE(Logger::joinedMemoryBuffer().mid(logMark).contains(
                     u"WARN Unsafe job id in "_s + path + u"; using a fresh identifier\n"_s),
                 unsafe);
    }

    void writtenJobReadsBack()
    {
        QuickProjectPayload record;
        record.title = u"Quick Project"_s;
        record.thumbnail = true;
        record.files = {u"/M/intro.mov"_s, u"/M/main.mov"_s};
        JobEnvelope envelope =
            JobEnvelope::makeNew(JobType::quickProject, QueueWriter::convertToAnyCodable(record));
        envelope.id = u"3F2504E04F8941D39A0C0305E82C3301"_s;
        envelope.utcCreated =
            QDateTime(QDate(2025, 3, 1), QTime(23, 59, 59), QTimeZone("Asia/Tokyo"));
        const QString path = QueueWriter::write(envelope);
        QCOMPARE(path, Paths::queueDir() +
                           u"/20250301_145959_3F2504E04F8941D39A0C0305E82C3301.job.json"_s);
        // Absent optional members are left out, never written as null.
        QCOMPARE(
            nlohmann::json::parse(TestSupport::readFile(path).constData()).at("payload").dump(),
            std::string(
                R"({"files":["/M/intro.mov","/M/main.mov"],"longForm":false,"short":false,"thumbnail":true,"title":"Quick Project"})"));
        const JobReadResult read = JobFileReader::read(path);
        QCOMPARE(read.status, JobReadResult::Status::ok);
        QCOMPARE(read.envelope.id, envelope.id);
        QCOMPARE(read.envelope.type, JobType::quickProject);
        QCOMPARE(read.envelope.utcCreated, envelope.utcCreated.toUTC());
    }

    void failedWriteIsLoggedAndLeavesNothing()
    {
        // No file may grow at all (this holds for root too), so the write itself fails.
        rlimit previous{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
        const rlimit none{0, previous.rlim_max};
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        const qsizetype logMark = Logger::joinedMemoryBuffer().size();
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &none) == 0);
        const QString path = QueueWriter::write(JobEnvelope::makeNew(
            JobType::quickCreate, QueueWriter::convertToAnyCodable(QuickCreateJob{})));
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &previous) == 0);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY2(path.isEmpty(), qPrintable(QString::number(QFileInfo(path).size())));
        const QString log = Logger::joinedMemoryBuffer().mid(logMark);
        QVERIFY(log.contains(u"ERROR Failed to write job: "_s) && !log.contains(u"Enqueued"_s));
        // Neither an empty job file nor its temporary.
        QCOMPARE(
            QDir(Paths::queueDir())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList());
    }
};

VORLANTA_TEST_MAIN(TestJobFile)
#include "tst_JobFile.moc"
