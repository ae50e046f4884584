#include "core/queue/JobEnvelope.h"
#include "core/queue/JobFileReader.h"
#include "core/shell/ArgumentRouter.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QRegularExpression>

using ArgumentRouter::RouteResult;

namespace {

// Every "@" in the test data stands for the directory holding the test files.
QString filesDir()
{
    return TestSupport::root() + QStringLiteral("/f");
}

QString expand(QString text)
{
    return text.replace(QLatin1Char('@'), filesDir());
}

QStringList expand(const QStringList &list)
{
    QStringList result;
    for (const QString &item : list) {
        result.append(expand(item));
    }
    return result;
}

QString kindName(RouteResult::Kind kind)
{
    switch (kind) {
    case RouteResult::Kind::openQuickProject:
        return QStringLiteral("openQuickProject");
    case RouteResult::Kind::openMissingFiles:
        return QStringLiteral("openMissingFiles");
    case RouteResult::Kind::none:
        return QStringLiteral("none");
    case RouteResult::Kind::handled:
        return QStringLiteral("handled");
    }
    return QStringLiteral("invalid");
}

// Log lines added since `before`, each as "LEVEL message". The queue writer's own line names a
// generated file, so only the text before the arrow is kept.
QStringList logLinesSince(const QString &before)
{
    const QString after = Logger::joinedMemoryBuffer();
    if (!after.startsWith(before)) {
        return {QStringLiteral("memory buffer was rewritten")};
    }
    static const QRegularExpression line(
        QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\dT\\d{6}Z\\] (INFO|WARN|ERROR) (.*)$"));
    QStringList result;
    QStringList raw = after.mid(before.size()).split(QLatin1Char('\n'));
    if (!raw.isEmpty() && raw.last().isEmpty()) {
        raw.removeLast();
    }
    for (const QString &text : raw) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch()) {
            result.append(QStringLiteral("malformed: ") + text);
            continue;
        }
        QString message = match.captured(2);
        if (message.startsWith(QStringLiteral("Enqueued job: "))) {
            message = message.section(QStringLiteral(" \u2192 "), 0, 0);
        }
        result.append(match.captured(1) + QLatin1Char(' ') + message);
    }
    return result;
}

QStringList queueEntries()
{
    return QDir(Paths::queueDir())
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

void clearQueue()
{
    QFileInfo queue(Paths::queueDir());
    if (queue.isDir()) {
        QDir(Paths::queueDir()).removeRecursively();
    } else if (queue.exists()) {
        QFile::remove(Paths::queueDir());
    }
    QDir().mkpath(Paths::queueDir());
}

void makeFile(const QString &path)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write("media");
}

} // namespace

class TestArgumentRouter : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(filesDir()));
        // A.mov and a.mov, b.mov and B.mov are distinct files on Linux.
        for (const char *name :
             {"a.mov", "A.mov", "b.mov", "B.mov", "e.mov", "x.mov", "file.mov", "q.mov"}) {
            makeFile(filesDir() + QLatin1Char('/') + QString::fromLatin1(name));
        }
        QVERIFY(QDir().mkpath(filesDir() + QStringLiteral("/dirA")));
        QVERIFY(QDir().mkpath(filesDir() + QStringLiteral("/dirB")));
        QVERIFY(!QFileInfo::exists(filesDir() + QStringLiteral("/missing.mov")));
        Paths::ensureAll();
    }

    void init() { clearQueue(); }
    void cleanup() { clearQueue(); }

    void extractFiles_data()
    {
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QStringList>("files");

        const QString flag = QStringLiteral("--open-quick-project");
        QTest::newRow("flag absent")
            << flag << QStringList{QStringLiteral("/a.mov")} << false << QStringList{};
        QTest::newRow("no args") << flag << QStringList{} << false << QStringList{};
        QTest::newRow("prefix of flag is not the flag")
            << flag << QStringList{QStringLiteral("--open-quick"), QStringLiteral("/a.mov")}
            << false << QStringList{};
        QTest::newRow("flag with value attached is not the flag")
            << flag << QStringList{QStringLiteral("--open-quick-project=/a.mov")} << false
            << QStringList{};
        QTest::newRow("flag last: present but empty")
            << flag << QStringList{QStringLiteral("/before.mov"), flag} << true << QStringList{};
        QTest::newRow("only what follows the flag")
            << flag
            << QStringList{QStringLiteral("/before.mov"), flag, QStringLiteral("/a.mov"),
                           QStringLiteral("/b.mov")}
            << true << QStringList{QStringLiteral("/a.mov"), QStringLiteral("/b.mov")};
        QTest::newRow("flag matched ignoring case")
            << flag << QStringList{QStringLiteral("--OPEN-Quick-Project"), QStringLiteral("/a.mov")}
            << true << QStringList{QStringLiteral("/a.mov")};
        QTest::newRow("after the first occurrence, later options included")
            << flag
            << QStringList{flag, QStringLiteral("/a.mov"), QStringLiteral("--other"), flag,
                           QStringLiteral("-v")}
            << true
            << QStringList{QStringLiteral("/a.mov"), QStringLiteral("--other"), flag,
                           QStringLiteral("-v")};
        QTest::newRow("quotes trimmed, empty results dropped, blanks kept")
            << flag
            << QStringList{flag,
                           QStringLiteral("\"/a.mov\""),
                           QStringLiteral("'/b.mov'"),
                           QStringLiteral("\"'/c d.mov'\"\""),
                           QStringLiteral("\"\""),
                           QStringLiteral("'"),
                           QString(),
                           QStringLiteral(" "),
                           QStringLiteral("/in\"side.mov")}
            << true
            << QStringList{QStringLiteral("/a.mov"), QStringLiteral("/b.mov"),
                           QStringLiteral("/c d.mov"), QStringLiteral(" "),
                           QStringLiteral("/in\"side.mov")};
    }
    void extractFiles()
    {
        QFETCH(QString, flag);
        QFETCH(QStringList, args);
        QFETCH(bool, present);
        QFETCH(QStringList, files);
        const std::optional<QStringList> result = ArgumentRouter::extractFiles(flag, args);
        QCOMPARE(result.has_value(), present);
        if (present) {
            QCOMPARE(*result, files);
        }
    }

    void route_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("log");
        // Empty when no job may be queued.
        QTest::addColumn<QString>("jobType");
        QTest::addColumn<QString>("payload");

        const auto S = [](const char *text) { return QString::fromUtf8(text); };
        using L = QStringList;

        QTest::newRow("no args") << L{} << S("none") << L{} << L{S("INFO No args provided.")}
                                 << QString() << QString();

        // Upload files.
        QTest::newRow("upper-case --UPLOAD")
            << L{S("--UPLOAD"), S("@/a.mov")} << S("handled") << L{}
            << L{S("INFO --upload candidate: @/a.mov (exists=true)"),
                 S("INFO Upload command received with 1 file(s)."),
                 S("INFO Enqueued job: UploadFiles")}
            << S("UploadFiles") << S(R"({"files":["@/a.mov"]})");
        QTest::newRow("upload keeps existing in order with duplicates")
            << L{S("--upload"), S("@/e.mov"), S("@/missing.mov"), S("@/e.mov")} << S("handled")
            << L{}
            << L{S("INFO --upload candidate: @/e.mov (exists=true)"),
                 S("INFO --upload candidate: @/missing.mov (exists=false)"),
                 S("INFO --upload candidate: @/e.mov (exists=true)"),
                 S("INFO Upload command received with 2 file(s)."),
                 S("INFO Enqueued job: UploadFiles")}
            << S("UploadFiles") << S(R"({"files":["@/e.mov","@/e.mov"]})");
        QTest::newRow("upload does not de-duplicate case variants")
            << L{S("@/A.mov"), S("--upload"), S("@/a.mov")} << S("handled") << L{}
            << L{S("INFO --upload candidate: @/A.mov (exists=true)"),
                 S("INFO --upload candidate: @/a.mov (exists=true)"),
                 S("INFO Upload command received with 2 file(s)."),
                 S("INFO Enqueued job: UploadFiles")}
            << S("UploadFiles") << S(R"({"files":["@/A.mov","@/a.mov"]})");
        QTest::newRow("upload accepts a directory")
            << L{S("--upload"), S("@/dirA")} << S("handled") << L{}
            << L{S("INFO --upload candidate: @/dirA (exists=true)"),
                 S("INFO Upload command received with 1 file(s)."),
                 S("INFO Enqueued job: UploadFiles")}
            << S("UploadFiles") << S(R"({"files":["@/dirA"]})");
        QTest::newRow("upload skips single-dash and double-dash arguments")
            << L{S("--upload"), S("-v"), S("--verbose"), S("-"), S("@/b.mov")} << S("handled")
            << L{}
            << L{S("INFO --upload candidate: @/b.mov (exists=true)"),
                 S("INFO Upload command received with 1 file(s)."),
                 S("INFO Enqueued job: UploadFiles")}
            << S("UploadFiles") << S(R"({"files":["@/b.mov"]})");
        QTest::newRow("upload with quoted paths")
            << L{S("--upload"), S("\"@/q.mov\""), S("'@/x.mov'"), S("\"'@/e.mov'\""),
                 S("'\"@/a.mov")}
            << S("handled") << L{}
            << L{S("INFO --upload candidate: @/q.mov (exists=true)"),
                 S("INFO --upload candidate: @/x.mov (exists=true)"),
                 S("INFO --upload candidate: @/e.mov (exists=true)"),
                 S("INFO --upload candidate: @/a.mov (exists=true)"),
                 S("INFO Upload command received with 4 file(s)."),
                 S("INFO Enqueued job: UploadFiles")}
            << S("UploadFiles") << S(R"({"files":["@/q.mov","@/x.mov","@/e.mov","@/a.mov"]})");
        QTest::newRow("quotes do not hide a leading blank")
            << L{S("--upload"), S("\" @/q.mov\"")} << S("handled") << L{}
            << L{S("INFO --upload candidate:  @/q.mov (exists=false)"),
                 S("WARN Upload command had 0 valid files (none existed).")}
            << QString() << QString();
        QTest::newRow("upload wins over quick-project")
            << L{S("--upload"), S("--quick-project"), S("@/x.mov")} << S("handled") << L{}
            << L{S("INFO --upload candidate: @/x.mov (exists=true)"),
                 S("INFO Upload command received with 1 file(s)."),
                 S("INFO Enqueued job: UploadFiles")}
            << S("UploadFiles") << S(R"({"files":["@/x.mov"]})");
        QTest::newRow("upload alone") << L{S("--upload")} << S("handled") << L{}
                                      << L{S("WARN Upload command had 0 valid files (none "
                                             "existed).")}
                                      << QString() << QString();
        QTest::newRow("upload with nothing existing")
            << L{S("--upload"), S("@/missing.mov")} << S("handled") << L{}
            << L{S("INFO --upload candidate: @/missing.mov (exists=false)"),
                 S("WARN Upload command had 0 valid files (none existed).")}
            << QString() << QString();

        // Quick project.
        QTest::newRow("quick-project payload")
            << L{S("--quick-project"), S("@/b.mov"), S("@/missing.mov"),
                 S("'@/a.mov'"),       S("@/B.mov"), S("@/b.mov")}
            << S("handled") << L{}
            << L{S("INFO Quick-project command received with 2 file(s)."),
                 S("INFO Enqueued job: QuickProject")}
            << S("QuickProject")
            << S(R"({"title":"Quick Project","longForm":false,"thumbnail":true,"short":false,)"
                 R"("files":["@/b.mov","@/a.mov"]})");
        QTest::newRow("--QuickProject alias")
            << L{S("--QuickProject"), S("@/x.mov")} << S("handled") << L{}
            << L{S("INFO Quick-project command received with 1 file(s)."),
                 S("INFO Enqueued job: QuickProject")}
            << S("QuickProject")
            << S(R"({"title":"Quick Project","longForm":false,"thumbnail":true,"short":false,)"
                 R"("files":["@/x.mov"]})");
        QTest::newRow("quick-project with nothing existing")
            << L{S("--quick-project"), S("@/missing.mov")} << S("handled") << L{}
            << L{S("INFO Quick-project command received with 0 file(s)."),
                 S("WARN Quick-project command had 0 valid files (none existed).")}
            << QString() << QString();
        QTest::newRow("quick-project wins over missing")
            << L{S("--missing"), S("--quick-project"), S("@/e.mov")} << S("handled") << L{}
            << L{S("INFO Quick-project command received with 1 file(s)."),
                 S("INFO Enqueued job: QuickProject")}
            << S("QuickProject")
            << S(R"({"title":"Quick Project","longForm":false,"thumbnail":true,"short":false,)"
                 R"("files":["@/e.mov"]})");

        // Missing files.
        QTest::newRow("missing de-duplicates ignoring case, first wins")
            << L{S("--missing"), S("@/A.mov"), S("@/a.mov")} << S("handled") << L{}
            << L{S("INFO Missing files command received with 1 file(s)."),
                 S("INFO Enqueued job: Missing")}
            << S("Missing") << S(R"({"files":["@/A.mov"]})");
        QTest::newRow("--Missing-Files keeps order")
            << L{S("--Missing-Files"), S("@/e.mov"), S("@/missing.mov"), S("\"@/b.mov\""),
                 S("@/e.mov")}
            << S("handled") << L{}
            << L{S("INFO Missing files command received with 2 file(s)."),
                 S("INFO Enqueued job: Missing")}
            << S("Missing") << S(R"({"files":["@/e.mov","@/b.mov"]})");
        QTest::newRow("missing with nothing existing")
            << L{S("--missing-files")} << S("handled") << L{}
            << L{S("INFO Missing files command received with 0 file(s)."),
                 S("WARN Missing-files command had 0 valid files (none existed).")}
            << QString() << QString();
        QTest::newRow("missing wins over upload-folder")
            << L{S("--upload-folder"), S("--missing"), S("@/dirA")} << S("handled") << L{}
            << L{S("INFO Missing files command received with 1 file(s)."),
                 S("INFO Enqueued job: Missing")}
            << S("Missing") << S(R"({"files":["@/dirA"]})");

        // Upload folder.
        QTest::newRow("upload-folder takes the last directory")
            << L{S("--upload-folder"), S("@/dirA"), S("@/file.mov"), S("@/dirB")} << S("handled")
            << L{}
            << L{S("INFO Upload-folder command for: @/dirB"), S("INFO Enqueued job: UploadFolder")}
            << S("UploadFolder") << S(R"({"folderPath":"@/dirB"})");
        QTest::newRow("upload-folder ignores later files and missing paths")
            << L{S("--upload-folder"), S("'@/dirB'"), S("@/dirA"), S("@/missingDir"),
                 S("@/file.mov")}
            << S("handled") << L{}
            << L{S("INFO Upload-folder command for: @/dirA"), S("INFO Enqueued job: UploadFolder")}
            << S("UploadFolder") << S(R"({"folderPath":"@/dirA"})");
        QTest::newRow("upload-folder with only a file")
            << L{S("--upload-folder"), S("@/file.mov")} << S("handled") << L{}
            << L{S("WARN Upload-folder command missing/invalid directory.")} << QString()
            << QString();

        // Quick create.
        QTest::newRow("quick-create with --path last")
            << L{S("--quick-create"), S("--path")} << S("handled") << L{}
            << L{S("INFO Quick-create command. Path=(none)"), S("INFO Enqueued job: QuickCreate")}
            << S("QuickCreate") << S("{}");
        QTest::newRow("quick-create takes an option as its path")
            << L{S("--quick-create"), S("--path"), S("--weird")} << S("handled") << L{}
            << L{S("INFO Quick-create command. Path=--weird"), S("INFO Enqueued job: QuickCreate")}
            << S("QuickCreate") << S(R"({"targetPath":"--weird"})");
        QTest::newRow("quick-create --PATH, quoted, not looked up")
            << L{S("--Quick-Create"), S("--PATH"), S("\"@/nowhere\""), S("--path"), S("@/dirA")}
            << S("handled") << L{}
            << L{S("INFO Quick-create command. Path=@/nowhere"),
                 S("INFO Enqueued job: QuickCreate")}
            << S("QuickCreate") << S(R"({"targetPath":"@/nowhere"})");
        QTest::newRow("quick-create without --path")
            << L{S("@/dirA"), S("--quick-create")} << S("handled") << L{}
            << L{S("INFO Quick-create command. Path=(none)"), S("INFO Enqueued job: QuickCreate")}
            << S("QuickCreate") << S("{}");
        QTest::newRow("quick-create wins over open-quick-project")
            << L{S("--open-quick-project"), S("@/a.mov"), S("--quick-create")} << S("handled")
            << L{}
            << L{S("INFO Quick-create command. Path=(none)"), S("INFO Enqueued job: QuickCreate")}
            << S("QuickCreate") << S("{}");

        // Open requests.
        QTest::newRow("open-quick-project alone")
            << L{S("--open-quick-project")} << S("openQuickProject") << L{}
            << L{S("INFO Open-quick-project command with 0 files")} << QString() << QString();
        QTest::newRow("open-quick-project takes everything after it")
            << L{S("--open-quick-project"), S("@/a.mov"), S("--open-missing-files"), S("@/b.mov")}
            << S("openQuickProject") << L{S("@/a.mov"), S("--open-missing-files"), S("@/b.mov")}
            << L{S("INFO Open-quick-project command with 3 files")} << QString() << QString();
        QTest::newRow("--Open-Quick-Project does not check existence")
            << L{S("@/before.mov"), S("--Open-Quick-Project"), S("'@/missing.mov'"), S("\"\"")}
            << S("openQuickProject") << L{S("@/missing.mov")}
            << L{S("INFO Open-quick-project command with 1 files")} << QString() << QString();
        QTest::newRow("open-quick-project wins over open-missing-files")
            << L{S("--open-missing-files"), S("@/b.mov"), S("--open-quick-project"), S("@/a.mov")}
            << S("openQuickProject") << L{S("@/a.mov")}
            << L{S("INFO Open-quick-project command with 1 files")} << QString() << QString();
        QTest::newRow("open-missing-files")
            << L{S("--OPEN-MISSING-FILES"), S("@/missing.mov"), S("\"@/e.mov\""), S("@/e.mov")}
            << S("openMissingFiles") << L{S("@/missing.mov"), S("@/e.mov"), S("@/e.mov")}
            << L{S("INFO Open-missing-files command with 3 files")} << QString() << QString();

        // Unknown.
        QTest::newRow("process serial number")
            << L{S("-psn_0_123")} << S("none") << L{} << L{S("WARN Unknown args: -psn_0_123")}
            << QString() << QString();
        QTest::newRow("option with a value is unknown")
            << L{S("--upload=1"), S("@/a.mov")} << S("none") << L{}
            << L{S("WARN Unknown args: --upload=1 @/a.mov")} << QString() << QString();
        QTest::newRow("abbreviation is unknown")
            << L{S("--upl"), S("--quick"), S("@/a.mov")} << S("none") << L{}
            << L{S("WARN Unknown args: --upl --quick @/a.mov")} << QString() << QString();
        QTest::newRow("single-dash spelling is unknown")
            << L{S("-upload"), S("@/a.mov")} << S("none") << L{}
            << L{S("WARN Unknown args: -upload @/a.mov")} << QString() << QString();
        QTest::newRow("plain paths are unknown, joined as given")
            << L{S("'@/a.mov'"), S("two words")} << S("none") << L{}
            << L{S("WARN Unknown args: '@/a.mov' two words")} << QString() << QString();
    }
    void route()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, kind);
        QFETCH(QStringList, paths);
        QFETCH(QStringList, log);
        QFETCH(QString, jobType);
        QFETCH(QString, payload);

        const QString before = Logger::joinedMemoryBuffer();
        const RouteResult result = ArgumentRouter::route(expand(args));
        QCOMPARE(kindName(result.kind), kind);
        QCOMPARE(result.paths, expand(paths));
        QCOMPARE(logLinesSince(before), expand(log));

        const QStringList entries = queueEntries();
        if (jobType.isEmpty()) {
            QCOMPARE(entries, QStringList{});
            return;
        }
        QCOMPARE(entries.size(), 1);
        const JobReadResult job =
            JobFileReader::read(Paths::queueDir() + QLatin1Char('/') + entries.first());
        QCOMPARE(int(job.status), int(JobReadResult::Status::ok));
        QCOMPARE(jobTypeRawValue(job.envelope.type), jobType);
        // Member order does not survive the job file, so both sides are compared sorted.
        const auto actual = nlohmann::json::parse(job.envelope.payload.dump());
        const auto expected = nlohmann::json::parse(expand(payload).toStdString());
        QCOMPARE(QString::fromStdString(actual.dump()), QString::fromStdString(expected.dump()));
    }

    void failedWriteStillCountsAsHandled()
    {
        // A plain file where the queue directory should be makes every write fail.
        QVERIFY(QDir(Paths::queueDir()).removeRecursively());
        makeFile(Paths::queueDir());

        const QString before = Logger::joinedMemoryBuffer();
        const RouteResult result =
            ArgumentRouter::route({QStringLiteral("--missing"), expand(QStringLiteral("@/a.mov"))});
        QCOMPARE(kindName(result.kind), QStringLiteral("handled"));
        QCOMPARE(result.paths, QStringList{});
        const QStringList lines = logLinesSince(before);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0),
                 QStringLiteral("INFO Missing files command received with 1 file(s)."));
        QVERIFY2(lines.at(1).startsWith(QStringLiteral("ERROR Failed to write job: ")),
                 qPrintable(lines.at(1)));
        QVERIFY(QFileInfo(Paths::queueDir()).isFile());
    }
};

VORLANTA_TEST_MAIN(TestArgumentRouter)
#include "tst_ArgumentRouter.moc"
