#include "core/api/HttpTransport.h"
#include "support/NetworkUploadTestHelpers.h"
#include "support/TestEnvironment.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>

#include <sys/socket.h>

using namespace TestSupport;
using namespace Qt::StringLiterals;
using Code = NetworkError::Code;
using B = QByteArray;

namespace {

HttpRequest makeRequest(const QUrl &url, const B &method = "GET", const Headers &headers = {},
                        const B &body = {})
{
    HttpRequest request;
    request.method = method, request.url = url, request.headers = headers, request.body = body;
    return request;
}

// The code of the error sendBlocking threw and its description; or 0 and the answer's body.
std::pair<int, QString> errorOf(const HttpRequest &request)
{
    try {
        return {0, QString::fromLatin1(HttpTransport::sendBlocking(request).body)};
    } catch (const NetworkError &error) {
        return {error.codeValue(), error.description()};
    }
}

struct Exchange {
    B method = "GET", body{}, answer{};
    Headers headers{}, extraSeen{}; // extraSeen: what libcurl may add besides Host
    int status = 200;
    bool toFile = false; // the answer goes to a response file that held 5000 other bytes
};
struct Failure {
    Code code = Code::unknown; // Code(0): answered
    QString url{};             // empty: the peer
    B proxy{}, answer{};       // answer: written before the peer ends the connection or stalls
    bool reset = false;
    int trickleMs = 0, idleMs = 20000, totalMs = 0; // trickle: then a byte this often
    B header{}, method = "GET";
    std::optional<QString> responseFile{};
    bool waits = false; // for connectivity
};

// What an awaiting coroutine saw.
struct AsyncOutcome {
    std::optional<HttpResponse> response;
    std::optional<NetworkError> error;
    Qt::HANDLE resumedOn = nullptr;
};

QCoro::Task<> awaitSend(HttpRequest request, AsyncOutcome *outcome)
{
    try {
        outcome->response = co_await HttpTransport::send(std::move(request));
    } catch (const NetworkError &error) {
        outcome->error = error;
    }
    outcome->resumedOn = QThread::currentThreadId();
}

} // namespace

Q_DECLARE_METATYPE(Exchange)
Q_DECLARE_METATYPE(Failure)

class TestHttpTransport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Only loopback traffic: no proxy from the developer's environment may take part.
        for (const char *name : {"http_proxy", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            qunsetenv(name);
        }
    }

    void sendsRequestAsGiven_data()
    {
        QTest::addColumn<Exchange>("x");
        addRow("GET, empty value, 204",
               Exchange{.headers = {{"X-T", "t"}, {"X-E", ""}}, .status = 204});
        addRow("POST without body",
               Exchange{.method = "POST", .answer = "ok", .extraSeen = {{"content-length", "0"}}});
        // Above 1 MiB libcurl would wait for "100 Continue" unless told otherwise.
        const Headers octets{{"Content-Type", "application/octet-stream"}};
        const Headers length{{"content-length", B::number(2 << 20)}};
        addRow("PUT 2 MiB, 401 with 5 MiB not UTF-8",
               Exchange{"PUT", randomBytes(2 << 20), randomBytes(5 << 20) + "\xff\xfe", octets,
                        length, 401});
        addRow("404 into a file", Exchange{.answer = "gone", .status = 404, .toFile = true});
    }
    void sendsRequestAsGiven()
    {
        QFETCH(Exchange, x);
        LoopbackPeer peer(x.status, x.answer,
                          {{"X-ID", " AbC-1 "}, {"Set-Cookie", "a=1"}, {"SET-COOKIE", "b=2"}});
        HttpRequest request =
            makeRequest(peer.url("/items?x=1&y=a%20b"), x.method, x.headers, x.body);
        QTemporaryDir dir;
        if (x.toFile) {
            QFile stale(dir.filePath(u"download.bin"_s));
            QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(B(5000, 's')) == 5000);
            request.responseFile = stale.fileName();
        }
        const HttpResponse response = HttpTransport::sendBlocking(request);
        const QList<SeenRequest> seen = peer.requests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].line(), x.method + " /items?x=1&y=a%20b");
        QVERIFY(seen[0].body == x.body);
        Headers expected = x.extraSeen << qMakePair(B("host"), peer.url().authority().toLatin1());
        for (const auto &[name, value] : std::as_const(x.headers)) {
            expected.append({name.toLower(), value});
        }
        // Exactly these: no "Accept: */*", "Expect", form Content-Type or User-Agent of libcurl.
        QCOMPARE(seen[0].sortedHeaders(), SeenRequest::sorted(expected));

        QCOMPARE(response.statusCode, x.status);
        QVERIFY(response.body == (x.toFile ? B() : x.answer));
        QVERIFY(!x.toFile || readFile(*request.responseFile) == x.answer);
        // Names lower-cased, values trimmed, repeated ones all kept; header() gives the first.
        QCOMPARE(response.headers.mid(0, 3),
                 (Headers{{"x-id", "AbC-1"}, {"set-cookie", "a=1"}, {"set-cookie", "b=2"}}));
        QCOMPARE(response.header("set-cookie"), std::optional<B>("a=1"));
    }

    void followsRedirectsForGetAndHeadOnly_data()
    {
        // status 0: fails after the first request and ten redirects
        columns<B, int>("method", "status");
        addRow("GET", B("GET"), 200);
        addRow("HEAD", B("HEAD"), 200);
        addRow("POST", B("POST"), 302);
        addRow("endless", B("GET"), 0);
    }
    void followsRedirectsForGetAndHeadOnly()
    {
        const auto [method, status] = fetch<B, int>("method", "status");
        const B start = status ? "/start" : "/hop0";
        LoopbackPeer peer([](QTcpSocket *socket, const SeenRequest &request) {
            const bool first = request.target == "/start";
            const B next =
                first ? B("/final") : "/hop" + B::number(request.target.mid(4).toInt() + 1);
            const B body = first ? "moved" : "final";
            const int code = request.target == "/final" ? 200 : 302;
            const B head = responseHead(
                code, {{"Location", next}, {"X-Hop", request.target}, {"Connection", "close"}},
                body.size());
            socket->write(request.method == "HEAD" ? head : head + body);
            socket->disconnectFromHost();
        });
        const HttpRequest request = makeRequest(peer.url(start), method);
        if (status == 0) {
            const auto [code, description] = errorOf(request);
            QCOMPARE(code, int(Code::unknown));
            QVERIFY2(description.contains(u"GET http://127.0.0.1:"), qPrintable(description));
        } else {
            const HttpResponse response = HttpTransport::sendBlocking(request);
            QCOMPARE(response.statusCode, status);
            QCOMPARE(response.body, method == "HEAD" ? "" : status == 200 ? "final" : "moved");
            // The headers are those of the answer returned, not of the hops before it.
            QCOMPARE(response.header("x-hop"),
                     std::optional<B>(status == 200 ? "/final" : "/start"));
        }
        QCOMPARE(peer.requests().size(), status == 200 ? 2 : status ? 1 : 11);
        for (const SeenRequest &seen : peer.requests()) {
            QCOMPARE(seen.method, method);
        }
    }

    // Refused before connecting, or failed on the way; descriptions never hold the query.
    // "timeout" is idle time: a trickle outlives it; only the total time-out ends a trickle.
    void failures_data()
    {
        QTest::addColumn<Failure>("f");
        const B partial = responseHead(200, {}, 1000) + B(100, 'x');
        const Code lost = Code::networkConnectionLost;
        addRow("line break in header", Failure{.header = "1\r\nAuthorization: x"});
        addRow("space in method", Failure{.method = "GET /x HTTP/1.1\r\nX:"});
        addRow("unwritable response file", Failure{.responseFile = u"/nonexistent/f.bin"_s});
        addRow("no host", Failure{Code::badURL, u"http://"_s});
        addRow("local file", Failure{Code::unsupportedURL, u"file:///etc"_s});
        addRow("closed mid-body", Failure{lost, {}, {}, partial});
        addRow("reset mid-body", Failure{lost, {}, {}, partial, true});
        addRow("closed without answer", Failure{lost});
        const QString closed = u"http://127.0.0.1:%1"_s.arg(closedPort());
        addRow("closed port", Failure{Code::cannotConnectToHost, closed});
        // Waiting for connectivity: a refused connection is tried until the total time-out, an
        // unknown host is no outage.
        addRow("closed port, waiting",
               Failure{.code = Code::timedOut, .url = closed, .totalMs = 700, .waits = true});
        addRow("unresolvable host, waiting", Failure{.code = Code::cannotFindHost,
                                                     .url = u"http://nonexistent.invalid"_s,
                                                     .totalMs = 5000,
                                                     .waits = true});
        const Code late = Code::timedOut;
        addRow("silent server", Failure{.code = late, .idleMs = 300});
        addRow("stalls mid-body", Failure{late, {}, {}, partial, false, 0, 300});
        addRow("trickle longer than idle",
               Failure{Code(0), {}, {}, responseHead(200, {}, 12), false, 150, 600});
        addRow("trickle ended by total",
               Failure{late, {}, {}, responseHead(200, {}, 1000), false, 100, 2000, 700});
        addRow("unresolvable proxy",
               Failure{Code::cannotFindHost, u"http://127.0.0.2:9"_s, "http://proxy.invalid:3128"});
    }
    void failures()
    {
        QFETCH(Failure, f);
        const bool stall = f.code == Code::timedOut || f.trickleMs > 0;
        LoopbackPeer peer([&](QTcpSocket *socket, const SeenRequest &) {
            socket->write(f.answer);
            if (f.trickleMs > 0) {
                auto *timer = new QTimer(socket);
                QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
                timer->start(f.trickleMs);
            }
            if (stall) {
                return;
            }
            socket->flush();
            // Lingering for zero seconds makes close() send a reset instead of a FIN.
            const linger abortive{f.reset, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                         sizeof abortive);
            socket->abort();
        });
        if (!f.proxy.isEmpty()) {
            qputenv("http_proxy", f.proxy);
        }
        const auto restore = qScopeGuard([] { qunsetenv("http_proxy"); });
        const QString base = f.url.isEmpty() ? peer.url("").toString() : f.url;
        HttpRequest request =
            makeRequest(QUrl(base + u"/drop?k=secret"), f.method, {{"X-A", f.header}});
        request.responseFile = f.responseFile;
        request.waitsForConnectivity = f.waits;
        request.timeout = std::chrono::milliseconds(f.idleMs);
        if (f.totalMs > 0) {
            request.totalTimeout = std::chrono::milliseconds(f.totalMs);
        }
        QElapsedTimer clock;
        clock.start();
        const auto [code, description] = errorOf(request);
        QCOMPARE(code, int(f.code));
        QVERIFY2(!description.contains(u"secret"), qPrintable(description));
        QVERIFY(f.code != Code(0) || description == QString(12, u'x'));
        QVERIFY(f.code != Code::timedOut || description.contains(u"timed out"));
        // A stall lasts until its time-out; a trickle really outlives the idle one.
        QVERIFY(!stall || clock.elapsed() >= (f.totalMs ? f.totalMs : f.idleMs) - 50);
        QTest::qWait(20);
        QCOMPARE(peer.requests().size(),
                 f.url.isEmpty() && (stall || f.code == Code::networkConnectionLost));
    }

    // Concurrent sends do not block the caller; each resumes on the awaiting thread with its
    // answer or its error.
    void sendsResumeOnTheAwaitingThread()
    {
        LoopbackPeer peer([](QTcpSocket *socket, const SeenRequest &request) {
            QTimer::singleShot(300, socket,
                               [=] { respond(socket, 201, request.target + request.body); });
        });
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticker.start(20);
        std::vector<AsyncOutcome> outcomes(21);
        std::vector<QCoro::Task<>> tasks;
        for (int i = 0; i < 20; ++i) {
            tasks.push_back(awaitSend(
                makeRequest(peer.url("/n/" + B::number(i)), "POST", {}, "+payload"), &outcomes[i]));
        }
        const QUrl refused(QStringLiteral("http://127.0.0.1:%1/").arg(closedPort()));
        tasks.push_back(awaitSend(makeRequest(refused), &outcomes[20]));
        QVERIFY(!outcomes[0].resumedOn); // send() did not block the caller
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(outcomes.begin(), outcomes.end(),
                                             [](const AsyncOutcome &o) { return o.resumedOn; }),
                                 60'000);
        for (int i = 0; i <= 20; ++i) {
            QCOMPARE(outcomes[i].resumedOn, QThread::currentThreadId());
            QCOMPARE(outcomes[i].response.has_value(), i < 20);
        }
        QCOMPARE(outcomes[7].response->body, "/n/7+payload");
        QCOMPARE(outcomes[20].error->code(), Code::cannotConnectToHost);
        QVERIFY2(ticks >= 3, qPrintable(QString::number(ticks)));
    }
};

VORLANTA_TEST_MAIN(TestHttpTransport)
#include "tst_HttpTransport.moc"
