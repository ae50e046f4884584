#include "core/api/AuthStore.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDirIterator>
#include <QtCore/QElapsedTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>
#include <QtCore/QTimeZone>
#include <QtCore/QTimer>

#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

const QString kAuthKey = QString::fromLatin1(AuthStore::kKey);
const QString kService = QStringLiteral("com.vorlanta.creator");
// Set in the environment of the child that runs without a reachable Secret Service.
constexpr char kChildVariable[] = "VORLANTA_TST_AUTHSTORE_CHILD";
constexpr char kChildToken[] = "tok-unavailable-5c19e7a2";

bool isUnavailableChild()
{
    return qEnvironmentVariable(kChildVariable) == QStringLiteral("unavailable");
}

QDateTime utc(int year, int month, int day, int msecsOfDay = 0)
{
    return QDateTime(QDate(year, month, day), QTime::fromMSecsSinceStartOfDay(msecsOfDay),
                     QTimeZone::utc());
}

std::optional<QDateTime> expiryOrNone(const QDateTime &expiry)
{
    return expiry.isValid() ? std::optional<QDateTime>(expiry) : std::nullopt;
}

// The items secret-tool finds for the key (QtKeychain stores the key as attribute "user" and the
// service as "server"); -1 when secret-tool could not run.
int storedItemCount(const QString &key)
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("user"), key,
                QStringLiteral("server"), kService});
    if (!tool.waitForFinished(30000) || tool.exitStatus() != QProcess::NormalExit) {
        return -1;
    }
    int count = 0;
    for (const QByteArray &line : tool.readAllStandardOutput().split('\n')) {
        // Each item starts with its object path in brackets.
        if (line.startsWith('[')) {
            ++count;
        }
    }
    return count;
}

// Files under dir whose contents hold needle.
QStringList filesContaining(const QString &dir, const QByteArray &needle)
{
    QStringList hits;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (TestSupport::readFile(path).contains(needle)) {
            hits.append(path);
        }
    }
    return hits;
}

bool secretServiceHasOwner()
{
    QProcess query;
    query.start(QStringLiteral("dbus-send"),
                {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                 QStringLiteral("--dest=org.freedesktop.DBus"),
                 QStringLiteral("/org/freedesktop/DBus"),
                 QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                 QStringLiteral("string:org.freedesktop.secrets")});
    return query.waitForFinished(10000) && query.readAllStandardOutput().contains("boolean true");
}

} // namespace

class TestAuthStore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (isUnavailableChild()) {
            return;
        }
        // gnome-keyring claims its bus name shortly after it starts; asking before that makes
        // D-Bus activate a second, locked daemon that never answers.
        QElapsedTimer waited;
        waited.start();
        while (!secretServiceHasOwner() && waited.elapsed() < 20000) {
            QThread::msleep(100);
        }
        QVERIFY2(secretServiceHasOwner(), "no Secret Service on the session bus: run the test "
                                          "through scripts/with-test-session");

        // The process's first keychain job runs on a thread that then ends: every later call,
        // from any thread, must still work.
        int status = 1;
        std::thread first([&status] { status = KeychainHelper::shared().deleteItem(kAuthKey); });
        first.join();
        QVERIFY(status == KeychainHelper::errSecSuccess ||
                status == KeychainHelper::errSecItemNotFound);
    }

    void init()
    {
        if (isUnavailableChild()) {
            return;
        }
        const int status = KeychainHelper::shared().deleteItem(kAuthKey);
        QVERIFY(status == KeychainHelper::errSecSuccess ||
                status == KeychainHelper::errSecItemNotFound);
        QCOMPARE(storedItemCount(kAuthKey), 0);
    }

    void encode_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QDateTime>("expiry");
        QTest::addColumn<QByteArray>("json");

        QTest::newRow("no expiry")
            << QStringLiteral("abc") << QDateTime() << QByteArray(R"({"accessToken":"abc"})");
        QTest::newRow("reference date") << QStringLiteral("abc") << utc(2001, 1, 1)
                                        << QByteArray(R"({"accessToken":"abc","expiresAt":0})");
        QTest::newRow("unix epoch")
            << QStringLiteral("abc") << utc(1970, 1, 1)
            << QByteArray(R"({"accessToken":"abc","expiresAt":-978307200})");
        QTest::newRow("fraction") << QStringLiteral("abc") << utc(2001, 1, 1, 1250)
                                  << QByteArray(R"({"accessToken":"abc","expiresAt":1.25})");
        QTest::newRow("other time zone")
            << QStringLiteral("abc") << QDateTime(QDate(2001, 1, 1), QTime(2, 0), QTimeZone(7200))
            << QByteArray(R"({"accessToken":"abc","expiresAt":0})");
        QTest::newRow("escapes") << QStringLiteral("a\"b\\c") << QDateTime()
                                 << QByteArray("{\"accessToken\":\"a\\\"b\\\\c\"}");
        QTest::newRow("non-ASCII") << QStringLiteral("t\u00e9") << QDateTime()
                                   << QByteArray("{\"accessToken\":\"t\xc3\xa9\"}");
    }

    void encode()
    {
        QFETCH(QString, token);
        QFETCH(QDateTime, expiry);
        QFETCH(QByteArray, json);
        const AuthState state{token, expiryOrNone(expiry)};
        QCOMPARE(state.toJson(), json);

        QString error;
        const std::optional<AuthState> decoded = AuthState::fromJson(state.toJson(), &error);
        QVERIFY2(decoded, qPrintable(error));
        QVERIFY(*decoded == state);
    }

    void decode_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QDateTime>("expiry");

        QTest::newRow("no expiry")
            << QByteArray(R"({"accessToken":"s3cr3t"})") << true << QDateTime();
        QTest::newRow("reference date")
            << QByteArray(R"({"accessToken":"s3cr3t","expiresAt":0})") << true << utc(2001, 1, 1);
        QTest::newRow("unix epoch")
            << QByteArray(R"({"accessToken":"s3cr3t","expiresAt":-978307200})") << true
            << utc(1970, 1, 1);
        QTest::newRow("fraction") << QByteArray(R"({"accessToken":"s3cr3t","expiresAt":1.25})")
                                  << true << utc(2001, 1, 1, 1250);
        QTest::newRow("one millisecond")
            << QByteArray(R"({"accessToken":"s3cr3t","expiresAt":0.001})") << true
            << utc(2001, 1, 1, 1);
        QTest::newRow("null expiry")
            << QByteArray(R"({"accessToken":"s3cr3t","expiresAt":null})") << true << QDateTime();
        QTest::newRow("other keys ignored")
            << QByteArray(R"({"expiresAt":0,"accessToken":"s3cr3t","user":{"id":1}})") << true
            << utc(2001, 1, 1);
        QTest::newRow("string expiry")
            << QByteArray(R"({"accessToken":"s3cr3t","expiresAt":"0"})") << false << QDateTime();
        QTest::newRow("boolean expiry")
            << QByteArray(R"({"accessToken":"s3cr3t","expiresAt":true})") << false << QDateTime();
        QTest::newRow("expiry out of range")
            << QByteArray(R"({"accessToken":"s3cr3t","expiresAt":1e300})") << false << QDateTime();
        QTest::newRow("missing token")
            << QByteArray(R"({"token":"s3cr3t"})") << false << QDateTime();
        QTest::newRow("null token")
            << QByteArray(R"({"accessToken":null})") << false << QDateTime();
        QTest::newRow("number token") << QByteArray(R"({"accessToken":7})") << false << QDateTime();
        QTest::newRow("array") << QByteArray(R"(["s3cr3t"])") << false << QDateTime();
        QTest::newRow("string") << QByteArray(R"("s3cr3t")") << false << QDateTime();
        QTest::newRow("empty") << QByteArray() << false << QDateTime();
        QTest::newRow("truncated")
            << QByteArray("{\"accessToken\":\"s3cr3t") << false << QDateTime();
    }

    void decode()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, valid);
        QFETCH(QDateTime, expiry);

        QString error;
        const std::optional<AuthState> state = AuthState::fromJson(json, &error);
        if (!valid) {
            QVERIFY(!state);
            QVERIFY(!error.isEmpty());
            // Errors are printed: they must not quote the token.
            QVERIFY2(!error.contains(QStringLiteral("s3cr3t")), qPrintable(error));
            return;
        }
        QVERIFY2(state, qPrintable(error));
        QCOMPARE(state->accessToken, QStringLiteral("s3cr3t"));
        QCOMPARE(state->expiresAt.has_value(), expiry.isValid());
        if (expiry.isValid()) {
            QCOMPARE(state->expiresAt->toMSecsSinceEpoch(), expiry.toMSecsSinceEpoch());
        }
    }

    void saveThenLoadRoundTrips()
    {
        auto availability = AuthStore::Availability::unavailable;
        QVERIFY(!AuthStore::load(&availability));
        // Nothing saved is not the same as an unreachable keyring.
        QCOMPARE(availability, AuthStore::Availability::available);
        int status = 0;
        QVERIFY(!KeychainHelper::shared().load(kAuthKey, &status));
        QCOMPARE(status, KeychainHelper::errSecItemNotFound);

        const AuthState state{QStringLiteral("tok-round-trip"), utc(2030, 5, 6, 7)};
        TestSupport::StdoutCapture capture;
        AuthStore::save(state);
        availability = AuthStore::Availability::unavailable;
        const std::optional<AuthState> loaded = AuthStore::load(&availability);
        QCOMPARE(capture.finish(), QByteArray());
        QVERIFY(loaded);
        QVERIFY(*loaded == state);
        QCOMPARE(availability, AuthStore::Availability::available);

        // Stored as the JSON document, under the key, for the service.
        const std::optional<QByteArray> raw = KeychainHelper::shared().load(kAuthKey, &status);
        QCOMPARE(status, KeychainHelper::errSecSuccess);
        QCOMPARE(raw, std::optional<QByteArray>(state.toJson()));
        QCOMPARE(storedItemCount(kAuthKey), 1);

        AuthStore::deleteAuthState();
        QVERIFY(!AuthStore::load());
        QCOMPARE(storedItemCount(kAuthKey), 0);
    }

    void savingTwiceLeavesOneItemWithTheSecondState()
    {
        const AuthState first{QStringLiteral("tok-first"), std::nullopt};
        const AuthState second{QStringLiteral("tok-second"), utc(2001, 1, 1)};
        AuthStore::save(first);
        QCOMPARE(storedItemCount(kAuthKey), 1);
        AuthStore::save(second);
        QCOMPARE(storedItemCount(kAuthKey), 1);
        const std::optional<AuthState> loaded = AuthStore::load();
        QVERIFY(loaded);
        QVERIFY(*loaded == second);
    }

    void deletingAMissingItemIsSilent()
    {
        const int status = KeychainHelper::shared().deleteItem(kAuthKey);
        QVERIFY2(status == KeychainHelper::errSecSuccess ||
                     status == KeychainHelper::errSecItemNotFound,
                 QByteArray::number(status).constData());
        TestSupport::StdoutCapture capture;
        AuthStore::deleteAuthState();
        QCOMPARE(capture.finish(), QByteArray());
    }

    void corruptItemIsDeletedByTheFirstLoad_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("other key") << QByteArray(R"({"token":"x"})");
        QTest::newRow("token with a bad expiry")
            << QByteArray(R"({"accessToken":"tok-corrupt","expiresAt":"soon"})");
        QTest::newRow("truncated token") << QByteArray("{\"accessToken\":\"tok-corrupt");
    }

    void corruptItemIsDeletedByTheFirstLoad()
    {
        QFETCH(QByteArray, data);
        QCOMPARE(KeychainHelper::shared().save(kAuthKey, data), KeychainHelper::errSecSuccess);

        TestSupport::StdoutCapture first;
        QVERIFY(!AuthStore::load());
        const QByteArray printed = first.finish();
        QVERIFY2(printed.startsWith("Failed to decode auth state: "), printed.constData());
        QCOMPARE(printed.count('\n'), 1);
        QVERIFY2(!printed.contains("tok-corrupt"), printed.constData());

        int status = 0;
        QVERIFY(!KeychainHelper::shared().load(kAuthKey, &status));
        QCOMPARE(status, KeychainHelper::errSecItemNotFound);

        TestSupport::StdoutCapture second;
        QVERIFY(!AuthStore::load());
        QCOMPARE(second.finish(), QByteArray());
    }

    void worksFromAWorkerThreadWhileTheMainThreadIsBlocked()
    {
        struct Outcome {
            std::optional<AuthState> afterSave;
            std::optional<AuthState> afterDelete;
        };
        const AuthState state{QStringLiteral("tok-worker"), std::nullopt};
        auto promise = std::make_shared<std::promise<Outcome>>();
        std::future<Outcome> future = promise->get_future();
        std::thread worker([promise, state] {
            Outcome outcome;
            AuthStore::save(state);
            outcome.afterSave = AuthStore::load();
            AuthStore::deleteAuthState();
            outcome.afterDelete = AuthStore::load();
            promise->set_value(std::move(outcome));
        });
        // The main thread runs no events while it waits.
        if (future.wait_for(60s) != std::future_status::ready) {
            worker.detach();
            QFAIL("keychain calls on a worker thread hang while the main thread is busy");
        }
        worker.join();
        const Outcome outcome = future.get();
        QVERIFY(outcome.afterSave);
        QVERIFY(*outcome.afterSave == state);
        QVERIFY(!outcome.afterDelete);
    }

    void worksInsideTheRunningEventLoop()
    {
        const AuthState state{QStringLiteral("tok-event-loop"), utc(2001, 1, 1, 5)};
        QEventLoop loop;
        std::optional<AuthState> loaded;
        bool ran = false;
        QTimer::singleShot(0, &loop, [&] {
            AuthStore::save(state);
            loaded = AuthStore::load();
            ran = true;
            loop.quit();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
        QVERIFY(ran);
        QVERIFY(loaded);
        QVERIFY(*loaded == state);
    }

    void concurrentCallersEachKeepTheirOwnItem()
    {
        constexpr int kThreads = 4;
        constexpr int kRounds = 4;
        std::vector<std::future<QString>> failures;
        for (int t = 0; t < kThreads; ++t) {
            failures.push_back(std::async(std::launch::async, [t] {
                const KeychainHelper &helper = KeychainHelper::shared();
                const QString key = QStringLiteral("tst-concurrent-%1").arg(t);
                for (int round = 0; round < kRounds; ++round) {
                    const QByteArray data =
                        QByteArray("value-") + QByteArray::number(t * 100 + round);
                    if (const int status = helper.save(key, data); status != 0) {
                        return QStringLiteral("save %1 gave %2").arg(key).arg(status);
                    }
                    int status = 0;
                    if (helper.load(key, &status) != std::optional<QByteArray>(data)) {
                        return QStringLiteral("load %1 gave status %2").arg(key).arg(status);
                    }
                }
                if (const int status = helper.deleteItem(key); status != 0) {
                    return QStringLiteral("delete %1 gave %2").arg(key).arg(status);
                }
                return QString();
            }));
        }
        for (auto &failure : failures) {
            QVERIFY(failure.wait_for(120s) == std::future_status::ready);
            const QString message = failure.get();
            QVERIFY2(message.isEmpty(), qPrintable(message));
        }
        for (int t = 0; t < kThreads; ++t) {
            QCOMPARE(storedItemCount(QStringLiteral("tst-concurrent-%1").arg(t)), 0);
        }
    }

    void tokenNeverReachesStdoutOrFiles()
    {
        const QByteArray token = "tok-never-shown-8d41b0";
        TestSupport::StdoutCapture capture;
        AuthStore::save(AuthState{QString::fromLatin1(token), utc(2001, 1, 1)});
        QVERIFY(AuthStore::load());
        QCOMPARE(KeychainHelper::shared().save(kAuthKey, "{\"accessToken\":\"" + token +
                                                             "\",\"expiresAt\":[]}"),
                 KeychainHelper::errSecSuccess);
        QVERIFY(!AuthStore::load());
        AuthStore::save(AuthState{QString::fromLatin1(token), std::nullopt});
        const QByteArray printed = capture.finish();
        QVERIFY(printed.startsWith("Failed to decode auth state: "));
        QVERIFY2(!printed.contains(token), printed.constData());
        // The keyring is the only place the token is kept.
        QCOMPARE(filesContaining(TestSupport::root(), token), QStringList());
    }

    // Runs itself again in a child process whose session bus does not exist.
    void unavailableService()
    {
        if (isUnavailableChild()) {
            runUnavailableChild();
            return;
        }
        QTemporaryDir childTemp;
        QVERIFY(childTemp.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildVariable), QStringLiteral("unavailable"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + childTemp.path() + QStringLiteral("/no-bus"));
        // The child's isolated home and XDG directories are made under its TMPDIR.
        env.insert(QStringLiteral("TMPDIR"), childTemp.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("unavailableService")});
        QVERIFY(child.waitForFinished(120000));
        const QByteArray out = child.readAllStandardOutput();
        const QByteArray err = child.readAllStandardError();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 QByteArray(out + err).constData());
        QVERIFY2(out.contains("Failed to save auth state to keychain: -25291\n"), out.constData());
        QVERIFY2(out.contains("Failed to delete auth state from keychain: -25291\n"),
                 out.constData());
        QVERIFY(!out.contains(kChildToken));
        QVERIFY(!err.contains(kChildToken));

        // Nothing fell back to a plain-text store in the child's home or XDG directories.
        const QStringList roots =
            QDir(childTemp.path()).entryList({QStringLiteral("vt-*")}, QDir::Dirs);
        QCOMPARE(roots.size(), 1);
        QVERIFY(QDir(childTemp.path() + QLatin1Char('/') + roots.first())
                    .exists(QStringLiteral("home")));
        QCOMPARE(filesContaining(childTemp.path(), kChildToken), QStringList());
    }

private:
    void runUnavailableChild()
    {
        auto availability = AuthStore::Availability::available;
        QVERIFY(!AuthStore::load(&availability));
        QCOMPARE(availability, AuthStore::Availability::unavailable);
        int status = 0;
        QVERIFY(!KeychainHelper::shared().load(kAuthKey, &status));
        QCOMPARE(status, KeychainHelper::errSecNotAvailable);

        AuthStore::save(AuthState{QString::fromLatin1(kChildToken), std::nullopt});
        AuthStore::deleteAuthState();
        QCOMPARE(KeychainHelper::shared().save(kAuthKey, QByteArray(kChildToken)),
                 KeychainHelper::errSecNotAvailable);
        QVERIFY(!AuthStore::load());
    }
};

VORLANTA_TEST_MAIN(TestAuthStore)
#include "tst_AuthStore.moc"
