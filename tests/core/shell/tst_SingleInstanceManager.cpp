#include "core/shell/Logger.h"
#include "core/shell/SingleInstanceManager.h"
#include "support/TestEnvironment.h"

#include <QtCore/QFileInfo>
#include <QtCore/QLockFile>
#include <QtCore/QProcess>
#include <QtNetwork/QLocalSocket>
#include <QtTest/QSignalSpy>

#include <unistd.h>

class TestSingleInstanceManager : public QObject {
    Q_OBJECT
private:
    // A lock file that a process which has since ended left behind.
    static void leaveStaleLock(const QString &path)
    {
        QProcess ended;
        ended.start(QStringLiteral("true"), {});
        QVERIFY(ended.waitForFinished());
        const qint64 deadPid = ended.processId() ? ended.processId() : 999999;

        const QString probePath = TestSupport::root() + QStringLiteral("/probe.lock");
        {
            QLockFile probe(probePath);
            QVERIFY(probe.tryLock(0));
            QByteArray content = TestSupport::readFile(probePath);
            content = QByteArray::number(deadPid) + content.mid(content.indexOf('\n'));
            QFile stale(path);
            QVERIFY(stale.open(QIODevice::WriteOnly | QIODevice::Truncate));
            stale.write(content);
        }
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(SingleInstanceManager::lockFilePath());
        QFile::remove(SingleInstanceManager::serverPath());
    }

    void locationFollowsTheRuntimeDirectory_data()
    {
        QTest::addColumn<bool>("withRuntimeDir");
        QTest::newRow("XDG_RUNTIME_DIR") << true;
        QTest::newRow("temporary directory") << false;
    }
    void locationFollowsTheRuntimeDirectory()
    {
        QFETCH(bool, withRuntimeDir);
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        if (!withRuntimeDir) {
            qunsetenv("XDG_RUNTIME_DIR");
        }
        const QString lock = SingleInstanceManager::lockFilePath();
        const QString socket = SingleInstanceManager::serverPath();
        qputenv("XDG_RUNTIME_DIR", runtime);
        const QString dir = withRuntimeDir ? QString::fromUtf8(runtime) : QDir::tempPath();
        const QString name = withRuntimeDir
                                 ? QStringLiteral("com.vorlanta.creator")
                                 : QStringLiteral("com.vorlanta.creator-%1").arg(::getuid());
        QCOMPARE(lock, dir + QLatin1Char('/') + name + QStringLiteral(".lock"));
        QCOMPARE(socket, dir + QLatin1Char('/') + name + QStringLiteral(".socket"));
    }

    void secondInstanceActivatesTheFirstAndIsToldToEnd()
    {
        SingleInstanceManager first;
        first.checkSingleInstance();
        QVERIFY(first.isSingleInstance());
        QSignalSpy activations(&first, &SingleInstanceManager::activationRequested);
        QSignalSpy urls(&first, &SingleInstanceManager::urlsReceived);

        SingleInstanceManager second;
        QSignalSpy ended(&second, &SingleInstanceManager::terminationRequested);
        second.checkSingleInstance();
        QVERIFY(!second.isSingleInstance());
        QTRY_COMPARE(activations.size(), 1);
        QTRY_COMPARE(ended.size(), 1);
        QCOMPARE(urls.size(), 0);
        // The first keeps its lock: a third process is refused too.
        SingleInstanceManager third;
        third.checkSingleInstance();
        QVERIFY(!third.isSingleInstance());
        QTRY_COMPARE(activations.size(), 2);
    }

    void urlsOfTheSecondInstanceReachTheFirstBeforeActivation()
    {
        SingleInstanceManager first;
        first.checkSingleInstance();
        QStringList order;
        QStringList received;
        connect(&first, &SingleInstanceManager::urlsReceived, this, [&](const QStringList &u) {
            order << QStringLiteral("urls");
            received = u;
        });
        connect(&first, &SingleInstanceManager::activationRequested, this,
                [&] { order << QStringLiteral("activate"); });

        const QStringList sent{QStringLiteral("vorlanta-creator://auth?token=abc"),
                               QStringLiteral("vorlanta-creator://AUTH?token=a%20b")};
        SingleInstanceManager second;
        second.checkSingleInstance(sent);
        QTRY_COMPARE(order, (QStringList{QStringLiteral("urls"), QStringLiteral("activate")}));
        QCOMPARE(received, sent);
    }

    void staleLockAndSocketOfADeadInstanceAreTakenOver()
    {
        leaveStaleLock(SingleInstanceManager::lockFilePath());
        QFile socketLeftover(SingleInstanceManager::serverPath());
        QVERIFY(socketLeftover.open(QIODevice::WriteOnly));
        socketLeftover.close();

        SingleInstanceManager first;
        first.checkSingleInstance();
        QVERIFY(first.isSingleInstance());
        QSignalSpy activations(&first, &SingleInstanceManager::activationRequested);
        SingleInstanceManager second;
        second.checkSingleInstance();
        QVERIFY(!second.isSingleInstance());
        QTRY_COMPARE(activations.size(), 1);
    }

    void aLivingInstanceKeepsItsLockHowEverOld()
    {
        SingleInstanceManager first;
        first.checkSingleInstance();
        QVERIFY(first.isSingleInstance());
        QFile lock(SingleInstanceManager::lockFilePath());
        QVERIFY(lock.open(QIODevice::ReadWrite));
        QVERIFY(lock.setFileTime(QDateTime::currentDateTimeUtc().addDays(-3),
                                 QFileDevice::FileModificationTime));
        lock.close();

        SingleInstanceManager second;
        second.checkSingleInstance();
        QVERIFY(!second.isSingleInstance());
        QVERIFY(QFileInfo::exists(SingleInstanceManager::lockFilePath()));
    }

    void malformedMessagesAreLoggedAndIgnored()
    {
        SingleInstanceManager first;
        first.checkSingleInstance();
        QSignalSpy activations(&first, &SingleInstanceManager::activationRequested);
        QSignalSpy urls(&first, &SingleInstanceManager::urlsReceived);
        QLocalSocket client;
        client.connectToServer(SingleInstanceManager::serverPath());
        QVERIFY(client.waitForConnected(1000));
        client.write("not json\n{\"command\":\"format-disk\"}\n{\"command\":\"openUrls\","
                     "\"urls\":[1,\"vorlanta-creator://auth?token=x\",null]}\n"
                     "{\"command\":\"activate\"}\n");
        QVERIFY(client.waitForBytesWritten(1000));
        QTRY_COMPARE(activations.size(), 1);
        QCOMPARE(urls.size(), 1);
        QCOMPARE(urls.at(0).at(0).toStringList(),
                 QStringList{QStringLiteral("vorlanta-creator://auth?token=x")});
        const QString log = Logger::joinedMemoryBuffer();
        QCOMPARE(
            log.count(QStringLiteral(
                "WARN [SingleInstanceManager] Ignoring an unknown message from another instance")),
            2);
    }

    void lockAndSocketAreReleasedWhenTheInstanceEnds()
    {
        {
            SingleInstanceManager first;
            first.checkSingleInstance();
            QVERIFY(QFileInfo::exists(SingleInstanceManager::lockFilePath()));
            QVERIFY(QFileInfo::exists(SingleInstanceManager::serverPath()));
        }
        QVERIFY(!QFileInfo::exists(SingleInstanceManager::lockFilePath()));
        QVERIFY(!QFileInfo::exists(SingleInstanceManager::serverPath()));
        SingleInstanceManager next;
        next.checkSingleInstance();
        QVERIFY(next.isSingleInstance());
    }
};

VORLANTA_TEST_MAIN(TestSingleInstanceManager)
#include "tst_SingleInstanceManager.moc"
