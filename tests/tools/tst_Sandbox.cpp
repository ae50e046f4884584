#include "TestPrograms.h"
#include "support/DataRows.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QElapsedTimer>
#include <QtCore/QProcess>
#include <QtCore/QRandomGenerator>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QTcpSocket>
#include <QtTest/QSignalSpy>

#include <csignal>
#include <memory>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace TestSupport;
using Json = nlohmann::ordered_json;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// Deterministic bytes, different wherever a digest looks.
QByteArray patternBytes(qint64 size, quint32 seed)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

struct Reply {
    int status = 0;        // 0: no HTTP answer at all
    QByteArray etag, body; // etag without quotes, empty when missing
    QByteArray why() const { return QByteArray::number(status) + ' ' + body.left(300); }
};

// A sandbox process and a blocking client for it.
struct Sandbox : SandboxProcess {
    using SandboxProcess::SandboxProcess;
    QNetworkAccessManager manager;

    // Part PUTs go out as the upload engine sends them: no Authorization header unless given
    // (a null value sets none). The spy waits in a real event loop, as QTest::qWaitFor naps
    // between rounds, which throttles uploads.
    Reply send(const QByteArray &verb, const QUrl &url, const QByteArray &data = {},
               const QByteArray &authorization = {})
    {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          verb == "PUT" ? "application/octet-stream"_ba : "application/json"_ba);
        request.setRawHeader("Authorization", authorization);
        const std::unique_ptr<QNetworkReply> reply(manager.sendCustomRequest(request, verb, data));
        QSignalSpy(reply.get(), &QNetworkReply::finished).wait(120000);
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                reply->rawHeader("ETag").replace('"', ""), reply->readAll()};
    }
    // A call under api/v1/creator/, with the sandbox's token unless told otherwise.
    Reply api(const QByteArray &verb, const QString &path, const Json &body = nullptr,
              const std::optional<QByteArray> &authorization = std::nullopt)
    {
        return send(verb, baseUrl().resolved(QUrl(u"api/v1/creator/"_s + path)),
                    body.is_null() ? QByteArray() : QByteArray::fromStdString(body.dump()),
                    authorization.value_or(this->authorization()));
    }
    // Opens an upload: its file id and part URLs.
    std::pair<qint64, QList<QUrl>> init(qint64 size, const std::string &name = "clip.mp4")
    {
        const Json answer = Json::parse(
            api("POST", u"projects/101/files/upload"_s, {{"file_name", name}, {"file_size", size}})
                .body.toStdString(),
            nullptr, false);
        QList<QUrl> urls;
        for (const std::string url : answer.value("urls", Json::array())) {
            urls.append(QUrl(QString::fromStdString(url)));
        }
        return {answer.value("file_id", qint64(0)), urls};
    }
    // A part PUT written by hand; the status of the answer, or 0 after hanging up once written.
    int rawPut(const QUrl &url, const QByteArray &headersAndBody, bool hangUp = false)
    {
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, port());
        socket.waitForConnected(5000);
        socket.write("PUT " + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headersAndBody);
        while (socket.waitForBytesWritten(5000) || (!hangUp && socket.waitForReadyRead(5000))) {
        }
        return socket.readAll().mid(9, 3).toInt(); // "HTTP/1.1 411 ..."
    }
};

} // namespace

class TestSandbox : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void routeAnswers_data()
    {
        // "VERB path-under-api/v1/creator/ credential options..." or "PUT change options...";
        // status 0: the connection ends without an answer.
        columns<QString, int>("request", "status");
        // The API wants the bearer token; a custom --token is the only one taken.
        row("own token", "GET channels/ own", 200);
        row("no header", "GET channels/ none", 401);
        row("wrong token", "GET projects/ wrong", 401);
        row("token without Bearer", "GET channels/ bare", 401);
        row("create, no header", "POST projects/ none", 401);
        row("upload init, no header", "POST projects/101/files/upload none", 401);
        row("complete, no header", "PATCH files/1/complete-upload none", 401);
        row("custom token", "GET channels/ own --token mine", 200);
        row("custom token, demo refused", "GET channels/ demo --token mine", 401);
        // Part URLs are signed, take no Authorization header and want a Content-Length.
        row("part as signed", "PUT none", 200);
        row("signature of another URL", "PUT signature", 403);
        row("expiry extended", "PUT expires", 403);
        row("no signature", "PUT nosignature", 403);
        row("other part number", "PUT part", 403);
        row("other file id", "PUT file", 403);
        row("expired", "PUT expired --fault url-ttl=1", 403);
        row("with Authorization", "PUT authorization", 400);
        row("without Content-Length", "PUT chunked", 411);
        // Faults.
        row("part-500", "PUT none --fault part-500=1", 500);
        row("missing-etag", "PUT none --fault missing-etag=1", 200);
        row("part-drop", "PUT none --fault part-drop=1", 0);
        row("status-201", "POST projects/ own --fault status-201=1", 201);
        row("api-500 create", "POST projects/ own --fault api-500=1", 500);
        row("delay-ms", "GET channels/ own --fault delay-ms=400", 200);
    }
    void routeAnswers()
    {
        const auto [request, status] = fetch<QString, int>("request", "status");
        QStringList words = request.split(u' ');
        const QByteArray verb = words.takeFirst().toUtf8();
        const QString what = words.takeFirst();
        const QString credential = verb == "PUT" ? QString() : words.takeFirst();
        Sandbox sandbox(words);
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Reply reply;
        if (verb != "PUT") {
            const QByteArray header = credential == "own"_L1     ? sandbox.authorization()
                                      : credential == "bare"_L1  ? sandbox.token().toUtf8()
                                      : credential == "demo"_L1  ? Sandbox().authorization()
                                      : credential == "wrong"_L1 ? "Bearer eyJwrong"_ba
                                                                 : QByteArray();
            const Json project = Json::parse(R"({"title": "Launch video", "due_date": "28/02/2026",
                "channel_id": 2, "notes_for_editor": "", "selected_services": [
                {"name": "thumbnail", "quantity": 1}]})");
            QElapsedTimer clock;
            clock.start();
            reply = sandbox.api(verb, what, verb == "GET" ? Json() : project, header);
            QVERIFY(clock.elapsed() >= (request.contains("delay-ms=400"_L1) ? 400 : 0));
        } else {
            const QString url = sandbox.init(1000).second.value(0).toString();
            const QString other = sandbox.init(1000).second.value(0).toString();
            const auto edit = [&url](const QString &pattern, const QString &with) {
                return QString(url).replace(QRegularExpression(pattern), with);
            };
            const QHash<QString, QString> tampered = {
                {u"signature"_s, edit(u"signature=.*"_s, other.section(u'&', 1))},
                {u"expires"_s, edit(u"expires=[0-9]+"_s, u"expires=4102444800"_s)},
                {u"nosignature"_s, edit(u"&signature=.*"_s, {})},
                {u"part"_s, edit(u"/1[?]"_s, u"/2?"_s)},
                {u"file"_s, other.section(u'?', 0, 0) + u'?' + url.section(u'?', 1)}};
            const QUrl to(tampered.value(what, url));
            QTest::qWait(what == "expired"_L1 ? 2100 : 0);
            if (what == "chunked"_L1) {
                reply.status = sandbox.rawPut(to, "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n");
            } else {
                reply = sandbox.send("PUT", to, patternBytes(1000, 8),
                                     what == "authorization"_L1 ? sandbox.authorization()
                                                                : QByteArray());
            }
        }
        QVERIFY2(reply.status == status, reply.why().constData());
        QCOMPARE(!reply.etag.isEmpty(),
                 verb == "PUT" && status == 200 && !request.contains("missing-etag"_L1));
    }

    // A dropped part fails the client at once, also while it still sends a body larger than the
    // socket buffers (which a plain close left waiting against a closed window until a time-out).
    void droppedPartFailsAtOnce()
    {
        Sandbox sandbox({u"--fault"_s, u"part-drop=1"_s});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        QTemporaryDir dir;
        const QString body = dir.filePath(u"part"_s);
        QFile file(body);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(patternBytes(8 << 20, 3)) > 0);
        file.close();
        for (int round = 0; round < 16; ++round) {
            QProcess curl;
            curl.start(u"curl"_s, {u"-s"_s, u"-o"_s, u"/dev/null"_s, u"-m"_s, u"20"_s, u"-T"_s,
                                   body, sandbox.init(8 << 20).second.value(0).toString()});
            QVERIFY(curl.waitForFinished(30000));
            // 52: empty reply, 55/56: send or receive failure; 28 would be the time-out.
            QVERIFY2(QList<int>({52, 55, 56}).contains(curl.exitCode()),
                     qPrintable(QString::number(curl.exitCode())));
        }
    }

    // Parts cut as planned are written in place and completion is a rename; anything else is
    // joined. Either way the stored file is the last stored copy of each part.
    void completion_data()
    {
        columns<QString, int>("scenario", "status");
        row("cut as planned", "planned", 200);
        row("cut differently", "uneven", 200);
        row("part re-sent with other bytes", "resent", 200);
        row("re-sent part breaks off", "broken", 200);
        row("planned after an uneven copy", "replanned", 200);
        row("empty file, no parts", "empty", 200);
        row("one ETag changed", "changed", 400);
        row("quotes kept", "quoted", 400);
        row("one ETag missing", "missing", 400);
        row("one ETag too many", "extra", 400);
        row("order swapped", "swapped", 400);
        row("part never sent", "unsent", 400);
        row("part below the minimum", "small", 400);
        row("sizes do not add up", "short", 400);
    }
    void completion()
    {
        const auto [scenario, status] = fetch<QString, int>("scenario", "status");
        QTemporaryDir dataDir;
        Sandbox sandbox({u"--data-dir"_s, dataDir.path()});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        QByteArray data = patternBytes(scenario == "empty"_L1 ? 0 : 16 * kMiB + 5, 21);
        // "short" announces one byte more than it sends.
        const auto [id, urls] = sandbox.init(data.size() + (scenario == "short"_L1), "cut.mov");
        QCOMPARE(urls.size(), data.isEmpty() ? 1 : 3);
        const qsizetype size = (data.size() + 2) / 3; // the upload engine's cut: ceil(size / urls)
        QList<QByteArray> planned = {data.left(size), data.mid(size, size), data.mid(2 * size)};
        planned.removeAll(QByteArray()); // none for an empty file
        QList<QByteArray> parts = planned;
        if (scenario == "uneven"_L1 || scenario == "small"_L1) { // same total, other cuts
            const qint64 first = scenario == "small"_L1 ? kMiB : 5 * kMiB;
            parts = {data.left(first), data.mid(first, 6 * kMiB), data.mid(first + 6 * kMiB)};
        } else if (scenario == "replanned"_L1) { // one byte short first, so stored aside
            parts[1].chop(1);
        }
        std::vector<std::string> etags; // "" where a PUT failed
        for (qsizetype k = 0; k < parts.size() - (scenario == "unsent"_L1); ++k) {
            etags.push_back(sandbox.send("PUT", urls.value(k), parts.at(k)).etag.toStdString());
        }
        if (scenario == "resent"_L1 || scenario == "replanned"_L1) { // the newer copy is the part
            const QByteArray again =
                scenario == "resent"_L1 ? patternBytes(planned.at(1).size(), 22) : planned.at(1);
            etags[1] = sandbox.send("PUT", urls.at(1), again).etag.toStdString();
            data.replace(planned.at(0).size(), again.size(), again);
        } else if (scenario == "broken"_L1) {
            // Announces the planned length, sends half of other bytes, then hangs up.
            const qsizetype length = planned.at(1).size();
            sandbox.rawPut(urls.at(1),
                           "Content-Length: " + QByteArray::number(length) + "\r\n\r\n" +
                               patternBytes(length / 2, 23),
                           true);
            // The sandbox notices the hang-up in its own time; a further request orders it after.
            QTest::qWait(200);
            QCOMPARE(sandbox.send("PUT", urls.at(2), parts.at(2)).status, 200);
        }
        const QByteArray unsent =
            QCryptographicHash::hash(planned.value(2), QCryptographicHash::Md5);
        const QHash<QString, std::function<void()>> mistakes = {
            {u"unsent"_s, [&] { etags.push_back(unsent.toHex().toStdString()); }},
            {u"changed"_s, [&] { etags[1][0] = etags[1][0] == 'a' ? 'b' : 'a'; }},
            {u"quoted"_s, [&] { etags[0] = '"' + etags[0] + '"'; }},
            {u"missing"_s, [&] { etags.pop_back(); }},
            {u"extra"_s, [&] { etags.push_back(etags.front()); }},
            {u"swapped"_s, [&] { std::swap(etags[0], etags[1]); }}};
        mistakes.value(scenario, [] {})();
        QCOMPARE(std::ranges::count(etags, std::string()), 0);
        const auto inode = [](const QString &path) {
            struct stat info {};
            return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
        };
        const QString parked = dataDir.path() + u"/parts/%1"_s.arg(id);
        const ino_t before = inode(parked + u"/data"_s);
        const Reply done =
            sandbox.api("PATCH", u"files/%1/complete-upload"_s.arg(id), {{"etags", etags}});
        QVERIFY2(done.status == status, done.why().constData());
        if (status == 200) {
            const QString stored = dataDir.path() + u"/files/%1/cut.mov"_s.arg(id);
            QVERIFY(QFile::exists(stored) && readFile(stored) == data);
            QCOMPARE(before != 0 && inode(stored) == before,
                     scenario.contains("planned"_L1)); // a rename keeps the inode
            QVERIFY(!QFile::exists(parked)); // nothing of the upload is left beside the file
        }
    }

    void seededFaultsRepeat()
    {
        QList<int> seen[2];
        for (QList<int> &statuses : seen) {
            Sandbox sandbox({u"--seed"_s, u"7"_s, u"--fault"_s, u"part-500=0.5"_s});
            const QUrl url = sandbox.init(1000).second.value(0);
            for (int i = 0; i < 16; ++i) {
                statuses.append(sandbox.send("PUT", url, patternBytes(1000, 12)).status);
            }
        }
        QCOMPARE(seen[1], seen[0]);
        QVERIFY(seen[0].contains(200) && seen[0].contains(500) && !seen[0].contains(0));
    }

    // The web application's pages as a browser gets them. expect: in the Location header (for
    // a redirect) or the body; absent: nowhere in the body.
    void webPages_data()
    {
        columns<QString, QString, int, QString, QString>("request", "options", "status", "expect",
                                                         "absent");
        const QString form = u"POST login email=demo%40vorlanta.example&password=vorlanta-demo"_s;
        row("desktop sign-in ends at the app's scheme", form + u"&back=desktop-app"_s, "", 302,
            "vorlanta-creator://auth?token=eyJ", "");
        row("web sign-in stores the token after load", form, "", 200, "addEventListener('load'",
            "");
        row("wrong password, no token", "POST login email=demo%40vorlanta.example&password=x", "",
            401, "Wrong email or password.", "eyJ");
        row("own login replaces the demo one", form, "--login me@x.example:pw", 401, "", "eyJ");
        row("own login", "POST login email=me%40x.example&password=pw", "--login me@x.example:pw",
            200, "localStorage.setItem('token'", "");
        row("not sent as a form", "POST login {}", "", 415, "", "eyJ");
        row("who the token belongs to", "GET api/v1/creator/me", "", 200, "\"name\"", "");
        // Values go into test pages as script literals that cannot end the script element.
        row("value cannot end the script",
            "GET __test/storage?storage=local&when=load&key=token&value=%3C%2Fscript%3E%3Cb%3E", "",
            200, "\\u003c/script\\u003e", "</script><b>");
        row("unknown timing refused", "GET __test/storage?storage=local&when=soon&key=k&value=v",
            "", 400, "when must be", "");
        row("frames only of this sandbox", "GET __test/frame?src=//evil.example/", "", 400,
            "src must be", "evil.example");
    }
    void webPages()
    {
        const auto [request, options, status, expect, absent] =
            fetch<QString, QString, int, QString, QString>("request", "options", "status", "expect",
                                                           "absent");
        Sandbox sandbox(options.split(u' ', Qt::SkipEmptyParts));
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        const QString verb = request.section(u' ', 0, 0);
        QNetworkRequest to(sandbox.baseUrl().resolved(QUrl(request.section(u' ', 1, 1))));
        to.setRawHeader("Authorization", sandbox.authorization());
        const QByteArray body = request.section(u' ', 2).toUtf8();
        to.setHeader(QNetworkRequest::ContentTypeHeader,
                     body.startsWith('{') ? "application/json"_ba
                                          : "application/x-www-form-urlencoded"_ba);
        to.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                        QNetworkRequest::ManualRedirectPolicy);
        const std::unique_ptr<QNetworkReply> reply(
            verb == u"GET"_s ? sandbox.manager.get(to) : sandbox.manager.post(to, body));
        QVERIFY(QSignalSpy(reply.get(), &QNetworkReply::finished).wait(10000));
        const QByteArray text = reply->rawHeader("Location") + reply->readAll();
        QVERIFY2(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == status,
                 text.left(300).constData());
        QVERIFY2(text.contains(expect.toUtf8()), text.constData());
        QVERIFY(absent.isEmpty() || !text.contains(absent.toUtf8()));
    }

    void startAndStop_data()
    {
        // PORT: the port of a running sandbox; mentions (in the error output) empty: a good start
        columns<QString, int, QString>("arguments", "exitCode", "mentions");
        row("stopped by SIGTERM", "--port 0", 0, "");
        row("parts below 5 MiB", "--part-mib 4", 2, "usage:");
        row("port out of range", "--port 70000", 2, "usage:");
        row("unknown option", "--bogus", 2, "usage:");
        row("unknown fault", "--fault nonsense=1", 2, "nonsense");
        row("busy port", "--port PORT", 1, "cannot listen");
    }
    void startAndStop()
    {
        auto [arguments, exitCode, mentions] =
            fetch<QString, int, QString>("arguments", "exitCode", "mentions");
        Sandbox first;
        QVERIFY2(first.isRunning(), qPrintable(first.startError()));
        QProcess process;
        process.start(QString::fromUtf8(TestPrograms::kSandbox),
                      arguments.replace(u"PORT"_s, QString::number(first.port())).split(u' '));
        QByteArray out;
        if (mentions.isEmpty()) {
            QTRY_VERIFY((out += process.readAllStandardOutput()).contains("Demo login: "));
            ::kill(pid_t(process.processId()), SIGTERM);
        }
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), exitCode);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        // A clean stop removes the default data directory, a temporary one.
        const QString dataDir = err.section(u"data directory: "_s, 1).section(u'\n', 0, 0);
        QVERIFY2(mentions.isEmpty()
                     ? !dataDir.isEmpty() && !QFile::exists(dataDir)
                     : err.startsWith(u"vorlanta-sandbox: "_s) && err.contains(mentions),
                 qPrintable(err));
        QVERIFY(mentions.isEmpty() || process.readAllStandardOutput().isEmpty()); // no start lines
    }
};

VORLANTA_TEST_MAIN(TestSandbox)
#include "tst_Sandbox.moc"
