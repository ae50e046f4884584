#include "core/persistence/PersistenceController.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/TestEnvironment.h"

#include <QtCore/QFileInfo>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>

class TestPersistenceController : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sharedStoreIsCreatedInTheDataDirectory()
    {
        QVERIFY(!QFileInfo::exists(PersistenceController::defaultStorePath()));
        PersistenceController &store = PersistenceController::shared();
        QVERIFY(store.isOpen());
        QCOMPARE(store.storePath(),
                 Paths::baseDir() + QStringLiteral("/Vorlanta_Quick_Projects.sqlite"));
        QVERIFY(QFileInfo(store.storePath()).isFile());
        QCOMPARE(&PersistenceController::shared(), &store);

        // One entity holding a timestamp.
        QSqlQuery columns(QSqlDatabase::database(store.connectionName()));
        QVERIFY(columns.exec(QStringLiteral("PRAGMA table_info(Item)")));
        QStringList names;
        while (columns.next()) {
            names.append(columns.value(1).toString());
        }
        QCOMPARE(names, (QStringList{QStringLiteral("id"), QStringLiteral("timestamp")}));
    }

    void reopeningKeepsWhatWasStored()
    {
        const QString path = TestSupport::root() + QStringLiteral("/reopen/store.sqlite");
        {
            PersistenceController store(path);
            QVERIFY(store.isOpen());
            QCOMPARE(store.itemCount(), qint64(0));
            QVERIFY(store.addItem(QDateTime::currentDateTimeUtc()));
            QVERIFY(store.addItem(QDateTime::currentDateTimeUtc()));
        }
        PersistenceController again(path);
        QVERIFY(again.isOpen());
        QCOMPARE(again.itemCount(), qint64(2));
    }

    void unusableStoreIsLoggedAndLeftClosed_data()
    {
        QTest::addColumn<QString>("content");
        QTest::newRow("directory in its place") << QString();
        QTest::newRow("not a database") << QStringLiteral("this is not sqlite at all, just text");
    }
    void unusableStoreIsLoggedAndLeftClosed()
    {
        QFETCH(QString, content);
        const QString path =
            TestSupport::root() + QStringLiteral("/bad-%1/store.sqlite")
                                      .arg(QString::fromLatin1(QTest::currentDataTag())
                                               .replace(QLatin1Char(' '), QLatin1Char('-')));
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (content.isEmpty()) {
            QVERIFY(QDir().mkpath(path));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content.toUtf8().repeated(200));
        }
        PersistenceController store(path);
        QVERIFY(!store.isOpen());
        QVERIFY(!store.addItem(QDateTime::currentDateTimeUtc()));
        QCOMPARE(store.itemCount(), qint64(-1));
        QVERIFY(
            Logger::joinedMemoryBuffer().contains(QStringLiteral("ERROR [Persistence] Cannot ")));
        if (!content.isEmpty()) {
            // The foreign file is not overwritten.
            QCOMPARE(TestSupport::readFile(path), content.toUtf8().repeated(200));
        }
    }
};

VORLANTA_TEST_MAIN(TestPersistenceController)
#include "tst_PersistenceController.moc"
