#include "core/api/VorlantaApiClient.h"
#include "support/Await.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QCoro/QCoroTask>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

namespace {

// A loopback HTTP peer that records each request and answers with a scripted response, for what
// the sandbox cannot show: the exact bytes on the wire and malformed answers.
class ScriptedPeer : public QObject {
public:
    explicit ScriptedPeer(QByteArray response) : m_response(std::move(response))
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString baseUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort());
    }
    const QList<QByteArray> &requests() const { return m_requests; }
    QByteArray header(int request, const QByteArray &name) const
    {
        for (const QByteArray &line : m_requests.value(request).split('\n')) {
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower()) {
                return line.mid(colon + 1).trimmed();
            }
        }
        return {};
    }
    QByteArray body(int request) const
    {
        const QByteArray &raw = m_requests.value(request);
        return raw.mid(raw.indexOf("\r\n\r\n") + 4);
    }

private:
    void read(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            return;
        }
        qsizetype length = 0;
        for (const QByteArray &line : buffer.left(end).split('\n')) {
            if (line.toLower().startsWith("content-length:")) {
                length = line.mid(15).trimmed().toLongLong();
            }
        }
        if (buffer.size() < end + 4 + length) {
            return;
        }
        m_requests.append(buffer.left(end + 4 + length));
        m_buffers.remove(socket);
        socket->write(m_response);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QByteArray m_response;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QByteArray> m_requests;
};

QByteArray answer(int status, const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(status) +
           " X\r\nContent-Type: application/json\r\n"
           "Content-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

AuthState token(const QString &value)
{
    return AuthState{value, std::nullopt};
}

// Runs the task to its end and gives back what it threw.
template <typename T> std::exception_ptr failureOf(QCoro::Task<T> task)
{
    try {
        TestSupport::await(std::move(task));
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

template <typename E> std::optional<E> as(std::exception_ptr failure)
{
    try {
        if (failure) {
            std::rethrow_exception(failure);
        }
    } catch (const E &error) {
        return error;
    } catch (...) {
    }
    return std::nullopt;
}

} // namespace

class TestVorlantaApiClient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void refusesABaseUrlThatDoesNotParse_data()
    {
        QTest::addColumn<QString>("base");
        QTest::newRow("empty") << QString();
        QTest::newRow("words") << QStringLiteral("not a url");
        QTest::newRow("no host") << QStringLiteral("http://");
        QTest::newRow("relative") << QStringLiteral("api/v1/");
    }
    void refusesABaseUrlThatDoesNotParse()
    {
        QFETCH(QString, base);
        try {
            VorlantaApiClient client(base, token(QStringLiteral("t")));
            QFAIL("accepted");
        } catch (const std::invalid_argument &error) {
            QCOMPARE(QString::fromUtf8(error.what()), QStringLiteral("Invalid base URL"));
        }
    }

    void resolvesPathsByReferenceResolution_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("default form")
            << QStringLiteral("https://api.example.org/")
            << QStringLiteral("api/v1/creator/channels/")
            << QStringLiteral("https://api.example.org/api/v1/creator/channels/");
        QTest::newRow("base path kept with slash")
            << QStringLiteral("https://h.example/staging/")
            << QStringLiteral("api/v1/creator/projects/")
            << QStringLiteral("https://h.example/staging/api/v1/creator/projects/");
        QTest::newRow("last segment lost without slash")
            << QStringLiteral("https://h.example/staging")
            << QStringLiteral("api/v1/creator/projects/")
            << QStringLiteral("https://h.example/api/v1/creator/projects/");
        QTest::newRow("leading slash goes to the root")
            << QStringLiteral("https://h.example/staging/")
            << QStringLiteral("/api/v1/creator/channels/")
            << QStringLiteral("https://h.example/api/v1/creator/channels/");
        QTest::newRow("ids in paths")
            << QStringLiteral("http://127.0.0.1:9/")
            << QStringLiteral("api/v1/creator/projects/42/files/upload")
            << QStringLiteral("http://127.0.0.1:9/api/v1/creator/projects/42/files/upload");
    }
    void resolvesPathsByReferenceResolution()
    {
        QFETCH(QString, base);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(VorlantaApiClient(base, token(QStringLiteral("t"))).resolve(path).toString(),
                 expected);
    }

    void sendsExactlyTheDefaultHeaders_data()
    {
        QTest::addColumn<QString>("accessToken");
        QTest::newRow("token") << QStringLiteral("abc.def");
        QTest::newRow("empty token") << QString();
    }
    void sendsExactlyTheDefaultHeaders()
    {
        QFETCH(QString, accessToken);
        ScriptedPeer peer(answer(200, "{\"id\": 5}"));
        auto client = VorlantaApiClient::make(peer.baseUrl(), token(accessToken));
        QuickProjectDraft draft;
        draft.title = QStringLiteral("T");
        QCOMPARE(TestSupport::await(client->createProject(draft)), qint64(5));
        QCOMPARE(TestSupport::await(client->getRaw(QStringLiteral("api/v1/creator/channels/"))),
                 QByteArray("{\"id\": 5}"));
        QCOMPARE(peer.requests().size(), 2);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(peer.header(i, "Accept"), QByteArray("application/json"));
            QCOMPARE(peer.header(i, "User-Agent"), QByteArray("VorlantaCreator/1.0"));
            const bool hasAuthorization =
                peer.requests().at(i).toLower().contains("\nauthorization:");
            QCOMPARE(hasAuthorization, !accessToken.isEmpty());
            if (hasAuthorization) {
                QCOMPARE(peer.header(i, "Authorization"), "Bearer " + accessToken.toUtf8());
            }
        }
        QVERIFY(peer.requests().at(0).startsWith("POST /api/v1/creator/projects/ HTTP/1.1\r\n"));
        QCOMPARE(peer.header(0, "Content-Type"), QByteArray("application/json"));
        QVERIFY(peer.requests().at(1).startsWith("GET /api/v1/creator/channels/ HTTP/1.1\r\n"));
    }

    void projectRequestBody_data()
    {
        QTest::addColumn<bool>("thumbnail");
        QTest::addColumn<bool>("longForm");
        QTest::addColumn<bool>("isShort");
        QTest::addColumn<QByteArray>("services");
        QTest::newRow("none chosen")
            << false << false << false << QByteArray("[{\"name\":\"thumbnail\",\"quantity\":1}]");
        QTest::newRow("short only")
            << false << false << true << QByteArray("[{\"name\":\"reformatting\",\"quantity\":1}]");
        QTest::newRow("long form only")
            << false << true << false
            << QByteArray("[{\"name\":\"video_editing\",\"quantity\":1}]");
        QTest::newRow("all three")
            << true << true << true
            << QByteArray("[{\"name\":\"thumbnail\",\"quantity\":1},{\"name\":\"video_editing\","
                          "\"quantity\":1},{\"name\":\"reformatting\",\"quantity\":1}]");
    }
    void projectRequestBody()
    {
        QFETCH(bool, thumbnail);
        QFETCH(bool, longForm);
        QFETCH(bool, isShort);
        QFETCH(QByteArray, services);
        ScriptedPeer peer(answer(200, "{\"id\": 77, \"extra\": true}"));
        QuickProjectDraft draft;
        draft.title = QStringLiteral("Trip \"2\"");
        draft.channelId = 3;
        draft.includeThumbnail = thumbnail;
        draft.includeLongForm = longForm;
        draft.includeShort = isShort;
        auto client = VorlantaApiClient::make(peer.baseUrl(), token(QStringLiteral("t")));
        QCOMPARE(TestSupport::await(client->createProject(draft)), qint64(77));
        // Compact, in field order; absent notes and due date are sent as empty text.
        QCOMPARE(peer.body(0), "{\"title\":\"Trip \\\"2\\\"\",\"due_date\":\"\",\"channel_id\":3,"
                               "\"notes_for_editor\":\"\",\"selected_services\":" +
                                   services + "}");
    }

    void statusRulesAgainstTheSandbox()
    {
        TestSupport::SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        const QString base = sandbox.baseUrl().toString();
        auto good = VorlantaApiClient::make(base, token(sandbox.token()));
        auto rejected = VorlantaApiClient::make(base, token(QStringLiteral("wrong")));
        auto anonymous = VorlantaApiClient::make(base, token(QString()));

        QVERIFY(TestSupport::await(good->validateToken()));
        QVERIFY(!TestSupport::await(rejected->validateToken()));
        QCOMPARE(TestSupport::await(rejected->checkToken()).outcome,
                 VorlantaApiClient::TokenCheck::rejected);
        QVERIFY(!TestSupport::await(anonymous->validateToken()));

        // 401 is tokenExpired, with no body.
        const auto expired =
            as<APIError>(failureOf(rejected->getRaw(QStringLiteral("api/v1/creator/projects/"))));
        QVERIFY(expired);
        QCOMPARE(expired->kind(), APIError::Kind::tokenExpired);
        QVERIFY(!expired->body());

        // A project made through the client is listed by the service.
        QuickProjectDraft draft;
        draft.title = QStringLiteral("Made by the client test");
        draft.dueDate = QStringLiteral("24/12/2026");
        draft.channelId = 1;
        const qint64 id = TestSupport::await(good->createProject(draft));
        QVERIFY(id > 0);
        const QByteArray list =
            TestSupport::await(good->getRaw(QStringLiteral("api/v1/creator/projects/")));
        QVERIFY(list.contains("Made by the client test"));

        // The channel list decodes, with avatars missing or null.
        const QList<Channel> channels = Channel::listFromJson(JsonRead::parse(
            TestSupport::await(good->getRaw(QStringLiteral("api/v1/creator/channels/")))));
        QVERIFY(!channels.isEmpty());
        QVERIFY(std::any_of(channels.cbegin(), channels.cend(),
                            [](const Channel &c) { return !c.avatar_url; }));

        // Upload of a small file in its parts, then completion with the quotes stripped.
        const QByteArray data(6 * 1024 * 1024 + 123, 'v');
        const InitUploadResponse upload =
            TestSupport::await(good->initFileUpload(id, QStringLiteral("clip.mov"), data.size()));
        QVERIFY(!upload.urls.isEmpty());
        const qsizetype partSize = (data.size() + upload.urls.size() - 1) / upload.urls.size();
        QStringList etags;
        for (int part = 0; part < upload.urls.size(); ++part) {
            HttpRequest put;
            put.method = "PUT";
            put.url = QUrl(upload.urls.at(part));
            put.body = data.mid(part * partSize, partSize);
            put.headers = {{"Content-Type", "application/octet-stream"}};
            const HttpResponse response = HttpTransport::sendBlocking(put);
            QCOMPARE(response.statusCode, 200);
            QByteArray etag = response.header("etag").value_or(QByteArray());
            QVERIFY(etag.startsWith('"') && etag.endsWith('"'));
            etags << QString::fromLatin1(etag.mid(1, etag.size() - 2));
        }
        QStringList wrong = etags;
        wrong.first() = QStringLiteral("0123");
        const auto refused =
            as<APIError>(failureOf(good->completeFileUpload(upload.file_id, wrong)));
        QVERIFY(refused);
        QCOMPARE(refused->statusCode(), 400);
        QVERIFY(!failureOf(good->completeFileUpload(upload.file_id, etags)));
    }

    void nonSuccessStatuses_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("status");
        QTest::newRow("201 on creation") << QStringLiteral("status-201=1") << 201;
        QTest::newRow("500 everywhere") << QStringLiteral("api-500=1") << 500;
    }
    void nonSuccessStatuses()
    {
        QFETCH(QString, fault);
        QFETCH(int, status);
        TestSupport::SandboxProcess sandbox({QStringLiteral("--fault"), fault});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        auto client = VorlantaApiClient::make(sandbox.baseUrl().toString(), token(sandbox.token()));
        QuickProjectDraft draft;
        draft.title = QStringLiteral("x");
        const auto error = as<APIError>(failureOf(client->createProject(draft)));
        QVERIFY(error);
        QCOMPARE(error->kind(), APIError::Kind::invalidResponse);
        QCOMPARE(error->statusCode(), status);
        QVERIFY(error->body() && !error->body()->isEmpty());
        if (status == 500) {
            QVERIFY(!TestSupport::await(client->validateToken()));
            QCOMPARE(TestSupport::await(client->checkToken()).outcome,
                     VorlantaApiClient::TokenCheck::unreachable);
        }
    }

    void bodyThatIsNotUtf8BecomesEmptyText()
    {
        ScriptedPeer peer(answer(502, QByteArray("bad \xff\xfe bytes")));
        auto client = VorlantaApiClient::make(peer.baseUrl(), token(QStringLiteral("t")));
        const auto error = as<APIError>(failureOf(client->getRaw(QStringLiteral("x"))));
        QVERIFY(error);
        QCOMPARE(error->statusCode(), 502);
        QCOMPARE(error->body(), std::optional<QString>(QString()));
    }

    void malformedSuccessAnswersFailToDecode_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("missing id") << QByteArray("{\"idx\": 1}");
        QTest::newRow("id as text") << QByteArray("{\"id\": \"1\"}");
        QTest::newRow("not JSON") << QByteArray("<html>");
    }
    void malformedSuccessAnswersFailToDecode()
    {
        QFETCH(QByteArray, body);
        ScriptedPeer peer(answer(200, body));
        auto client = VorlantaApiClient::make(peer.baseUrl(), token(QStringLiteral("t")));
        QuickProjectDraft draft;
        QVERIFY(as<JsonDecodingError>(failureOf(client->createProject(draft))));
    }

    void channelDecoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("avatar missing and null")
            << QByteArray(
                   "[{\"id\":1,\"name\":\"A\"},{\"id\":2,\"name\":\"B\",\"avatar_url\":null}]")
            << true;
        QTest::newRow("one without name fails the list")
            << QByteArray("[{\"id\":1,\"name\":\"A\"},{\"id\":2}]") << false;
        QTest::newRow("id as text") << QByteArray("[{\"id\":\"1\",\"name\":\"A\"}]") << false;
        QTest::newRow("not a list") << QByteArray("{\"data\":[]}") << false;
    }
    void channelDecoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        try {
            const QList<Channel> channels = Channel::listFromJson(JsonRead::parse(json));
            QVERIFY(decodes);
            QCOMPARE(channels.size(), 2);
            QVERIFY(!channels.at(0).avatar_url && !channels.at(1).avatar_url);
        } catch (const JsonDecodingError &) {
            QVERIFY(!decodes);
        }
    }

    void transportFailuresPassThroughAndValidationFolds()
    {
        // A port nothing listens on.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        auto client = VorlantaApiClient::make(QStringLiteral("http://127.0.0.1:%1/").arg(port),
                                              token(QStringLiteral("t")));
        const auto network =
            as<NetworkError>(failureOf(client->getRaw(QStringLiteral("api/v1/creator/channels/"))));
        QVERIFY(network);
        QCOMPARE(network->code(), NetworkError::Code::cannotConnectToHost);
        QVERIFY(!TestSupport::await(client->validateToken()));
        QCOMPARE(TestSupport::await(client->checkToken()).outcome,
                 VorlantaApiClient::TokenCheck::unreachable);
    }
};

VORLANTA_TEST_MAIN(TestVorlantaApiClient)
#include "tst_VorlantaApiClient.moc"
