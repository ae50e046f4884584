#include "TestPrograms.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/QueueWriter.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/shell/SingleInstanceManager.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>

#include <csignal>

namespace {

// The application started as a process in this test's private home.
class Creator {
public:
    explicit Creator(const QStringList &arguments = {})
    {
        m_process.setProgram(QString::fromUtf8(TestPrograms::kCreator));
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
    }
    ~Creator()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QProcess &process() { return m_process; }
    QString output()
    {
        m_output += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_output);
    }
    bool waitForOutput(const QString &text, int timeoutMs = 15000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!output().contains(text)) {
            if (clock.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning) {
                return output().contains(text);
            }
            m_process.waitForReadyRead(50);
        }
        return true;
    }
    void signal(int signalNumber) { ::kill(pid_t(m_process.processId()), signalNumber); }

private:
    QProcess m_process;
    QByteArray m_output;
};

const QString kReady = QStringLiteral("[AppDelegate] App state/provider ready");

QString dayLog()
{
    Logger::flush();
    return QString::fromUtf8(
        TestSupport::readFile(Paths::logsDir() + QLatin1Char('/') +
                              Logger::dayFileName(QDateTime::currentSecsSinceEpoch())));
}

} // namespace

class TestLaunchSequence : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { QDir(Paths::baseDir()).removeRecursively(); }

    void launchLinesInOrderThenCleanExitOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void launchLinesInOrderThenCleanExitOnSignal()
    {
        QFETCH(int, signalNumber);
        Creator app;
        QVERIFY2(app.waitForOutput(kReady), qPrintable(app.output()));

        const QStringList expected{
            QStringLiteral("INFO [AppDelegate] appContext didSet, calling applyAppContextIfReady"),
            QStringLiteral("INFO [AppDelegate] applyAppContextIfReady: appContext available, "
                           "applying state and provider"),
            QStringLiteral("[Vorlanta_CreatorApp] Bridged AppContext to AppDelegate"),
            QStringLiteral(
                "[AppDelegate] bundleIdentifier=com.vorlanta.creator CFBundleName=Vorlanta "
                "Creator"),
            QStringLiteral("INFO [AppDelegate] applyAppContextIfReady: appContext available, "
                           "applying state and provider"),
            kReady};
        const QString out = app.output();
        qsizetype at = 0;
        for (const QString &line : expected) {
            const qsizetype found = out.indexOf(line, at);
            QVERIFY2(found >= 0, qPrintable(QStringLiteral("missing in order: ") + line +
                                            QLatin1Char('\n') + out));
            at = found + line.size();
        }

        // Logger lines reach the day file; plain lines stay on standard output.
        QTRY_VERIFY(dayLog().contains(expected.at(0)));
        const QString log = dayLog();
        QVERIFY(log.contains(expected.at(1)));
        QVERIFY(!log.contains(expected.at(2)));
        QVERIFY(!log.contains(kReady));
        QVERIFY(QFileInfo(Paths::queueDir()).isDir());

        app.signal(signalNumber);
        QVERIFY(app.process().waitForFinished(10000));
        QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.process().exitCode(), 0);
        QVERIFY(!QFileInfo::exists(SingleInstanceManager::lockFilePath()));
        QVERIFY(!QFileInfo::exists(SingleInstanceManager::serverPath()));
    }

    void secondInstanceActivatesTheFirstAndEndsAtOnce()
    {
        Creator first;
        QVERIFY(first.waitForOutput(kReady));

        QElapsedTimer clock;
        clock.start();
        // Arguments of a second instance have no effect.
        Creator second({QStringLiteral("--upload"), QStringLiteral("/tmp/none.mov")});
        QVERIFY(second.process().waitForFinished(10000));
        const qint64 elapsed = clock.elapsed();
        qInfo("second instance ended after %lld ms", elapsed);
        QCOMPARE(second.process().exitCode(), 0);
        QVERIFY(second.output().contains(
            QStringLiteral("[SingleInstanceManager] Another instance is running")));
        QVERIFY(!second.output().contains(kReady));
        // Ends on its own schedule, not after some long time-out.
        QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));

        QVERIFY(first.waitForOutput(
            QStringLiteral("[SingleInstanceManager] Activation requested by another instance")));
        QCOMPARE(first.process().state(), QProcess::Running);
    }

    void customUrlsAreHandledByTheRunningInstance_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("expected");
        QTest::newRow("token") << QStringLiteral("vorlanta-creator://auth?token=tok-SECRET-41")
                               << QStringLiteral(
                                      "INFO [AppDelegate] Received auth token via custom URL");
        QTest::newRow("capital host")
            << QStringLiteral("vorlanta-creator://AUTH?token=tok-SECRET-42")
            << QStringLiteral("INFO [AppDelegate] Received auth token via custom URL");
        QTest::newRow("capital item name")
            << QStringLiteral("vorlanta-creator://auth?Token=tok-SECRET-43")
            << QStringLiteral("WARN [AppDelegate] Auth callback missing token");
        QTest::newRow("other host")
            << QStringLiteral("VORLANTA-CREATOR://Settings")
            << QStringLiteral("WARN [AppDelegate] Unknown host for custom URL scheme: settings");
    }
    void customUrlsAreHandledByTheRunningInstance()
    {
        QFETCH(QString, url);
        QFETCH(QString, expected);
        for (const bool alreadyRunning : {true, false}) {
            Creator first(alreadyRunning ? QStringList() : QStringList{url});
            QVERIFY(first.waitForOutput(kReady));
            if (alreadyRunning) {
                Creator second({url});
                QVERIFY(second.process().waitForFinished(10000));
            }
            QVERIFY2(first.waitForOutput(expected), qPrintable(first.output()));
            first.signal(SIGTERM);
            QVERIFY(first.process().waitForFinished(10000));
            // The token never reaches the day file.
            QVERIFY(!dayLog().contains(QStringLiteral("tok-SECRET")));
        }
    }

    void jobOptionWritesItsJobAndEnds()
    {
        const QString clip = TestSupport::root() + QStringLiteral("/clip.mov");
        QFile file(clip);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("frames");
        file.close();

        Creator job({QStringLiteral("--UPLOAD"), clip});
        QVERIFY(job.process().waitForFinished(10000));
        QCOMPARE(job.process().exitCode(), 0);
        QVERIFY(!job.output().contains(kReady));
        const QStringList queued = QDir(Paths::queueDir()).entryList(QDir::Files);
        QCOMPARE(queued.size(), 1);
        const JobReadResult read =
            JobFileReader::read(Paths::queueDir() + QLatin1Char('/') + queued.at(0));
        QCOMPARE(read.status, JobReadResult::Status::ok);
        QCOMPARE(read.envelope.type, JobType::uploadFiles);
        QCOMPARE(extractFilesFromPayload(read.envelope.payload),
                 std::optional<QStringList>(QStringList{clip}));

        // The next normal start stages it, and every job that arrives while it runs, once each.
        Creator app;
        QVERIFY(app.waitForOutput(kReady));
        const QString archivedFirst = QStringLiteral("Job archived: ") + Paths::processedDir() +
                                      QLatin1Char('/') + queued.at(0);
        QVERIFY2(app.waitForOutput(archivedFirst), qPrintable(app.output()));
        QVERIFY(QFileInfo(Paths::outboxDir() + QLatin1Char('/') + read.envelope.id +
                          QStringLiteral("/clip.mov"))
                    .isFile());

        QStringList written;
        for (int i = 0; i < 5; ++i) {
            written << QueueWriter::write(JobEnvelope::makeNew(
                JobType::quickCreate, QueueWriter::convertToAnyCodable(
                                          QuickCreateJob{QStringLiteral("/target/%1").arg(i)})));
        }
        for (const QString &path : written) {
            QVERIFY(app.waitForOutput(QStringLiteral("Job archived: ") + Paths::processedDir() +
                                      QLatin1Char('/') + QFileInfo(path).fileName()));
        }
        QTest::qWait(300);
        const QString out = app.output();
        QCOMPARE(out.count(QStringLiteral("INFO Job archived: ")), 1 + written.size());
        QVERIFY(!out.contains(QStringLiteral("Failed to process job")));
        QVERIFY(QDir(Paths::queueDir()).entryList(QDir::Files).isEmpty());
        app.signal(SIGTERM);
        QVERIFY(app.process().waitForFinished(10000));
        QCOMPARE(app.process().exitCode(), 0);
        QVERIFY(app.output().contains(QStringLiteral("[JobWorker] Main processing loop ended")));
    }

    void openOptionParksPathsAndLaunches()
    {
        Creator app({QStringLiteral("--open-quick-project"), QStringLiteral("/a.mov"),
                     QStringLiteral("'/b.mov'")});
        QVERIFY(app.waitForOutput(kReady));
        QVERIFY(app.output().contains(QStringLiteral(
            "INFO [AppDelegate] Processing CLI argument: openQuickProject with 2 paths")));
        QCOMPARE(app.process().state(), QProcess::Running);
    }

    void killedInstanceDoesNotBlockTheNext()
    {
        {
            Creator crashed;
            QVERIFY(crashed.waitForOutput(kReady));
            crashed.signal(SIGKILL);
            QVERIFY(crashed.process().waitForFinished(10000));
        }
        QVERIFY(QFileInfo::exists(SingleInstanceManager::lockFilePath()));
        Creator next;
        QVERIFY2(next.waitForOutput(kReady), qPrintable(next.output()));
        QVERIFY(!next.output().contains(QStringLiteral("Another instance is running")));
    }
};

VORLANTA_TEST_MAIN(TestLaunchSequence)
#include "tst_LaunchSequence.moc"
