#include "core/api/HttpTransport.h"
#include "support/TestEnvironment.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QMutex>
#include <QtCore/QRandomGenerator>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

#include <algorithm>
#include <sys/socket.h>

using Headers = QList<QPair<QByteArray, QByteArray>>;
using Code = NetworkError::Code;

namespace {

// One request as the loopback peer read it off the socket.
struct SeenRequest {
    QByteArray method;
    QByteArray target;
    Headers headers; // names lower-cased, in the order sent
    QByteArray body;
};

// A raw HTTP/1.1 peer on 127.0.0.1, on a thread of its own so that blocking calls on the test
// thread can talk to it. The handler runs on that thread for every complete request.
class LoopbackPeer {
public:
    using Handler = std::function<void(QTcpSocket *socket, const SeenRequest &request)>;

    explicit LoopbackPeer(Handler handler) : m_handler(std::move(handler))
    {
        m_thread.start();
        m_anchor->moveToThread(&m_thread);
        onPeerThread([this] {
            m_server = new QTcpServer;
            if (!m_server->listen(QHostAddress::LocalHost, 0)) {
                qFatal("loopback peer cannot listen: %s", qPrintable(m_server->errorString()));
            }
            m_port = m_server->serverPort();
            QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] {
                while (QTcpSocket *socket = m_server->nextPendingConnection()) {
                    accept(socket);
                }
            });
        });
    }

    ~LoopbackPeer()
    {
        onPeerThread([this] { delete m_server; });
        m_thread.quit();
        m_thread.wait();
        delete m_anchor;
    }

    QUrl url(const QByteArray &pathAndQuery = "/") const
    {
        return QUrl::fromEncoded("http://127.0.0.1:" + QByteArray::number(m_port) + pathAndQuery,
                                 QUrl::StrictMode);
    }

    QList<SeenRequest> requests() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_requests;
    }

    int connections() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_connections;
    }

private:
    void onPeerThread(std::function<void()> work)
    {
        QMetaObject::invokeMethod(m_anchor, std::move(work), Qt::BlockingQueuedConnection);
    }

    void accept(QTcpSocket *socket)
    {
        {
            const QMutexLocker lock(&m_mutex);
            ++m_connections;
        }
        auto pending = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, pending] {
            pending->append(socket->readAll());
            for (;;) {
                const qsizetype headEnd = pending->indexOf("\r\n\r\n");
                if (headEnd < 0) {
                    return;
                }
                SeenRequest request = parseHead(pending->left(headEnd));
                qsizetype length = 0;
                for (const auto &[name, value] : std::as_const(request.headers)) {
                    if (name == "content-length") {
                        length = value.toLongLong();
                    }
                }
                if (pending->size() < headEnd + 4 + length) {
                    return;
                }
                request.body = pending->mid(headEnd + 4, length);
                pending->remove(0, headEnd + 4 + length);
                {
                    const QMutexLocker lock(&m_mutex);
                    m_requests.append(request);
                }
                m_handler(socket, request);
                if (socket->state() != QAbstractSocket::ConnectedState) {
                    return;
                }
            }
        });
    }

    static SeenRequest parseHead(const QByteArray &head)
    {
        SeenRequest request;
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).chopped(lines.at(i).endsWith('\r') ? 1 : 0);
            const qsizetype colon = line.indexOf(':');
            request.headers.append({line.left(colon).toLower(), line.mid(colon + 1).trimmed()});
        }
        return request;
    }

    Handler m_handler;
    QThread m_thread;
    QObject *m_anchor = new QObject;
    QTcpServer *m_server = nullptr; // lives on m_thread
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QList<SeenRequest> m_requests;
    int m_connections = 0;
};

QByteArray responseHead(int status, const Headers &headers, qsizetype contentLength)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    for (const auto &[name, value] : headers) {
        head += name + ": " + value + "\r\n";
    }
    if (contentLength >= 0) {
        head += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    }
    return head + "\r\n";
}

// Answers and closes the connection.
void respond(QTcpSocket *socket, int status, const QByteArray &body, Headers headers = {})
{
    headers += Headers{{"Connection", "close"}};
    socket->write(responseHead(status, headers, body.size()) + body);
    socket->disconnectFromHost();
}

// Answers and keeps the connection open for the next request.
void respondKeepAlive(QTcpSocket *socket, const QByteArray &body)
{
    socket->write(responseHead(200, {}, body.size()) + body);
}

HttpRequest makeRequest(const QUrl &url, const QByteArray &method = "GET")
{
    HttpRequest request;
    request.method = method;
    request.url = url;
    request.timeout = std::chrono::seconds(20);
    return request;
}

// Runs sendBlocking and returns the code of the error it threw; 0 when it answered instead.
int errorOf(const HttpRequest &request, QString *description = nullptr)
{
    try {
        const HttpResponse response = HttpTransport::sendBlocking(request);
        qWarning() << "unexpected answer" << response.statusCode;
        return 0;
    } catch (const NetworkError &error) {
        if (description) {
            *description = error.description();
        }
        return error.codeValue();
    }
}

Headers sorted(Headers headers)
{
    std::sort(headers.begin(), headers.end());
    return headers;
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char &byte : bytes) {
        byte = char(generator.bounded(256));
    }
    return bytes;
}

// What an awaiting coroutine saw.
struct AsyncOutcome {
    std::optional<HttpResponse> response;
    std::optional<NetworkError> error;
    Qt::HANDLE resumedOn = nullptr;
    bool finished = false;
};

QCoro::Task<> awaitSend(HttpRequest request, AsyncOutcome *outcome)
{
    try {
        outcome->response = co_await HttpTransport::send(std::move(request));
    } catch (const NetworkError &error) {
        outcome->error = error;
    }
    outcome->resumedOn = QThread::currentThreadId();
    outcome->finished = true;
}

} // namespace

Q_DECLARE_METATYPE(Headers)
Q_DECLARE_METATYPE(NetworkError::Code)

class TestHttpTransport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Only loopback traffic: no proxy from the developer's environment may take part.
        for (const char *name : {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY",
                                 "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            qunsetenv(name);
        }
    }

    void sendsRequestAsGiven_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<Headers>("headers");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Headers>("extraSeen"); // what libcurl may add besides Host

        QTest::newRow("GET, no headers") << QByteArray("GET") << QByteArray("/items?x=1&y=a%20b")
                                         << Headers{} << QByteArray() << Headers{};
        QTest::newRow("GET with Accept and Authorization")
            << QByteArray("GET") << QByteArray("/me")
            << Headers{{"Accept", "application/json"}, {"Authorization", "Bearer t0k3n"}}
            << QByteArray() << Headers{};
        QTest::newRow("POST JSON")
            << QByteArray("POST") << QByteArray("/projects")
            << Headers{{"Content-Type", "application/json"}} << QByteArray(R"({"name":"Ünï"})")
            << Headers{{"content-length", "16"}};
        QTest::newRow("POST without body") << QByteArray("POST") << QByteArray("/ping") << Headers{}
                                           << QByteArray() << Headers{{"content-length", "0"}};
        QTest::newRow("PATCH") << QByteArray("PATCH") << QByteArray("/projects/7")
                               << Headers{{"Content-Type", "application/json"}}
                               << QByteArray(R"({"a":1})") << Headers{{"content-length", "7"}};
        // Above 1 MiB libcurl would wait for "100 Continue" unless told otherwise.
        QTest::newRow("PUT 2 MiB binary")
            << QByteArray("PUT") << QByteArray("/uploads/1")
            << Headers{{"Content-Type", "application/octet-stream"}} << randomBytes(2 << 20)
            << Headers{{"content-length", QByteArray::number(2 << 20)}};
        QTest::newRow("DELETE") << QByteArray("DELETE") << QByteArray("/projects/7") << Headers{}
                                << QByteArray() << Headers{};
        QTest::newRow("empty header value")
            << QByteArray("GET") << QByteArray("/") << Headers{{"X-Empty", ""}, {"X-Two", "2"}}
            << QByteArray() << Headers{};
    }

    void sendsRequestAsGiven()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, target);
        QFETCH(Headers, headers);
        QFETCH(QByteArray, body);
        QFETCH(Headers, extraSeen);
        LoopbackPeer peer(
            [](QTcpSocket *socket, const SeenRequest &) { respond(socket, 200, "ok"); });

        HttpRequest request = makeRequest(peer.url(target), method);
        request.headers = headers;
        request.body = body;
        const HttpResponse response = HttpTransport::sendBlocking(request);

        QCOMPARE(response.statusCode, 200);
        const QList<SeenRequest> seen = peer.requests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].method, method);
        QCOMPARE(seen[0].target, target);
        QCOMPARE(seen[0].body, body);
        Headers expected = extraSeen;
        expected.append({"host", "127.0.0.1:" + QByteArray::number(peer.url().port())});
        for (const auto &[name, value] : headers) {
            expected.append({name.toLower(), value});
        }
        // Exactly these: no "Accept: */*", "Expect", form Content-Type or User-Agent of libcurl.
        QCOMPARE(sorted(seen[0].headers), sorted(expected));
    }

    void rejectsMalformedHeaderLines_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<Headers>("headers");
        QTest::newRow("line break in value")
            << QByteArray("GET") << Headers{{"X-A", "1\r\nAuthorization: Bearer x"}};
        QTest::newRow("colon in name") << QByteArray("GET") << Headers{{"X-A: b", "c"}};
        QTest::newRow("empty name") << QByteArray("GET") << Headers{{"", "c"}};
        QTest::newRow("space in method") << QByteArray("GET /other HTTP/1.1\r\nX:") << Headers{};
    }

    void rejectsMalformedHeaderLines()
    {
        QFETCH(QByteArray, method);
        QFETCH(Headers, headers);
        LoopbackPeer peer(
            [](QTcpSocket *socket, const SeenRequest &) { respond(socket, 200, "ok"); });
        HttpRequest request = makeRequest(peer.url("/"), method);
        request.headers = headers;

        QCOMPARE(errorOf(request), int(Code::unknown));
        QCOMPARE(peer.connections(), 0);
    }

    void returnsStatusAndBody_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("200") << 200 << QByteArray(R"({"id":1})");
        QTest::newRow("201") << 201 << QByteArray("created");
        QTest::newRow("204") << 204 << QByteArray();
        QTest::newRow("401") << 401 << QByteArray(R"({"error":"unauthorized"})");
        QTest::newRow("500") << 500 << QByteArray("boom");
        QTest::newRow("invalid UTF-8") << 200 << QByteArray("\xff\xfe\x00\x80\xc3(", 6);
        QTest::newRow("5 MiB") << 200 << randomBytes(5 << 20);
    }

    void returnsStatusAndBody()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        LoopbackPeer peer(
            [&](QTcpSocket *socket, const SeenRequest &) { respond(socket, status, body); });

        const HttpResponse response = HttpTransport::sendBlocking(makeRequest(peer.url("/r")));

        QCOMPARE(response.statusCode, status);
        QCOMPARE(response.body.size(), body.size());
        QVERIFY(response.body == body);
    }

    void collectsHeadersLowerCased()
    {
        LoopbackPeer peer([](QTcpSocket *socket, const SeenRequest &) {
            respond(socket, 200, "x",
                    {{"Content-Type", "Text/Plain; Charset=UTF-8"},
                     {"X-Request-ID", "  AbC-1  "},
                     {"Set-Cookie", "a=1"},
                     {"SET-COOKIE", "b=2"}});
        });

        const HttpResponse response = HttpTransport::sendBlocking(makeRequest(peer.url()));

        const Headers expected{{"content-type", "Text/Plain; Charset=UTF-8"},
                               {"x-request-id", "AbC-1"},
                               {"set-cookie", "a=1"},
                               {"set-cookie", "b=2"},
                               {"connection", "close"},
                               {"content-length", "1"}};
        QCOMPARE(response.headers, expected);
        QCOMPARE(response.header("x-request-id"), std::optional<QByteArray>("AbC-1"));
        QCOMPARE(response.header("set-cookie"), std::optional<QByteArray>("a=1"));
        QCOMPARE(response.header("etag"), std::optional<QByteArray>());
    }

    void followsRedirectsForGetAndHeadOnly_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArrayList>("targetsSeen");
        QTest::newRow("GET") << QByteArray("GET") << 200 << QByteArray("final")
                             << QByteArrayList{"/start", "/final"};
        QTest::newRow("HEAD") << QByteArray("HEAD") << 200 << QByteArray()
                              << QByteArrayList{"/start", "/final"};
        QTest::newRow("POST") << QByteArray("POST") << 302 << QByteArray("moved")
                              << QByteArrayList{"/start"};
        QTest::newRow("DELETE") << QByteArray("DELETE") << 302 << QByteArray("moved")
                                << QByteArrayList{"/start"};
    }

    void followsRedirectsForGetAndHeadOnly()
    {
        QFETCH(QByteArray, method);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArrayList, targetsSeen);
        LoopbackPeer peer([](QTcpSocket *socket, const SeenRequest &request) {
            const QByteArray content = request.target == "/start" ? "moved" : "final";
            const Headers headers = request.target == "/start"
                                        ? Headers{{"Location", "/final"}, {"X-Hop", "first"}}
                                        : Headers{};
            QByteArray head =
                responseHead(request.target == "/start" ? 302 : 200,
                             headers + Headers{{"Connection", "close"}}, content.size());
            socket->write(request.method == "HEAD" ? head : head + content);
            socket->disconnectFromHost();
        });

        const HttpResponse response =
            HttpTransport::sendBlocking(makeRequest(peer.url("/start"), method));

        QCOMPARE(response.statusCode, status);
        QCOMPARE(response.body, body);
        // The headers are those of the answer returned, not of the hops before it.
        QCOMPARE(response.header("x-hop").has_value(), status == 302);
        QByteArrayList targets;
        for (const SeenRequest &request : peer.requests()) {
            targets << request.target;
            QCOMPARE(request.method, method);
        }
        QCOMPARE(targets, targetsSeen);
    }

    void stopsFollowingEndlessRedirects()
    {
        LoopbackPeer peer([](QTcpSocket *socket, const SeenRequest &request) {
            const QByteArray next = "/hop" + QByteArray::number(request.target.mid(4).toInt() + 1);
            respond(socket, 302, {}, {{"Location", next}});
        });

        QString description;
        QCOMPARE(errorOf(makeRequest(peer.url("/hop0")), &description), int(Code::unknown));
        QCOMPARE(peer.requests().size(), 11); // the first request and ten redirects
        QVERIFY2(description.contains(QStringLiteral("GET http://127.0.0.1:")),
                 qPrintable(description));
    }

    void reusesConnectionOnTheSameThread()
    {
        LoopbackPeer peer([](QTcpSocket *socket, const SeenRequest &request) {
            respondKeepAlive(socket, request.target);
        });

        QCOMPARE(HttpTransport::sendBlocking(makeRequest(peer.url("/one"))).body, "/one");
        QCOMPARE(HttpTransport::sendBlocking(makeRequest(peer.url("/two"))).body, "/two");
        QCOMPARE(peer.requests().size(), 2);
        QCOMPARE(peer.connections(), 1);
    }

    void idleTimeout_data()
    {
        QTest::addColumn<QByteArray>("sentBeforeStall");
        QTest::newRow("silent server") << QByteArray();
        QTest::newRow("stalls mid-body")
            << QByteArray(responseHead(200, {}, 100) + QByteArray(40, 'x'));
    }

    void idleTimeout()
    {
        QFETCH(QByteArray, sentBeforeStall);
        LoopbackPeer peer([&](QTcpSocket *socket, const SeenRequest &) {
            socket->write(sentBeforeStall); // and then nothing, with the connection open
        });
        HttpRequest request = makeRequest(peer.url("/slow"));
        request.timeout = std::chrono::milliseconds(300);

        QElapsedTimer clock;
        clock.start();
        QString description;
        QCOMPARE(errorOf(request, &description), int(Code::timedOut));
        QVERIFY2(clock.elapsed() >= 250, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(clock.elapsed() < 15'000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(description.contains(QStringLiteral("timed out")), qPrintable(description));
    }

    void timeoutIsIdleNotTotal()
    {
        // Twelve pieces 150 ms apart: about 1.8 s in all, never 600 ms without a byte.
        const QByteArray body = "0123456789ab";
        LoopbackPeer peer([&](QTcpSocket *socket, const SeenRequest &) {
            socket->write(responseHead(200, {{"Connection", "close"}}, body.size()));
            auto *timer = new QTimer(socket);
            auto sent = std::make_shared<int>(0);
            QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, sent, body] {
                socket->write(body.mid((*sent)++, 1));
                if (*sent == body.size()) {
                    timer->stop();
                    socket->disconnectFromHost();
                }
            });
            timer->start(150);
        });
        HttpRequest request = makeRequest(peer.url("/trickle"));
        request.timeout = std::chrono::milliseconds(600);

        QElapsedTimer clock;
        clock.start();
        const HttpResponse response = HttpTransport::sendBlocking(request);
        QCOMPARE(response.body, body);
        QVERIFY(clock.elapsed() > 600); // it really outlived the time-out
    }

    void totalTimeoutEndsATrickle()
    {
        // A byte every 100 ms never trips the idle time-out; the total one ends it.
        LoopbackPeer peer([&](QTcpSocket *socket, const SeenRequest &) {
            socket->write(responseHead(200, {}, 1000));
            auto *timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
            timer->start(100);
        });
        HttpRequest request = makeRequest(peer.url("/trickle"));
        request.timeout = std::chrono::milliseconds(2000);
        request.totalTimeout = std::chrono::milliseconds(700);
        QString description;
        QCOMPARE(errorOf(request, &description), int(Code::timedOut));
    }

    void bodyGoesToTheResponseFile_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("200, 3 MiB") << 200 << randomBytes(3 << 20);
        QTest::newRow("404 page") << 404 << QByteArray("not here");
        QTest::newRow("empty") << 200 << QByteArray();
    }
    void bodyGoesToTheResponseFile()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        LoopbackPeer peer(
            [&](QTcpSocket *socket, const SeenRequest &) { respond(socket, status, body); });
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("download.bin"));
        {
            // Whatever was there before is replaced, not appended to.
            QFile stale(path);
            QVERIFY(stale.open(QIODevice::WriteOnly));
            stale.write(QByteArray(5000, 's'));
        }
        HttpRequest request = makeRequest(peer.url("/file"));
        request.responseFile = path;
        const HttpResponse response = HttpTransport::sendBlocking(request);
        QCOMPARE(response.statusCode, status);
        QVERIFY(response.body.isEmpty());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == body);
    }

    void unwritableResponseFileFails()
    {
        LoopbackPeer peer([&](QTcpSocket *socket, const SeenRequest &) {
            respond(socket, 200, QByteArray("data"));
        });
        HttpRequest request = makeRequest(peer.url("/file"));
        request.responseFile = QStringLiteral("/nonexistent-dir/download.bin");
        QString description;
        QCOMPARE(errorOf(request, &description), int(Code::unknown));
        QVERIFY2(description.contains(QStringLiteral("response file")), qPrintable(description));
    }

    void connectionFailures_data()
    {
        QTest::addColumn<QByteArray>("answer"); // written before the peer ends the connection
        QTest::addColumn<bool>("reset");
        QTest::addColumn<NetworkError::Code>("code");
        QTest::newRow("closed mid-body")
            << QByteArray(responseHead(200, {}, 1000) + QByteArray(100, 'x')) << false
            << Code::networkConnectionLost;
        QTest::newRow("reset mid-body")
            << QByteArray(responseHead(200, {}, 1000) + QByteArray(100, 'x')) << true
            << Code::networkConnectionLost;
        QTest::newRow("closed without answer")
            << QByteArray() << false << Code::networkConnectionLost;
        QTest::newRow("closed mid-headers")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << false << Code::networkConnectionLost;
    }

    void connectionFailures()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, reset);
        QFETCH(NetworkError::Code, code);
        LoopbackPeer peer([&](QTcpSocket *socket, const SeenRequest &) {
            socket->write(answer);
            if (reset) {
                socket->flush();
                // Lingering for zero seconds makes close() send a reset instead of a FIN.
                const linger abortive{1, 0};
                ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                             sizeof abortive);
                socket->abort();
            } else {
                socket->disconnectFromHost();
            }
        });

        QString description;
        QCOMPARE(errorOf(makeRequest(peer.url("/drop")), &description), int(code));
        QVERIFY2(description.contains(QStringLiteral("/drop")), qPrintable(description));
    }

    void closedPortCannotConnect()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        HttpRequest request =
            makeRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/x?token=secret").arg(port)));

        QString description;
        QCOMPARE(errorOf(request, &description), int(Code::cannotConnectToHost));
        // What failed, where, and curl's own words; never the query, which may hold secrets.
        QVERIFY2(description.contains(QStringLiteral("Could not connect")),
                 qPrintable(description));
        QVERIFY2(description.contains(QStringLiteral("127.0.0.1:%1/x").arg(port)),
                 qPrintable(description));
        QVERIFY2(description.contains(QStringLiteral("port %1").arg(port)),
                 qPrintable(description));
        QVERIFY2(!description.contains(QStringLiteral("secret")), qPrintable(description));
    }

    void badUrls_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<NetworkError::Code>("code");
        QTest::newRow("empty") << QUrl() << Code::badURL;
        QTest::newRow("relative") << QUrl(QStringLiteral("items/1")) << Code::badURL;
        QTest::newRow("no host") << QUrl(QStringLiteral("http://")) << Code::badURL;
        QTest::newRow("invalid") << QUrl(QStringLiteral("http://[::1")) << Code::badURL;
        QTest::newRow("unknown scheme") << QUrl(QStringLiteral("ftp2://x")) << Code::unsupportedURL;
        QTest::newRow("local file")
            << QUrl(QStringLiteral("file:///etc/hostname")) << Code::unsupportedURL;
    }

    void badUrls()
    {
        QFETCH(QUrl, url);
        QFETCH(NetworkError::Code, code);
        QCOMPARE(errorOf(makeRequest(url)), int(code));
    }

    void unresolvableHost()
    {
        QString description;
        const auto code =
            errorOf(makeRequest(QUrl(QStringLiteral("http://nonexistent.invalid/"))), &description);
        QVERIFY2(code == int(Code::cannotFindHost), qPrintable(description));
    }

    void usesProxyFromEnvironment()
    {
        LoopbackPeer proxy(
            [](QTcpSocket *socket, const SeenRequest &) { respond(socket, 200, "via proxy"); });
        qputenv("http_proxy", proxy.url().toEncoded());
        const auto restore = qScopeGuard([] { qunsetenv("http_proxy"); });

        const HttpResponse response = HttpTransport::sendBlocking(
            makeRequest(QUrl(QStringLiteral("http://nonexistent.invalid/path?q=1"))));

        QCOMPARE(response.body, "via proxy");
        QCOMPARE(proxy.requests().size(), 1);
        QCOMPARE(proxy.requests()[0].target, "http://nonexistent.invalid/path?q=1");
    }

    void unresolvableProxyCannotFindHost()
    {
        qputenv("http_proxy", "http://proxy.invalid:3128");
        const auto restore = qScopeGuard([] { qunsetenv("http_proxy"); });
        QCOMPARE(errorOf(makeRequest(QUrl(QStringLiteral("http://127.0.0.2:9/")))),
                 int(Code::cannotFindHost));
    }

    void sendResumesOnTheAwaitingThread()
    {
        // The answer comes late, so the main loop must keep running meanwhile.
        LoopbackPeer peer([](QTcpSocket *socket, const SeenRequest &request) {
            QTimer::singleShot(300, socket, [socket, body = request.body] {
                respond(socket, 201, "got " + body);
            });
        });
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticker.start(20);
        HttpRequest request = makeRequest(peer.url("/async"), "POST");
        request.body = "payload";

        AsyncOutcome outcome;
        auto task = awaitSend(request, &outcome);
        QVERIFY(!outcome.finished); // send() did not block the caller
        QTRY_VERIFY_WITH_TIMEOUT(outcome.finished, 30'000);

        QVERIFY(!outcome.error);
        QCOMPARE(outcome.response->statusCode, 201);
        QCOMPARE(outcome.response->body, "got payload");
        QCOMPARE(outcome.resumedOn, QThread::currentThreadId());
        QVERIFY2(ticks >= 3, qPrintable(QString::number(ticks)));
    }

    void sendThrowsNetworkErrorOnTheAwaitingThread()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();

        AsyncOutcome outcome;
        auto task = awaitSend(makeRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port))),
                              &outcome);
        QTRY_VERIFY_WITH_TIMEOUT(outcome.finished, 30'000);

        QVERIFY(!outcome.response);
        QVERIFY(outcome.error);
        QCOMPARE(outcome.error->code(), Code::cannotConnectToHost);
        QCOMPARE(outcome.error->codeValue(), -1004);
        QCOMPARE(QString::fromUtf8(outcome.error->what()), outcome.error->description());
        QCOMPARE(outcome.resumedOn, QThread::currentThreadId());
    }

    void manyConcurrentSends()
    {
        LoopbackPeer peer([](QTcpSocket *socket, const SeenRequest &request) {
            QTimer::singleShot(20, socket, [socket, target = request.target] {
                respond(socket, 200, "answer to " + target);
            });
        });
        constexpr int kCount = 50;
        std::vector<AsyncOutcome> outcomes(kCount);
        std::vector<QCoro::Task<>> tasks;
        for (int i = 0; i < kCount; ++i) {
            tasks.push_back(
                awaitSend(makeRequest(peer.url("/n/" + QByteArray::number(i))), &outcomes[i]));
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(outcomes.begin(), outcomes.end(),
                                             [](const AsyncOutcome &o) { return o.finished; }),
                                 60'000);

        for (int i = 0; i < kCount; ++i) {
            QVERIFY2(!outcomes[i].error,
                     qPrintable(outcomes[i].error ? outcomes[i].error->description() : QString()));
            QCOMPARE(outcomes[i].response->body,
                     QByteArray("answer to /n/" + QByteArray::number(i)));
            QCOMPARE(outcomes[i].resumedOn, QThread::currentThreadId());
        }
        QCOMPARE(peer.requests().size(), kCount);
    }
};

VORLANTA_TEST_MAIN(TestHttpTransport)
#include "tst_HttpTransport.moc"
