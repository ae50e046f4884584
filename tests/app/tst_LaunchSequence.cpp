#include "TestPrograms.h"
#include "core/queue/JobFileReader.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/shell/SingleInstanceManager.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QProcess>
#include <QtNetwork/QLocalSocket>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

// The application started as a process in this test's private home.
class Creator : public QProcess {
    QByteArray m_output;

public:
    explicit Creator(const QStringList &arguments = {})
    {
        start(QString::fromUtf8(TestPrograms::kCreator), arguments);
    }
    ~Creator() override { stop(SIGKILL); }
    QString output() { return QString::fromUtf8(m_output += readAllStandardOutput()); }
    bool waitForOutput(const QString &text)
    {
        const QDeadlineTimer deadline(15000);
        while (!output().contains(text) && !deadline.hasExpired() && state() != NotRunning) {
            waitForReadyRead(50);
        }
        return output().contains(text);
    }
    // Sends the signal (none if 0) and returns the exit code of a normal exit, -1 otherwise.
    int stop(int signalNumber = SIGTERM)
    {
        if (signalNumber && processId() > 0) { // never pid 0: that signals our group
            ::kill(pid_t(processId()), signalNumber);
        }
        return waitForFinished(10000) && exitStatus() == NormalExit ? exitCode() : -1;
    }
};

const QString kReady = u"[AppDelegate] App state/provider ready"_s;
const QString kAuthUrl = u"vorlanta-creator://AUTH?token=tok-SECRET-41"_s;
const QString kReceived = u"INFO [AppDelegate] Received auth token via custom URL"_s;

QString writeClip()
{
    const QString clip = TestSupport::root() + u"/clip.mov"_s;
    QFile file(clip);
    return file.open(QIODevice::WriteOnly) && file.write("frames") == 6 ? clip : QString();
}

QString dayLog()
{
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
        const QString apply = u"INFO [AppDelegate] applyAppContextIfReady: appContext available, "
                              "applying state and provider"_s;
        const QStringList expected{
            u"INFO [AppDelegate] appContext didSet, calling applyAppContextIfReady"_s,
            apply,
            u"[Vorlanta_CreatorApp] Bridged AppContext to AppDelegate"_s,
            u"[AppDelegate] bundleIdentifier=com.vorlanta.creator "
            "CFBundleName=Vorlanta Creator"_s,
            apply,
            kReady};
        const QString out = app.output();
        for (qsizetype at = 0; const QString &line : expected) {
            at = out.indexOf(line, at) + line.size(); // short of line.size() when missing
            QVERIFY2(at >= line.size(), qPrintable(u"missing in order: "_s + line + u'\n' + out));
        }
        QTRY_VERIFY(dayLog().contains(apply)); // Logger lines reach the day file

        QCOMPARE(app.stop(signalNumber), 0);
        QVERIFY(!QFile::exists(SingleInstanceManager::lockFilePath()) &&
                !QFile::exists(SingleInstanceManager::serverPath()));
    }

    void killedInstanceDoesNotBlockTheNextWhichASecondActivatesWithItsUrl()
    {
        Creator crashed;
        QVERIFY(crashed.waitForOutput(kReady));
        QCOMPARE(crashed.stop(SIGKILL), -1);
        QVERIFY(QFileInfo::exists(SingleInstanceManager::lockFilePath()));
        Creator first;
        QVERIFY2(first.waitForOutput(kReady), qPrintable(first.output()));
        const QDeadlineTimer soon(3000);
        // A second instance ends at once, handing its custom URL to the first and activating it;
        // its upload of a missing file wrote no job, which it reports.
        Creator second({u"--upload"_s, u"/tmp/none.mov"_s, kAuthUrl});
        QCOMPARE(second.stop(0), 1);
        QVERIFY(!soon.hasExpired());
        QVERIFY(second.readAllStandardError().contains("no job was written"));
        QVERIFY(first.waitForOutput(u"Activation requested by another instance"_s));
        QVERIFY(first.waitForOutput(kReceived));
        QCOMPARE(first.stop(), 0);
        QVERIFY(!dayLog().contains(u"tok-SECRET"_s)); // the token never reaches the day file
    }

    void uploadOptionWritesItsJobAndEndsThenOpenOptionParksPathsAndUrlIsHandled()
    {
        const QString clip = writeClip();
        QVERIFY(!clip.isEmpty());

        Creator job({u"--UPLOAD"_s, clip});
        QCOMPARE(job.stop(0), 0);
        const QStringList queued = QDir(Paths::queueDir()).entryList(QDir::Files);
        QCOMPARE(queued.size(), 1);
        const JobReadResult read = JobFileReader::read(Paths::queueDir() + u'/' + queued.at(0));
        QCOMPARE(read.envelope.type, JobType::uploadFiles);
        QCOMPARE(extractFilesFromPayload(read.envelope.payload), std::optional(QStringList{clip}));

        // The next start stages it, parks its open option's paths and handles its own custom URL.
        Creator app({u"--open-quick-project"_s, u"/a.mov"_s, kAuthUrl, u"'/b.mov'"_s});
        QVERIFY2(
            app.waitForOutput(u"Job archived: "_s + Paths::processedDir() + u'/' + queued.at(0)),
            qPrintable(app.output()));
        QVERIFY(QFileInfo(Paths::outboxDir() + u'/' + read.envelope.id + u"/clip.mov"_s).isFile());
        QVERIFY(app.output().contains(u"Processing CLI argument: openQuickProject with 2 paths"_s));
        QVERIFY(app.waitForOutput(kReceived));
        QCOMPARE(app.stop(), 0);
    }

    void secondInstanceWritesItsJobForTheRunningOneAndHandsItsOpenOptionOver()
    {
        const QString clip = writeClip();
        Creator first;
        QVERIFY2(first.waitForOutput(kReady), qPrintable(first.output()));
        QCOMPARE(Creator({u"--upload"_s, clip}).stop(0), 0);
        QVERIFY2(first.waitForOutput(u"Job archived: "_s + Paths::processedDir()),
                 qPrintable(first.output()));
        const QStringList archived = QDir(Paths::processedDir()).entryList(QDir::Files);
        QCOMPARE(archived.size(), 1);
        const QString id =
            JobFileReader::read(Paths::processedDir() + u'/' + archived.at(0)).envelope.id;
        QVERIFY(QFileInfo(Paths::outboxDir() + u'/' + id + u"/clip.mov"_s).isFile());

        QCOMPARE(Creator({u"--open-quick-project"_s, clip, u"/b.mov"_s}).stop(0), 0);
        QVERIFY2(first.waitForOutput(u"Processing CLI argument: openQuickProject with 2 paths"_s),
                 qPrintable(first.output()));
        // A forwarded option-like path is malformed: ignored and logged, never routed.
        QLocalSocket socket;
        socket.connectToServer(SingleInstanceManager::serverPath());
        QVERIFY(socket.waitForConnected(3000));
        socket.write(
            R"({"command":"openOption","option":"--open-quick-project","paths":["--upload"]})"
            "\n");
        QVERIFY(socket.waitForBytesWritten(3000));
        QVERIFY(first.waitForOutput(u"Ignoring an unknown message from another instance"_s));
        QVERIFY(!first.output().contains(u"Upload command"_s));
        QCOMPARE(first.stop(), 0);
    }
};

VORLANTA_TEST_MAIN(TestLaunchSequence)
#include "tst_LaunchSequence.moc"
