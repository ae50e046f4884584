#include "core/queue/JobEnvelope.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/MissingFilesWatcher.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QStandardPaths>
#include <QtCore/QThread>
#include <QtTest/QSignalSpy>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int kTimeoutMs = 10000;
const QString kQueueName = QStringLiteral("missing.queue");

bool writeFile(const QString &path, const QByteArray &bytes,
               QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Truncate)
{
    QFile file(path);
    return file.open(mode) && file.write(bytes) == bytes.size() && file.flush();
}

bool appendLine(const QString &path, const QString &line)
{
    return writeFile(path, (line + QLatin1Char('\n')).toUtf8(),
                     QIODevice::WriteOnly | QIODevice::Append);
}

QStringList jobFileNames()
{
    return QDir(Paths::queueDir())
        .entryList({QStringLiteral("*.job.json")}, QDir::Files | QDir::Hidden, QDir::Name);
}

// The file lists of all job files, sorted; a file that is not a Missing job shows as "<bad>".
QList<QStringList> jobFileLists()
{
    QList<QStringList> lists;
    for (const QString &name : jobFileNames()) {
        const JobReadResult result =
            JobFileReader::read(Paths::queueDir() + QLatin1Char('/') + name);
        std::optional<QStringList> files;
        if (result.status == JobReadResult::Status::ok &&
            result.envelope.type == JobType::missing) {
            files = extractFilesFromPayload(result.envelope.payload);
        }
        lists.append(files.value_or(QStringList{QStringLiteral("<bad>")}));
    }
    std::sort(lists.begin(), lists.end(), [](const QStringList &a, const QStringList &b) {
        return a.join(QLatin1Char('\n')) < b.join(QLatin1Char('\n'));
    });
    return lists;
}

// Watches the kernel holds on the directory for this process, from /proc/self/fdinfo.
int inotifyWatchesOn(const QString &dir)
{
    struct stat status {};
    if (::stat(QFile::encodeName(dir).constData(), &status) != 0) {
        return -1;
    }
    const QByteArray inode = "ino:" + QByteArray::number(qulonglong(status.st_ino), 16) + ' ';
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        char target[256] = {};
        if (::readlink(entry.path().c_str(), target, sizeof target - 1) < 0 ||
            QByteArray(target) != "anon_inode:inotify") {
            continue;
        }
        const QByteArray info =
            TestSupport::readFile(QStringLiteral("/proc/self/fdinfo/") +
                                  QString::fromStdString(entry.path().filename().string()));
        for (const QByteArray &line : info.split('\n')) {
            if (line.startsWith("inotify wd:") && line.contains(inode)) {
                ++count;
            }
        }
    }
    return count;
}

int inotifyDescriptorCount()
{
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        char target[256] = {};
        if (::readlink(entry.path().c_str(), target, sizeof target - 1) >= 0 &&
            QByteArray(target) == "anon_inode:inotify") {
            ++count;
        }
    }
    return count;
}

// Threads of this process whose kernel name is the (15-character) watcher thread name.
int watcherThreadCount()
{
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
        const QByteArray comm =
            TestSupport::readFile(QString::fromStdString((entry.path() / "comm").string()));
        if (comm.trimmed() == "MissingFilesWat") {
            ++count;
        }
    }
    return count;
}

// Records missingFiles at each change and whether every change came on the main thread.
struct Publications {
    explicit Publications(MissingFilesWatcher &watcher)
    {
        QObject::connect(
            &watcher, &MissingFilesWatcher::missingFilesChanged, &watcher,
            [this, &watcher] {
                lists.append(watcher.missingFiles());
                onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
            },
            Qt::DirectConnection);
    }
    QList<QStringList> lists;
    bool onMainThread = true;
};

QStringList utf8List(std::initializer_list<const char *> items)
{
    QStringList list;
    for (const char *item : items) {
        list.append(QString::fromUtf8(item));
    }
    return list;
}

// Captures standard output and writes it out again when done, so that a failure reported while
// capturing is still seen.
class EchoedStdout {
public:
    EchoedStdout() = default;
    EchoedStdout(const EchoedStdout &) = delete;
    EchoedStdout &operator=(const EchoedStdout &) = delete;
    ~EchoedStdout() { finish(); }

    QString finish()
    {
        if (!m_done) {
            m_done = true;
            m_text = m_capture.finish();
            std::fwrite(m_text.constData(), 1, size_t(m_text.size()), stdout);
            std::fflush(stdout);
        }
        return QString::fromUtf8(m_text);
    }

private:
    TestSupport::StdoutCapture m_capture;
    QByteArray m_text;
    bool m_done = false;
};

// Runs everything asked of the watcher so far and delivers what it posted to this thread.
void settle(MissingFilesWatcher &watcher)
{
    watcher.waitUntilIdle();
    QCoreApplication::sendPostedEvents();
}

} // namespace

class TestMissingFilesWatcher : public QObject {
    Q_OBJECT

    QString m_media;
    qsizetype m_logMark = 0;

    QString inbox() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
               QStringLiteral("/VorlantaClient/MissingInbox");
    }
    QString queuePath() const { return inbox() + QLatin1Char('/') + kQueueName; }
    QString media(const char *relative) const
    {
        return m_media + QLatin1Char('/') + QString::fromUtf8(relative);
    }
    QString logSinceInit() const { return Logger::joinedMemoryBuffer().mid(m_logMark); }

    void removeWorkingFiles()
    {
        QDir(inbox()).removeRecursively();
        QDir(Paths::queueDir()).removeRecursively();
        QDir(TestSupport::root() + QStringLiteral("/blocked")).removeRecursively();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
                    .startsWith(TestSupport::root()));
        m_media = TestSupport::root() + QStringLiteral("/media");
        for (const char *dir : {"a", "b", "c", "x", "folder", "q", "sp", "\xc3\xbc"}) {
            QVERIFY(QDir().mkpath(media(dir)));
        }
        for (const char *file : {"a/clip.mov", "b/Clip.MOV", "x/y.mov", "c/1.mov", "c/2.mov",
                                 "c/3.mov", "c/4.mov", "c/5.mov", "q/\"quoted\".mov",
                                 "sp/name with space.mov", "\xc3\xbc/na\xc3\xafve.mov"}) {
            QVERIFY(writeFile(media(file), "media"));
        }
    }

    void init()
    {
        removeWorkingFiles();
        m_logMark = Logger::joinedMemoryBuffer().size();
    }

    void cleanup() { removeWorkingFiles(); }

    void createsTheInboxUnderDocuments()
    {
        QVERIFY(!QFileInfo::exists(inbox()));
        MissingFilesWatcher watcher;
        QCOMPARE(watcher.missingInboxDir(), inbox());
        QCOMPARE(MissingFilesWatcher::defaultInboxDir(), inbox());
        QCOMPARE(watcher.missingQueuePath(), queuePath());
        QVERIFY(QFileInfo(inbox()).isDir());
        // The private name sits in the inbox, so the move is a rename, and differs from the queue.
        QCOMPARE(QFileInfo(watcher.processingQueuePath()).absolutePath(), inbox());
        QVERIFY(watcher.processingQueuePath() != watcher.missingQueuePath());
        QCOMPARE(watcher.debounceTime(), 750ms);
        QVERIFY(watcher.missingFiles().isEmpty());
        QVERIFY(watcher.property("missingFiles").toStringList().isEmpty());
        QVERIFY(!logSinceInit().contains(QStringLiteral("ERROR")));
    }

    void ownsANamedThreadThatEndsWithIt()
    {
        QCOMPARE(watcherThreadCount(), 0);
        auto watcher = std::make_unique<MissingFilesWatcher>();
        QTRY_COMPARE_WITH_TIMEOUT(watcherThreadCount(), 1, kTimeoutMs);
        watcher.reset();
        QTRY_COMPARE_WITH_TIMEOUT(watcherThreadCount(), 0, kTimeoutMs);
    }

    void startAndStopWatchingHoldOneWatch()
    {
        MissingFilesWatcher watcher;
        EchoedStdout capture;
        watcher.startWatching();
        QCOMPARE(inotifyWatchesOn(inbox()), 1);
        watcher.startWatching();
        QCOMPARE(inotifyWatchesOn(inbox()), 1);
        watcher.stopWatching();
        QCOMPARE(inotifyWatchesOn(inbox()), 0);
        const QString out = capture.finish();
        QVERIFY(out.contains(
            QStringLiteral("[MissingFilesWatcher] Starting to watch missing inbox directory: ") +
            inbox() + QLatin1Char('\n')));
        QVERIFY(
            out.contains(QStringLiteral("[MissingFilesWatcher] Stopping missing files watcher\n")));
        const QString log = logSinceInit();
        QCOMPARE(log.count(QStringLiteral(" INFO Started missing files watcher for: ") + inbox() +
                           QLatin1Char('\n')),
                 1);
        QCOMPARE(log.count(QStringLiteral(" INFO Stopped missing files watcher\n")), 1);
        // Printed lines are not logged.
        QVERIFY(!log.contains(QStringLiteral("[MissingFilesWatcher]")));
    }

    void burstOfAppendsBecomesOneJobAfterTheQuietPeriod()
    {
        MissingFilesWatcher watcher;
        EchoedStdout capture;
        watcher.startWatching();
        const QStringList files = {media("c/1.mov"), media("c/2.mov"), media("c/3.mov"),
                                   media("c/4.mov"), media("c/5.mov")};
        QElapsedTimer sinceLastWrite;
        for (qsizetype i = 0; i < files.size(); ++i) {
            if (i > 0) {
                QTest::qWait(100);
            }
            sinceLastWrite.start();
            QVERIFY(appendLine(queuePath(), files.at(i)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(jobFileNames().size(), 1, kTimeoutMs);
        // The timer restarts with every write: nothing happens until 0.75 s after the last one.
        QVERIFY2(sinceLastWrite.elapsed() >= 750,
                 qPrintable(QStringLiteral("job after %1 ms").arg(sinceLastWrite.elapsed())));
        QTest::qWait(1500);
        QCOMPARE(jobFileLists(), QList<QStringList>{files});
        QVERIFY(!QFileInfo::exists(queuePath()));
        QVERIFY(!QFileInfo::exists(watcher.processingQueuePath()));
        QCOMPARE(watcher.missingFiles(), files);
        const QString out = capture.finish();
        QVERIFY(out.contains(QStringLiteral("[MissingFilesWatcher] Directory change detected\n")));
        QCOMPARE(
            out.count(QStringLiteral("[MissingFilesWatcher] Found 5 missing files to process\n")),
            1);
    }

    void publishesOnTheMainThreadAndEnqueuesOneJob()
    {
        MissingFilesWatcher watcher;
        Publications published(watcher);
        QSignalSpy spy(&watcher, &MissingFilesWatcher::missingFilesChanged);
        EchoedStdout capture;
        watcher.startWatching();
        const QStringList files = {media("a/clip.mov"), media("folder")};
        QVERIFY(
            writeFile(queuePath(), (files.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8()));

        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, kTimeoutMs);
        QVERIFY(published.onMainThread);
        QCOMPARE(watcher.missingFiles(), files);
        QCOMPARE(watcher.property("missingFiles").toStringList(), files);
        QTRY_VERIFY_WITH_TIMEOUT(
            logSinceInit().contains(QStringLiteral(" INFO Processed 2 missing files from queue\n")),
            kTimeoutMs);
        QVERIFY(!QFileInfo::exists(queuePath()));
        const QStringList names = jobFileNames();
        QCOMPARE(names.size(), 1);
        const JobReadResult job =
            JobFileReader::read(Paths::queueDir() + QLatin1Char('/') + names.first());
        QCOMPARE(job.status, JobReadResult::Status::ok);
        QCOMPARE(job.envelope.type, JobType::missing);
        QCOMPARE(extractFilesFromPayload(job.envelope.payload), std::optional<QStringList>(files));
        QVERIFY(logSinceInit().contains(QStringLiteral(" INFO Enqueued job: Missing")));

        const QString out = capture.finish();
        const qsizetype change =
            out.indexOf(QStringLiteral("[MissingFilesWatcher] Directory change detected\n"));
        const qsizetype processing =
            out.indexOf(QStringLiteral("[MissingFilesWatcher] Processing missing queue file\n"));
        const qsizetype found =
            out.indexOf(QStringLiteral("[MissingFilesWatcher] Found 2 missing files to process\n"));
        QVERIFY(change >= 0);
        QVERIFY(processing > change);
        QVERIFY(found > processing);
    }

    void readsTheQueueFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("expected");

        // "@" stands for the media directory.
        QTest::newRow("one path") << QByteArray("@/a/clip.mov\n") << utf8List({"@/a/clip.mov"});
        QTest::newRow("order kept, last line unterminated")
            << QByteArray("@/c/2.mov\n@/c/1.mov") << utf8List({"@/c/2.mov", "@/c/1.mov"});
        QTest::newRow("only empty lines and missing paths")
            << QByteArray("\n\n   \n\t\n@/nowhere/gone.mov\n/definitely/not/here.mov\n\"\"\n")
            << utf8List({});
        QTest::newRow("same name elsewhere in another case")
            << QByteArray("@/a/clip.mov\n@/b/Clip.MOV\n") << utf8List({"@/a/clip.mov"});
        QTest::newRow("first of the same names wins")
            << QByteArray("@/b/Clip.MOV\n@/a/clip.mov\n@/c/1.mov\n")
            << utf8List({"@/b/Clip.MOV", "@/c/1.mov"});
        QTest::newRow("repeated line")
            << QByteArray("@/x/y.mov\n@/x/y.mov\n") << utf8List({"@/x/y.mov"});
        QTest::newRow("missing path does not claim its name")
            << QByteArray("@/nowhere/clip.mov\n@/a/clip.mov\n") << utf8List({"@/a/clip.mov"});
        QTest::newRow("quoted, padded")
            << QByteArray("  \"@/x/y.mov\"  \n") << utf8List({"@/x/y.mov"});
        QTest::newRow("lone quote ignored")
            << QByteArray("\"\n @/x/y.mov\t\n") << utf8List({"@/x/y.mov"});
        QTest::newRow("quote at one end only stays in the path")
            << QByteArray("\"@/x/y.mov\n@/c/1.mov\"\n") << utf8List({});
        QTest::newRow("inner quotes kept")
            << QByteArray("\"@/q/\"quoted\".mov\"\n") << utf8List({"@/q/\"quoted\".mov"});
        QTest::newRow("spaces inside the path kept")
            << QByteArray("\"@/sp/name with space.mov\"\n@/sp/name with space.mov\n")
            << utf8List({"@/sp/name with space.mov"});
        QTest::newRow("no-break spaces trimmed")
            << QByteArray("\xc2\xa0@/c/1.mov\xc2\xa0\n") << utf8List({"@/c/1.mov"});
        QTest::newRow("CRLF") << QByteArray("@/c/1.mov\r\n@/c/2.mov\r\n")
                              << utf8List({"@/c/1.mov", "@/c/2.mov"});
        QTest::newRow("CR") << QByteArray("@/c/1.mov\r@/c/2.mov")
                            << utf8List({"@/c/1.mov", "@/c/2.mov"});
        QTest::newRow("U+2028") << QByteArray("@/c/1.mov\xe2\x80\xa8@/c/2.mov")
                                << utf8List({"@/c/1.mov", "@/c/2.mov"});
        QTest::newRow("U+2029") << QByteArray("@/c/1.mov\xe2\x80\xa9@/c/2.mov")
                                << utf8List({"@/c/1.mov", "@/c/2.mov"});
        QTest::newRow("U+0085") << QByteArray("@/c/1.mov\xc2\x85@/c/2.mov")
                                << utf8List({"@/c/1.mov", "@/c/2.mov"});
        QTest::newRow("VT and FF") << QByteArray("@/c/1.mov\x0b@/c/2.mov\x0c@/c/3.mov")
                                   << utf8List({"@/c/1.mov", "@/c/2.mov", "@/c/3.mov"});
        QTest::newRow("directories count")
            << QByteArray("@/folder\n@/c\n") << utf8List({"@/folder", "@/c"});
        QTest::newRow("UTF-8 names") << QByteArray("@/\xc3\xbc/na\xc3\xafve.mov\n")
                                     << utf8List({"@/\xc3\xbc/na\xc3\xafve.mov"});
    }

    void readsTheQueueFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, expected);
        content.replace('@', QFile::encodeName(m_media));
        expected.replaceInStrings(QStringLiteral("@"), m_media);

        MissingFilesWatcher watcher;
        QSignalSpy spy(&watcher, &MissingFilesWatcher::missingFilesChanged);
        QVERIFY(writeFile(queuePath(), content));
        watcher.processMissingQueue();
        settle(watcher);

        QVERIFY(!QFileInfo::exists(queuePath()));
        QVERIFY(!QFileInfo::exists(watcher.processingQueuePath()));
        QCOMPARE(watcher.missingFiles(), expected);
        QCOMPARE(spy.count(), expected.isEmpty() ? 0 : 1);
        QCOMPARE(jobFileLists(),
                 expected.isEmpty() ? QList<QStringList>{} : QList<QStringList>{expected});
        QVERIFY(!logSinceInit().contains(QStringLiteral("ERROR")));
    }

    void noQueueFileDoesNothing()
    {
        MissingFilesWatcher watcher;
        QSignalSpy spy(&watcher, &MissingFilesWatcher::missingFilesChanged);
        EchoedStdout capture;
        watcher.processMissingQueue();
        settle(watcher);
        QCOMPARE(spy.count(), 0);
        QVERIFY(jobFileNames().isEmpty());
        QVERIFY(!logSinceInit().contains(QStringLiteral("ERROR")));
        const QString out = capture.finish();
        QVERIFY(
            out.contains(QStringLiteral("[MissingFilesWatcher] Processing missing queue file\n")));
        QVERIFY(!out.contains(QStringLiteral("Found")));
    }

    void unreadableQueueFileIsKeptForTheNextRun()
    {
        MissingFilesWatcher watcher;
        Publications published(watcher);
        const QByteArray invalid = "\xff\xfe" + QFile::encodeName(media("c/1.mov")) + '\n';
        QVERIFY(writeFile(queuePath(), invalid));
        watcher.processMissingQueue();
        settle(watcher);
        QVERIFY(logSinceInit().contains(QStringLiteral(" ERROR Error processing missing queue: ")));
        QVERIFY(published.lists.isEmpty());
        QVERIFY(jobFileNames().isEmpty());
        QCOMPARE(TestSupport::readFile(watcher.processingQueuePath()), invalid);

        // Retried first once it can be read; the newer queue file follows.
        QVERIFY(
            writeFile(watcher.processingQueuePath(), QFile::encodeName(media("c/1.mov")) + '\n'));
        QVERIFY(writeFile(queuePath(), QFile::encodeName(media("c/2.mov")) + '\n'));
        watcher.processMissingQueue();
        settle(watcher);
        QCOMPARE(published.lists, (QList<QStringList>{{media("c/1.mov")}, {media("c/2.mov")}}));
        QCOMPARE(jobFileLists(), (QList<QStringList>{{media("c/1.mov")}, {media("c/2.mov")}}));
        QVERIFY(!QFileInfo::exists(queuePath()));
        QVERIFY(!QFileInfo::exists(watcher.processingQueuePath()));
    }

    void linesAppendedAfterTheQueueFileWasTakenAreKept()
    {
        MissingFilesWatcher watcher;
        Publications published(watcher);
        const QStringList first = {media("c/1.mov"), media("c/2.mov")};
        const QStringList second = {media("c/3.mov")};
        QVERIFY(
            writeFile(queuePath(), (first.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8()));
        watcher.startWatching();

        const int events = ::inotify_init1(IN_CLOEXEC);
        QVERIFY(events >= 0);
        QVERIFY(::inotify_add_watch(events, QFile::encodeName(inbox()).constData(),
                                    IN_MOVED_FROM) >= 0);
        watcher.processMissingQueue();
        // The producer appends as soon as the watcher has moved the queue file away.
        pollfd ready{events, POLLIN, 0};
        const int polled = ::poll(&ready, 1, kTimeoutMs);
        alignas(inotify_event) char buffer[4096];
        const ssize_t length = polled == 1 ? ::read(events, buffer, sizeof buffer) : -1;
        ::close(events);
        QVERIFY2(length > 0, "the queue file was never moved away before reading");
        QVERIFY(appendLine(queuePath(), second.first()));
        const auto *moved = reinterpret_cast<const inotify_event *>(buffer);
        QCOMPARE(QString::fromUtf8(moved->name), kQueueName);

        QTRY_COMPARE_WITH_TIMEOUT(published.lists.size(), 2, kTimeoutMs);
        QCOMPARE(published.lists, (QList<QStringList>{first, second}));
        QTRY_COMPARE_WITH_TIMEOUT(jobFileLists(), (QList<QStringList>{first, second}), kTimeoutMs);
        QVERIFY(!QFileInfo::exists(queuePath()));
        QVERIFY(!QFileInfo::exists(watcher.processingQueuePath()));
    }

    void leftoverFromAnInterruptedRunIsReadOnTheNextChange_data()
    {
        QTest::addColumn<bool>("withQueueFile");
        QTest::newRow("leftover alone, unrelated change") << false;
        QTest::newRow("leftover before the queue file") << true;
    }

    void leftoverFromAnInterruptedRunIsReadOnTheNextChange()
    {
        QFETCH(bool, withQueueFile);
        MissingFilesWatcher watcher;
        Publications published(watcher);
        const QStringList older = {media("c/1.mov"), media("c/2.mov")};
        const QStringList newer = {media("c/3.mov")};
        QVERIFY(writeFile(watcher.processingQueuePath(),
                          (older.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8()));
        watcher.startWatching();
        if (withQueueFile) {
            QVERIFY(appendLine(queuePath(), newer.first()));
        } else {
            QVERIFY(writeFile(inbox() + QStringLiteral("/unrelated.txt"), "x"));
        }
        const QList<QStringList> expected =
            withQueueFile ? QList<QStringList>{older, newer} : QList<QStringList>{older};
        QTRY_COMPARE_WITH_TIMEOUT(published.lists.size(), expected.size(), kTimeoutMs);
        QCOMPARE(published.lists, expected);
        QTRY_COMPARE_WITH_TIMEOUT(jobFileLists(), expected, kTimeoutMs);
        QVERIFY(!QFileInfo::exists(queuePath()));
        QVERIFY(!QFileInfo::exists(watcher.processingQueuePath()));
    }

    void uncreatableInboxIsReported()
    {
        const QString blocked = TestSupport::root() + QStringLiteral("/blocked");
        QVERIFY(QDir().mkpath(blocked));
        QVERIFY(writeFile(blocked + QStringLiteral("/VorlantaClient"), "a file, not a directory"));
        const QString dir = blocked + QStringLiteral("/VorlantaClient/MissingInbox");
        const int descriptorsBefore = inotifyDescriptorCount();

        MissingFilesWatcher watcher(dir);
        QCOMPARE(watcher.missingInboxDir(), dir);
        QCOMPARE(watcher.missingQueuePath(), dir + QStringLiteral("/missing.queue"));
        const QString notADirectory =
            QString::fromStdString(std::make_error_code(std::errc::not_a_directory).message());
        QVERIFY2(logSinceInit().contains(
                     QStringLiteral(" ERROR Failed to create missing inbox directory: ") +
                     notADirectory + QLatin1Char('\n')),
                 qPrintable(logSinceInit()));

        watcher.startWatching();
        QVERIFY(logSinceInit().contains(
            QStringLiteral(" ERROR Failed to open directory for watching: ") + dir +
            QLatin1Char('\n')));
        QVERIFY(!logSinceInit().contains(QStringLiteral("Started missing files watcher")));
        QCOMPARE(inotifyDescriptorCount(), descriptorsBefore);
    }

    void stopWatchingEndsProcessing()
    {
        MissingFilesWatcher watcher;
        watcher.startWatching();
        watcher.stopWatching();
        EchoedStdout capture;
        QVERIFY(appendLine(queuePath(), media("c/1.mov")));
        QTest::qWait(2 * 750 + 250);
        QVERIFY(QFileInfo::exists(queuePath()));
        QVERIFY(jobFileNames().isEmpty());
        const QString out = capture.finish();
        QVERIFY(!out.contains(QStringLiteral("Directory change detected")));
        QVERIFY(!out.contains(QStringLiteral("Processing missing queue file")));

        // Watching again picks the file up at its next change.
        watcher.startWatching();
        QVERIFY(appendLine(queuePath(), media("c/2.mov")));
        QTRY_COMPARE_WITH_TIMEOUT(
            jobFileLists(), (QList<QStringList>{{media("c/1.mov"), media("c/2.mov")}}), kTimeoutMs);
    }

    void debounceRunningAtStopStillFires()
    {
        MissingFilesWatcher watcher;
        watcher.startWatching();
        QVERIFY(appendLine(queuePath(), media("c/1.mov")));
        watcher.stopWatching();
        QTRY_COMPARE_WITH_TIMEOUT(jobFileLists(), (QList<QStringList>{{media("c/1.mov")}}),
                                  kTimeoutMs);
    }

    void destructionLosesNoLines_data()
    {
        QTest::addColumn<int>("delayMs");
        for (const int delay : {0, 0, 1, 2, 5, 50}) {
            QTest::addRow("after %d ms", delay) << delay;
        }
    }

    void destructionLosesNoLines()
    {
        QFETCH(int, delayMs);
        const QStringList files = {media("c/1.mov"), media("c/2.mov")};
        const QByteArray content = (files.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
        QVERIFY(QDir().mkpath(inbox()));
        QVERIFY(writeFile(queuePath(), content));
        {
            MissingFilesWatcher watcher;
            watcher.processMissingQueue();
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        }
        // Either the batch became a job, or its lines are still on disk.
        const QList<QStringList> jobs = jobFileLists();
        const QByteArray onDisk =
            TestSupport::readFile(queuePath()) +
            TestSupport::readFile(inbox() + QStringLiteral("/.missing.queue.processing"));
        QVERIFY2((jobs == QList<QStringList>{files} && onDisk.isEmpty()) ||
                     (jobs.isEmpty() && onDisk == content),
                 onDisk.constData());

        MissingFilesWatcher next;
        next.processMissingQueue();
        settle(next);
        QCOMPARE(jobFileLists(), QList<QStringList>{files});
    }
};

VORLANTA_TEST_MAIN(TestMissingFilesWatcher)
#include "tst_MissingFilesWatcher.moc"
