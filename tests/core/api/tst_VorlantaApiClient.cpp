#include "core/api/VorlantaApiClient.h"
#include "support/NetworkUploadTestHelpers.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

using namespace TestSupport;
using namespace Qt::StringLiterals;
using B = QByteArray;
using TokenCheck = VorlantaApiClient::TokenCheck;

namespace {

AuthState token(const QString &value)
{
    return AuthState{value, std::nullopt};
}
QuickProjectDraft draft(const QString &title, int channel, int chosen = 0)
{
    return {title, {}, {}, channel, bool(chosen & 1), bool(chosen & 2), bool(chosen & 4), {}};
}

} // namespace

struct Rule {
    QString server = u"sandbox"_s, fault{}; // server: "sandbox", "peer" (502, not UTF-8), "closed"
    bool goodToken = true;
    int status = 0; // of the project creation; 0: no answer at all
    QString body{}; // how the failure's body starts
    TokenCheck check = TokenCheck::unreachable;
};

Q_DECLARE_METATYPE(Rule)

class TestVorlantaApiClient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void refusesABaseUrlThatDoesNotParse_data()
    {
        QTest::addColumn<QString>("base");
        for (const char *base : {"", "not a url", "http://", "api/v1/"}) {
            addRow(base, QString::fromLatin1(base));
        }
    }
    void refusesABaseUrlThatDoesNotParse()
    {
        QFETCH(QString, base);
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, VorlantaApiClient(base, token(u"t"_s)));
    }

    // The exact request: default headers (no Authorization for an empty token) and the compact
    // project body, services in their fixed order and never none. Paths resolve as references:
    // a base path is kept only with its trailing slash, and never for an absolute path.
    void requestsOnTheWire_data()
    {
        // chosen: 1 thumbnail, 2 long form, 4 short; kept: the base path the POST went to
        columns<QString, int, B, B, B>("accessToken", "chosen", "services", "base", "kept");
        const B thumb = R"({"name":"thumbnail","quantity":1})";
        addRow("none chosen, no token", QString(), 0, B("[" + thumb + "]"), B("/stage"), B());
        const B rest =
            R"(,{"name":"video_editing","quantity":1},{"name":"reformatting","quantity":1}])";
        addRow("all three", u"abc.def"_s, 7, B("[" + thumb + rest), B("/stage/"), B("/stage"));
    }
    void requestsOnTheWire()
    {
        const auto [accessToken, chosen, services, base, kept] =
            fetch<QString, int, B, B, B>("accessToken", "chosen", "services", "base", "kept");
        LoopbackPeer peer(200, R"({"id": 77, "extra": true})");
        auto client = VorlantaApiClient::make(peer.url(base).toString(), token(accessToken));
        QCOMPARE(await(client->createProject(draft(u"Trip \"2\""_s, 3, chosen))), qint64(77));
        QCOMPARE(await(client->getRaw(u"/api/v1/creator/channels/"_s)),
                 QByteArray(R"({"id": 77, "extra": true})"));
        const QList<SeenRequest> seen = peer.requests();
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen[0].line(), "POST " + kept + "/api/v1/creator/projects/");
        QCOMPARE(seen[1].line(), "GET /api/v1/creator/channels/");
        for (const SeenRequest &request : seen) {
            Headers expected{{"accept", "application/json"},
                             {"host", peer.url().authority().toLatin1()},
                             {"user-agent", "VorlantaCreator/1.0"}};
            if (!accessToken.isEmpty()) {
                expected += Headers{{"authorization", "Bearer " + accessToken.toUtf8()}};
            }
            if (request.method == "POST") {
                expected += Headers{{"content-length", B::number(request.body.size())},
                                    {"content-type", "application/json"}};
            }
            QCOMPARE(request.sortedHeaders(), SeenRequest::sorted(expected));
        }
        // Absent notes and due date are sent as empty text.
        QCOMPARE(seen[0].body, "{\"title\":\"Trip \\\"2\\\"\",\"due_date\":\"\",\"channel_id\":3,"
                               "\"notes_for_editor\":\"\",\"selected_services\":" +
                                   services + "}");
    }

    // 200 only is success; 401 is tokenExpired without body; others are invalidResponse with
    // the body as text (empty when not UTF-8); transport errors pass through unchanged.
    void statusRules_data()
    {
        QTest::addColumn<Rule>("r");
        addRow("accepted", Rule{.status = 200, .check = TokenCheck::accepted});
        addRow("401", Rule{.goodToken = false, .status = 401, .check = TokenCheck::rejected});
        addRow("201 created",
               Rule{u"sandbox"_s, u"status-201=1"_s, true, 201, u"{"_s, TokenCheck::accepted});
        addRow("500", Rule{.fault = u"api-500=1"_s, .status = 500, .body = u"{"_s});
        addRow("502 not UTF-8", Rule{.server = u"peer"_s, .status = 502});
        addRow("nothing listens", Rule{.server = u"closed"_s, .status = 0});
    }
    void statusRules()
    {
        QFETCH(Rule, r);
        SandboxProcess sandbox(r.fault.isEmpty() ? QStringList()
                                                 : QStringList{u"--fault"_s, r.fault});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        LoopbackPeer peer(502, QByteArray("bad \xff\xfe bytes"));
        const QString base = r.server == u"peer"     ? peer.url().toString()
                             : r.server == u"closed" ? u"http://127.0.0.1:%1/"_s.arg(closedPort())
                                                     : sandbox.baseUrl().toString();
        auto client =
            VorlantaApiClient::make(base, token(r.goodToken ? sandbox.token() : u"wrong"_s));
        QCOMPARE(await(client->checkToken()).outcome, r.check);
        QCOMPARE(await(client->validateToken()), r.check == TokenCheck::accepted);

        const QuickProjectDraft draft = ::draft(u"Made by the client test"_s, 1);
        if (r.status == 200) {
            // Created through the client, listed by the service.
            QVERIFY(await(client->createProject(draft)) > 0);
            QVERIFY(await(client->getRaw(u"api/v1/creator/projects/"_s))
                        .contains("Made by the client test"));
        } else if (r.status == 0) {
            QCOMPARE(failureOf<NetworkError>(client->createProject(draft)).value().code(),
                     NetworkError::Code::cannotConnectToHost);
        } else {
            const auto error = failureOf<APIError>(client->createProject(draft));
            QVERIFY(error);
            QCOMPARE(error->kind(), r.status == 401 ? APIError::Kind::tokenExpired
                                                    : APIError::Kind::invalidResponse);
            QCOMPARE(error->statusCode(), r.status);
            QCOMPARE(error->body().has_value(), r.status != 401);
            const QString text = error->body().value_or(QString());
            QVERIFY2(text.startsWith(r.body) && text.isEmpty() == r.body.isEmpty(),
                     qPrintable(text));
        }
    }

    void malformedSuccessAnswersFailToDecode_data()
    {
        QTest::addColumn<QByteArray>("body");
        for (const char *body : {R"({"idx": 1})", R"({"id": "1"})", "<html>", R"({"id": 1e400})"}) {
            addRow(body, QByteArray(body));
        }
    }
    void malformedSuccessAnswersFailToDecode()
    {
        QFETCH(QByteArray, body);
        LoopbackPeer peer(200, body);
        auto client = VorlantaApiClient::make(peer.url().toString(), token(u"t"_s));
        QVERIFY(failureOf<JsonDecodingError>(client->createProject(QuickProjectDraft{})));
    }
};

VORLANTA_TEST_MAIN(TestVorlantaApiClient)
#include "tst_VorlantaApiClient.moc"
