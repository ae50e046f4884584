#include "BuildConfig.h"
#include "TestPrograms.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/QueueWriter.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/shell/SingleInstanceManager.h"
#include "support/CreatorProcess.h"
#include "support/DataRows.h"
#include "support/QueueFiles.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QProcess>
#include <QtCore/QRandomGenerator>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtNetwork/QLocalSocket>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

using Creator = TestSupport::CreatorProcess;

const QString kReady = u"[AppDelegate] App state/provider ready"_s;
// The scheme in any case, a token that fails a strict URL check.
const QString kAuthUrl = u"Vorlanta-Creator://AUTH?token=1|tok-SECRET-41"_s;
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

// The temporaries of copies under way or cut off below the directory, by relative path.
QSet<QString> partials(const QString &dir = Paths::outboxDir())
{
    static const QRegularExpression partial(u"(^|/)\\.[^/]+\\.partial-[A-Za-z0-9]{6}$"_s);
    const QStringList found = QueueFiles::snapshot(dir, false).filter(partial);
    return {found.begin(), found.end()};
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
        const int exitCode = first.stop();
        QVERIFY2(exitCode == 0,
                 qPrintable(first.output() + QString::fromUtf8(first.readAllStandardError())));
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
        QVERIFY2(first.waitForOutput(u"Processing CLI argument: openQuickProject with 2 paths"_s) &&
                     first.waitForOutput(u"Processing pending Quick Project with 1 file(s)"_s),
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

    // Without any display: help and version answer on standard output, a job option writes its
    // job, and a real start says in one line on standard error that it needs a desktop session.
    void withoutDisplay_data()
    {
        TestSupport::columns<QStringList, int, QString>("arguments", "exitCode", "printed");
        TestSupport::addRow("help", QStringList{u"--help"_s}, 0, u"\n  --upload PATH..."_s);
        TestSupport::addRow("version", QStringList{u"--Version"_s}, 0, u"Vorlanta Creator 0."_s);
        TestSupport::addRow("job", QStringList{u"--upload"_s, u"clip"_s}, 0,
                            u"Upload command received with 1 file(s)."_s);
        TestSupport::addRow("real start", QStringList{kAuthUrl}, 1, u"needs a desktop session"_s);
    }
    void withoutDisplay()
    {
        auto [arguments, exitCode, printed] =
            TestSupport::fetch<QStringList, int, QString>("arguments", "exitCode", "printed");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString &name : {u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"QT_QPA_PLATFORM"_s}) {
            environment.remove(name);
        }
        Creator app(arguments.replaceInStrings(u"clip"_s, writeClip()), environment);
        QCOMPARE(app.stop(0), exitCode);
        const QString error = QString::fromUtf8(app.readAllStandardError());
        QVERIFY2((exitCode ? error : app.output()).contains(printed) &&
                     (!exitCode || error.count(u'\n') == 1),
                 qPrintable(error));
        QCOMPARE(QDir(Paths::queueDir()).entryList(QDir::Files).size(), int(arguments.size() > 1));
    }

    // With no Secret Service the queue runs at once; a keyring that comes up later holding a
    // saved token is read then, and the token checked with the service.
    void lateKeyringHoldsNothingUp()
    {
        // A session bus that activates nothing: no Secret Service until one is started.
        QTemporaryDir dir;
        QString bus = QString::fromUtf8(TestSupport::readFile(u"/usr/share/dbus-1/session.conf"_s));
        QVERIFY(QueueFiles::writeFile(dir.filePath(u"bus"_s),
                                      bus.remove(u"<standard_session_servicedirs />"_s).toUtf8()) &&
                QueueFiles::writeFile(dir.filePath(u"pw"_s), "pw") &&
                QueueFiles::writeFile(dir.filePath(u"item"_s), R"({"accessToken":"tok-LATE-7"})"));
        QProcess daemon, keyring, tool;
        daemon.startCommand(u"dbus-daemon --print-address --nofork --config-file="_s +
                            dir.filePath(u"bus"_s));
        QVERIFY(daemon.waitForReadyRead(10000));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s,
                           QString::fromUtf8(daemon.readLine().trimmed()));
        const auto run = [&](QProcess &process, const QString &command, const QString &input) {
            process.setProcessEnvironment(environment);
            process.setStandardInputFile(dir.filePath(input));
            process.startCommand(command);
            return process.waitForStarted();
        };
        // A keyring holding the token, stopped again before the app starts.
        const QString unlocked =
            u"gnome-keyring-daemon --foreground --unlock --components=secrets"_s;
        QVERIFY(run(keyring, unlocked, u"pw"_s));
        QTRY_VERIFY_WITH_TIMEOUT(run(tool,
                                     u"secret-tool store --label=v user VorlantaAuthState "
                                     "server com.vorlanta.creator type plaintext"_s,
                                     u"item"_s) &&
                                     tool.waitForFinished() && tool.exitCode() == 0,
                                 10000);
        keyring.terminate();
        QVERIFY(keyring.waitForFinished());

        Creator app({}, environment);
        QVERIFY2(app.waitForOutput(kReady), qPrintable(app.output()));
        QCOMPARE(Creator({u"--upload"_s, writeClip()}).stop(0), 0);
        QVERIFY2(app.waitForOutput(u"Job archived: "_s), qPrintable(app.output()));
        // The service at the address the build names accepts that token.
        const QUrl service(QString::fromUtf8(BuildConfig::kApiBaseUrl));
        QVERIFY2(service.host() == u"127.0.0.1"_s, "needs a build with VORLANTA_TEST_SERVICE_PORT");
        TestSupport::SandboxProcess sandbox(
            {u"--port"_s, QString::number(service.port()), u"--token"_s, u"tok-LATE-7"_s});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        QVERIFY(run(keyring, unlocked, u"pw"_s));
        QVERIFY2(app.waitForOutput(u"[AppState] Found saved auth state, validating token"_s) &&
                     app.waitForOutput(u"Token valid, setting authStatus to loggedIn"_s),
                 qPrintable(app.output()));
        QCOMPARE(app.stop(), 0);
        keyring.terminate();
        daemon.terminate();
        QVERIFY(keyring.waitForFinished() && daemon.waitForFinished() &&
                !dayLog().contains(u"tok-LATE"));
    }

    // Kills land while both consumers copy; the next starts must finish each job exactly once.
    void killNineDuringStagingLosesNothingDuplicatesNothingLeavesNoPartials()
    {
        const QString media = TestSupport::root() + u"/media"_s;
        const QStringList dirs{u"cards"_s, u"shoot/nested"_s, u"shoot"_s, u"shoot"_s};
        QRandomGenerator *random = QRandomGenerator::global();
        for (int i = 0; i < 46; ++i) { // random bytes: a misplaced or cut copy never compares equal
            QByteArray bytes(
                random->bounded(i < 6 ? 16 << 20 : 1 << 20, i < 6 ? 24 << 20 : 3 << 20), '\0');
            random->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
            QVERIFY(QueueFiles::writeFile(
                media + (i < 6 ? u"/reel-%1.mov"_s.arg(i)
                               : u"/%1/take-%2.mov"_s.arg(dirs[(i - 6) / 10], QString::number(i))),
                bytes));
        }
        struct Queued {
            QString fileName, id;
            QStringList names; // in media
            bool folder;
        };
        QList<Queued> jobs;
        const auto enqueue = [&](bool folder, const QStringList &names) {
            const QStringList paths =
                QStringList(names).replaceInStrings(QRegularExpression(u"^"_s), media + u'/');
            const JobEnvelope job = JobEnvelope::makeNew(
                folder ? JobType::uploadFolder : JobType::uploadFiles,
                folder ? QueueWriter::convertToAnyCodable(UploadFolderJob{paths[0]})
                       : QueueWriter::convertToAnyCodable(UploadFilesJob{paths}));
            jobs << Queued{QFileInfo(QueueWriter::write(job)).fileName(), job.id, names, folder};
            return !jobs.last().fileName.isEmpty();
        };
        QVERIFY(enqueue(true, {u"shoot"_s}));
        QVERIFY(enqueue(false, {u"reel-0.mov"_s, u"reel-1.mov"_s, u"cards"_s}));
        const QDir queue(Paths::queueDir()); // nothing but job files lands there
        const auto queued = [] { return QDir(Paths::queueDir()).entryList().join(u' '); };

        const int rounds = qEnvironmentVariableIntValue("VORLANTA_KILL_ROUNDS");
        for (int round = 0; round < (rounds > 0 ? rounds : 4); ++round) {
            // Copies here take milliseconds, so the kill comes after a random 0-400 ms or once a
            // copy is seen under way: one of the next three of the worker, which stages what is
            // queued at the start (this round's job too), or the collector's copy of this round's
            // job, written once the worker has emptied the queue and pauses.
            const QStringList reel{u"reel-%1.mov"_s.arg(2 + round % 4)};
            const bool collector = random->bounded(2);
            QVERIFY(collector || enqueue(false, reel));
            QSet<QString> seen = partials(); // swept by the start
            Creator app;
            QVERIFY2(app.waitForOutput(kReady) &&
                         app.waitForOutput(u"QueueCollector started monitoring"_s),
                     qPrintable(app.output()));
            if (collector) { // a folder job too: its restage must not add a second layout
                QTRY_VERIFY2_WITH_TIMEOUT(queue.isEmpty(), qPrintable(queued()), 20000);
                QVERIFY(round % 4 < 2 ? enqueue(true, {u"cards"_s}) : enqueue(false, reel));
            }
            const QString watched =
                Paths::outboxDir() + (collector ? u'/' + jobs.last().id : QString());
            const qsizetype enough = seen.size() + (collector ? 1 : random->bounded(1, 4));
            const QDeadlineTimer deadline(random->bounded(401));
            while (seen.size() < enough && !deadline.hasExpired()) {
                seen.unite(partials(watched));
            }
            app.stop(SIGKILL);
        }
        Creator app;
        QVERIFY2(app.waitForOutput(kReady), qPrintable(app.output()));
        QTRY_VERIFY2_WITH_TIMEOUT(queue.isEmpty(), qPrintable(queued()), 60000);
        QCOMPARE(app.stop(), 0);

        const auto notIn = [](QStringList list, const QStringList &other) {
            list.removeIf([&](const QString &entry) { return other.contains(entry); });
            return list.join(u' ');
        };
        QStringList fileNames, ids;
        for (const Queued &job : jobs) {
            fileNames << job.fileName;
            ids << job.id;
            const QString outbox = Paths::outboxDir() + u'/' + job.id;
            const QStringList staged = QueueFiles::snapshot(outbox, false);
            // The worker stages a folder job's contents directly, the collector the folder itself.
            const bool direct = job.folder && !staged.contains(job.names[0] + u'/');
            const QString base = direct ? media + u'/' + job.names[0] : media;
            QStringList expected = QueueFiles::snapshot(base, false);
            expected.removeIf([&](const QString &entry) {
                return !direct && !job.names.contains(entry.section(u'/', 0, 0));
            });
            QVERIFY2(staged == expected,
                     qPrintable(outbox + u" lacks "_s + notIn(expected, staged) +
                                u", has extra "_s + notIn(staged, expected)));
            for (const QString &entry : expected) {
                QVERIFY2(entry.endsWith(u'/') || TestSupport::readFile(outbox + u'/' + entry) ==
                                                     TestSupport::readFile(base + u'/' + entry),
                         qPrintable(u"differs from its source: "_s + outbox + u'/' + entry));
            }
        }
        QCOMPARE(QDir(Paths::processedDir()).entryList(QDir::Files | QDir::Hidden),
                 QueueFiles::sorted(fileNames));
        QCOMPARE(QDir(Paths::outboxDir())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QueueFiles::sorted(ids));
        QVERIFY2(partials().isEmpty(),
                 qPrintable(Paths::outboxDir() + u" holds "_s + partials().values().join(u' ')));
        // Hundreds of MiB, kept only when a check failed.
        QVERIFY(QDir(media).removeRecursively() && QDir(Paths::outboxDir()).removeRecursively());
    }
};

VORLANTA_TEST_MAIN(TestLaunchSequence)
#include "tst_LaunchSequence.moc"
