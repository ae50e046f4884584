#include "core/queue/FileMonitor.h"
#include "core/shell/Logger.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QSaveFile>
#include <QtCore/QSemaphore>
#include <QtCore/QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

const std::thread::id g_mainThread = std::this_thread::get_id();

// Sentinel files written by Recorder::settle(); left out of the views below.
const QString kSettlePrefix = QStringLiteral("zz-settle-");

bool writeFile(const QString &path, const QByteArray &content = QByteArrayLiteral("{}"))
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

// Whether no addition follows a removal within the batch.
bool additionsPrecedeRemovals(const QStringList &batch)
{
    const auto firstRemoval = std::find_if(batch.cbegin(), batch.cend(), [](const QString &c) {
        return c.startsWith(QLatin1Char('-'));
    });
    return std::none_of(firstRemoval, batch.cend(),
                        [](const QString &c) { return c.startsWith(QLatin1Char('+')); });
}

// What a monitor's callback received, as "+name" (added), "-name" (removed) or "~name"
// (modified) per change; read by the test thread while the monitor thread writes.
class Recorder {
public:
    explicit Recorder(QString directoryPath) : m_directoryPath(std::move(directoryPath)) {}

    // Runs on the monitor thread after each batch is recorded, with its 1-based number.
    std::function<void(int batchNumber)> afterBatch;

    FileMonitor::Callback callback()
    {
        return [this](const QList<FileChange> &changes) { record(changes); };
    }

    // Every batch received so far, sentinels included.
    QList<QStringList> rawBatches() const
    {
        std::lock_guard lock(m_mutex);
        return m_batches;
    }
    int rawBatchCount() const { return int(rawBatches().size()); }

    // The batches without sentinels; batches holding only sentinels are dropped, empty ones kept.
    QList<QStringList> batches() const
    {
        QList<QStringList> result;
        for (QStringList batch : rawBatches()) {
            const bool wasEmpty = batch.isEmpty();
            batch.removeIf([](const QString &c) { return c.mid(1).startsWith(kSettlePrefix); });
            if (!batch.isEmpty() || wasEmpty) {
                result.append(batch);
            }
        }
        return result;
    }

    // All changes without sentinels, in the order received.
    QStringList all() const
    {
        QStringList result;
        for (const QStringList &batch : batches()) {
            result += batch;
        }
        return result;
    }
    QStringList allSorted() const
    {
        QStringList result = all();
        result.sort();
        return result;
    }

    bool contains(const QString &change) const { return rawAll().contains(change); }

    // Waits until every expected change has been reported, by the events those changes caused
    // (a sentinel would trigger a fresh listing and hide a missed event).
    bool receives(const QStringList &expected) const
    {
        return QTest::qWaitFor(
            [&] {
                const QStringList received = rawAll();
                return std::all_of(expected.cbegin(), expected.cend(),
                                   [&](const QString &c) { return received.contains(c); });
            },
            5000);
    }

    // Writes a new sentinel file and waits for its report. Events are handled in order, so
    // every change made before this call has been reported once it returns true.
    bool settle()
    {
        const QString name =
            kSettlePrefix + QString::number(++m_settleCount) + QStringLiteral(".json");
        if (!writeFile(m_directoryPath + QLatin1Char('/') + name)) {
            return false;
        }
        return QTest::qWaitFor([&] { return contains(QLatin1Char('+') + name); }, 5000);
    }

    QStringList threadNames() const
    {
        std::lock_guard lock(m_mutex);
        return m_threadNames;
    }
    bool calledOnMainThread() const { return m_calledOnMainThread.load(); }
    pid_t lastThreadId() const { return m_lastThreadId.load(); }

private:
    QStringList rawAll() const
    {
        QStringList result;
        for (const QStringList &batch : rawBatches()) {
            result += batch;
        }
        return result;
    }

    QString describe(const FileChange &change) const
    {
        const QChar kind = change.kind == FileChange::Kind::added     ? QLatin1Char('+')
                           : change.kind == FileChange::Kind::removed ? QLatin1Char('-')
                                                                      : QLatin1Char('~');
        const QString prefix = m_directoryPath + QLatin1Char('/');
        // A path outside the directory shows whole, so that a comparison fails visibly.
        return kind + (change.path.startsWith(prefix) ? change.path.mid(prefix.size())
                                                      : QStringLiteral("<outside>") + change.path);
    }

    void record(const QList<FileChange> &changes)
    {
        QStringList batch;
        for (const FileChange &change : changes) {
            batch.append(describe(change));
        }
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        if (std::this_thread::get_id() == g_mainThread) {
            m_calledOnMainThread.store(true);
        }
        m_lastThreadId.store(::gettid());
        int number = 0;
        {
            std::lock_guard lock(m_mutex);
            m_batches.append(batch);
            m_threadNames.append(QString::fromLatin1(name));
            number = int(m_batches.size());
        }
        if (afterBatch) {
            afterBatch(number);
        }
    }

    QString m_directoryPath;
    mutable std::mutex m_mutex;
    QList<QStringList> m_batches;
    QStringList m_threadNames;
    std::atomic<bool> m_calledOnMainThread{false};
    std::atomic<pid_t> m_lastThreadId{0};
    int m_settleCount = 0;
};

// A watched directory "w" inside a fresh temporary one, so that entries can also be moved in from
// and out to its parent.
struct Workspace {
    Workspace() : base(TestSupport::root() + QStringLiteral("/fm-XXXXXX"))
    {
        watched = base.path() + QStringLiteral("/w");
        QDir().mkpath(watched);
    }
    QString path(const QString &name) const { return watched + QLatin1Char('/') + name; }

    QTemporaryDir base;
    QString watched;
};

// A second monitor that sees the same changes and tells when they have been handled, for tests
// that check a monitor reports nothing.
struct Witness {
    explicit Witness(const QString &directoryPath)
        : recorder(directoryPath), monitor(directoryPath, recorder.callback())
    {}
    Recorder recorder;
    FileMonitor monitor;
};

// Time left to a monitor under test, after a witness has seen the same changes, to report
// something it should not.
constexpr int kGraceMs = 200;

QString logLine(const QString &level, const QString &message)
{
    return QStringLiteral("] ") + level + QLatin1Char(' ') + message + QLatin1Char('\n');
}

// The scheduler state of one of this process's threads ('S' when sleeping, 'R' when running).
char threadState(pid_t tid)
{
    const QByteArray stat =
        TestSupport::readFile(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
    const qsizetype end = stat.lastIndexOf(')');
    return end >= 0 && end + 2 < stat.size() ? stat.at(end + 2) : '?';
}

enum class EntryType { file, directory, symlink, fileInSubdirectory };
enum class ContentChange { append, truncate, replaceAtomically, touch, chmod };
enum class Stop {
    cancel,
    cancelTwice,
    cancelFromAnotherThread,
    destroy,
    cancelThenDestroy,
    cancelInsideCallback,
    destroyInsideCallback
};

} // namespace

Q_DECLARE_METATYPE(EntryType)
Q_DECLARE_METATYPE(ContentChange)
Q_DECLARE_METATYPE(Stop)

class TestFileMonitor : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void callbackRunsOnTheMonitorThread()
    {
        Workspace ws;
        Recorder recorder(ws.watched);
        FileMonitor monitor(ws.watched, recorder.callback());
        QCOMPARE(monitor.directoryPath(), ws.watched);
        QVERIFY(writeFile(ws.path(QStringLiteral("x.json"))));
        QVERIFY(recorder.receives({QStringLiteral("+x.json")}));
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.all(), QStringList{QStringLiteral("+x.json")});
        QVERIFY(!recorder.calledOnMainThread());
        for (const QString &name : recorder.threadNames()) {
            QCOMPARE(name, QStringLiteral("FileMonitor"));
        }
    }

    void atomicWriteIsReportedOnceUnderItsFinalName_data()
    {
        QTest::addColumn<QString>("finalName");
        QTest::addColumn<QString>("tempName"); // empty: QSaveFile picks it
        QTest::newRow("QSaveFile") << QStringLiteral("x.json") << QString();
        QTest::newRow("x.json.tmp renamed")
            << QStringLiteral("x.json") << QStringLiteral("x.json.tmp");
        QTest::newRow("a.job.json.Xy12Ab renamed")
            << QStringLiteral("a.job.json") << QStringLiteral("a.job.json.Xy12Ab");
    }
    void atomicWriteIsReportedOnceUnderItsFinalName()
    {
        QFETCH(QString, finalName);
        QFETCH(QString, tempName);
        Workspace ws;
        Recorder recorder(ws.watched);
        FileMonitor monitor(ws.watched, recorder.callback());
        if (tempName.isEmpty()) {
            QSaveFile file(ws.path(finalName));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("{\"id\": 1}");
            QVERIFY(file.commit());
        } else {
            QVERIFY(writeFile(ws.path(tempName), "{\"id\": 1}"));
            QVERIFY(QFile::rename(ws.path(tempName), ws.path(finalName)));
        }
        QVERIFY(recorder.receives({QLatin1Char('+') + finalName}));
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.all(), QStringList{QLatin1Char('+') + finalName});
        QCOMPARE(QDir(ws.watched).entryList({finalName}, QDir::Files),
                 QStringList{finalName}); // the file really is there
    }

    void filesCreatedTogetherAreEachReportedOnce_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("two") << 2;
        QTest::newRow("fifty") << 50;
    }
    void filesCreatedTogetherAreEachReportedOnce()
    {
        QFETCH(int, count);
        Workspace ws;
        Recorder recorder(ws.watched);
        FileMonitor monitor(ws.watched, recorder.callback());
        QStringList expected;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("job-%1.json").arg(i, 3, 10, QLatin1Char('0'));
            QVERIFY(writeFile(ws.path(name)));
            expected.append(QLatin1Char('+') + name);
        }
        QVERIFY(recorder.receives(expected));
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.allSorted(), expected);
    }

    void changesMadeDuringTheCallbackArriveAsOneBatch()
    {
        Workspace ws;
        for (const char *name : {"a.json", "d.json"}) {
            QVERIFY(writeFile(ws.path(QString::fromLatin1(name))));
        }
        QSemaphore entered;
        QSemaphore release;
        Recorder recorder(ws.watched);
        recorder.afterBatch = [&](int number) {
            if (number == 1) {
                entered.release();
                release.acquire();
            }
        };
        FileMonitor monitor(ws.watched, recorder.callback());
        QVERIFY(writeFile(ws.path(QStringLiteral("t.json"))));
        QVERIFY(entered.tryAcquire(1, 10000));

        // The monitor thread is busy: these changes queue up and are compared in one listing.
        QVERIFY(
            QFile::rename(ws.path(QStringLiteral("a.json")), ws.path(QStringLiteral("b.json"))));
        QVERIFY(writeFile(ws.path(QStringLiteral("c.json"))));
        QVERIFY(QFile::remove(ws.path(QStringLiteral("d.json"))));
        QVERIFY(writeFile(ws.path(QStringLiteral("e.txt"))));
        release.release();

        QVERIFY(recorder.settle());
        const QList<QStringList> batches = recorder.batches();
        QCOMPARE(batches.size(), 2);
        QCOMPARE(batches.at(0), QStringList{QStringLiteral("+t.json")});
        QStringList second = batches.at(1);
        QVERIFY2(additionsPrecedeRemovals(second), qPrintable(second.join(QLatin1Char(' '))));
        second.sort();
        QCOMPARE(second, (QStringList{QStringLiteral("+b.json"), QStringLiteral("+c.json"),
                                      QStringLiteral("-a.json"), QStringLiteral("-d.json")}));
    }

    void renames_data()
    {
        QTest::addColumn<QStringList>("initial");
        QTest::addColumn<QString>("from"); // relative to the watched directory
        QTest::addColumn<QString>("to");
        QTest::addColumn<QStringList>("expected"); // sorted
        const QString a = QStringLiteral("a.json");
        QTest::newRow("json to json")
            << QStringList{a} << a << QStringLiteral("b.json")
            << QStringList{QStringLiteral("+b.json"), QStringLiteral("-a.json")};
        QTest::newRow("onto an existing json")
            << QStringList{a, QStringLiteral("b.json")} << a << QStringLiteral("b.json")
            << QStringList{QStringLiteral("-a.json")};
        QTest::newRow("json to text") << QStringList{a} << a << QStringLiteral("a.txt")
                                      << QStringList{QStringLiteral("-a.json")};
        QTest::newRow("text to json")
            << QStringList{QStringLiteral("a.tmp")} << QStringLiteral("a.tmp") << a
            << QStringList{QStringLiteral("+a.json")};
        QTest::newRow("moved in") << QStringList{QStringLiteral("../in.json")}
                                  << QStringLiteral("../in.json") << QStringLiteral("in.json")
                                  << QStringList{QStringLiteral("+in.json")};
        QTest::newRow("moved out") << QStringList{a} << a << QStringLiteral("../a.json")
                                   << QStringList{QStringLiteral("-a.json")};
    }
    void renames()
    {
        QFETCH(QStringList, initial);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QStringList, expected);
        Workspace ws;
        for (const QString &name : initial) {
            QVERIFY(writeFile(ws.path(name)));
        }
        Recorder recorder(ws.watched);
        FileMonitor monitor(ws.watched, recorder.callback());
        // rename(2) itself: QDir::rename() refuses to replace an existing entry.
        QCOMPARE(std::rename(QFile::encodeName(ws.path(from)).constData(),
                             QFile::encodeName(ws.path(to)).constData()),
                 0);
        QVERIFY(recorder.receives(expected));
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.allSorted(), expected);
        for (const QStringList &batch : recorder.batches()) {
            QVERIFY2(additionsPrecedeRemovals(batch), qPrintable(batch.join(QLatin1Char(' '))));
        }
    }

    void contentChangesAreNotReported_data()
    {
        QTest::addColumn<ContentChange>("change");
        QTest::newRow("append") << ContentChange::append;
        QTest::newRow("truncate") << ContentChange::truncate;
        QTest::newRow("replaced atomically") << ContentChange::replaceAtomically;
        QTest::newRow("touch") << ContentChange::touch;
        QTest::newRow("chmod") << ContentChange::chmod;
    }
    void contentChangesAreNotReported()
    {
        QFETCH(ContentChange, change);
        Workspace ws;
        const QString path = ws.path(QStringLiteral("x.json"));
        QVERIFY(writeFile(path));
        Recorder recorder(ws.watched);
        FileMonitor monitor(ws.watched, recorder.callback());
        QFile file(path);
        switch (change) {
        case ContentChange::append:
            QVERIFY(file.open(QIODevice::Append));
            QCOMPARE(file.write("\n{\"more\": true}"), qint64(15));
            file.close();
            break;
        case ContentChange::truncate:
            QVERIFY(file.resize(0));
            break;
        case ContentChange::replaceAtomically: {
            QSaveFile save(path);
            QVERIFY(save.open(QIODevice::WriteOnly));
            save.write("[]");
            QVERIFY(save.commit());
            break;
        }
        case ContentChange::touch:
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addDays(1),
                                     QFileDevice::FileModificationTime));
            file.close();
            break;
        case ContentChange::chmod:
            QVERIFY(file.setPermissions(QFileDevice::ReadOwner));
            break;
        }
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.batches(), QList<QStringList>());
    }

    void filesPresentAtCreationAreKnown()
    {
        Workspace ws;
        for (const char *name : {"a.json", "b.json", "note.txt"}) {
            QVERIFY(writeFile(ws.path(QString::fromLatin1(name))));
        }
        Recorder recorder(ws.watched);
        FileMonitor monitor(ws.watched, recorder.callback());
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.batches(), QList<QStringList>());

        QVERIFY(QFile::remove(ws.path(QStringLiteral("a.json"))));
        QVERIFY(recorder.receives({QStringLiteral("-a.json")}));
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.batches(), QList<QStringList>{{QStringLiteral("-a.json")}});
    }

    void onlyJsonEntriesAreReported_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<EntryType>("type");
        QTest::addColumn<bool>("reported");
        QTest::newRow("json file") << QStringLiteral("x.json") << EntryType::file << true;
        QTest::newRow("hidden json") << QStringLiteral(".h.json") << EntryType::file << true;
        QTest::newRow("only the suffix") << QStringLiteral(".json") << EntryType::file << true;
        QTest::newRow("directory") << QStringLiteral("d.json") << EntryType::directory << true;
        QTest::newRow("dangling symlink") << QStringLiteral("l.json") << EntryType::symlink << true;
        QTest::newRow("text file") << QStringLiteral("notes.txt") << EntryType::file << false;
        QTest::newRow("upper-case suffix") << QStringLiteral("x.JSON") << EntryType::file << false;
        QTest::newRow("mixed-case suffix") << QStringLiteral("x.Json") << EntryType::file << false;
        QTest::newRow("temporary name")
            << QStringLiteral("a.job.json.Xy12Ab") << EntryType::file << false;
        QTest::newRow("json.tmp") << QStringLiteral("x.json.tmp") << EntryType::file << false;
        QTest::newRow("no dot") << QStringLiteral("json") << EntryType::file << false;
        QTest::newRow("json inside a subdirectory")
            << QStringLiteral("sub/x.json") << EntryType::fileInSubdirectory << false;
    }
    void onlyJsonEntriesAreReported()
    {
        QFETCH(QString, name);
        QFETCH(EntryType, type);
        QFETCH(bool, reported);
        Workspace ws;
        QVERIFY(QDir(ws.watched).mkdir(QStringLiteral("sub")));
        Recorder recorder(ws.watched);
        FileMonitor monitor(ws.watched, recorder.callback());
        const QString path = ws.path(name);
        switch (type) {
        case EntryType::file:
        case EntryType::fileInSubdirectory:
            QVERIFY(writeFile(path));
            break;
        case EntryType::directory:
            QVERIFY(QDir().mkdir(path));
            break;
        case EntryType::symlink:
            QVERIFY(QFile::link(ws.base.path() + QStringLiteral("/nowhere"), path));
            break;
        }
        const QStringList added = reported ? QStringList{QLatin1Char('+') + name} : QStringList();
        QVERIFY(recorder.receives(added));
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.all(), added);

        QVERIFY(type == EntryType::directory ? QDir().rmdir(path) : QFile::remove(path));
        const QStringList removed = reported ? QStringList{QLatin1Char('-') + name} : QStringList();
        QVERIFY(recorder.receives(removed));
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.all(), added + removed);
    }

    void missingDirectoryIsLoggedAndStaysInert()
    {
        Workspace ws;
        const QString missing = ws.base.path() + QStringLiteral("/missing");
        const QString listingError =
            logLine(QStringLiteral("ERROR"), QStringLiteral("Failed to enumerate directory "
                                                            "contents: No such file or directory"));
        const qsizetype listingErrorsBefore = Logger::joinedMemoryBuffer().count(listingError);
        Recorder recorder(missing);
        FileMonitor monitor(missing, recorder.callback());
        const QString log = Logger::joinedMemoryBuffer();
        QCOMPARE(log.count(logLine(QStringLiteral("ERROR"),
                                   QStringLiteral("Failed to open directory for monitoring: ") +
                                       missing)),
                 1);
        QCOMPARE(log.count(listingError), listingErrorsBefore + 1);

        QVERIFY(QDir().mkdir(missing));
        Witness witness(missing);
        QVERIFY(writeFile(missing + QStringLiteral("/late.json")));
        QVERIFY(witness.recorder.settle());
        QCOMPARE(witness.recorder.all(), QStringList{QStringLiteral("+late.json")});
        QTest::qWait(kGraceMs);
        QCOMPARE(recorder.rawBatchCount(), 0);
    }

    void listingFailureKeepsWhatWasKnown()
    {
        Workspace ws;
        QVERIFY(writeFile(ws.path(QStringLiteral("k.json"))));
        Recorder recorder(ws.watched);
        FileMonitor monitor(ws.watched, recorder.callback());
        // The watch follows the directory; its path no longer lists anything.
        const QString moved = ws.base.path() + QStringLiteral("/moved");
        QVERIFY(QDir().rename(ws.watched, moved));
        const QString listingError =
            logLine(QStringLiteral("ERROR"), QStringLiteral("Failed to enumerate directory "
                                                            "contents: No such file or directory"));
        const qsizetype errorsBefore = Logger::joinedMemoryBuffer().count(listingError);
        QVERIFY(writeFile(moved + QStringLiteral("/n1.json")));
        QTRY_COMPARE(Logger::joinedMemoryBuffer().count(listingError), errorsBefore + 1);
        QCOMPARE(recorder.rawBatchCount(), 0);

        QVERIFY(QDir().rename(moved, ws.watched));
        QVERIFY(writeFile(ws.path(QStringLiteral("n2.json"))));
        const QStringList expected{QStringLiteral("+n1.json"), QStringLiteral("+n2.json")};
        QVERIFY(recorder.receives(expected));
        QVERIFY(recorder.settle());
        QCOMPARE(recorder.allSorted(), expected);
    }

    void deletedDirectoryReportsItsLastRemovalsThenWarns_data()
    {
        QTest::addColumn<bool>("coalesced");
        QTest::newRow("handled as it happens") << false;
        QTest::newRow("coalesced with the deletion") << true;
    }
    void deletedDirectoryReportsItsLastRemovalsThenWarns()
    {
        QFETCH(bool, coalesced);
        Workspace ws;
        for (const char *name : {"a.json", "b.json", "c.txt"}) {
            QVERIFY(writeFile(ws.path(QString::fromLatin1(name))));
        }
        const QString warning =
            logLine(QStringLiteral("WARN"),
                    QStringLiteral("Monitored directory was deleted: ") + ws.watched);
        QSemaphore entered;
        QSemaphore release;
        std::atomic<bool> warnedBeforeABatch{false};
        Recorder recorder(ws.watched);
        recorder.afterBatch = [&](int number) {
            if (Logger::joinedMemoryBuffer().contains(warning)) {
                warnedBeforeABatch.store(true);
            }
            if (coalesced && number == 1) {
                entered.release();
                release.acquire();
            }
        };
        FileMonitor monitor(ws.watched, recorder.callback());
        QStringList expected{QStringLiteral("-a.json"), QStringLiteral("-b.json")};
        if (coalesced) {
            // The monitor thread waits inside the callback while the whole directory goes.
            QVERIFY(writeFile(ws.path(QStringLiteral("t.json"))));
            QVERIFY(entered.tryAcquire(1, 10000));
            expected << QStringLiteral("+t.json") << QStringLiteral("-t.json");
            expected.sort();
        }
        QVERIFY(QDir(ws.watched).removeRecursively());
        release.release();

        QTRY_VERIFY(Logger::joinedMemoryBuffer().contains(warning));
        QCOMPARE(recorder.allSorted(), expected);
        QVERIFY(!warnedBeforeABatch.load());
        QCOMPARE(Logger::joinedMemoryBuffer().count(warning), 1);

        // Idle after the deletion: asleep once it has finished logging, and staying so.
        const pid_t tid = recorder.lastThreadId();
        QTRY_COMPARE(threadState(tid), 'S');
        for (int sample = 0; sample < 10; ++sample) {
            QCOMPARE(threadState(tid), 'S');
            QTest::qWait(10);
        }

        // A new directory under the same path is not watched.
        const int batchesBefore = recorder.rawBatchCount();
        QVERIFY(QDir().mkdir(ws.watched));
        Witness witness(ws.watched);
        QVERIFY(writeFile(ws.path(QStringLiteral("new.json"))));
        QVERIFY(witness.recorder.settle());
        QTest::qWait(kGraceMs);
        QCOMPARE(recorder.rawBatchCount(), batchesBefore);
        QCOMPARE(Logger::joinedMemoryBuffer().count(warning), 1);
    }

    void nothingIsReportedAfterStopping_data()
    {
        QTest::addColumn<Stop>("stop");
        QTest::newRow("cancel()") << Stop::cancel;
        QTest::newRow("cancel() twice") << Stop::cancelTwice;
        QTest::newRow("cancel() from another thread") << Stop::cancelFromAnotherThread;
        QTest::newRow("destruction") << Stop::destroy;
        QTest::newRow("cancel() then destruction") << Stop::cancelThenDestroy;
        QTest::newRow("cancel() inside the callback") << Stop::cancelInsideCallback;
        QTest::newRow("destruction inside the callback") << Stop::destroyInsideCallback;
    }
    void nothingIsReportedAfterStopping()
    {
        QFETCH(Stop, stop);
        Workspace ws;
        Recorder recorder(ws.watched);
        std::unique_ptr<FileMonitor> monitor;
        std::atomic<bool> stoppedInside{false};
        recorder.afterBatch = [&](int number) {
            if (number != 1) {
                return;
            }
            if (stop == Stop::cancelInsideCallback) {
                monitor->cancel();
                monitor->cancel();
                stoppedInside.store(true);
            } else if (stop == Stop::destroyInsideCallback) {
                monitor.reset();
                stoppedInside.store(true);
            }
        };
        monitor = std::make_unique<FileMonitor>(ws.watched, recorder.callback());
        QVERIFY(writeFile(ws.path(QStringLiteral("t.json"))));
        QTRY_VERIFY(recorder.contains(QStringLiteral("+t.json")));

        switch (stop) {
        case Stop::cancel:
            monitor->cancel();
            break;
        case Stop::cancelTwice:
            monitor->cancel();
            monitor->cancel();
            break;
        case Stop::cancelFromAnotherThread:
            std::thread([&] { monitor->cancel(); }).join();
            break;
        case Stop::destroy:
            monitor.reset();
            break;
        case Stop::cancelThenDestroy:
            monitor->cancel();
            monitor.reset();
            break;
        case Stop::cancelInsideCallback:
        case Stop::destroyInsideCallback:
            QTRY_VERIFY(stoppedInside.load());
            break;
        }

        Witness witness(ws.watched);
        QVERIFY(writeFile(ws.path(QStringLiteral("u.json"))));
        QVERIFY(QFile::remove(ws.path(QStringLiteral("t.json"))));
        QVERIFY(witness.recorder.settle());
        QCOMPARE(witness.recorder.allSorted(),
                 (QStringList{QStringLiteral("+u.json"), QStringLiteral("-t.json")}));
        QTest::qWait(kGraceMs);
        QCOMPARE(recorder.rawBatches(), QList<QStringList>{QStringList{QStringLiteral("+t.json")}});
    }

    void cancelWaitsForARunningCallback()
    {
        Workspace ws;
        QSemaphore entered;
        QSemaphore release;
        std::atomic<bool> callbackReturned{false};
        Recorder recorder(ws.watched);
        recorder.afterBatch = [&](int) {
            entered.release();
            release.acquire();
            callbackReturned.store(true);
        };
        FileMonitor monitor(ws.watched, recorder.callback());
        QVERIFY(writeFile(ws.path(QStringLiteral("t.json"))));
        QVERIFY(entered.tryAcquire(1, 10000));

        std::atomic<bool> cancelReturned{false};
        bool returnedAfterTheCallback = false;
        std::thread canceller([&] {
            monitor.cancel();
            returnedAfterTheCallback = callbackReturned.load();
            cancelReturned.store(true);
        });
        QTest::qWait(50);
        const bool returnedEarly = cancelReturned.load();
        release.release();
        canceller.join();
        QVERIFY(!returnedEarly);
        QVERIFY(returnedAfterTheCallback);
        QCOMPARE(recorder.rawBatchCount(), 1);
    }
};

VORLANTA_TEST_MAIN(TestFileMonitor)
#include "tst_FileMonitor.moc"
