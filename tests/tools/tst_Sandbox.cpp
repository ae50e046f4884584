#include "TestPrograms.h"
#include "support/NetworkReplies.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QElapsedTimer>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QTcpSocket>

#include <csignal>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using TestSupport::patternBytes;
using TestSupport::Reply;
using Json = nlohmann::ordered_json;
using Etags = std::vector<std::string>;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// A sandbox process and a blocking client for it.
struct Sandbox : TestSupport::SandboxProcess {
    using SandboxProcess::SandboxProcess;
    QNetworkAccessManager manager;

    // Part PUTs go out as the upload engine sends them: no Authorization header unless given.
    Reply send(const QByteArray &verb, const QUrl &url, const QByteArray &data = {},
               const QByteArray &authorization = {})
    {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          verb == "PUT" ? "application/octet-stream"_ba : "application/json"_ba);
        if (!authorization.isEmpty()) {
            request.setRawHeader("Authorization", authorization);
        }
        return TestSupport::awaitReply(manager.sendCustomRequest(request, verb, data));
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
        const Json answer =
            api("POST", u"projects/101/files/upload"_s, {{"file_name", name}, {"file_size", size}})
                .json();
        QList<QUrl> urls;
        for (const Json &url : answer.value("urls", Json::array())) {
            urls.append(QUrl(QString::fromStdString(url.get<std::string>())));
        }
        return {answer.value("file_id", qint64(0)), urls};
    }
    // Sends the parts in order; their ETags without quotes ("" where a PUT failed).
    Etags putAll(const QList<QUrl> &urls, const QList<QByteArray> &parts)
    {
        Etags etags;
        for (qsizetype k = 0; k < parts.size(); ++k) {
            const Reply reply = send("PUT", urls.value(k), parts.at(k));
            etags.push_back(reply.header("ETag").replace('"', "").toStdString());
        }
        return etags;
    }
    // A part PUT written by hand; gives what arrives until the sandbox closes the connection,
    // or hangs up right after writing.
    QByteArray rawPut(const QUrl &url, const QByteArray &headersAndBody, bool hangUp = false)
    {
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, port());
        socket.waitForConnected(5000);
        socket.write("PUT " + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headersAndBody);
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
        }
        while (!hangUp && socket.waitForReadyRead(5000)) {
        }
        return socket.readAll();
    }
};

} // namespace

class TestSandbox : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void routeAnswers_data()
    {
        // "VERB path-under-api/v1/creator/ credential options..." or "PUT change options..."
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("status"); // 0: the connection ends without an answer
        // The API wants the bearer token; a custom --token is the only one taken.
        QTest::newRow("own token") << "GET channels/ own" << 200;
        QTest::newRow("no header") << "GET channels/ none" << 401;
        QTest::newRow("wrong token") << "GET projects/ wrong" << 401;
        QTest::newRow("token without Bearer") << "GET channels/ bare" << 401;
        QTest::newRow("create, no header") << "POST projects/ none" << 401;
        QTest::newRow("upload init, no header") << "POST projects/101/files/upload none" << 401;
        QTest::newRow("complete, no header") << "PATCH files/1/complete-upload none" << 401;
        QTest::newRow("custom token") << "GET channels/ own --token mine" << 200;
        QTest::newRow("custom token, demo refused") << "GET channels/ demo --token mine" << 401;
        // Part URLs are signed, take no Authorization header and want a Content-Length.
        QTest::newRow("part as signed") << "PUT none" << 200;
        QTest::newRow("signature changed") << "PUT signature" << 403;
        QTest::newRow("expiry extended") << "PUT expires" << 403;
        QTest::newRow("no signature") << "PUT nosignature" << 403;
        QTest::newRow("other part number") << "PUT part" << 403;
        QTest::newRow("other file id") << "PUT file" << 403;
        QTest::newRow("expired") << "PUT expired --fault url-ttl=1" << 403;
        QTest::newRow("with Authorization") << "PUT authorization" << 400;
        QTest::newRow("without Content-Length") << "PUT chunked" << 411;
        // Faults.
        QTest::newRow("part-500") << "PUT none --fault part-500=1" << 500;
        QTest::newRow("missing-etag") << "PUT none --fault missing-etag=1" << 200;
        QTest::newRow("part-drop") << "PUT none --fault part-drop=1" << 0;
        QTest::newRow("status-201") << "POST projects/ own --fault status-201=1" << 201;
        QTest::newRow("api-500 create") << "POST projects/ own --fault api-500=1" << 500;
        QTest::newRow("api-500 channels") << "GET channels/ own --fault api-500=1" << 500;
        QTest::newRow("delay-ms") << "GET channels/ own --fault delay-ms=400" << 200;
    }
    void routeAnswers()
    {
        QFETCH(QString, request);
        QFETCH(int, status);
        QStringList words = request.split(u' ');
        const QByteArray verb = words.takeFirst().toUtf8();
        const QString what = words.takeFirst();
        const QString credential = verb == "PUT" ? QString() : words.takeFirst();
        Sandbox sandbox(words);
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Reply reply;
        if (verb != "PUT") {
            const QHash<QString, QByteArray> headers = {{u"own"_s, sandbox.authorization()},
                                                        {u"wrong"_s, "Bearer eyJwrong"},
                                                        {u"bare"_s, sandbox.token().toUtf8()}};
            const QByteArray header =
                credential == "demo"_L1 ? Sandbox().authorization() : headers.value(credential);
            const Json project = Json::parse(R"({"title": "Launch video", "due_date": "28/02/2026",
                "channel_id": 2, "notes_for_editor": "", "selected_services": [
                {"name": "thumbnail", "quantity": 1}]})");
            QElapsedTimer clock;
            clock.start();
            reply = sandbox.api(verb, what, verb == "GET" ? Json() : project, header);
            QVERIFY(clock.elapsed() >= (request.contains("delay-ms=400"_L1) ? 400 : 0));
        } else {
            const QByteArray data = patternBytes(1000, 8);
            const auto [id, urls] = sandbox.init(data.size());
            sandbox.init(data.size()); // so that the next file id is a real one
            const QString url = urls.value(0).toString();
            const QString signature = url.section(u"signature="_s, 1);
            const QString expires = url.section(u"expires="_s, 1).section(u'&', 0, 0);
            const QString other = (signature.startsWith(u'0') ? u"1"_s : u"0"_s) + signature.mid(1);
            const auto file = [](qint64 fileId) { return u"/upload/%1/"_s.arg(fileId); };
            const QHash<QString, QString> tampered = {
                {u"signature"_s, QString(url).replace(signature, other)},
                {u"expires"_s,
                 QString(url).replace(expires, QString::number(expires.toLongLong() + 60))},
                {u"nosignature"_s, QString(url).remove(u"&signature="_s + signature)},
                {u"part"_s, QString(url).replace(u"/1?"_s, u"/2?"_s)},
                {u"file"_s, QString(url).replace(file(id), file(id + 1))}};
            const QUrl target(tampered.value(what, url));
            QThread::msleep(what == "expired"_L1 ? 2100 : 0);
            if (what == "chunked"_L1) { // "HTTP/1.1 411 ..."
                reply.status = sandbox.rawPut(target, "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
                                   .mid(9, 3)
                                   .toInt();
            } else {
                reply = sandbox.send("PUT", target, data,
                                     what == "authorization"_L1 ? sandbox.authorization() : "");
            }
        }
        QVERIFY2(reply.status == status, qPrintable(reply.describe()));
        QCOMPARE(reply.hasHeader("ETag"),
                 verb == "PUT" && status == 200 && !request.contains("missing-etag"_L1));
    }

    // Parts cut as planned are written in place and completion is a rename; anything else is
    // joined. Either way the stored file is the last stored copy of each part.
    void completion_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("status");
        QTest::newRow("cut as planned") << "planned" << 200;
        QTest::newRow("cut differently") << "uneven" << 200;
        QTest::newRow("part re-sent with other bytes") << "resent" << 200;
        QTest::newRow("re-sent part breaks off") << "broken" << 200;
        QTest::newRow("planned after an uneven copy") << "replanned" << 200;
        QTest::newRow("empty file, no parts") << "empty" << 200;
        QTest::newRow("one ETag changed") << "changed" << 400;
        QTest::newRow("quotes kept") << "quoted" << 400;
        QTest::newRow("one ETag missing") << "missing" << 400;
        QTest::newRow("one ETag too many") << "extra" << 400;
        QTest::newRow("order swapped") << "swapped" << 400;
        QTest::newRow("part never sent") << "unsent" << 400;
        QTest::newRow("part below the minimum") << "small" << 400;
        QTest::newRow("sizes do not add up") << "short" << 400;
    }
    void completion()
    {
        QFETCH(QString, scenario);
        QFETCH(int, status);
        QTemporaryDir dataDir;
        Sandbox sandbox({u"--data-dir"_s, dataDir.path()});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        QByteArray data = patternBytes(scenario == "empty"_L1 ? 0 : 16 * kMiB + 5, 21);
        // "short" announces one byte more than it sends.
        const auto [id, urls] = sandbox.init(data.size() + (scenario == "short"_L1), "cut.mov");
        QCOMPARE(urls.size(), data.isEmpty() ? 1 : 3);
        QList<QByteArray> planned; // the upload engine's cut: ceil(size / urls) bytes each
        for (qsizetype at = 0, size = (data.size() + 2) / 3; at < data.size(); at += size) {
            planned.append(data.mid(at, size));
        }
        QList<QByteArray> parts = planned;
        if (scenario == "uneven"_L1 || scenario == "small"_L1) { // same total, other cuts
            const qint64 first = scenario == "small"_L1 ? kMiB : 5 * kMiB;
            parts = {data.left(first), data.mid(first, 6 * kMiB), data.mid(first + 6 * kMiB)};
        } else if (scenario == "replanned"_L1) { // one byte short first, so stored aside
            parts[1].chop(1);
        }
        Etags etags = sandbox.putAll(urls, parts.mid(0, scenario == "unsent"_L1 ? 2 : -1));
        if (scenario == "resent"_L1 || scenario == "replanned"_L1) { // the newer copy is the part
            const QByteArray again =
                scenario == "resent"_L1 ? patternBytes(planned.at(1).size(), 22) : planned.at(1);
            etags[1] = sandbox.putAll({urls.at(1)}, {again}).front();
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
        QVERIFY2(done.status == status, qPrintable(done.describe()));
        if (status == 200) {
            const QString stored = dataDir.path() + u"/files/%1/cut.mov"_s.arg(id);
            QVERIFY(QFile::exists(stored) && TestSupport::readFile(stored) == data);
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

    void startAndStop_data()
    {
        QTest::addColumn<QString>("arguments"); // PORT: the port of a running sandbox
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("mentions"); // in the error output; empty: a good start
        QTest::newRow("stopped by SIGTERM") << "--port 0" << 0 << "";
        QTest::newRow("parts below 5 MiB") << "--part-mib 4" << 2 << "usage:";
        QTest::newRow("port out of range") << "--port 70000" << 2 << "usage:";
        QTest::newRow("unknown option") << "--bogus" << 2 << "usage:";
        QTest::newRow("unknown fault") << "--fault nonsense=1" << 2 << "nonsense";
        QTest::newRow("busy port") << "--port PORT" << 1 << "cannot listen";
    }
    void startAndStop()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, mentions);
        Sandbox first;
        QVERIFY2(first.isRunning(), qPrintable(first.startError()));
        QProcess process;
        process.start(QString::fromUtf8(TestPrograms::kSandbox),
                      arguments.replace(u"PORT"_s, QString::number(first.port())).split(u' '));
        QByteArray out;
        if (mentions.isEmpty()) {
            QTRY_VERIFY((out += process.readAllStandardOutput()).contains("Demo token: "));
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
