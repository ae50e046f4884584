#include "TestPrograms.h"
#include "core/api/AuthStore.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtNetwork/QTcpServer>

#include <nlohmann/json.hpp>

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

Run vorlanta(const QStringList &arguments)
{
    QProcess process;
    process.start(QString::fromUtf8(TestPrograms::kCli), arguments);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

QString closedPortUrl()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QStringLiteral("http://127.0.0.1:%1/").arg(probe.serverPort());
}

} // namespace

class TestVorlantaCli : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TestSupport::SandboxProcess> m_sandbox;
    QString service() const { return m_sandbox->baseUrl().toString(); }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<TestSupport::SandboxProcess>();
        QVERIFY2(m_sandbox->isRunning(), qPrintable(m_sandbox->startError()));
    }
    void init() { AuthStore::deleteAuthState(); }
    void cleanupTestCase() { AuthStore::deleteAuthState(); }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::newRow("nothing") << QStringList() << 2 << QString();
        QTest::newRow("unknown command")
            << QStringList{QStringLiteral("upload-all")} << 2
            << QStringLiteral("vorlanta: unknown command \"upload-all\"");
        QTest::newRow("login without token")
            << QStringList{QStringLiteral("login")} << 2
            << QStringLiteral("vorlanta: login needs --token TOKEN");
        QTest::newRow("service without URL")
            << QStringList{QStringLiteral("status"), QStringLiteral("--service")} << 2
            << QStringLiteral("vorlanta: --service needs a URL");
        QTest::newRow("service not a URL")
            << QStringList{QStringLiteral("--service"), QStringLiteral("::"),
                           QStringLiteral("login"), QStringLiteral("--token"), QStringLiteral("t")}
            << 2 << QStringLiteral("is not a valid URL");
    }
    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, err);
        const Run run = vorlanta(arguments);
        QCOMPARE(run.status, status);
        QVERIFY2(run.err.contains(err), qPrintable(run.err));
        if (arguments.isEmpty()) {
            QVERIFY(run.out.startsWith(QStringLiteral("Usage: vorlanta")));
        }
    }

    void helpAndVersion()
    {
        const Run help = vorlanta({QStringLiteral("--help")});
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.contains(QStringLiteral("login --token TOKEN")));
        const Run version = vorlanta({QStringLiteral("--version")});
        QCOMPARE(version.status, 0);
        QVERIFY(version.out.startsWith(QStringLiteral("vorlanta ")));
    }

    void signInStatusChannelsSignOut()
    {
        const QString base = service();
        // A token the service rejects is not saved.
        Run run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("login"),
                            QStringLiteral("--token"), QStringLiteral("eyJ.wrong.token")});
        QCOMPARE(run.status, 1);
        QVERIFY(run.err.contains(QStringLiteral("rejected this token; nothing was saved")));
        QVERIFY(!AuthStore::load());

        // Unreachable service: nothing saved either.
        run = vorlanta({QStringLiteral("--service"), closedPortUrl(), QStringLiteral("login"),
                        QStringLiteral("--token"), m_sandbox->token()});
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(QStringLiteral("cannot check the token with")),
                 qPrintable(run.err));
        QVERIFY(!AuthStore::load());

        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("login"),
                        QStringLiteral("--token"), m_sandbox->token()});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QStringLiteral("Signed in to ") + base + QLatin1Char('\n'));
        QCOMPARE(AuthStore::load(),
                 std::optional<AuthState>(AuthState{m_sandbox->token(), std::nullopt}));

        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("status"),
                        QStringLiteral("--json")});
        QCOMPARE(run.status, 0);
        const nlohmann::json status = nlohmann::json::parse(run.out.toStdString());
        QVERIFY(status.at("status") == "signed-in");
        QVERIFY(status.at("tokenSaved") == true);

        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("channels")});
        QCOMPARE(run.status, 0);
        const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).startsWith(QStringLiteral("1\t")));

        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("--json"),
                        QStringLiteral("channels")});
        QCOMPARE(run.status, 0);
        const nlohmann::json channels = nlohmann::json::parse(run.out.toStdString());
        QVERIFY(channels.is_array());
        QCOMPARE(channels.size(), size_t(3));
        // The array as the service sent it, null and missing avatars included.
        QVERIFY(channels.at(1).at("avatar_url").is_null());
        QVERIFY(!channels.at(2).contains("avatar_url"));

        // The token is never printed.
        for (const Run &r : {run}) {
            QVERIFY(!r.out.contains(m_sandbox->token()) && !r.err.contains(m_sandbox->token()));
        }

        run = vorlanta({QStringLiteral("logout")});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QStringLiteral("Signed out.\n"));
        QVERIFY(!AuthStore::load());
        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("status")});
        QCOMPARE(run.status, 1);
        QVERIFY(run.out.startsWith(QStringLiteral("signed-out: ")));
        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("channels")});
        QCOMPARE(run.status, 1);
        QVERIFY(run.err.contains(QStringLiteral("not signed in")));
    }

    void projectsArePagedAndSearched()
    {
        AuthStore::save(AuthState{m_sandbox->token(), std::nullopt});
        const QString base = service();
        Run run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("projects"),
                            QStringLiteral("--json")});
        QCOMPARE(run.status, 0);
        const nlohmann::json first = nlohmann::json::parse(run.out.toStdString());
        QCOMPARE(first.size(), size_t(7));
        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("projects"),
                        QStringLiteral("--page"), QStringLiteral("2"), QStringLiteral("--json")});
        QCOMPARE(run.status, 0);
        const nlohmann::json second = nlohmann::json::parse(run.out.toStdString());
        QVERIFY(!second.empty());
        // No project on both pages.
        for (const auto &a : first) {
            for (const auto &b : second) {
                QVERIFY(a.at("id") != b.at("id"));
            }
        }
        // Searching for one title finds it, case-insensitively.
        const QString title = QString::fromStdString(first.at(0).at("title").get<std::string>());
        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("projects"),
                        QStringLiteral("--search"), title.toUpper()});
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.contains(title), qPrintable(run.out));
        QVERIFY(run.out.contains(QStringLiteral("page 1 of 1")));
        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("projects"),
                        QStringLiteral("--page"), QStringLiteral("9")});
        QCOMPARE(run.status, 1);
        QVERIFY(run.err.contains(QStringLiteral("there are only 2 page(s)")));
        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("projects"),
                        QStringLiteral("--page"), QStringLiteral("zero")});
        QCOMPARE(run.status, 2);
    }

    void createAndSendUploadFiles()
    {
        AuthStore::save(AuthState{m_sandbox->token(), std::nullopt});
        const QString base = service();
        QStringList files;
        for (const QString &name : {QStringLiteral("intro.mov"), QStringLiteral("main.mov")}) {
            const QString path = TestSupport::root() + QLatin1Char('/') + name;
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(6 * 1024 * 1024 + name.size(), 'x'));
            files << path;
        }
        Run run = vorlanta(QStringList{QStringLiteral("--service"), base, QStringLiteral("create"),
                                       QStringLiteral("--title"), QStringLiteral("CLI Trip"),
                                       QStringLiteral("--channel"), QStringLiteral("1"),
                                       QStringLiteral("--due"), QStringLiteral("24/12/2026"),
                                       QStringLiteral("--no-short")} +
                           files);
        QCOMPARE(run.status, 0);
        // Not a terminal: the status lines come one by one, then the result.
        QVERIFY2(run.out.contains(
                     QStringLiteral("Creating project...\nUploading... 50.0%\nUploading... 100.0%\n"
                                    "Project created successfully!\n")),
                 qPrintable(run.out));
        static const QRegularExpression created(
            QStringLiteral("Project (\\d+) created with 2 file\\(s\\)\\."));
        const QRegularExpressionMatch match = created.match(run.out);
        QVERIFY(match.hasMatch());
        const QString id = match.captured(1);

        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("send"),
                        QStringLiteral("--project"), id, files.first()});
        QCOMPARE(run.status, 0);
        QVERIFY(run.out.endsWith(QStringLiteral("1 file(s) sent to project ") + id +
                                 QStringLiteral(".\n")));

        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("projects"),
                        QStringLiteral("--search"), QStringLiteral("cli trip"),
                        QStringLiteral("--json")});
        QCOMPARE(run.status, 0);
        const nlohmann::json cards = nlohmann::json::parse(run.out.toStdString());
        QCOMPARE(cards.size(), size_t(1));
        QCOMPARE(cards.at(0).at("files").size(), size_t(3));

        // An unknown project: the engine's failure line, and a failing status.
        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("send"),
                        QStringLiteral("--project"), QStringLiteral("987654"), files.first()});
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(QStringLiteral("vorlanta: Upload failed for intro.mov: ")),
                 qPrintable(run.err));
        run = vorlanta({QStringLiteral("--service"), base, QStringLiteral("create"),
                        QStringLiteral("--title"), QStringLiteral("x")});
        QCOMPARE(run.status, 2);
    }

    void terminalShowsALiveProgressLine()
    {
        AuthStore::save(AuthState{m_sandbox->token(), std::nullopt});
        const QString path = TestSupport::root() + QStringLiteral("/long.mov");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(16 * 1024 * 1024, 'y')); // three parts
        file.close();
        // script(1) gives the command a terminal.
        const QString command = QString::fromUtf8(TestPrograms::kCli) +
                                QStringLiteral(" --service ") + service() +
                                QStringLiteral(" create --title Live --channel 1 ") + path;
        QProcess process;
        process.start(QStringLiteral("script"),
                      {QStringLiteral("-qec"), command, QStringLiteral("/dev/null")});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 0);
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        // The line is rewritten in place: percent, bytes, rate and time left, after each part and
        // while a part is sent.
        static const QRegularExpression live(QStringLiteral(
            "\\r\\x1b\\[K *(\\d+\\.\\d)%  [\\d.]+ / 16\\.0 MiB  [\\d.]+ MiB/s  ETA \\d+:\\d\\d"));
        QStringList percents;
        auto it = live.globalMatch(out);
        while (it.hasNext()) {
            percents << it.next().captured(1);
        }
        QVERIFY2(percents.size() > 3, qPrintable(percents.join(QLatin1Char(' '))));
        QCOMPARE(percents.last(), QStringLiteral("100.0"));
        double previous = 0;
        bool betweenParts = false;
        for (const QString &percent : std::as_const(percents)) {
            QVERIFY2(percent.toDouble() >= previous, qPrintable(percents.join(QLatin1Char(' '))));
            previous = percent.toDouble();
            // Parts end at 33.3, 66.7 and 100.0 percent.
            betweenParts = betweenParts || (percent != QStringLiteral("33.3") &&
                                            percent != QStringLiteral("66.7") &&
                                            percent != QStringLiteral("100.0"));
        }
        QVERIFY(betweenParts);
        QVERIFY(out.contains(QStringLiteral("Project created successfully!")));
    }

    void statusTellsARejectedTokenFromAnUnreachableService()
    {
        AuthStore::save(AuthState{QStringLiteral("eyJ.stale.token"), std::nullopt});
        Run run = vorlanta({QStringLiteral("--service"), service(), QStringLiteral("status")});
        QCOMPARE(run.status, 1);
        QVERIFY(run.out.startsWith(QStringLiteral("rejected: ")));
        run = vorlanta({QStringLiteral("--service"), closedPortUrl(), QStringLiteral("status")});
        QCOMPARE(run.status, 1);
        QVERIFY(run.out.startsWith(QStringLiteral("unreachable: ")));
        // Asking never deletes the saved token.
        QVERIFY(AuthStore::load());
    }
};

VORLANTA_TEST_MAIN(TestVorlantaCli)
#include "tst_VorlantaCli.moc"
