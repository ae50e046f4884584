#include "core/shell/Paths.h"
#include "support/TestEnvironment.h"

#include <QtCore/QFileInfo>

#include <thread>
#include <vector>

class TestPaths : public QObject {
    Q_OBJECT
private:
    static QStringList subdirectoryNames()
    {
        return {QStringLiteral("Config"), QStringLiteral("Queue"),  QStringLiteral("Logs"),
                QStringLiteral("Cache"),  QStringLiteral("Outbox"), QStringLiteral("Processed"),
                QStringLiteral("Inbox")};
    }

private Q_SLOTS:
    void init() { QDir(Paths::baseDir()).removeRecursively(); }

    void valuesLiveUnderTheDataHome_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("name");
        QTest::newRow("inbox") << Paths::inboxDir() << QStringLiteral("Inbox");
        QTest::newRow("config") << Paths::configDir() << QStringLiteral("Config");
        QTest::newRow("queue") << Paths::queueDir() << QStringLiteral("Queue");
        QTest::newRow("logs") << Paths::logsDir() << QStringLiteral("Logs");
        QTest::newRow("cache") << Paths::cacheDir() << QStringLiteral("Cache");
        QTest::newRow("outbox") << Paths::outboxDir() << QStringLiteral("Outbox");
        QTest::newRow("processed") << Paths::processedDir() << QStringLiteral("Processed");
    }
    void valuesLiveUnderTheDataHome()
    {
        QFETCH(QString, value);
        QFETCH(QString, name);
        QCOMPARE(Paths::baseDir(),
                 qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/VorlantaClient"));
        QCOMPARE(value, Paths::baseDir() + QLatin1Char('/') + name);
    }

    void firstEnsureAllCreatesEverythingSecondPrintsNothing()
    {
        QVERIFY(!QFileInfo::exists(Paths::baseDir()));
        TestSupport::StdoutCapture first;
        Paths::ensureAll();
        QCOMPARE(first.finish(), QByteArray());
        const QStringList entries =
            QDir(Paths::baseDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        QStringList expected = subdirectoryNames();
        expected.sort();
        QCOMPARE(entries, expected);

        const QDateTime before = QFileInfo(Paths::queueDir()).lastModified();
        TestSupport::StdoutCapture second;
        Paths::ensureAll();
        QCOMPARE(second.finish(), QByteArray());
        QCOMPARE(QFileInfo(Paths::queueDir()).lastModified(), before);
    }

    void blockedDirectoryIsReportedAndTheRestAreCreated_data()
    {
        QTest::addColumn<QString>("blocked");
        for (const QString &name : subdirectoryNames()) {
            QTest::newRow(name.toUtf8().constData()) << name;
        }
    }
    void blockedDirectoryIsReportedAndTheRestAreCreated()
    {
        QFETCH(QString, blocked);
        QVERIFY(QDir().mkpath(Paths::baseDir()));
        const QString blockedPath = Paths::baseDir() + QLatin1Char('/') + blocked;
        QFile plain(blockedPath);
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();

        TestSupport::StdoutCapture capture;
        Paths::ensureAll();
        const QByteArray out = capture.finish();

        QCOMPARE(out, (QStringLiteral("Failed to create directory ") + blockedPath +
                       QStringLiteral(": Not a directory\n"))
                          .toUtf8());
        for (const QString &name : subdirectoryNames()) {
            const QFileInfo info(Paths::baseDir() + QLatin1Char('/') + name);
            QCOMPARE(info.isDir(), name != blocked);
        }
        QVERIFY(QFileInfo(blockedPath).isFile());
    }

    void concurrentCallersOnAFreshAccountAllSucceed()
    {
        TestSupport::StdoutCapture capture;
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([] {
                for (int j = 0; j < 20; ++j) {
                    Paths::ensureAll();
                }
            });
        }
        for (auto &t : threads) {
            t.join();
        }
        QCOMPARE(capture.finish(), QByteArray());
        for (const QString &name : subdirectoryNames()) {
            QVERIFY(QFileInfo(Paths::baseDir() + QLatin1Char('/') + name).isDir());
        }
    }

    void valuesAreComputedOnceEvenWhenTheEnvironmentChanges()
    {
        const QString base = Paths::baseDir();
        qputenv("XDG_DATA_HOME", QByteArrayLiteral("/nonexistent-elsewhere"));
        QCOMPARE(Paths::baseDir(), base);
        QCOMPARE(Paths::logsDir(), base + QStringLiteral("/Logs"));
        qputenv("XDG_DATA_HOME", TestSupport::root().toUtf8() + "/data");
    }
};

VORLANTA_TEST_MAIN(TestPaths)
#include "tst_Paths.moc"
