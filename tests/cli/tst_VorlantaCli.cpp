#include "TestPrograms.h"
#include "core/api/AuthStore.h"
#include "support/DataRows.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>

#include <algorithm>
#include <csignal>
#include <nlohmann/json.hpp>

using namespace Qt::StringLiterals;

namespace {

struct Run {
    int status = -1;
    QString out, err;
    nlohmann::json json() const { return nlohmann::json::parse(out.toStdString()); }
};

const QString kCli = QString::fromUtf8(TestPrograms::kCli);

// The arguments are separated by ' ', then more as given.
Run vorlanta(const QString &arguments, const QStringList &more = {}, const QString &program = kCli)
{
    QProcess process;
    process.start(program, arguments.split(u' ', Qt::SkipEmptyParts) + more);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// The run ended with the status and printed the text on either stream.
bool ran(const Run &run, int status, const QString &text)
{
    const bool as = run.status == status && QString(run.out + run.err).contains(text);
    if (!as) {
        qWarning().noquote() << "status" << run.status << "out:" << run.out << "err:" << run.err;
    }
    return as;
}

// Arguments naming a service nobody answers at (port 1, tcpmux, has no listener).
const QString kOffline = u"--service http://127.0.0.1:1/ "_s;

QString writeMedia(const QString &name, qsizetype size)
{
    QFile file(TestSupport::root() + u'/' + name);
    // Real bytes, no holes. Empty when it cannot be written, which fails the command given it.
    const bool written =
        file.open(QIODevice::WriteOnly) && file.write(QByteArray(size, 'v')) == size;
    return written ? file.fileName() : QString();
}

} // namespace

class TestVorlantaCli : public QObject {
    Q_OBJECT
    std::unique_ptr<TestSupport::SandboxProcess> m_sandbox;
    QString service() const { return m_sandbox->baseUrl().toString(); }
    Run cli(const QString &arguments, const QStringList &more = {})
    {
        return vorlanta(u"--service "_s + service() + u' ' + arguments, more);
    }
    void signIn() { AuthStore::save(AuthState{m_sandbox->token(), std::nullopt}); }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<TestSupport::SandboxProcess>();
        QVERIFY2(m_sandbox->isRunning(), qPrintable(m_sandbox->startError()));
    }
    void init() { AuthStore::deleteAuthState(); }
    void cleanupTestCase() { AuthStore::deleteAuthState(); }

    void usageErrorsEndWithStatusTwo()
    {
        QVERIFY(ran(vorlanta({}), 2, u"Usage: vorlanta"_s));
        QVERIFY(ran(vorlanta(u"--help"_s), 0, u"login --token TOKEN"_s));
        QVERIFY(ran(vorlanta(u"upload-all"_s), 2, u"vorlanta: unknown command \"upload-all\""_s));
        QVERIFY(ran(vorlanta(u"login"_s), 2, u"vorlanta: login needs --token TOKEN"_s));
        QVERIFY(ran(vorlanta(u"--service :: login --token t"_s), 2, u"is not a valid URL"_s));
    }

    void signInStatusChannelsSignOutThenAStaleToken()
    {
        // A rejected token and an unreachable service: nothing saved, failing status.
        QVERIFY(ran(cli(u"login --token eyJ.x.y"_s), 1, u"rejected this token"_s));
        QVERIFY(ran(vorlanta(kOffline + u"login --token t"_s), 1, u"cannot check the token"_s));
        QVERIFY(!AuthStore::load());

        QVERIFY(
            ran(cli(u"login --token"_s, {m_sandbox->token()}), 0, u"Signed in to "_s + service()));
        QCOMPARE(AuthStore::load(), std::optional(AuthState{m_sandbox->token(), std::nullopt}));
        Run run = cli(u"status --json"_s);
        QVERIFY(run.status == 0 && run.json().at("status") == "signed-in" &&
                run.json().at("tokenSaved") == true);
        QVERIFY(ran(run = cli(u"channels"_s), 0, u"1\t"_s));
        QCOMPARE(run.out.count(u'\n'), 3);
        QVERIFY(ran(run = cli(u"--json channels"_s), 0, u"["_s) && run.json().size() == 3);
        QVERIFY(!run.out.contains(m_sandbox->token()) && !run.err.contains(m_sandbox->token()));

        QVERIFY(ran(vorlanta(u"logout"_s), 0, u"Signed out."_s));
        QVERIFY(!AuthStore::load());
        QVERIFY(ran(cli(u"status"_s), 1, u"signed-out: "_s));
        QVERIFY(ran(cli(u"channels"_s), 1, u"not signed in"_s));

        // A saved token the service rejects is told apart from a service that cannot be asked.
        AuthStore::save(AuthState{u"eyJ.stale.token"_s, std::nullopt});
        QVERIFY(ran(cli(u"status"_s), 1, u"rejected: "_s));
        QVERIFY(ran(vorlanta(kOffline + u"status"_s), 1, u"unreachable: "_s));
        QVERIFY(AuthStore::load()); // asking never deletes the saved token
    }

    void projectsArePagedAndSearched()
    {
        signIn();
        Run run = cli(u"projects --json"_s);
        QVERIFY(ran(run, 0, u"["_s) && run.json().size() == 7);
        const auto first = run.json();
        QVERIFY(ran(run = cli(u"projects --page 2 --json"_s), 0, u"["_s));
        for (const auto &project : run.json()) { // no project on both pages
            QVERIFY(std::none_of(first.begin(), first.end(),
                                 [&](const auto &a) { return a.at("id") == project.at("id"); }));
        }
        const QString title = QString::fromStdString(first.at(0).at("title").get<std::string>());
        QVERIFY(ran(run = cli(u"projects --search"_s, {title.toUpper()}), 0, title));
        QVERIFY(run.out.contains(u"page 1 of 1"_s));
        QVERIFY(ran(cli(u"projects --page 9"_s), 1, u"there are only 2 page(s)"_s));
    }

    void createAndSendUploadFiles()
    {
        signIn();
        const QStringList files{writeMedia(u"intro.mov"_s, 6 * 1024 * 1024 + 9),
                                writeMedia(u"main.mov"_s, 6 * 1024 * 1024 + 8)};
        // Not a terminal: the status lines come one by one, then the result.
        Run run = cli(u"create --title CLI-Trip --channel 1 --due 24/12/2026 --no-short"_s, files);
        QVERIFY(ran(run, 0,
                    u"Creating project...\nUploading... 50.0%\nUploading... 100.0%\n"
                    "Project created successfully!\n"_s));
        static const QRegularExpression created(u"Project (\\d+) created with 2 file"_s);
        const QString id = created.match(run.out).captured(1);
        QVERIFY(ran(cli(u"send --project"_s, {id, files.first()}), 0,
                    u"1 file(s) sent to project "_s + id));
        const nlohmann::json cards = cli(u"projects --search cli-trip --json"_s).json();
        QVERIFY(cards.size() == 1 && cards.at(0).at("files").size() == 3);
        QVERIFY(ran(cli(u"send --project 987654"_s, {files.first()}), 1,
                    u"vorlanta: Upload failed for intro.mov: The service refused the request "
                    "(HTTP 404).\n"_s));
    }

    // Every FILE is checked before anything is sent, and nothing reaches the service.
    void filesThatCannotBeSentAreRefused()
    {
        signIn();
        const QStringList files{writeMedia(u"good.mov"_s, 9), u"gone.mov"_s, u"."_s,
                                u"/dev/null"_s};
        const QString lines = u"vorlanta: gone.mov: No such file or directory\nvorlanta: .: Is a "
                              "directory\nvorlanta: /dev/null: Not a regular file\n"_s;
        QVERIFY(ran(cli(u"create --channel 1 --title Unsent"_s, files), 2, lines));
        QVERIFY(ran(cli(u"send --project 101"_s, files), 2, lines));
        QCOMPARE(cli(u"projects --json --search Unsent"_s).json().size(), 0u);
    }

    // SIGINT or SIGTERM stops an upload within a second: the part under way is dropped, the file
    // is never completed, and the last line names what did not finish.
    void aSignalStopsTheUpload_data()
    {
        TestSupport::columns<int, int>("signal", "status");
        TestSupport::addRow("SIGINT", SIGINT, 130);
        TestSupport::addRow("SIGTERM", SIGTERM, 143);
    }
    void aSignalStopsTheUpload()
    {
        const auto [signal, status] = TestSupport::fetch<int, int>("signal", "status");
        // Each request waits first: the large file takes seconds in twelve parts.
        const TestSupport::SandboxProcess slow({u"--fault"_s, u"delay-ms=300"_s});
        AuthStore::save(AuthState{slow.token(), std::nullopt});
        const QString small = writeMedia(u"first.mov"_s, 1024);
        const QString large = writeMedia(u"large.mov"_s, 64 * 1024 * 1024);
        const QString title = u"Stopped "_s + QString::fromUtf8(QTest::currentDataTag());
        QProcess process;
        process.start(kCli, {u"--service"_s, slow.baseUrl().toString(), u"create"_s, u"--channel"_s,
                             u"1"_s, u"--title"_s, title, small, large});
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromUtf8(process.readAllStandardOutput()))
                                     .contains(u"Uploading... "_s),
                                 20000);
        QTest::qWait(600); // into the large file's parts
        QVERIFY(process.processId() > 0 && ::kill(pid_t(process.processId()), signal) == 0);
        QVERIFY(process.waitForFinished(1500));
        const Run run{process.exitCode(), out, QString::fromUtf8(process.readAllStandardError())};
        QVERIFY(ran(run, status, u"large.mov"_s) && !run.err.contains(u"first.mov"_s));
        const QString listed = u"--service "_s + slow.baseUrl().toString() + u" projects --json"_s;
        QCOMPARE(vorlanta(listed, {u"--search"_s, title}).json().at(0).at("files").size(), 1u);
    }

    void terminalShowsALiveProgressLine()
    {
        signIn();
        const QString path = writeMedia(u"long.mov"_s, 16 * 1024 * 1024); // 3 parts
        // script(1) gives the command a terminal.
        const QString command = kCli + u" --service "_s + service() + u" create --title Live "_s;
        const Run run =
            vorlanta(u"-qec"_s, {command + u"--channel 1 "_s + path, u"/dev/null"_s}, u"script"_s);
        QVERIFY(ran(run, 0, u"Project created successfully!"_s));
        // One line rewritten in place: percent, bytes, rate, time left; after and during each part.
        static const QRegularExpression live(
            u"\\r\\x1b\\[K *(\\d+\\.\\d)%  [\\d.]+ / 16\\.0 MiB  [\\d.]+ MiB/s  ETA \\d+:\\d\\d"_s);
        QList<double> shown;
        for (auto it = live.globalMatch(run.out); it.hasNext();) {
            shown << it.next().captured(1).toDouble();
        }
        QVERIFY2(shown.size() > 3, qPrintable(run.out));
        QCOMPARE(shown.last(), 100.0);
        QVERIFY(std::is_sorted(shown.cbegin(), shown.cend()));
        // Parts end at 33.3, 66.7 and 100.0 percent; some line shows a part under way.
        QVERIFY(shown.count(33.3) + shown.count(66.7) + shown.count(100.0) < shown.size());
    }
};

VORLANTA_TEST_MAIN(TestVorlantaCli)
#include "tst_VorlantaCli.moc"
