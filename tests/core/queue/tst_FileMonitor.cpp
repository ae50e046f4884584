#include "core/queue/FileMonitor.h"
#include "support/DataRows.h"
#include "support/QueueFiles.h"

#include <QtCore/QSaveFile>
#include <QtCore/QSemaphore>
#include <QtCore/QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

using namespace Qt::Literals::StringLiterals;
using namespace QueueFiles;
using namespace TestSupport;

namespace {

// What a monitor's callback received in a watched directory "w" (inside a fresh temporary one,
// so that entries can come from outside): per batch, its changes "+name" (added) or "-name"
// (removed), sorted. settle() writes sentinel files "zz-*", counted but left out.
struct Recorder {
    QTemporaryDir base{TestSupport::root() + u"/fm-XXXXXX"_s};
    QString dir = base.path() + u"/w"_s;
    bool made = QDir().mkpath(dir);
    std::function<void()> afterBatch; // on the monitor's thread
    mutable std::mutex mutex;
    QStringList raw;
    bool ordered = true; // within every batch, every addition came before every removal
    std::atomic<int> sentinels = 0;
    int settles = 0;

    QString path(const QString &name) const { return dir + u'/' + name; }
    FileMonitor::Callback callback()
    {
        return [this](const QList<FileChange> &changes) {
            QStringList batch;
            for (const FileChange &change : changes) {
                batch.append((change.kind == FileChange::Kind::added ? u'+' : u'-') +
                             QDir(dir).relativeFilePath(change.path));
            }
            std::unique_lock lock(mutex);
            ordered &= std::ranges::is_sorted(batch, {}, [](const QString &c) { return c[0]; });
            sentinels += batch.removeIf([](const QString &c) { return c.startsWith(u"+zz-"_s); });
            if (!batch.isEmpty()) {
                raw.append(sorted(batch).join(u' '));
            }
            lock.unlock();
            if (afterBatch) {
                afterBatch();
            }
        };
    }
    QStringList batches() const
    {
        std::lock_guard lock(mutex);
        return raw;
    }
    // Events come in order: once the sentinel is reported, so is everything before it.
    bool settle()
    {
        return writeFile(path(u"zz-%1.json"_s.arg(++settles))) &&
               QTest::qWaitFor([&] { return sentinels == settles; });
    }
    // Runs steps like "w x.json; r a.json b.json": w(rite), s(ave atomically), m(kdir), l(ink,
    // dangling), x (remove), r(ename, replacing).
    bool perform(const QString &script) const
    {
        return std::ranges::all_of(
            script.split(u';', Qt::SkipEmptyParts), [&](const QString &step) {
                const QStringList words = step.split(u' ', Qt::SkipEmptyParts);
                const QString target = path(words.value(1));
                QSaveFile save(target);
                const char op = words.value(0).at(0).toLatin1();
                return op == 'w'   ? writeFile(target)
                       : op == 's' ? save.open(QIODevice::WriteOnly) && save.write("{}") == 2 &&
                                         save.commit()
                       : op == 'm' ? QDir().mkdir(target)
                       : op == 'l' ? QFile::link(base.path() + u"/nowhere"_s, target)
                       : op == 'x' ? QFile::remove(target)
                       : op == 'r'
                           ? std::rename(QFile::encodeName(target).constData(),
                                         QFile::encodeName(path(words.value(2))).constData()) == 0
                           : false;
            });
    }
};

enum class Stop { none, cancel, cancelElsewhere, destroy, cancelInside, destroyInside };

} // namespace

Q_DECLARE_METATYPE(Stop)

class TestFileMonitor : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reportsAddedAndRemovedJsonNames_data()
    {
        columns<QString, QString>("script", "expected"); // in a folder holding a.json and a.tmp
        // Written under a temporary name and renamed: reported once, under its final name.
        row("QSaveFile", "s x.json", "+x.json");
        row("temporary renamed", "w b.job.json.Xy12Ab; r b.job.json.Xy12Ab b.job.json",
            "+b.job.json");
        row("any entry named *.json, nothing else",
            "w .h.json; w .json; m d.json; l l.json; w x.JSON; w json; m s; w s/x.json",
            "+.h.json +.json +d.json +l.json");
        row("removed", "x a.json", "-a.json");
        row("renamed", "r a.json b.json", "+b.json -a.json");
        row("text renamed onto a json", "r a.tmp a.json", "");
        row("moved in", "w ../in.json; r ../in.json in.json", "+in.json");
        row("moved out", "r a.json ../a.json", "-a.json");
    }
    void reportsAddedAndRemovedJsonNames()
    {
        const auto [script, expected] = fetch<QString, QString>("script", "expected");
        Recorder recorder;
        QVERIFY(writeFile(recorder.path(u"a.json"_s)) && writeFile(recorder.path(u"a.tmp"_s)));
        FileMonitor monitor(recorder.dir, recorder.callback());
        QVERIFY(recorder.perform(script));
        QVERIFY(recorder.settle());
        QVERIFY(recorder.ordered);
        QCOMPARE(sorted(recorder.batches().join(u' ').split(u' ', Qt::SkipEmptyParts)),
                 sorted(expected.split(u' ', Qt::SkipEmptyParts)));
    }

    void nothingIsReportedAfterStopping_data()
    {
        columns<Stop>("stop");
        // Not stopped: changes made while the callback runs arrive as one batch after it.
        addRow("running", Stop::none);
        addRow("cancel() twice", Stop::cancel);
        // It returns only once the running callback has.
        addRow("cancel() from another thread during the callback", Stop::cancelElsewhere);
        addRow("cancel() then destruction", Stop::destroy);
        addRow("cancel() inside the callback", Stop::cancelInside);
        addRow("destruction inside the callback", Stop::destroyInside);
    }
    void nothingIsReportedAfterStopping()
    {
        QFETCH(Stop, stop);
        Recorder recorder;
        QVERIFY(writeFile(recorder.path(u"a.json"_s)) && writeFile(recorder.path(u"d.json"_s)));
        std::unique_ptr<FileMonitor> monitor;
        std::atomic<int> calls{0};
        std::atomic<bool> callbackReturned{false};
        QSemaphore entered, release;
        recorder.afterBatch = [&] {
            if ((stop == Stop::none || stop == Stop::cancelElsewhere) && calls == 0) {
                entered.release();
                release.acquire();
                callbackReturned = true;
            } else if (stop == Stop::cancelInside) {
                monitor->cancel();
                monitor->cancel();
            } else if (stop == Stop::destroyInside) {
                monitor.reset();
            }
            ++calls;
        };
        monitor = std::make_unique<FileMonitor>(recorder.dir, recorder.callback());
        QVERIFY(writeFile(recorder.path(u"t.json"_s)));
        if (stop == Stop::none) {
            QVERIFY(entered.tryAcquire(1, 10000));
            QVERIFY(recorder.perform(u"r a.json b.json; w c.json; x d.json"_s));
            release.release();
            QVERIFY(recorder.settle());
            QVERIFY(recorder.ordered);
            QCOMPARE(recorder.batches(),
                     (QStringList{u"+t.json"_s, u"+b.json +c.json -a.json -d.json"_s}));
            return;
        }
        if (stop == Stop::cancelElsewhere) {
            QVERIFY(entered.tryAcquire(1, 10000));
            bool afterTheCallback = false;
            std::thread canceller([&] {
                monitor->cancel();
                afterTheCallback = callbackReturned;
            });
            QTest::qWait(50);
            release.release();
            canceller.join();
            QVERIFY(afterTheCallback);
        }
        QTRY_VERIFY(calls > 0);
        if (stop == Stop::cancel || stop == Stop::destroy) {
            monitor->cancel();
            monitor->cancel();
        }
        if (stop == Stop::destroy) {
            monitor.reset();
        }
        Recorder witness; // a second monitor, to know when the changes were seen
        witness.dir = recorder.dir;
        FileMonitor witnessMonitor(recorder.dir, witness.callback());
        QVERIFY(writeFile(recorder.path(u"u.json"_s)) && QFile::remove(recorder.path(u"t.json"_s)));
        QVERIFY(witness.settle());
        QTest::qWait(200);
        QCOMPARE(recorder.batches(), QStringList{u"+t.json"_s});
    }
};

VORLANTA_TEST_MAIN(TestFileMonitor)
#include "tst_FileMonitor.moc"
