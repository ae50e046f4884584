#include "BuildConfig.h"
#include "core/api/ApiRecords.h"
#include "core/api/AuthStore.h"
#include "core/upload/MissingFilesViewModel.h"
#include "support/Await.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QMetaProperty>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimeZone>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>
#include <QtTest/QSignalSpy>

#include <algorithm>
#include <limits>

using Card = MissingFilesViewModel::ProjectCard;
using Json = nlohmann::json;

char *toString(const Card &card)
{
    QString out = QStringLiteral("Card(id=%1 title=\"%2\" files=[").arg(card.id).arg(card.title);
    for (const Card::File &file : card.files) {
        out += QStringLiteral("{%1 \"%2\" %3 \"%4\" %5}")
                   .arg(file.id)
                   .arg(file.name)
                   .arg(file.size)
                   .arg(file.url)
                   .arg(file.locked);
    }
    out += QStringLiteral("] channel=");
    out += card.channel ? QStringLiteral("{%1 %2}")
                              .arg(card.channel->id)
                              .arg(card.channel->name.value_or(QStringLiteral("<none>")))
                        : QStringLiteral("<none>");
    out += QStringLiteral(" thumb=%1 reformat=%2 long=%3 due=%4)")
               .arg(card.hasThumbnailAddon)
               .arg(card.hasReformattingAddon)
               .arg(card.hasLongForm)
               .arg(card.dueDate ? card.dueDate->toUTC().toString(Qt::ISODateWithMs)
                                 : QStringLiteral("<none>"));
    return qstrdup(out.toUtf8().constData());
}

namespace {

const QString kToken = QStringLiteral("catalogue-test-token-7f3a");
const QByteArray kNotLoggedIn = "Not logged in. Please sign in to load projects.";
const QByteArray kAuthRequired = "Authentication required before loading projects.";

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), QTimeZone::utc());
}

// One HTTP answer per connection on loopback, with a body the test chooses.
class CannedServer {
public:
    CannedServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                auto *received = new QByteArray;
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
                    received->append(socket->readAll());
                    if (!received->contains("\r\n\r\n")) {
                        return;
                    }
                    requests.append(*received);
                    QByteArray answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                        "Connection: close\r\nContent-Length: " +
                                        QByteArray::number(body.size()) + "\r\n\r\n" + body;
                    socket->write(answer);
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, received] {
                    delete received;
                    socket->deleteLater();
                });
            }
        });
    }
    QString baseUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort());
    }

    QByteArray body;
    QList<QByteArray> requests;

private:
    QTcpServer m_server;
};

QByteArray projectsBody(const QStringList &titles)
{
    Json list = Json::array();
    qint64 id = 1;
    for (const QString &title : titles) {
        list.push_back(Json{{"id", id++}, {"title", title.toStdString()}});
    }
    return QByteArray::fromStdString(Json{{"data", list}}.dump());
}

QList<qint64> idsOf(const QList<Card> &cards)
{
    QList<qint64> ids;
    for (const Card &card : cards) {
        ids.append(card.id);
    }
    return ids;
}

QList<qint64> range(qint64 first, qint64 last)
{
    QList<qint64> ids;
    for (qint64 id = first; id <= last; ++id) {
        ids.append(id);
    }
    return ids;
}

QList<qint64> descending(qint64 first, qint64 last)
{
    QList<qint64> ids = range(last, first);
    std::reverse(ids.begin(), ids.end());
    return ids;
}

// Sets or clears VORLANTA_API_BASE_URL for one scope.
class BaseUrlEnv {
public:
    explicit BaseUrlEnv(const std::optional<QString> &value)
    {
        if (value) {
            qputenv(MissingFilesViewModel::kEnvBaseUrl, value->toUtf8());
        } else {
            qunsetenv(MissingFilesViewModel::kEnvBaseUrl);
        }
    }
    ~BaseUrlEnv() { qunsetenv(MissingFilesViewModel::kEnvBaseUrl); }
};

} // namespace

class TestMissingFilesViewModel : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { AuthStore::deleteAuthState(); }
    void cleanupTestCase() { AuthStore::deleteAuthState(); }

    void mapping_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<Card>("expected");

        QTest::newRow("empty object") << QByteArray("{}") << Card{};
        QTest::newRow("not an object") << QByteArray("[1,2]") << Card{};
        {
            Card full;
            full.id = 42;
            full.title = QStringLiteral("Été à Paris");
            full.files = {{7, QStringLiteral("a.mp4"), 100, QStringLiteral("https://x/a"), true},
                          {8, QStringLiteral("b.mov"), 0, QString(), false}};
            full.channel = Card::ChannelInfo{3, QStringLiteral("Pixel Workshop")};
            full.hasThumbnailAddon = true;
            full.hasReformattingAddon = true;
            full.hasLongForm = true;
            full.dueDate = utc(2025, 6, 30);
            QTest::newRow("every field")
                << QByteArray(R"({"id":42,"title":"Été à Paris","files":[)"
                              R"({"id":7,"name":"a.mp4","size":100,"url":"https://x/a",)"
                              R"("lock":{"locked":true}},{"id":8,"name":"b.mov"}],)"
                              R"("channel":{"id":3,"name":"Pixel Workshop"},)"
                              R"("addons":{"detailed":[{"type":"thumbnail"},)"
                              R"({"type":"reformatting"}]},"no_video":0,"due_date":"2025-06-30"})")
                << full;
        }
        QTest::newRow("wrong types give defaults")
            << QByteArray(R"({"id":"42","title":5,"files":{"id":1},"channel":[1],)"
                          R"("addons":"thumbnail","no_video":"1","due_date":20250630})")
            << Card{};
        QTest::newRow("id fractional") << QByteArray(R"({"id":12.5})") << Card{};
        {
            Card card;
            card.id = 1;
            QTest::newRow("id boolean reads as number") << QByteArray(R"({"id":true})") << card;
            card.id = 12;
            QTest::newRow("id whole float") << QByteArray(R"({"id":12.0})") << card;
        }
        QTest::newRow("files holding a non-object")
            << QByteArray(R"({"files":[{"id":1},"x"]})") << Card{};
        {
            Card card;
            card.files = {Card::File{}};
            QTest::newRow("file defaults") << QByteArray(R"({"files":[{}]})") << card;
            QTest::newRow("file wrong types")
                << QByteArray(R"({"files":[{"id":"1","name":2,"size":null,"url":3,"lock":true}]})")
                << card;
            QTest::newRow("lock locked false")
                << QByteArray(R"({"files":[{"lock":{"locked":false}}]})") << card;
            QTest::newRow("lock locked zero")
                << QByteArray(R"({"files":[{"lock":{"locked":0}}]})") << card;
            QTest::newRow("lock locked string")
                << QByteArray(R"({"files":[{"lock":{"locked":"true"}}]})") << card;
            QTest::newRow("lock missing locked")
                << QByteArray(R"({"files":[{"lock":{}}]})") << card;
            card.files[0].locked = true;
            QTest::newRow("lock locked one")
                << QByteArray(R"({"files":[{"lock":{"locked":1}}]})") << card;
            QTest::newRow("lock locked fraction")
                << QByteArray(R"({"files":[{"lock":{"locked":0.5}}]})") << card;
        }
        {
            Card card;
            card.channel = Card::ChannelInfo{0, std::nullopt};
            QTest::newRow("channel empty object") << QByteArray(R"({"channel":{}})") << card;
            QTest::newRow("channel wrong types")
                << QByteArray(R"({"channel":{"id":"3","name":3}})") << card;
            card.channel = Card::ChannelInfo{9, QString()};
            QTest::newRow("channel empty name")
                << QByteArray(R"({"channel":{"id":9,"name":""}})") << card;
        }
        QTest::newRow("channel null") << QByteArray(R"({"channel":null})") << Card{};
        {
            Card card;
            card.hasLongForm = false;
            QTest::newRow("no_video 1") << QByteArray(R"({"no_video":1})") << card;
            QTest::newRow("no_video 2") << QByteArray(R"({"no_video":2})") << card;
            QTest::newRow("no_video true") << QByteArray(R"({"no_video":true})") << card;
            QTest::newRow("no_video -1") << QByteArray(R"({"no_video":-1})") << card;
        }
        QTest::newRow("no_video 0") << QByteArray(R"({"no_video":0})") << Card{};
        QTest::newRow("no_video false") << QByteArray(R"({"no_video":false})") << Card{};
        QTest::newRow("no_video null") << QByteArray(R"({"no_video":null})") << Card{};
        QTest::newRow("no_video string") << QByteArray(R"({"no_video":"1"})") << Card{};
        {
            Card card;
            card.hasThumbnailAddon = true;
            QTest::newRow("addon Thumbnail any case")
                << QByteArray(R"({"addons":{"detailed":[{"type":"Thumbnail"}]}})") << card;
            card.hasThumbnailAddon = false;
            card.hasReformattingAddon = true;
            QTest::newRow("addon REFORMATTING")
                << QByteArray(R"({"addons":{"detailed":[{"x":1},{"type":"REFORMATTING"}]}})")
                << card;
        }
        QTest::newRow("addon reformat is not reformatting")
            << QByteArray(R"({"addons":{"detailed":[{"type":"reformat"},{"type":"thumb"}]}})")
            << Card{};
        QTest::newRow("addon detailed not a list")
            << QByteArray(R"({"addons":{"detailed":{"type":"thumbnail"}}})") << Card{};
        QTest::newRow("addon list at top")
            << QByteArray(R"({"addons":[{"type":"thumbnail"}]})") << Card{};
    }
    void mapping()
    {
        QFETCH(QByteArray, json);
        QFETCH(Card, expected);
        QCOMPARE(MissingFilesViewModel::cardFromJson(Json::parse(json.toStdString())), expected);
    }

    void dates_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QDateTime>("expected");
        const QDateTime none;
        QTest::newRow("microseconds")
            << QByteArray("\"2025-06-30T12:00:00.000000Z\"") << utc(2025, 6, 30, 12);
        QTest::newRow("microseconds kept to ms")
            << QByteArray("\"2025-06-30T12:00:00.123456Z\"") << utc(2025, 6, 30, 12, 0, 0, 123);
        QTest::newRow("milliseconds")
            << QByteArray("\"2025-06-30T09:30:00.250Z\"") << utc(2025, 6, 30, 9, 30, 0, 250);
        QTest::newRow("iso fraction offset")
            << QByteArray("\"2025-06-30T18:00:00.5+02:00\"") << utc(2025, 6, 30, 16, 0, 0, 500);
        QTest::newRow("iso fraction Z")
            << QByteArray("\"2025-06-30T18:00:00.12Z\"") << utc(2025, 6, 30, 18, 0, 0, 120);
        QTest::newRow("iso Z") << QByteArray("\"2025-06-30T18:00:00Z\"") << utc(2025, 6, 30, 18);
        QTest::newRow("iso offset")
            << QByteArray("\"2025-06-30T18:00:00+02:00\"") << utc(2025, 6, 30, 16);
        QTest::newRow("iso negative offset")
            << QByteArray("\"2025-06-30T23:00:00-05:00\"") << utc(2025, 7, 1, 4);
        QTest::newRow("numeric zone")
            << QByteArray("\"2025-06-30T08:00:00+0200\"") << utc(2025, 6, 30, 6);
        QTest::newRow("numeric zone minutes")
            << QByteArray("\"2025-06-30T08:00:00-0130\"") << utc(2025, 6, 30, 9, 30);
        QTest::newRow("day") << QByteArray("\"2025-06-30\"") << utc(2025, 6, 30);
        QTest::newRow("day first") << QByteArray("\"30/06/2025\"") << utc(2025, 6, 30);
        QTest::newRow("day first is not month first") << QByteArray("\"06/30/2025\"") << none;
        QTest::newRow("bad month") << QByteArray("\"2025-13-01\"") << none;
        QTest::newRow("bad day") << QByteArray("\"31/02/2025\"") << none;
        QTest::newRow("space separator") << QByteArray("\"2025-06-30 12:00:00\"") << none;
        QTest::newRow("trailing text") << QByteArray("\"2025-06-30T12:00:00Z later\"") << none;
        QTest::newRow("words") << QByteArray("\"June 30, 2025\"") << none;
        QTest::newRow("trailing newline") << QByteArray("\"2025-06-30\\n\"") << none;
        QTest::newRow("empty") << QByteArray("\"\"") << none;
        QTest::newRow("number") << QByteArray("20250630") << none;
        QTest::newRow("null") << QByteArray("null") << none;
    }
    void dates()
    {
        QFETCH(QByteArray, value);
        QFETCH(QDateTime, expected);
        const Json project{{"due_date", Json::parse(value.toStdString())}};
        const Card card = MissingFilesViewModel::cardFromJson(project);
        if (!expected.isValid()) {
            const std::unique_ptr<char[]> shown(toString(card));
            QVERIFY2(!card.dueDate, shown.get());
            return;
        }
        QVERIFY(card.dueDate);
        QCOMPARE(card.dueDate->toUTC(), expected);
    }

    void sizes_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<qint64>("expected");
        const qint64 max = std::numeric_limits<qint64>::max();
        QTest::newRow("integer") << QByteArray(R"({"size":1048576})") << qint64(1048576);
        QTest::newRow("large integer")
            << QByteArray(R"({"size":5368709120})") << qint64(5368709120);
        QTest::newRow("negative integer") << QByteArray(R"({"size":-5})") << qint64(-5);
        QTest::newRow("float truncated") << QByteArray(R"({"size":12.9})") << qint64(12);
        QTest::newRow("negative float toward zero")
            << QByteArray(R"({"size":-12.9})") << qint64(-12);
        QTest::newRow("huge float clamped") << QByteArray(R"({"size":1e300})") << max;
        QTest::newRow("unsigned beyond range")
            << QByteArray(R"({"size":18446744073709551615})") << max;
        QTest::newRow("boolean") << QByteArray(R"({"size":true})") << qint64(1);
        QTest::newRow("string digits") << QByteArray(R"({"size":"1048576"})") << qint64(1048576);
        QTest::newRow("string plus") << QByteArray(R"({"size":"+42"})") << qint64(42);
        QTest::newRow("string minus") << QByteArray(R"({"size":"-7"})") << qint64(-7);
        QTest::newRow("string with unit") << QByteArray(R"({"size":"1 MB"})") << qint64(0);
        QTest::newRow("string leading space") << QByteArray(R"({"size":" 42"})") << qint64(0);
        QTest::newRow("string decimal") << QByteArray(R"({"size":"12.5"})") << qint64(0);
        QTest::newRow("string sign only") << QByteArray(R"({"size":"-"})") << qint64(0);
        QTest::newRow("string trailing newline") << QByteArray(R"({"size":"42\n"})") << qint64(0);
        QTest::newRow("string empty") << QByteArray(R"({"size":""})") << qint64(0);
        QTest::newRow("string overflow")
            << QByteArray(R"({"size":"99999999999999999999"})") << qint64(0);
        QTest::newRow("string arabic digits") << QByteArray(R"({"size":"٤٢"})") << qint64(0);
        QTest::newRow("null") << QByteArray(R"({"size":null})") << qint64(0);
        QTest::newRow("missing") << QByteArray(R"({})") << qint64(0);
        QTest::newRow("array") << QByteArray(R"({"size":[1]})") << qint64(0);
    }
    void sizes()
    {
        QFETCH(QByteArray, file);
        QFETCH(qint64, expected);
        const Json project{{"files", Json::array({Json::parse(file.toStdString())})}};
        const Card card = MissingFilesViewModel::cardFromJson(project);
        QCOMPARE(card.files.size(), 1);
        QCOMPARE(card.files[0].size, expected);
    }

    void acceptedShapes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QList<qint64>>("ids");
        QTest::newRow("data member")
            << QByteArray(R"({"data":[{"id":3},{"id":1},{"id":2}]})") << QList<qint64>{3, 1, 2};
        QTest::newRow("bare array")
            << QByteArray(R"([{"id":3},{"id":1},{"title":"x"}])") << QList<qint64>{3, 1, 0};
        QTest::newRow("empty data") << QByteArray(R"({"data":[]})") << QList<qint64>{};
        QTest::newRow("empty array") << QByteArray("[]") << QList<qint64>{};
    }
    void acceptedShapes()
    {
        QFETCH(QByteArray, body);
        QFETCH(QList<qint64>, ids);
        TestSupport::StdoutCapture out;
        const QList<Card> cards = MissingFilesViewModel::projectsFromBody(body);
        const QByteArray printed = out.finish();
        QCOMPARE(idsOf(cards), ids);
        QCOMPARE(printed, "=== API Response for projects ===\n" + body +
                              "\n=================================\n");
    }

    void rejectedShapes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("projects member") << QByteArray(R"({"projects":[{"id":1}]})");
        QTest::newRow("data an object") << QByteArray(R"({"data":{"id":1}})");
        QTest::newRow("data a string") << QByteArray(R"({"data":"x"})");
        QTest::newRow("data holding numbers") << QByteArray(R"({"data":[1,2]})");
        QTest::newRow("data mixed") << QByteArray(R"({"data":[{"id":1},2]})");
        QTest::newRow("array of non-objects") << QByteArray(R"([1,"a"])");
        QTest::newRow("array mixed") << QByteArray(R"([{"id":1},null])");
        QTest::newRow("string") << QByteArray(R"("projects")");
        QTest::newRow("number") << QByteArray("42");
        QTest::newRow("empty object") << QByteArray("{}");
    }
    void rejectedShapes()
    {
        QFETCH(QByteArray, body);
        try {
            MissingFilesViewModel::projectsFromBody(body);
            QFAIL("accepted");
        } catch (const MissingFilesViewModelError &error) {
            QCOMPARE(QByteArray(MissingFilesViewModelError::domain), "MissingFilesViewModel");
            QCOMPARE(error.code(), -1);
            QCOMPARE(error.description(), QStringLiteral("Unexpected projects response format"));
            QCOMPARE(describeError(error), QStringLiteral("Unexpected projects response format"));
        }
    }

    void invalidJsonFailsAndNonUtf8IsNotPrinted()
    {
        TestSupport::StdoutCapture out;
        QVERIFY_THROWS_EXCEPTION(JsonDecodingError,
                                 MissingFilesViewModel::projectsFromBody("{\"data\": [\xff]}"));
        QCOMPARE(out.finish(), QByteArray());
        TestSupport::StdoutCapture out2;
        QVERIFY_THROWS_EXCEPTION(JsonDecodingError,
                                 MissingFilesViewModel::projectsFromBody("{\"data\": ["));
        QVERIFY(out2.finish().contains("=== API Response for projects ===\n{\"data\": [\n"));
    }

    void initialValues()
    {
        const BaseUrlEnv env(std::nullopt);
        MissingFilesViewModel model;
        QVERIFY(model.allProjects().isEmpty());
        QVERIFY(model.filteredProjects().isEmpty());
        QCOMPARE(model.currentPage(), 1);
        QCOMPARE(model.searchQuery(), QString());
        QVERIFY(model.pendingFiles().isEmpty());
        QCOMPARE(model.pageSize, 7);
        QCOMPARE(model.pageCount(), 0);
        QVERIFY(model.paginatedProjects().isEmpty());
        // Published fields are observable properties.
        const QMetaObject *meta = model.metaObject();
        for (const char *name : {"allProjects", "filteredProjects", "currentPage", "searchQuery",
                                 "statusText", "pendingFiles", "paginatedProjects"}) {
            const QMetaProperty property = meta->property(meta->indexOfProperty(name));
            QVERIFY2(property.isValid() && property.hasNotifySignal(), name);
        }
        QCOMPARE(model.property("currentPage").toInt(), 1);
        QVERIFY(model.property("allProjects").value<QList<Card>>().isEmpty());
    }

    void notLoggedIn_data()
    {
        QTest::addColumn<bool>("saveEmptyToken");
        QTest::newRow("nothing saved") << false;
        QTest::newRow("empty token saved") << true;
    }
    void notLoggedIn()
    {
        QFETCH(bool, saveEmptyToken);
        CannedServer server;
        server.body = projectsBody({QStringLiteral("A")});
        const BaseUrlEnv env(server.baseUrl());
        if (saveEmptyToken) {
            AuthStore::save(AuthState{QString(), std::nullopt});
            QVERIFY(AuthStore::load());
        }
        MissingFilesViewModel model;
        QVERIFY(!model.apiClient());
        QCOMPARE(model.statusText(), QString::fromUtf8(kNotLoggedIn));
        TestSupport::await(model.loadProjectsAsync());
        QCOMPARE(model.statusText(), QString::fromUtf8(kAuthRequired));
        model.loadProjects();
        QTest::qWait(300);
        QCOMPARE(server.requests.size(), 0);
        QVERIFY(model.allProjects().isEmpty());
    }

    void baseUrl_data()
    {
        QTest::addColumn<std::optional<QString>>("env");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unset") << std::optional<QString>()
                               << QString::fromUtf8(BuildConfig::kApiBaseUrl);
        QTest::newRow("set verbatim")
            << std::optional<QString>(QStringLiteral("http://127.0.0.1:9/base/path/"))
            << QStringLiteral("http://127.0.0.1:9/base/path/");
        QTest::newRow("set without slash")
            << std::optional<QString>(QStringLiteral("http://127.0.0.1:9/base"))
            << QStringLiteral("http://127.0.0.1:9/base");
    }
    void baseUrl()
    {
        QFETCH(std::optional<QString>, env);
        QFETCH(QString, expected);
        AuthStore::save(AuthState{kToken, std::nullopt});
        const BaseUrlEnv scoped(env);
        MissingFilesViewModel model;
        QVERIFY(model.apiClient());
        QCOMPARE(model.apiClient()->baseURL().toString(), expected);
        QCOMPARE(model.statusText(), QString());
    }

    void invalidBaseUrl()
    {
        AuthStore::save(AuthState{kToken, std::nullopt});
        const BaseUrlEnv env(QStringLiteral("http://"));
        MissingFilesViewModel model;
        QVERIFY(!model.apiClient());
        QCOMPARE(model.statusText(), QStringLiteral("Invalid API base URL: http://"));
        TestSupport::await(model.loadProjectsAsync());
        QCOMPARE(model.statusText(), QString::fromUtf8(kAuthRequired));
    }

    void loadFromSandbox()
    {
        TestSupport::SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        AuthStore::save(AuthState{sandbox.token(), std::nullopt});
        const BaseUrlEnv env(sandbox.baseUrl().toString());
        MissingFilesViewModel model;
        QVERIFY(model.apiClient());
        QCOMPARE(model.apiClient()->baseURL(), sandbox.baseUrl());

        QStringList statuses;
        connect(&model, &MissingFilesViewModel::statusTextChanged, this,
                [&] { statuses.append(model.statusText()); });
        QSignalSpy all(&model, &MissingFilesViewModel::allProjectsChanged);
        model.loadProjects();
        QCOMPARE(model.statusText(), QStringLiteral("Loading projects\u2026"));
        QTRY_COMPARE_WITH_TIMEOUT(all.size(), 1, 10000);
        QCOMPARE(statuses, (QStringList{QStringLiteral("Loading projects\u2026"), QString()}));

        const QList<Card> &cards = model.allProjects();
        // The sandbox lists the newest project first; the model keeps that order.
        QCOMPARE(idsOf(cards), descending(112, 101));
        QCOMPARE(model.filteredProjects(), cards);
        const auto card = [&](qint64 id) { return cards[112 - id]; };
        const QDate today = QDateTime::currentDateTimeUtc().date();
        const auto at = [&](int offset, int h, int mi = 0, int ms = 0) {
            const QDate day = today.addDays(offset);
            return utc(day.year(), day.month(), day.day(), h, mi, 0, ms);
        };

        Card garden;
        garden.id = 101;
        garden.title = QStringLiteral("Spring Garden Tour");
        garden.files = {{5001, QStringLiteral("garden-a-roll.mp4"), 734003200, QString(), false},
                        {5002, QStringLiteral("garden-b-roll.mov"), 268435456, QString(), false}};
        garden.channel = Card::ChannelInfo{1, QStringLiteral("Kitchen Table Cooking")};
        garden.hasThumbnailAddon = true;
        garden.dueDate = at(-20, 12);
        QCOMPARE(card(101), garden);

        QCOMPARE(card(102).dueDate, at(-1, 0));
        QVERIFY(card(102).hasThumbnailAddon && card(102).hasReformattingAddon);
        QCOMPARE(card(102).files[0].size, qint64(1048576));
        QCOMPARE(card(103).dueDate, at(0, 0));
        QCOMPARE(card(103).files[0].size, qint64(2147483648));
        QCOMPARE(card(103).files[1].size, qint64(0));
        QVERIFY(!card(103).hasThumbnailAddon && !card(103).hasReformattingAddon);
        QCOMPARE(card(104).dueDate, at(1, 9, 30));
        QVERIFY(!card(104).hasLongForm);
        QVERIFY(card(104).hasThumbnailAddon);
        QCOMPARE(card(104).files[0].size, qint64(12));
        QCOMPARE(card(105).dueDate, at(3, 16));
        QVERIFY(!card(105).hasLongForm);
        QVERIFY(card(105).hasReformattingAddon && !card(105).hasThumbnailAddon);
        QCOMPARE(card(106).dueDate, at(7, 6));
        QVERIFY(card(106).files[0].locked);
        QCOMPARE(card(106).files[0].size, qint64(5368709120));
        QVERIFY(!card(107).dueDate);

        Card weekly;
        weekly.id = 108;
        weekly.title = QStringLiteral("Weekly Q&A");
        QCOMPARE(card(108), weekly);

        QVERIFY(card(109).hasThumbnailAddon && !card(109).hasReformattingAddon);
        QVERIFY(card(109).files[0].locked);
        QCOMPARE(card(110).dueDate, at(30, 12, 0, 123));
        QCOMPARE(card(111).dueDate, at(2, 0));
        QCOMPARE(card(111).files[0].size, qint64(0));
        QVERIFY(!card(111).hasLongForm);
        QCOMPARE(card(112).dueDate, at(5, 0));

        // Pages of seven: 7 then 5, and no page past the last.
        QCOMPARE(model.pageCount(), 2);
        QCOMPARE(idsOf(model.paginatedProjects()), descending(112, 106));
        model.nextPage();
        QCOMPARE(model.currentPage(), 2);
        QCOMPARE(idsOf(model.paginatedProjects()), descending(105, 101));
        model.nextPage();
        QCOMPARE(model.currentPage(), 2);
        model.setCurrentPage(3);
        QVERIFY(model.paginatedProjects().isEmpty());
        model.setCurrentPage(0);
        QVERIFY(model.paginatedProjects().isEmpty());
        model.setCurrentPage(2);
        model.setSearchQuery(QString());
        QCOMPARE(model.currentPage(), 1);
        QCOMPARE(idsOf(model.filteredProjects()), descending(112, 101));
    }

    void loadWithRejectedToken()
    {
        TestSupport::SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        // The client reports a 401 as an expired token.
        AuthStore::save(AuthState{QStringLiteral("not-the-sandbox-token"), std::nullopt});
        const BaseUrlEnv env(sandbox.baseUrl().toString());
        MissingFilesViewModel model;
        TestSupport::await(model.loadProjectsAsync());
        QCOMPARE(model.statusText(),
                 QStringLiteral("Error: ") + APIError::tokenExpired().description());
        QVERIFY(model.allProjects().isEmpty());
    }

    void loadShapesThroughModel()
    {
        CannedServer server;
        AuthStore::save(AuthState{kToken, std::nullopt});
        const BaseUrlEnv env(server.baseUrl());
        MissingFilesViewModel model;

        server.body = R"([{"id":5,"title":"Five"},{"id":6}])";
        TestSupport::await(model.loadProjectsAsync());
        QCOMPARE(server.requests.size(), 1);
        QVERIFY(server.requests[0].startsWith("GET /api/v1/creator/projects/ HTTP/1.1\r\n"));
        QVERIFY(server.requests[0].contains(
            QByteArray("Authorization: Bearer " + kToken.toUtf8() + "\r\n")));
        QCOMPARE(model.statusText(), QString());
        QCOMPARE(idsOf(model.allProjects()), (QList<qint64>{5, 6}));

        // A failed load keeps what the lists held.
        server.body = R"({"projects":[{"id":1}]})";
        TestSupport::await(model.loadProjectsAsync());
        QCOMPARE(model.statusText(), QStringLiteral("Error: Unexpected projects response format"));
        QCOMPARE(idsOf(model.allProjects()), (QList<qint64>{5, 6}));
        QCOMPARE(idsOf(model.filteredProjects()), (QList<qint64>{5, 6}));

        server.body = "not json";
        TestSupport::await(model.loadProjectsAsync());
        QVERIFY2(model.statusText().startsWith(QStringLiteral("Error: The data isn't valid JSON")),
                 qPrintable(model.statusText()));
        QCOMPARE(idsOf(model.allProjects()), (QList<qint64>{5, 6}));

        server.body = R"({"data":[]})";
        TestSupport::await(model.loadProjectsAsync());
        QCOMPARE(model.statusText(),
                 QStringLiteral("No projects found or failed to load projects."));
        QVERIFY(model.allProjects().isEmpty());
        QVERIFY(model.filteredProjects().isEmpty());
    }

    void filter_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QList<qint64>>("ids");
        QTest::newRow("empty shows all") << QString() << range(1, 6);
        QTest::newRow("upper accented") << QStringLiteral("ÉTÉ") << QList<qint64>{1, 3};
        QTest::newRow("lower accented") << QStringLiteral("été") << QList<qint64>{1, 3};
        QTest::newRow("case insensitive ascii") << QStringLiteral("PARIS") << QList<qint64>{1, 2};
        QTest::newRow("one space not trimmed") << QStringLiteral(" ") << QList<qint64>{1, 2, 3, 5};
        QTest::newRow("inner text") << QStringLiteral("inter") << QList<qint64>{4};
        QTest::newRow("no match") << QStringLiteral("xyz") << QList<qint64>{};
        QTest::newRow("sharp s") << QStringLiteral("STRASSE") << QList<qint64>{6};
    }
    void filter()
    {
        QFETCH(QString, query);
        QFETCH(QList<qint64>, ids);
        CannedServer server;
        server.body = projectsBody({QStringLiteral("Été à Paris"), QStringLiteral("Summer Paris"),
                                    QStringLiteral("L'été indien"), QStringLiteral("Winter"),
                                    QStringLiteral("Spring Garden"), QStringLiteral("Straße")});
        AuthStore::save(AuthState{kToken, std::nullopt});
        const BaseUrlEnv env(server.baseUrl());
        MissingFilesViewModel model;
        TestSupport::await(model.loadProjectsAsync());
        QCOMPARE(model.allProjects().size(), 6);
        QSignalSpy filtered(&model, &MissingFilesViewModel::filteredProjectsChanged);
        model.setSearchQuery(query);
        QCOMPARE(model.searchQuery(), query);
        QCOMPARE(filtered.size(), 1);
        QCOMPARE(idsOf(model.filteredProjects()), ids);
        QCOMPARE(idsOf(model.allProjects()), range(1, 6));
    }

    void pagingAndSearchReset()
    {
        CannedServer server;
        QStringList titles;
        for (int i = 1; i <= 15; ++i) {
            titles.append(i % 2 ? QStringLiteral("Odd %1").arg(i)
                                : QStringLiteral("Even %1").arg(i));
        }
        server.body = projectsBody(titles);
        AuthStore::save(AuthState{kToken, std::nullopt});
        const BaseUrlEnv env(server.baseUrl());
        MissingFilesViewModel model;
        // The search text is not reapplied by a load.
        model.setSearchQuery(QStringLiteral("odd"));
        TestSupport::await(model.loadProjectsAsync());
        QCOMPARE(model.filteredProjects().size(), 15);
        QCOMPARE(model.pageCount(), 3);
        QCOMPARE(idsOf(model.paginatedProjects()), range(1, 7));
        QSignalSpy pages(&model, &MissingFilesViewModel::currentPageChanged);
        model.nextPage();
        QCOMPARE(idsOf(model.paginatedProjects()), range(8, 14));
        model.nextPage();
        QCOMPARE(model.currentPage(), 3);
        QCOMPARE(idsOf(model.paginatedProjects()), QList<qint64>{15});
        model.nextPage();
        QCOMPARE(model.currentPage(), 3);
        QCOMPARE(pages.size(), 2);

        // Every assignment, even of the same text, refilters and returns to page 1.
        model.setSearchQuery(QStringLiteral("odd"));
        QCOMPARE(model.currentPage(), 1);
        QCOMPARE(model.filteredProjects().size(), 8);
        QCOMPARE(model.pageCount(), 2);
        model.nextPage();
        QCOMPARE(model.paginatedProjects().size(), 1);
        model.setSearchQuery(QStringLiteral("odd"));
        QCOMPARE(model.currentPage(), 1);

        // A load returns to page 1 and shows every project.
        model.nextPage();
        TestSupport::await(model.loadProjectsAsync());
        QCOMPARE(model.currentPage(), 1);
        QCOMPARE(model.filteredProjects().size(), 15);
    }

    void modelGoneDuringLoad()
    {
        CannedServer server;
        server.body = projectsBody({QStringLiteral("A")});
        AuthStore::save(AuthState{kToken, std::nullopt});
        const BaseUrlEnv env(server.baseUrl());
        auto model = std::make_unique<MissingFilesViewModel>();
        model->loadProjects();
        model.reset();
        QTRY_COMPARE(server.requests.size(), 1);
        QTest::qWait(200);
    }

    void pendingFiles()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("clip.mp4"));
        const QString gone = dir.filePath(QStringLiteral("gone.mp4"));
        const QString folder = dir.filePath(QStringLiteral("folder"));
        QFile(file).open(QIODevice::WriteOnly);
        QFile(gone).open(QIODevice::WriteOnly);
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(QFile::remove(gone));

        const BaseUrlEnv env(std::nullopt);
        MissingFilesViewModel model;
        QSignalSpy changed(&model, &MissingFilesViewModel::pendingFilesChanged);
        model.setPendingFiles({folder, gone, file});
        QCOMPARE(model.pendingFiles(), (QStringList{folder, file}));
        QCOMPARE(changed.size(), 1);
        model.setPendingFiles({file, gone});
        QCOMPARE(model.pendingFiles(), QStringList{file});
        model.setPendingFiles({gone});
        QVERIFY(model.pendingFiles().isEmpty());
        model.setPendingFiles({file});
        model.setPendingFiles({});
        QVERIFY(model.pendingFiles().isEmpty());
        QCOMPARE(changed.size(), 5);
    }
};

VORLANTA_TEST_MAIN(TestMissingFilesViewModel)
#include "tst_MissingFilesViewModel.moc"
