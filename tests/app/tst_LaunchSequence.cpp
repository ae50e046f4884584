#include "TestPrograms.h"
#include "core/queue/JobFileReader.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/shell/SingleInstanceManager.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QElapsedTimer>
#include <QtCore/QProcess>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

// The application started as a process in this test's private home.
class Creator {
public:
    explicit Creator(const QStringList &arguments = {})
    {
        m_process.start(QString::fromUtf8(TestPrograms::kCreator), arguments);
    }
    ~Creator() { stop(SIGKILL); }
    QString output()
    {
        m_output += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_output);
    }
    bool waitForOutput(const QString &text)
    {
        QElapsedTimer clock;
        clock.start();
        while (!output().contains(text) && clock.elapsed() < 15000 &&
               m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(50);
        }
        return output().contains(text);
    }
    // Sends the signal and returns the exit code of a normal exit, -1 otherwise.
    int stop(int signalNumber = SIGTERM)
    {
        if (m_process.processId() > 0) { // never 0: that would signal this whole group
            ::kill(pid_t(m_process.processId()), signalNumber);
        }
        const bool ended = m_process.waitForFinished(10000);
        return ended && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    // Of a process that ends by itself.
    int exitCode() { return m_process.waitForFinished(10000) ? m_process.exitCode() : -1; }

private:
    QProcess m_process;
    QByteArray m_output;
};

const QString kReady = u"[AppDelegate] App state/provider ready"_s;
const QString kAuthUrl = u"vorlanta-creator://AUTH?token=tok-SECRET-41"_s;
const QString kReceived = u"INFO [AppDelegate] Received auth token via custom URL"_s;

QString dayLog()
{
    Logger::flush();
    return QString::fromUtf8(TestSupport::readFile(
        Paths::logsDir() + u'/' + Logger::dayFileName(QDateTime::currentSecsSinceEpoch())));
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
        const QString apply =
            u"INFO [AppDelegate] applyAppContextIfReady: appContext available, applying state and "
            "provider"_s;
        const QStringList expected{
            u"INFO [AppDelegate] appContext didSet, calling applyAppContextIfReady"_s,
            apply,
            u"[Vorlanta_CreatorApp] Bridged AppContext to AppDelegate"_s,
            u"[AppDelegate] bundleIdentifier=com.vorlanta.creator "
            "CFBundleName=Vorlanta Creator"_s,
            apply,
            kReady};
        const QString out = app.output();
        qsizetype at = 0;
        for (const QString &line : expected) {
            at = out.indexOf(line, at);
            QVERIFY2(at >= 0, qPrintable(u"missing in order: "_s + line + u'\n' + out));
            at += line.size();
        }
        // Logger lines reach the day file; plain lines stay on standard output.
        QTRY_VERIFY(dayLog().contains(apply));
        QVERIFY(!dayLog().contains(expected.at(2)) && !dayLog().contains(kReady));

        QCOMPARE(app.stop(signalNumber), 0);
        QVERIFY(!QFileInfo::exists(SingleInstanceManager::lockFilePath()));
        QVERIFY(!QFileInfo::exists(SingleInstanceManager::serverPath()));
    }

    void killedInstanceDoesNotBlockTheNextWhichASecondActivatesWithItsUrl()
    {
        {
            Creator crashed;
            QVERIFY(crashed.waitForOutput(kReady));
            QCOMPARE(crashed.stop(SIGKILL), -1);
        }
        QVERIFY(QFileInfo::exists(SingleInstanceManager::lockFilePath()));
        Creator first;
        QVERIFY2(first.waitForOutput(kReady), qPrintable(first.output()));
        QElapsedTimer clock;
        clock.start();
        // A second instance ends at once, its arguments without effect; it hands its custom URL
        // to the first and activates it.
        Creator second({u"--upload"_s, u"/tmp/none.mov"_s, kAuthUrl});
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(second.output().contains(u"Another instance is running"_s));
        QVERIFY(!second.output().contains(kReady));
        QVERIFY(first.waitForOutput(u"Activation requested by another instance"_s));
        QVERIFY(first.waitForOutput(kReceived));
        QCOMPARE(first.stop(), 0);
        QVERIFY(!dayLog().contains(u"tok-SECRET"_s)); // the token never reaches the day file
    }

    void uploadOptionWritesItsJobAndEndsThenOpenOptionParksPathsAndUrlIsHandled()
    {
        const QString clip = TestSupport::root() + u"/clip.mov"_s;
        QFile file(clip);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("frames") == 6 && file.flush());

        Creator job({u"--UPLOAD"_s, clip});
        QCOMPARE(job.exitCode(), 0);
        QVERIFY(!job.output().contains(kReady));
        const QStringList queued = QDir(Paths::queueDir()).entryList(QDir::Files);
        QCOMPARE(queued.size(), 1);
        const JobReadResult read = JobFileReader::read(Paths::queueDir() + u'/' + queued.at(0));
        QCOMPARE(read.envelope.type, JobType::uploadFiles);
        QCOMPARE(extractFilesFromPayload(read.envelope.payload),
                 std::optional<QStringList>(QStringList{clip}));

        // The next start stages it; its open option parks the paths, and it handles the custom
        // URL it was started with itself.
        Creator app({u"--open-quick-project"_s, u"/a.mov"_s, kAuthUrl, u"'/b.mov'"_s});
        QVERIFY2(
            app.waitForOutput(u"Job archived: "_s + Paths::processedDir() + u'/' + queued.at(0)),
            qPrintable(app.output()));
        QVERIFY(QFileInfo(Paths::outboxDir() + u'/' + read.envelope.id + u"/clip.mov"_s).isFile());
        QVERIFY(app.output().contains(u"Processing CLI argument: openQuickProject with 2 paths"_s));
        QVERIFY(app.waitForOutput(kReceived));
        QCOMPARE(app.stop(), 0);
    }
};

VORLANTA_TEST_MAIN(TestLaunchSequence)
#include "tst_LaunchSequence.moc"
