#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QRegularExpression>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

QString todayFile()
{
    return Paths::logsDir() + QLatin1Char('/') +
           Logger::dayFileName(QDateTime::currentSecsSinceEpoch());
}

QStringList fileLines()
{
    Logger::flush();
    const QString text = QString::fromUtf8(TestSupport::readFile(todayFile()));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

// Lines of the file carrying the marker, with the timestamp and level cut off.
QStringList messagesWith(const QString &marker)
{
    QStringList result;
    static const QRegularExpression prefix(QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\dT\\d{6}Z\\] "
                                                          "(INFO|WARN|ERROR) "));
    for (const QString &line : fileLines()) {
        if (line.contains(marker)) {
            QString message = line;
            message.remove(prefix);
            result.append(message);
        }
    }
    return result;
}

} // namespace

class TestLogger : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void timestampAndDayFile_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("timestamp");
        QTest::addColumn<QString>("dayFile");
        QTest::newRow("epoch") << qint64(0) << QStringLiteral("1970-01-01T000000Z")
                               << QStringLiteral("1970-01-01.log");
        QTest::newRow("example") << qint64(1741944615) << QStringLiteral("2025-03-14T093015Z")
                                 << QStringLiteral("2025-03-14.log");
        QTest::newRow("last second of a day")
            << qint64(1741996799) << QStringLiteral("2025-03-14T235959Z")
            << QStringLiteral("2025-03-14.log");
        QTest::newRow("leap day") << qint64(1709164800) << QStringLiteral("2024-02-29T000000Z")
                                  << QStringLiteral("2024-02-29.log");
    }
    void timestampAndDayFile()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, timestamp);
        QFETCH(QString, dayFile);
        QCOMPARE(Logger::formatTimestamp(seconds), timestamp);
        QCOMPARE(Logger::dayFileName(seconds), dayFile);
    }

    void lineGoesToStdoutMemoryAndFile_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("message");
        QTest::newRow("info") << QStringLiteral("INFO") << QStringLiteral("[JobWorker] Starting");
        QTest::newRow("warn") << QStringLiteral("WARN") << QStringLiteral("[X] careful");
        QTest::newRow("error") << QStringLiteral("ERROR") << QStringLiteral("[X] broke");
        QTest::newRow("utf8") << QStringLiteral("INFO") << QStringLiteral("Größe ✓ 日本");
    }
    void lineGoesToStdoutMemoryAndFile()
    {
        QFETCH(QString, level);
        QFETCH(QString, message);
        const QString tagged =
            message + QStringLiteral(" #") + QString::fromLatin1(QTest::currentDataTag());
        const QString memoryBefore = Logger::joinedMemoryBuffer();

        TestSupport::StdoutCapture capture;
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        if (level == QLatin1String("INFO")) {
            Logger::info(tagged);
        } else if (level == QLatin1String("WARN")) {
            Logger::warn(tagged);
        } else {
            Logger::error(tagged);
        }
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        const QString printed = QString::fromUtf8(capture.finish());

        // Exactly one line, "[" UTC timestamp "] " level " " message "\n".
        static const QRegularExpression shape(QStringLiteral("^\\[(.{18})\\] (\\w+) (.*)\\n$"),
                                              QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch match = shape.match(printed);
        QVERIFY2(match.hasMatch(), qPrintable(printed));
        QVERIFY(match.captured(1) == Logger::formatTimestamp(before) ||
                match.captured(1) == Logger::formatTimestamp(after));
        QCOMPARE(match.captured(2), level);
        QCOMPARE(match.captured(3), tagged);

        QCOMPARE(Logger::joinedMemoryBuffer(), memoryBefore + printed);
        QVERIFY(fileLines().endsWith(printed.chopped(1)));
    }

    void backToBackLinesFromTwoThreadsKeepSubmissionOrder()
    {
        // Each line is submitted only after the previous one returned, alternating threads.
        constexpr int kRounds = 200;
        std::mutex mutex;
        std::condition_variable turn;
        int next = 0;
        auto worker = [&](int parity) {
            for (int i = parity; i < kRounds; i += 2) {
                std::unique_lock lock(mutex);
                turn.wait(lock, [&] { return next == i; });
                Logger::info(QStringLiteral("[order] line %1").arg(i));
                ++next;
                turn.notify_all();
            }
        };
        std::thread a(worker, 0);
        std::thread b(worker, 1);
        a.join();
        b.join();

        QStringList expected;
        for (int i = 0; i < kRounds; ++i) {
            expected.append(QStringLiteral("[order] line %1").arg(i));
        }
        QCOMPARE(messagesWith(QStringLiteral("[order] line ")), expected);
    }

    void concurrentLinesStayWholeAndPerThreadOrdered()
    {
        constexpr int kThreads = 4;
        constexpr int kLines = 500;
        std::vector<std::thread> threads;
        std::atomic_bool go{false};
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &go] {
                while (!go) {
                    std::this_thread::yield();
                }
                for (int i = 0; i < kLines; ++i) {
                    Logger::warn(QStringLiteral("[stress] t%1 n%2 %3")
                                     .arg(t)
                                     .arg(i)
                                     .arg(QString(40, QLatin1Char('x'))));
                }
            });
        }
        TestSupport::StdoutCapture capture;
        go = true;
        for (auto &thread : threads) {
            thread.join();
        }
        const QStringList printed = QString::fromUtf8(capture.finish()).split(QLatin1Char('\n'));

        static const QRegularExpression whole(
            QStringLiteral("^\\[stress\\] t(\\d) n(\\d+) x{40}$"));
        for (const QStringList &lines :
             {messagesWith(QStringLiteral("[stress] ")), [&] {
                  QStringList stdoutMessages;
                  for (const QString &line : printed) {
                      if (!line.isEmpty()) {
                          stdoutMessages.append(line.mid(line.indexOf(QStringLiteral("[stress]"))));
                      }
                  }
                  return stdoutMessages;
              }()}) {
            QCOMPARE(lines.size(), kThreads * kLines);
            std::vector<int> nextOf(kThreads, 0);
            for (const QString &line : lines) {
                const QRegularExpressionMatch m = whole.match(line);
                QVERIFY2(m.hasMatch(), qPrintable(line));
                const int t = m.captured(1).toInt();
                QCOMPARE(m.captured(2).toInt(), nextOf[size_t(t)]);
                ++nextOf[size_t(t)];
            }
        }
    }

    void deletedLogsDirectoryIsRecreatedByTheNextLine()
    {
        Logger::info(QStringLiteral("[recreate] before"));
        Logger::flush();
        QVERIFY(QFileInfo::exists(todayFile()));
        QVERIFY(QDir(Paths::logsDir()).removeRecursively());

        Logger::info(QStringLiteral("[recreate] after"));
        QCOMPARE(messagesWith(QStringLiteral("[recreate]")),
                 QStringList{QStringLiteral("[recreate] after")});
    }

    void lineWhoseAppendFailsStaysInMemory()
    {
        // A plain file where the directory should be: the append cannot happen.
        QVERIFY(QDir(Paths::logsDir()).removeRecursively());
        QFile blocker(Paths::logsDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        TestSupport::StdoutCapture capture;
        Logger::error(QStringLiteral("[lost] only in memory"));
        Logger::flush();
        const QByteArray out = capture.finish();
        QVERIFY(out.contains("[lost] only in memory"));
        QVERIFY(
            Logger::joinedMemoryBuffer().contains(QStringLiteral("ERROR [lost] only in memory\n")));

        QVERIFY(QFile::remove(Paths::logsDir()));
        Logger::info(QStringLiteral("[lost] next"));
        QCOMPARE(messagesWith(QStringLiteral("[lost]")),
                 QStringList{QStringLiteral("[lost] next")});
    }

    void memoryHoldsOnlyThisProcessesLines()
    {
        // A line from an earlier run exists only in the day file.
        Paths::ensureAll();
        QFile file(todayFile());
        QVERIFY(file.open(QIODevice::Append));
        file.write("[2020-01-01T000000Z] INFO [earlier] run\n");
        file.close();
        Logger::info(QStringLiteral("[current] run"));
        Logger::flush();
        QVERIFY(TestSupport::readFile(todayFile()).contains("[earlier] run"));
        const QString memory = Logger::joinedMemoryBuffer();
        QVERIFY(!memory.contains(QStringLiteral("[earlier]")));
        QVERIFY(memory.contains(QStringLiteral("INFO [current] run\n")));
        // Every line of memory is a whole logger line.
        const QStringList lines = memory.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        static const QRegularExpression shape(
            QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\dT\\d{6}Z\\] (INFO|WARN|ERROR) .*$"));
        for (const QString &line : lines) {
            QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
        }
        QVERIFY(memory.endsWith(QLatin1Char('\n')));
    }
};

VORLANTA_TEST_MAIN(TestLogger)
#include "tst_Logger.moc"
