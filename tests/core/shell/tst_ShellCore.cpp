#include "core/persistence/PersistenceController.h"
#include "core/queue/JobFileReader.h"
#include "core/shell/ArgumentRouter.h"
#include "core/shell/DiagnosticReport.h"
#include "core/shell/LaunchAgent.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/shell/PendingAuthToken.h"
#include "core/shell/SingleInstanceManager.h"
#include "support/DataRows.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QLockFile>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QScopeGuard>
#include <QtCore/QSettings>
#include <QtCore/QStandardPaths>
#include <QtNetwork/QLocalSocket>
#include <QtTest/QSignalSpy>

#include <atomic>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;
using Kind = ArgumentRouter::RouteResult::Kind;

namespace {

const QStringList kSubdirs = u"Cache Config Inbox Logs Outbox Processed Queue"_s.split(u' ');

bool makeFile(const QString &path, const QByteArray &content = {})
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Runs body(0) ... body(n - 1) on threads of their own and waits for all of them.
void onThreads(int n, const std::function<void(int)> &body)
{
    std::vector<std::jthread> threads;
    for (int i = 0; i < n; ++i) {
        threads.emplace_back(body, i);
    }
}

// "LEVEL message" of each line of today's log file that carries the marker.
QStringList loggedWith(const QString &marker)
{
    Logger::flush();
    const QString path =
        Paths::logsDir() + u'/' + Logger::dayFileName(QDateTime::currentSecsSinceEpoch());
    QStringList lines = QString::fromUtf8(TestSupport::readFile(path)).split(u'\n').filter(marker);
    for (QString &line : lines) {
        line = line.section(u' ', 1);
    }
    return lines;
}

const QString kQuickSettings =
    uR"({"longForm":false,"short":false,"thumbnail":true,"title":"Quick Project"})"_s;

} // namespace

class TestShellCore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // The routed paths are relative to the directory holding the test files.
        const QString dir = TestSupport::root() + u"/f";
        QVERIFY(QDir().mkpath(dir + u"/dirA") && QDir().mkpath(dir + u"/dirB"));
        QVERIFY(QDir::setCurrent(dir));
        // A and a are distinct files on Linux.
        for (const char *name : {"a", "A", "b", "B", "e", "x", "q"}) {
            QVERIFY(makeFile(QString::fromUtf8(name)));
        }
        Paths::ensureAll();
    }

    void route_data()
    {
        // '|' separates args and the result: the job written, "Type value" (the payload's files,
        // folder or target), empty for none; for the open requests the paths passed on.
        TestSupport::columns<QString, int, QString>("args", "kind", "result");
        using TestSupport::row;
        const int h = int(Kind::handled), q = int(Kind::openQuickProject),
                  m = int(Kind::openMissingFiles), none = int(Kind::none);
        row("upload keeps order, duplicates", "--upload|e|nope|A|a|e", h, "UploadFiles e|A|a|e");
        row("upload unquotes", "--upload|\"q\"|'x'|\"'e'\"|'\"a|\" b\"", h, "UploadFiles q|x|e|a");
        row("upload with nothing existing", "--upload|nope", h, "");
        row("quick-project dedups", "--quick-project|b|nope|'a'|B|b", h, "QuickProject b|a");
        row("missing dedups ignoring case", R"(--Missing-Files|A|nope|a|"b")", h, "Missing A|b");
        row("missing with nothing existing", "--missing-files", h, "");
        row("last folder wins", "--upload-folder|dirA|a|'dirB'|nodir|-v", h, "UploadFolder dirB");
        row("first --path", R"(--Quick-Create|--PATH|"nope"|--path|dirA)", h, "QuickCreate nope");
        // Precedence: each command beats (>) every one below it.
        row("upload > quick-project", "--quick-project|--upload|x", h, "UploadFiles x");
        row("quick-project > missing", "--missing|--quickproject|e", h, "QuickProject e");
        row("missing > upload-folder", "--upload-folder|--missing|dirA", h, "Missing dirA");
        row("folder > create", "--quick-create|--upload-folder|dirA", h, "UploadFolder dirA");
        row("create > open-quick", "--open-quick-project|a|--quick-create", h, "QuickCreate ");
        row("open-quick > open-missing", "--open-missing-files|b|--open-quick-project|a", q, "a");
        // Open requests pass on what follows the flag, unchecked.
        row("open-quick-project takes everything after it",
            "x|--Open-Quick-Project|'nope'|\"\"|--open-missing-files|-v", q,
            "nope|--open-missing-files|-v");
        row("open-missing keeps duplicates", R"(--OPEN-MISSING-FILES|nope|"e"|e)", m, "nope|e|e");
        row("values, abbreviations, one dash", "--upload=1|--upl|-upload|a|dirA", none, "");
        row("unknown args hide tokens", "-v|'VORLANTA-creator:x?tok-1'|--token=tok-2", none, "");
    }
    void route()
    {
        const auto [args, kind, expected] =
            TestSupport::fetch<QString, int, QString>("args", "kind", "result");
        QVERIFY(QDir(Paths::queueDir()).removeRecursively() && QDir().mkpath(Paths::queueDir()));
        const qsizetype logStart = Logger::joinedMemoryBuffer().size();
        const ArgumentRouter::RouteResult result =
            ArgumentRouter::route(args.split(u'|', Qt::SkipEmptyParts));
        QVERIFY(!Logger::joinedMemoryBuffer().mid(logStart).contains(u"tok-"));
        QCOMPARE(int(result.kind), kind);
        const bool handled = kind == int(Kind::handled);
        QCOMPARE(result.paths.join(u'|'), handled ? QString() : expected);
        const QStringList entries = QDir(Paths::queueDir()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(entries.size(), handled && !expected.isEmpty() ? 1 : 0);
        if (entries.isEmpty()) {
            return;
        }
        const JobReadResult read = JobFileReader::read(Paths::queueDir() + u'/' + entries.first());
        nlohmann::json payload = read.envelope.payload;
        QStringList value;
        for (const char *key : {"files", "folderPath", "targetPath"}) {
            // flatten() lists an array's items, or the one value, in order.
            for (const auto &item : payload.contains(key) ? nlohmann::json(payload[key]).flatten()
                                                          : nlohmann::json::object()) {
                value << QString::fromStdString(item.get<std::string>());
            }
            payload.erase(key);
        }
        QCOMPARE(jobTypeRawValue(read.envelope.type) + u' ' + value.join(u'|'), expected);
        // Nothing else, but the fixed settings of a quick project.
        QCOMPARE(QString::fromStdString(payload.dump()),
                 read.envelope.type == JobType::quickProject ? kQuickSettings : u"{}"_s);
    }

    void failedWriteStillCountsAsHandled()
    {
        // A plain file where the queue directory should be makes every write fail.
        Logger::flush(); // log appends still queued would make the directory again
        QVERIFY(QDir(Paths::queueDir()).removeRecursively() && makeFile(Paths::queueDir()));
        const QString log = Logger::joinedMemoryBuffer();
        QCOMPARE(ArgumentRouter::route({u"--missing"_s, u"a"_s}).kind, Kind::handled);
        QVERIFY(Logger::joinedMemoryBuffer().mid(log.size()).contains(u"ERROR Failed to write"));
        QVERIFY(QFile::remove(Paths::queueDir())); // still the file: nothing replaced it
    }
    void ensureAllSucceedsForConcurrentCallersAndReportsABlockedDirectory()
    {
        // Concurrent callers on a fresh account, then each directory blocked by a file in turn:
        // that one is reported on every call and the rest are created.
        for (const QString &blocked : QStringList{QString()} + kSubdirs) {
            Logger::flush(); // log appends still queued would make the directories again
            QDir(Paths::baseDir()).removeRecursively();
            const QString path = Paths::baseDir() + u'/' + blocked;
            QVERIFY(blocked.isEmpty() || (QDir().mkpath(Paths::baseDir()) && makeFile(path)));
            TestSupport::StdoutCapture report;
            onThreads(blocked.isEmpty() ? 8 : 1, [](int) {
                for (int j = 0; j < 20; ++j) {
                    Paths::ensureAll();
                }
            });
            const QString failed = u"Failed to create directory "_s + path + u": Not a directory\n";
            QCOMPARE(report.finish(), failed.repeated(blocked.isEmpty() ? 0 : 20).toUtf8());
            for (const QString &name : kSubdirs) {
                QCOMPARE(QFileInfo(Paths::baseDir() + u'/' + name).isDir(), name != blocked);
            }
            QVERIFY(blocked.isEmpty() || QFile::remove(path));
        }
        QCOMPARE(Paths::logsDir(), qEnvironmentVariable("XDG_DATA_HOME") + u"/VorlantaClient/Logs");
    }
    void linesFromThreadsStayWholeAndOrdered()
    {
        onThreads(4, [](int t) {
            for (int i = 0; i < 500; ++i) {
                Logger::warn(u"[stress] t%1 n%2 %3"_s.arg(t).arg(i).arg(QString(40, u'x')));
            }
        });
        static const QRegularExpression whole(u"^WARN \\[stress\\] t(\\d) n(\\d+) x{40}$"_s);
        const QStringList lines = loggedWith(u"[stress]"_s);
        QCOMPARE(lines.size(), 2000);
        std::vector<int> nextOf(4, 0);
        for (const QString &line : lines) {
            const QRegularExpressionMatch m = whole.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            QCOMPARE(m.captured(2).toInt(), nextOf[size_t(m.captured(1).toInt())]++);
        }
    }

    void lineFormatAndDayFile_data()
    {
        TestSupport::columns<qint64, QString>("seconds", "stamp");
        TestSupport::row("epoch", qint64(0), "1970-01-01T000000Z");
        TestSupport::row("last second of a UTC day", qint64(1741996799), "2025-03-14T235959Z");
        TestSupport::row("leap day", qint64(1709164800), "2024-02-29T000000Z");
    }
    void lineFormatAndDayFile()
    {
        const auto [seconds, stamp] = TestSupport::fetch<qint64, QString>("seconds", "stamp");
        QCOMPARE(Logger::formatTimestamp(seconds), stamp);
        QCOMPARE(Logger::dayFileName(seconds), stamp.left(10) + u".log"_s);

        // One line, the same on standard output, in memory and in today's file.
        const QString memoryBefore = Logger::joinedMemoryBuffer();
        TestSupport::StdoutCapture capture;
        Logger::warn(u"[format] Größe ✓ "_s + QString::fromLatin1(QTest::currentDataTag()));
        const QString printed = QString::fromUtf8(capture.finish());
        static const QRegularExpression shape(
            u"^\\[\\d{4}-\\d\\d-\\d\\dT\\d{6}Z\\] WARN \\[format\\] .+\\n$"_s);
        QVERIFY2(shape.match(printed).hasMatch(), qPrintable(printed));
        QCOMPARE(Logger::joinedMemoryBuffer(), memoryBefore + printed);
        QCOMPARE(loggedWith(u"[format]"_s).last(), printed.section(u' ', 1).chopped(1));
    }

    // The report a user copies for support: a missing value reads "Unknown", the date is UTC.
    void diagnosticReport()
    {
        const QDateTime at = QDateTime::fromString(u"2025-03-14T10:30:15+01:00"_s, Qt::ISODate);
        QCOMPARE(DiagnosticReport::build({{}, u"7"_s, u"Debian GNU/Linux 12 (bookworm)"_s}, at,
                                         u"Disk full"_s, u"a line\n"_s),
                 u"=== System Information ===\nApp Version: Unknown\nBuild: 7\nSystem: Debian "
                 "GNU/Linux 12 (bookworm)\nDate: 2025-03-14T09:30:15Z\n\n=== Error ===\nDisk "
                 "full\n\n=== Full Log ===\na line\n"_s);
    }

    void logLinesSurviveTheirDirectoryGoing()
    {
        // A deleted logs directory is recreated by the next line.
        Logger::info(u"[gone] before"_s);
        Logger::flush();
        QVERIFY(QDir(Paths::logsDir()).removeRecursively());
        Logger::info(u"[gone] after"_s);
        QCOMPARE(loggedWith(u"[gone]"_s), QStringList{u"INFO [gone] after"_s});

        // A line whose append fails still reaches memory; the next one reaches the file.
        QVERIFY(QDir(Paths::logsDir()).removeRecursively() && makeFile(Paths::logsDir()));
        Logger::error(u"[lost] only in memory"_s);
        Logger::flush();
        QVERIFY(Logger::joinedMemoryBuffer().contains(u"ERROR [lost] only in memory\n"_s));
        QVERIFY(QFile::remove(Paths::logsDir()));
        Logger::info(u"[lost] next"_s);
        QCOMPARE(loggedWith(u"[lost]"_s), QStringList{u"INFO [lost] next"_s});
    }

    void restoredTokenNeverReplacesANewerOne()
    {
        PendingAuthToken &pending = PendingAuthToken::shared();
        pending.store(u"newer"_s);
        pending.restore(u"old"_s);
        QCOMPARE(pending.consume(), std::optional(u"newer"_s));
        QCOMPARE(pending.consume(), std::nullopt);
    }

    void concurrentStoreAndConsumeDeliverEachTokenAtMostOnce()
    {
        std::mutex mutex;
        QStringList consumed;
        std::atomic_int storers{1};
        onThreads(4, [&](int i) {
            for (int n = 0; i == 0 && n < 2000; ++n) {
                PendingAuthToken::shared().store(u"t%1"_s.arg(n));
            }
            storers -= int(i == 0);
            do { // the storer, done, takes what may be left
                if (auto token = PendingAuthToken::shared().consume()) {
                    std::lock_guard lock(mutex);
                    consumed.append(*token);
                }
            } while (storers > 0);
        });
        QCOMPARE(consumed.removeDuplicates(), 0);
        QVERIFY(consumed.contains(u"t1999"_s)); // the last token is never lost
    }

    void storeOpensAndAnUnusableOneIsLoggedAndLeftClosed()
    {
        QVERIFY(PersistenceController::shared().addItem(QDateTime::currentDateTimeUtc()));

        // A directory in the store's place, and a file that is no database (left as it is).
        const QString dir = TestSupport::root() + u"/bad/store";
        const QString text = TestSupport::root() + u"/bad/text";
        const QByteArray content = QByteArray("not sqlite at all, just text").repeated(200);
        QVERIFY(QDir().mkpath(dir) && makeFile(text, content));
        for (const QString &bad : {dir, text}) {
            const QString log = Logger::joinedMemoryBuffer();
            PersistenceController store(bad);
            QVERIFY(!store.isOpen() && !store.addItem(QDateTime::currentDateTimeUtc()));
            QVERIFY(Logger::joinedMemoryBuffer().mid(log.size()).contains(u"ERROR [Persistence]"));
        }
        QCOMPARE(TestSupport::readFile(text), content);
    }

    // Start at login: the entry starts the program it names, whatever its path holds, once per
    // user; a failure is one line and is not retried.
    void launchAgent_data()
    {
        // folder: where the program lives ("" the autostart folder cannot be made)
        TestSupport::columns<QString, QString>("folder", "line");
        const QString ok = u"[AppDelegate] Launch agent loaded successfully"_s;
        TestSupport::row("plain", "bin", ok);
        TestSupport::row("a space, as in a bundle", "Vorlanta Creator.app/bin", ok);
        TestSupport::row("quotes, dollar, backslash", "it's \"$HOME\" a\\b", ok);
        TestSupport::row("autostart folder blocked", "",
                         "[AppDelegate] Failed to install launch agent: ");
    }
    void launchAgent()
    {
        const auto [folder, line] = TestSupport::fetch<QString, QString>("folder", "line");
        QSettings().remove(QLatin1String(LaunchAgent::kInstalledKey));
        const QString autostart = QFileInfo(LaunchAgent::installedFile()).path();
        QDir(autostart).removeRecursively();
        QFile::remove(autostart);
        const QString dir = TestSupport::root() + u"/programs/"_s + folder;
        const QString program = dir + u"/vorlanta-creator"_s;
        const QString marker = TestSupport::root() + u"/started"_s;
        QFile::remove(marker);
        QVERIFY(QDir().mkpath(dir));
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$0\" > \"" + marker.toUtf8() + "\"\n");
        script.close();
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        if (folder.isEmpty()) {
            QVERIFY(QFile(autostart).open(QIODevice::WriteOnly)); // a file where the folder goes
        }
        qputenv("APPIMAGE", program.toUtf8());
        const auto unset = qScopeGuard([] { qunsetenv("APPIMAGE"); });
        TestSupport::StdoutCapture out;
        LaunchAgent::installLaunchAgentIfNeeded();
        QVERIFY2(out.finish().startsWith(line.toUtf8()), qPrintable(line));
        if (folder.isEmpty()) {
            QVERIFY(!QFile::exists(LaunchAgent::installedFile()));
        } else {
            // The desktop's own launcher reads the entry and starts the program.
            QCOMPARE(QProcess::execute(u"gio"_s, {u"launch"_s, LaunchAgent::installedFile()}), 0);
            QTRY_COMPARE(TestSupport::readFile(marker).trimmed(), program.toUtf8());
            QVERIFY(TestSupport::readFile(LaunchAgent::installedFile())
                        .contains("X-GNOME-Autostart-enabled=true"));
        }
        // Once per user: a removed entry stays removed, a failure is not retried.
        QFile::remove(LaunchAgent::installedFile());
        TestSupport::StdoutCapture again;
        LaunchAgent::installLaunchAgentIfNeeded();
        QVERIFY(again.finish().isEmpty() && !QFile::exists(LaunchAgent::installedFile()));
    }

    void staleLockIsTakenOverButALivingOneKeptHowEverOld()
    {
        QProcess ended;
        ended.start(u"true"_s, {});
        QVERIFY(ended.waitForStarted());
        const qint64 deadPid = ended.processId();
        QVERIFY(ended.waitForFinished());
        // A lock file in QLockFile's own format naming that process, and its socket file.
        QLockFile probe(TestSupport::root() + u"/probe.lock");
        QVERIFY(probe.tryLock(0));
        const QByteArray content = TestSupport::readFile(probe.fileName());
        QVERIFY(makeFile(SingleInstanceManager::lockFilePath(),
                         QByteArray::number(deadPid) + content.mid(content.indexOf('\n'))));
        QVERIFY(makeFile(SingleInstanceManager::serverPath()));
        SingleInstanceManager first;
        first.checkSingleInstance();
        QVERIFY(first.isSingleInstance());

        // Days old, the lock of a living instance still holds, and its socket answers.
        QFile lock(SingleInstanceManager::lockFilePath());
        QVERIFY(lock.open(QIODevice::ReadOnly) &&
                lock.setFileTime(QDateTime::currentDateTimeUtc().addDays(-3),
                                 QFile::FileModificationTime));
        QSignalSpy activations(&first, &SingleInstanceManager::activationRequested);
        SingleInstanceManager second;
        second.checkSingleInstance();
        QVERIFY(!second.isSingleInstance());
        QTRY_COMPARE(activations.size(), 1);

        // Garbage on the socket is skipped; the good entries around it still count.
        QSignalSpy urls(&first, &SingleInstanceManager::urlsReceived);
        QLocalSocket client;
        client.connectToServer(SingleInstanceManager::serverPath());
        QVERIFY(client.waitForConnected(1000));
        client.write(
            "not json\n{\"command\":\"format-disk\"}\n{\"command\":\"openUrls\","
            "\"urls\":[1,\"vorlanta-creator://auth?token=x\",null]}\n{\"command\":\"activate\"}\n");
        QVERIFY(client.waitForBytesWritten(1000));
        QTRY_COMPARE(activations.size(), 2);
        QCOMPARE(urls, QList<QVariantList>{{QStringList{u"vorlanta-creator://auth?token=x"_s}}});
    }
};

VORLANTA_TEST_MAIN(TestShellCore)
#include "tst_ShellCore.moc"
