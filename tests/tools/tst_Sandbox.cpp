#include "TestPrograms.h"
#include "support/NetworkReplies.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDateTime>
#include <QtCore/QElapsedTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QRandomGenerator>
#include <QtCore/QRegularExpression>
#include <QtCore/QSet>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtCore/QUrlQuery>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>
#include <QtNetwork/QTcpSocket>

#include <csignal>
#include <nlohmann/json.hpp>

using TestSupport::patternBytes;
using TestSupport::Reply;
using TestSupport::SandboxProcess;
using Json = nlohmann::json;

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kMinPart = 5 * kMiB;
constexpr int kReplyTimeoutMs = 120000;

const QByteArray kNoAuth = QByteArrayLiteral("<none>");

// A blocking HTTP client over QNetworkAccessManager, for one sandbox.
class Client {
public:
    explicit Client(const SandboxProcess &sandbox) : m_sandbox(sandbox) {}

    QUrl url(const QString &path) const { return m_sandbox.baseUrl().resolved(QUrl(path)); }

    Reply get(const QString &path, const QByteArray &authorization = {})
    {
        return send(apiRequest(path, authorization), "GET");
    }
    Reply post(const QString &path, const QByteArray &body, const QByteArray &authorization = {})
    {
        return send(jsonRequest(path, authorization), "POST", body);
    }
    Reply post(const QString &path, const Json &body, const QByteArray &authorization = {})
    {
        return post(path, QByteArray::fromStdString(body.dump()), authorization);
    }
    Reply patch(const QString &path, const Json &body, const QByteArray &authorization = {})
    {
        return send(jsonRequest(path, authorization), "PATCH",
                    QByteArray::fromStdString(body.dump()));
    }
    // A part PUT as the upload engine sends it: no Authorization header unless given.
    Reply put(const QUrl &url, const QByteArray &data, const QByteArray &authorization = {})
    {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/octet-stream"));
        if (!authorization.isEmpty()) {
            request.setRawHeader("Authorization", authorization);
        }
        return send(request, "PUT", data);
    }
    Reply put(const QUrl &url, QIODevice *device)
    {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/octet-stream"));
        request.setHeader(QNetworkRequest::ContentLengthHeader, device->size());
        return finish(m_manager.sendCustomRequest(request, "PUT", device));
    }

    // The project's init answer; fails the test (empty object) on another status.
    Json initUpload(qint64 projectId, qint64 fileSize,
                    const QString &name = QStringLiteral("clip.mp4"))
    {
        const Reply reply =
            post(QStringLiteral("api/v1/creator/projects/%1/files/upload").arg(projectId),
                 Json{{"file_name", name.toStdString()}, {"file_size", fileSize}});
        if (reply.status != 200) {
            qWarning("init upload: %s", qPrintable(reply.describe()));
            return Json::object();
        }
        return reply.json();
    }

private:
    QNetworkRequest apiRequest(const QString &path, const QByteArray &authorization) const
    {
        QNetworkRequest request(url(path));
        request.setRawHeader("Accept", "application/json");
        if (authorization != kNoAuth) {
            request.setRawHeader("Authorization", authorization.isEmpty()
                                                      ? m_sandbox.authorization()
                                                      : authorization);
        }
        return request;
    }
    QNetworkRequest jsonRequest(const QString &path, const QByteArray &authorization) const
    {
        QNetworkRequest request = apiRequest(path, authorization);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        return request;
    }
    Reply send(const QNetworkRequest &request, const QByteArray &verb, const QByteArray &body = {})
    {
        return finish(m_manager.sendCustomRequest(request, verb, body));
    }
    Reply finish(QNetworkReply *reply) { return TestSupport::awaitReply(reply, kReplyTimeoutMs); }

    const SandboxProcess &m_sandbox;
    QNetworkAccessManager m_manager;
};

// The upload engine's cut: parts of ceil(size / urls) bytes, the last one shorter.
QList<QByteArray> cutLikeTheClient(const QByteArray &data, qsizetype urlCount)
{
    QList<QByteArray> parts;
    const qint64 partSize = (data.size() + urlCount - 1) / urlCount;
    for (qint64 offset = 0; offset < data.size(); offset += partSize) {
        parts.append(data.mid(offset, partSize));
    }
    return parts;
}

QByteArray md5Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QList<QUrl> urlsOf(const Json &init)
{
    QList<QUrl> urls;
    if (init.contains("urls") && init["urls"].is_array()) {
        for (const Json &url : init["urls"]) {
            urls.append(QUrl(QString::fromStdString(url.get<std::string>())));
        }
    }
    return urls;
}

Json etagsJson(const QList<QByteArray> &etags)
{
    Json list = Json::array();
    for (const QByteArray &etag : etags) {
        list.push_back(etag.toStdString());
    }
    return Json{{"etags", list}};
}

QUrl withQueryValue(QUrl url, const QString &key, const QString &value)
{
    QUrlQuery query(url);
    query.removeQueryItem(key);
    query.addQueryItem(key, value);
    url.setQuery(query);
    return url;
}

qint64 peakRssKiB(qint64 pid)
{
    const QByteArray status = TestSupport::readFile(QStringLiteral("/proc/%1/status").arg(pid));
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+) kB"))
                                              .match(QString::fromLatin1(status));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// The date forms the project catalogue accepts.
bool isAcceptedDateForm(const QString &text)
{
    static const QList<QRegularExpression> forms = {
        QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{6}Z$")),
        QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z$")),
        QRegularExpression(QStringLiteral(
            "^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?(Z|[+-]\\d{2}:\\d{2})$")),
        QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}[+-]\\d{4}$")),
        QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$")),
        QRegularExpression(QStringLiteral("^\\d{2}/\\d{2}/\\d{4}$")),
    };
    for (const QRegularExpression &form : forms) {
        if (form.match(text).hasMatch()) {
            return true;
        }
    }
    return false;
}

Json validProject(const std::string &title = "Launch video")
{
    return Json{
        {"title", title},
        {"due_date", "28/02/2026"},
        {"channel_id", 2},
        {"notes_for_editor", "cut the intro"},
        {"selected_services", Json::array({Json{{"name", "thumbnail"}, {"quantity", 1}},
                                           Json{{"name", "reformatting"}, {"quantity", 1}}})}};
}

const QString kProjects = QStringLiteral("api/v1/creator/projects/");
const QString kChannels = QStringLiteral("api/v1/creator/channels/");

QString completePath(qint64 fileId)
{
    return QStringLiteral("api/v1/creator/files/%1/complete-upload").arg(fileId);
}

// Uploads data like the client (init, equal parts) and returns the init answer and the ETags
// as the parts answered them (with quotes).
struct UploadedParts {
    Json init;
    QList<QByteArray> parts;
    QList<QByteArray> etags;
};

UploadedParts uploadParts(Client &client, qint64 projectId, const QByteArray &data)
{
    UploadedParts result;
    result.init = client.initUpload(projectId, data.size());
    const QList<QUrl> urls = urlsOf(result.init);
    result.parts = cutLikeTheClient(data, urls.size());
    for (qsizetype k = 0; k < result.parts.size(); ++k) {
        const Reply reply = client.put(urls.at(k), result.parts.at(k));
        result.etags.append(reply.status == 200 ? reply.header("ETag") : QByteArray());
    }
    return result;
}

QByteArray unquoted(QByteArray etag)
{
    while (etag.startsWith('"')) {
        etag.remove(0, 1);
    }
    while (etag.endsWith('"')) {
        etag.chop(1);
    }
    return etag;
}

} // namespace

class TestSandbox : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startLinesGiveOriginAndToken()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        const QUrl base = sandbox.baseUrl();
        QCOMPARE(base.scheme(), QStringLiteral("http"));
        QCOMPARE(base.host(), QStringLiteral("127.0.0.1"));
        QVERIFY(base.port() > 0);
        QCOMPARE(base.path(), QStringLiteral("/"));
        QVERIFY(sandbox.token().startsWith(QStringLiteral("eyJ")));
        QVERIFY(sandbox.token().size() > 40);
        QCOMPARE(sandbox.token().count(QLatin1Char('.')), 2);

        // The printed port is the one that answers.
        Client client(sandbox);
        QCOMPARE(client.get(kChannels).status, 200);
    }

    void customTokenIsTheOnlyOneAccepted()
    {
        SandboxProcess sandbox({QStringLiteral("--token"), QStringLiteral("my-own-token")});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        QCOMPARE(sandbox.token(), QStringLiteral("my-own-token"));
        Client client(sandbox);
        QCOMPARE(client.get(kChannels).status, 200);
        SandboxProcess other;
        QVERIFY2(other.isRunning(), qPrintable(other.startError()));
        QCOMPARE(client.get(kChannels, other.authorization()).status, 401);
    }

    void apiRoutesWantTheBearerToken_data()
    {
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("credential"); // 0 none, 1 wrong token, 2 token without "Bearer"
        const QList<QPair<QByteArray, QString>> routes = {
            {"GET", kChannels},
            {"GET", kProjects},
            {"POST", kProjects},
            {"POST", QStringLiteral("api/v1/creator/projects/101/files/upload")},
            {"PATCH", completePath(1)},
        };
        for (const auto &[verb, path] : routes) {
            for (int credential : {0, 1, 2}) {
                QTest::addRow("%s %s cred%d", verb.constData(), qPrintable(path), credential)
                    << verb << path << credential;
            }
        }
    }
    void apiRoutesWantTheBearerToken()
    {
        QFETCH(QByteArray, verb);
        QFETCH(QString, path);
        QFETCH(int, credential);
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QByteArray authorization = credential == 0   ? kNoAuth
                                         : credential == 1 ? QByteArrayLiteral("Bearer eyJwrong")
                                                           : sandbox.token().toUtf8();
        const Json body = verb == "PATCH" ? Json{{"etags", Json::array()}} : validProject();
        const Reply reply = verb == "GET"    ? client.get(path, authorization)
                            : verb == "POST" ? client.post(path, body, authorization)
                                             : client.patch(path, body, authorization);
        QCOMPARE(reply.status, 401);
        QVERIFY2(reply.json().is_object() && reply.json()["detail"].is_string(),
                 qPrintable(reply.describe()));
        // A refused creation creates nothing.
        QCOMPARE(client.get(kProjects).json()["data"].size(), 12u);
    }

    void unknownPathsAndMethods()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        QCOMPARE(client.get(QStringLiteral("api/v1/creator/nothing/")).status, 404);
        QCOMPARE(client.get(QStringLiteral("api/v1/creator/channels")).status, 404);
        QCOMPARE(client.patch(kChannels, Json::object()).status, 405);
    }

    void channelsHaveTheDecodableShape()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const Reply reply = client.get(kChannels);
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.header("Content-Type").startsWith("application/json"));
        const Json channels = reply.json();
        QVERIFY2(channels.is_array(), qPrintable(reply.describe()));
        QCOMPARE(channels.size(), 3u);
        int withAvatar = 0, nullAvatar = 0, withoutKey = 0;
        QSet<qint64> ids;
        for (const Json &channel : channels) {
            QVERIFY(channel["id"].is_number_integer());
            QVERIFY(channel["name"].is_string());
            QVERIFY(!channel["name"].get<std::string>().empty());
            ids.insert(channel["id"].get<qint64>());
            if (!channel.contains("avatar_url")) {
                ++withoutKey;
            } else if (channel["avatar_url"].is_null()) {
                ++nullAvatar;
            } else {
                QVERIFY(channel["avatar_url"].is_string());
                ++withAvatar;
            }
        }
        QCOMPARE(ids.size(), 3);
        QCOMPARE(withAvatar, 1);
        QCOMPARE(nullAvatar, 1);
        QCOMPARE(withoutKey, 1);
    }

    void projectsListHasTwoPagesOfDemoProjects()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const Reply reply = client.get(kProjects);
        QCOMPARE(reply.status, 200);
        const Json list = reply.json();
        QVERIFY2(list.is_object() && list["data"].is_array(), qPrintable(reply.describe()));
        const Json &projects = list["data"];
        QCOMPARE(projects.size(), 12u); // two pages of seven
        QSet<qint64> ids;
        int dated = 0, withFiles = 0, withChannel = 0;
        for (const Json &project : projects) {
            QVERIFY(project.is_object());
            QVERIFY(project["id"].is_number_integer());
            ids.insert(project["id"].get<qint64>());
            QVERIFY(project["title"].is_string());
            QVERIFY(project["status"].is_string());
            if (project.contains("due_date") && !project["due_date"].is_null()) {
                const QString due = QString::fromStdString(project["due_date"].get<std::string>());
                QVERIFY2(isAcceptedDateForm(due), qPrintable(due));
                ++dated;
            }
            if (project.contains("channel") && project["channel"].is_object()) {
                QVERIFY(project["channel"]["id"].is_number_integer());
                QVERIFY(project["channel"]["name"].is_string());
                ++withChannel;
            }
            QVERIFY(project["files"].is_array());
            for (const Json &file : project["files"]) {
                QVERIFY(file["id"].is_number_integer());
                QVERIFY(file["name"].is_string());
                QVERIFY(file.contains("size"));
                QVERIFY(file["lock"].is_object());
                ++withFiles;
            }
            if (project.contains("addons")) {
                QVERIFY(project["addons"]["detailed"].is_array());
            }
        }
        QCOMPARE(ids.size(), 12);
        QVERIFY(dated >= 8);
        QVERIFY(withFiles >= 5);
        QVERIFY(withChannel >= 8);
    }

    void createdProjectIsListedFirst()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        QSet<qint64> seeded;
        const Json before = client.get(kProjects).json();
        for (const Json &project : before["data"]) {
            seeded.insert(project["id"].get<qint64>());
        }

        const Reply created = client.post(kProjects, validProject("Launch video"));
        QCOMPARE(created.status, 200);
        QVERIFY2(created.json()["id"].is_number_integer(), qPrintable(created.describe()));
        const qint64 id = created.json()["id"].get<qint64>();
        QVERIFY(!seeded.contains(id));

        Json noChannel = validProject("No channel yet");
        noChannel["channel_id"] = 0;
        noChannel["due_date"] = "";
        noChannel["notes_for_editor"] = "";
        const Reply second = client.post(kProjects, noChannel);
        QCOMPARE(second.status, 200);
        const qint64 secondId = second.json()["id"].get<qint64>();
        QVERIFY(secondId != id && !seeded.contains(secondId));

        const Json projects = client.get(kProjects).json()["data"];
        QCOMPARE(projects.size(), 14u);
        QCOMPARE(projects[0]["id"].get<qint64>(), secondId);
        QCOMPARE(projects[1]["id"].get<qint64>(), id);
        const Json &listed = projects[1];
        QCOMPARE(listed["title"].get<std::string>(), std::string("Launch video"));
        QCOMPARE(listed["due_date"].get<std::string>(), std::string("28/02/2026"));
        QCOMPARE(listed["channel"]["id"].get<qint64>(), 2);
        QCOMPARE(listed["files"].size(), 0u);
        QStringList addons;
        for (const Json &addon : listed["addons"]["detailed"]) {
            addons.append(QString::fromStdString(addon["type"].get<std::string>()));
        }
        QCOMPARE(addons,
                 QStringList({QStringLiteral("thumbnail"), QStringLiteral("reformatting")}));
        QCOMPARE(listed["no_video"].get<int>(), 1); // no long-form editing chosen
        QVERIFY(projects[0]["channel"].is_null());
        QVERIFY(projects[0]["due_date"].is_null());
    }

    void createProjectRejectsBadBodies_data()
    {
        QTest::addColumn<QByteArray>("body");
        const auto without = [](const char *key) {
            Json body = validProject();
            body.erase(key);
            return QByteArray::fromStdString(body.dump());
        };
        const auto with = [](const char *key, const Json &value) {
            Json body = validProject();
            body[key] = value;
            return QByteArray::fromStdString(body.dump());
        };
        QTest::newRow("not JSON") << QByteArrayLiteral("{\"title\": ");
        QTest::newRow("array") << QByteArrayLiteral("[]");
        QTest::newRow("empty body") << QByteArray();
        QTest::newRow("no title") << without("title");
        QTest::newRow("no due_date") << without("due_date");
        QTest::newRow("no channel_id") << without("channel_id");
        QTest::newRow("no notes") << without("notes_for_editor");
        QTest::newRow("no services") << without("selected_services");
        QTest::newRow("title number") << with("title", 5);
        QTest::newRow("empty title") << with("title", "");
        QTest::newRow("notes null") << with("notes_for_editor", nullptr);
        QTest::newRow("channel string") << with("channel_id", "2");
        QTest::newRow("channel double") << with("channel_id", 2.5);
        QTest::newRow("channel bool") << with("channel_id", true);
        QTest::newRow("unknown channel") << with("channel_id", 999);
        QTest::newRow("due date US order") << with("due_date", "02/28/2026x");
        QTest::newRow("services empty") << with("selected_services", Json::array());
        QTest::newRow("services object") << with("selected_services", Json::object());
        QTest::newRow("service unknown")
            << with("selected_services", Json::array({Json{{"name", "color"}, {"quantity", 1}}}));
        QTest::newRow("quantity string") << with(
            "selected_services", Json::array({Json{{"name", "thumbnail"}, {"quantity", "1"}}}));
        QTest::newRow("service without name")
            << with("selected_services", Json::array({Json{{"quantity", 1}}}));
    }
    void createProjectRejectsBadBodies()
    {
        QFETCH(QByteArray, body);
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const Reply reply = client.post(kProjects, body);
        QCOMPARE(reply.status, 400);
        QVERIFY2(reply.json()["detail"].is_string(), qPrintable(reply.describe()));
        QCOMPARE(client.get(kProjects).json()["data"].size(), 12u);
        // The same sandbox still takes a good body afterwards.
        QCOMPARE(client.post(kProjects, validProject()).status, 200);
    }

    void badOptionsAreRefusedWithUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("parts below the minimum")
            << QStringList{QStringLiteral("--part-mib"), QStringLiteral("4")}
            << QStringLiteral("--part-mib");
        QTest::newRow("port out of range")
            << QStringList{QStringLiteral("--port"), QStringLiteral("70000")}
            << QStringLiteral("--port");
        QTest::newRow("unknown fault")
            << QStringList{QStringLiteral("--fault"), QStringLiteral("nonsense=1")}
            << QStringLiteral("nonsense");
        QTest::newRow("unknown option")
            << QStringList{QStringLiteral("--bogus")} << QStringLiteral("--bogus");
    }
    void badOptionsAreRefusedWithUsage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, mentions);
        QProcess process;
        process.start(QString::fromUtf8(TestPrograms::kSandbox), arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.startsWith(QStringLiteral("vorlanta-sandbox: ")) && err.contains(mentions),
                 qPrintable(err));
        QVERIFY(process.readAllStandardOutput().isEmpty());
    }

    void uploadInitKeepsPartsAboveTheMinimum_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("urlCount");
        QTest::addColumn<int>("partMiB"); // the --part-mib option; 5 is the default
        QTest::newRow("empty") << qint64(0) << 1 << 5;
        QTest::newRow("1 byte") << qint64(1) << 1 << 5;
        QTest::newRow("5 MiB - 1") << kMinPart - 1 << 1 << 5;
        QTest::newRow("5 MiB") << kMinPart << 1 << 5;
        QTest::newRow("10 MiB - 1") << 2 * kMinPart - 1 << 1 << 5;
        QTest::newRow("10 MiB") << 2 * kMinPart << 2 << 5;
        QTest::newRow("12 MiB") << 12 * kMiB << 2 << 5;
        QTest::newRow("100 MiB") << 100 * kMiB << 20 << 5;
        QTest::newRow("100 MiB + 1") << 100 * kMiB + 1 << 20 << 5;
        QTest::newRow("60 GiB") << 60 * 1024 * kMiB << 10000 << 5;
        QTest::newRow("2 GiB in 256 MiB parts") << 2048 * kMiB << 8 << 256;
        QTest::newRow("2 GiB + 1 in 256 MiB parts") << 2048 * kMiB + 1 << 8 << 256;
        QTest::newRow("100 MiB in 256 MiB parts") << 100 * kMiB << 1 << 256;
    }
    void uploadInitKeepsPartsAboveTheMinimum()
    {
        QFETCH(qint64, size);
        QFETCH(int, urlCount);
        QFETCH(int, partMiB);
        SandboxProcess sandbox(
            partMiB == 5 ? QStringList()
                         : QStringList{QStringLiteral("--part-mib"), QString::number(partMiB)});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const Json init = client.initUpload(101, size);
        QVERIFY(init["file_id"].is_number_integer());
        const qint64 fileId = init["file_id"].get<qint64>();
        const QList<QUrl> urls = urlsOf(init);
        QCOMPARE(urls.size(), urlCount);

        const QRegularExpression shape(
            QStringLiteral("^http://127\\.0\\.0\\.1:%1/upload/%2/"
                           "(\\d+)\\?expires=(\\d+)&signature=[0-9a-f]{64}$")
                .arg(sandbox.port())
                .arg(fileId));
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (qsizetype k = 0; k < urls.size(); ++k) {
            const QRegularExpressionMatch match = shape.match(urls.at(k).toString());
            QVERIFY2(match.hasMatch(), qPrintable(urls.at(k).toString()));
            QCOMPARE(match.captured(1).toLongLong(), k + 1);
            const qint64 expires = match.captured(2).toLongLong();
            QVERIFY(expires >= now + 3500 && expires <= now + 3700); // one hour
        }

        if (size > 0) {
            const qint64 n = urls.size();
            const qint64 partSize = (size + n - 1) / n;
            const qint64 last = size - (n - 1) * partSize;
            if (n > 1) {
                QVERIFY(partSize >= qint64(partMiB) * kMiB);
            }
            QVERIFY(last > 0);
            QVERIFY(last <= partSize);
        }
        // Every init opens its own file.
        QVERIFY(client.initUpload(101, size)["file_id"].get<qint64>() != fileId);
    }

    void uploadInitRefusals_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const QString known = QStringLiteral("api/v1/creator/projects/101/files/upload");
        QTest::newRow("unknown project")
            << QStringLiteral("api/v1/creator/projects/9999/files/upload")
            << QByteArrayLiteral("{\"file_name\":\"a.mp4\",\"file_size\":10}") << 404;
        QTest::newRow("no size") << known << QByteArrayLiteral("{\"file_name\":\"a.mp4\"}") << 400;
        QTest::newRow("size string")
            << known << QByteArrayLiteral("{\"file_name\":\"a\",\"file_size\":\"10\"}") << 400;
        QTest::newRow("negative size")
            << known << QByteArrayLiteral("{\"file_name\":\"a\",\"file_size\":-1}") << 400;
        QTest::newRow("no name") << known << QByteArrayLiteral("{\"file_size\":10}") << 400;
        QTest::newRow("not JSON") << known << QByteArrayLiteral("file_size=10") << 400;
    }
    void uploadInitRefusals()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const Reply reply = client.post(path, body);
        QCOMPARE(reply.status, status);
        QVERIFY2(reply.json()["detail"].is_string(), qPrintable(reply.describe()));
    }

    void fullUploadArrivesIntact()
    {
        QTemporaryDir dataDir;
        SandboxProcess sandbox({QStringLiteral("--data-dir"), dataDir.path()});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QByteArray data = patternBytes(11 * kMiB + 123, 11);
        const Json init = client.initUpload(102, data.size(), QStringLiteral("interview.mov"));
        const QList<QUrl> urls = urlsOf(init);
        QCOMPARE(urls.size(), 2);
        const QList<QByteArray> parts = cutLikeTheClient(data, urls.size());
        QCOMPARE(parts.size(), 2);

        QList<QByteArray> etags;
        for (qsizetype k = 0; k < parts.size(); ++k) {
            const Reply reply = client.put(urls.at(k), parts.at(k));
            QCOMPARE(reply.status, 200);
            // S3 style: the quoted MD5 of the part.
            QCOMPARE(reply.header("ETag"), '"' + md5Hex(parts.at(k)) + '"');
            etags.append(unquoted(reply.header("ETag")));
        }
        const qint64 fileId = init["file_id"].get<qint64>();
        const Reply done = client.patch(completePath(fileId), etagsJson(etags));
        QCOMPARE(done.status, 200);
        QCOMPARE(done.json()["status"].get<std::string>(), std::string("completed"));

        const QString stored =
            dataDir.path() + QStringLiteral("/files/%1/interview.mov").arg(fileId);
        QVERIFY(TestSupport::readFile(stored) == data);

        bool listed = false;
        const Json projects = client.get(kProjects).json();
        for (const Json &project : projects["data"]) {
            if (project["id"].get<qint64>() != 102) {
                continue;
            }
            for (const Json &file : project["files"]) {
                if (file["id"].get<qint64>() == fileId) {
                    QCOMPARE(file["name"].get<std::string>(), std::string("interview.mov"));
                    QCOMPARE(file["size"].get<qint64>(), qint64(data.size()));
                    listed = true;
                }
            }
        }
        QVERIFY(listed);

        // Completed once: neither a second completion nor a late part is taken.
        QCOMPARE(client.patch(completePath(fileId), etagsJson(etags)).status, 400);
        QCOMPARE(client.put(urls.at(0), parts.at(0)).status, 404);
        QCOMPARE(sandbox.stop(), 0);
    }

    // Parts cut as planned are written in place and the completion is a rename; anything else
    // is joined. Whichever way, the stored file is the bytes of the last stored copy of each part.
    void storedFileIsTheLastCopyOfEachPart_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::newRow("cut as planned") << QStringLiteral("planned");
        QTest::newRow("cut differently") << QStringLiteral("uneven");
        QTest::newRow("part re-sent with other bytes") << QStringLiteral("resent");
        QTest::newRow("re-sent part breaks off") << QStringLiteral("broken");
        QTest::newRow("planned after an uneven copy") << QStringLiteral("replanned");
    }
    void storedFileIsTheLastCopyOfEachPart()
    {
        QFETCH(QString, scenario);
        QTemporaryDir dataDir;
        SandboxProcess sandbox({QStringLiteral("--data-dir"), dataDir.path()});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        QByteArray data = patternBytes(16 * kMiB + 5, 21);
        const Json init = client.initUpload(102, data.size(), QStringLiteral("cut.mov"));
        const QList<QUrl> urls = urlsOf(init);
        QCOMPARE(urls.size(), 3);
        QList<QByteArray> parts = cutLikeTheClient(data, urls.size());
        if (scenario == QStringLiteral("uneven")) {
            // Same total, every part above the minimum, none of the planned length.
            parts = {data.left(5 * kMiB), data.mid(5 * kMiB, 6 * kMiB), data.mid(11 * kMiB)};
        }
        if (scenario == QStringLiteral("replanned")) {
            // Part 2 first arrives one byte short of its plan (stored aside) and then as planned.
            parts[1].chop(1);
        }
        QList<QByteArray> etags;
        for (qsizetype k = 0; k < parts.size(); ++k) {
            const Reply reply = client.put(urls.at(k), parts.at(k));
            QVERIFY2(reply.status == 200, qPrintable(reply.describe()));
            etags.append(unquoted(reply.header("ETag")));
        }
        if (scenario == QStringLiteral("resent")) {
            // A client retry may send other bytes: the newer copy is the part.
            QByteArray other = patternBytes(parts.at(1).size(), 22);
            const Reply reply = client.put(urls.at(1), other);
            QCOMPARE(reply.status, 200);
            etags[1] = unquoted(reply.header("ETag"));
            data.replace(parts.at(0).size(), other.size(), other);
        } else if (scenario == QStringLiteral("broken")) {
            // Announces the planned length, sends half of other bytes, then hangs up.
            QTcpSocket socket;
            socket.connectToHost(QStringLiteral("127.0.0.1"), sandbox.port());
            QVERIFY(socket.waitForConnected(5000));
            const QByteArray target =
                urls.at(1).toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority);
            socket.write("PUT " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                         QByteArray::number(parts.at(1).size()) + "\r\n\r\n");
            socket.write(patternBytes(parts.at(1).size() / 2, 23));
            while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
            }
            socket.disconnectFromHost();
            // The sandbox notices the hang-up on its own time; a further request orders it after.
            QTest::qWait(200);
            QCOMPARE(client.put(urls.at(2), parts.at(2)).status, 200);
        } else if (scenario == QStringLiteral("replanned")) {
            const QByteArray planned = cutLikeTheClient(data, urls.size()).at(1);
            const Reply reply = client.put(urls.at(1), planned);
            QCOMPARE(reply.status, 200);
            etags[1] = unquoted(reply.header("ETag"));
        }
        const qint64 fileId = init["file_id"].get<qint64>();
        const Reply done = client.patch(completePath(fileId), etagsJson(etags));
        QVERIFY2(done.status == 200, qPrintable(done.describe()));
        const QByteArray stored =
            TestSupport::readFile(dataDir.path() + QStringLiteral("/files/%1/cut.mov").arg(fileId));
        QCOMPARE(stored.size(), data.size());
        QVERIFY(stored == data);
        // Nothing of the upload is left beside the file.
        QVERIFY(!QFileInfo::exists(dataDir.path() + QStringLiteral("/parts/%1").arg(fileId)));
        QCOMPARE(sandbox.stop(), 0);
    }

    void emptyFileCompletesWithoutParts()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const Json init = client.initUpload(103, 0);
        QCOMPARE(urlsOf(init).size(), 1);
        const qint64 fileId = init["file_id"].get<qint64>();
        // The client sends no PUT for an empty file and completes with no ETags.
        QCOMPARE(client.patch(completePath(fileId), etagsJson({})).status, 200);
    }

    void completeRejectsWrongEtags_data()
    {
        QTest::addColumn<QString>("mistake");
        QTest::newRow("one ETag changed") << QStringLiteral("changed");
        QTest::newRow("quotes kept") << QStringLiteral("quoted");
        QTest::newRow("one ETag missing") << QStringLiteral("missing");
        QTest::newRow("one ETag too many") << QStringLiteral("extra");
        QTest::newRow("order swapped") << QStringLiteral("swapped");
        QTest::newRow("part never sent") << QStringLiteral("unsent");
        QTest::newRow("etags not strings") << QStringLiteral("numbers");
        QTest::newRow("unknown file") << QStringLiteral("unknown");
    }
    void completeRejectsWrongEtags()
    {
        QFETCH(QString, mistake);
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QByteArray data = patternBytes(10 * kMiB + 7, 3);
        UploadedParts upload = uploadParts(client, 104, data);
        QCOMPARE(upload.etags.size(), 2);
        qint64 fileId = upload.init["file_id"].get<qint64>();
        QList<QByteArray> etags;
        for (const QByteArray &etag : upload.etags) {
            etags.append(unquoted(etag));
        }
        Json body;
        if (mistake == QStringLiteral("changed")) {
            etags[1][0] = etags[1][0] == 'a' ? 'b' : 'a';
        } else if (mistake == QStringLiteral("quoted")) {
            etags = upload.etags;
        } else if (mistake == QStringLiteral("missing")) {
            etags.removeLast();
        } else if (mistake == QStringLiteral("extra")) {
            etags.append(etags.first());
        } else if (mistake == QStringLiteral("swapped")) {
            etags.swapItemsAt(0, 1);
        } else if (mistake == QStringLiteral("unsent")) {
            // A second file of the same size, of which only part 1 is sent.
            const Json init = client.initUpload(104, data.size());
            QCOMPARE(client.put(urlsOf(init).at(0), upload.parts.at(0)).status, 200);
            fileId = init["file_id"].get<qint64>();
        } else if (mistake == QStringLiteral("numbers")) {
            body = Json{{"etags", Json::array({1, 2})}};
        }
        if (body.is_null()) {
            body = etagsJson(etags);
        }
        const Reply reply = mistake == QStringLiteral("unknown")
                                ? client.patch(completePath(987654), body)
                                : client.patch(completePath(fileId), body);
        QCOMPARE(reply.status, mistake == QStringLiteral("unknown") ? 404 : 400);
        QVERIFY2(reply.json()["detail"].is_string(), qPrintable(reply.describe()));

        // A refused completion leaves the upload open: the right ETags still complete it.
        if (mistake != QStringLiteral("unsent") && mistake != QStringLiteral("unknown")) {
            QList<QByteArray> right;
            for (const QByteArray &etag : upload.etags) {
                right.append(unquoted(etag));
            }
            QCOMPARE(client.patch(completePath(fileId), etagsJson(right)).status, 200);
        }
    }

    void partsBelowTheMinimumCannotComplete()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QByteArray data = patternBytes(12 * kMiB, 5);
        const Json init = client.initUpload(105, data.size());
        const QList<QUrl> urls = urlsOf(init);
        QCOMPARE(urls.size(), 2);
        // Cut 1 MiB + rest instead of equal halves: same total, a first part under 5 MiB.
        const QList<QByteArray> parts = {data.left(kMiB), data.mid(kMiB)};
        QList<QByteArray> etags;
        for (qsizetype k = 0; k < 2; ++k) {
            const Reply reply = client.put(urls.at(k), parts.at(k));
            QCOMPARE(reply.status, 200);
            etags.append(unquoted(reply.header("ETag")));
        }
        const Reply reply =
            client.patch(completePath(init["file_id"].get<qint64>()), etagsJson(etags));
        QCOMPARE(reply.status, 400);
    }

    void partsThatDoNotAddUpCannotComplete()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QByteArray data = patternBytes(3000, 6);
        const Json init = client.initUpload(105, data.size() + 1); // announced one byte more
        const Reply part = client.put(urlsOf(init).at(0), data);
        QCOMPARE(part.status, 200);
        const Reply reply = client.patch(completePath(init["file_id"].get<qint64>()),
                                         etagsJson({unquoted(part.header("ETag"))}));
        QCOMPARE(reply.status, 400);
    }

    void partPutRefusesAuthorizationHeader()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QByteArray data = patternBytes(1000, 7);
        const Json init = client.initUpload(106, data.size());
        const QUrl url = urlsOf(init).at(0);
        const Reply refused = client.put(url, data, sandbox.authorization());
        QVERIFY2(refused.status == 400 || refused.status == 403, qPrintable(refused.describe()));
        QVERIFY(refused.body.contains("<Error>"));
        QVERIFY(!refused.hasHeader("ETag"));
        // The same URL without the header is fine.
        const Reply accepted = client.put(url, data);
        QCOMPARE(accepted.status, 200);
        QCOMPARE(accepted.header("ETag"), '"' + md5Hex(data) + '"');
    }

    void partPutRefusesTamperedUrls_data()
    {
        QTest::addColumn<QString>("tamper");
        QTest::newRow("signature changed") << QStringLiteral("signature");
        QTest::newRow("expiry extended") << QStringLiteral("expires");
        QTest::newRow("other part number") << QStringLiteral("part");
        QTest::newRow("other file id") << QStringLiteral("file");
        QTest::newRow("no signature") << QStringLiteral("nosignature");
        QTest::newRow("no query") << QStringLiteral("noquery");
    }
    void partPutRefusesTamperedUrls()
    {
        QFETCH(QString, tamper);
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QByteArray data = patternBytes(100, 8);
        const Json init = client.initUpload(107, 12 * kMiB);
        client.initUpload(107, 12 * kMiB); // another file, so other ids exist
        QUrl url = urlsOf(init).at(0);
        const QUrlQuery query(url);
        if (tamper == QStringLiteral("signature")) {
            QString signature = query.queryItemValue(QStringLiteral("signature"));
            signature[5] = signature[5] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
            url = withQueryValue(url, QStringLiteral("signature"), signature);
        } else if (tamper == QStringLiteral("expires")) {
            url = withQueryValue(
                url, QStringLiteral("expires"),
                QString::number(query.queryItemValue(QStringLiteral("expires")).toLongLong() +
                                3600));
        } else if (tamper == QStringLiteral("part")) {
            url.setPath(url.path().replace(QStringLiteral("/1"), QStringLiteral("/2")));
        } else if (tamper == QStringLiteral("file")) {
            const qint64 fileId = init["file_id"].get<qint64>();
            url.setPath(QStringLiteral("/upload/%1/1").arg(fileId + 1));
        } else if (tamper == QStringLiteral("nosignature")) {
            QUrlQuery stripped(query);
            stripped.removeQueryItem(QStringLiteral("signature"));
            url.setQuery(stripped);
        } else {
            url.setQuery(QString());
        }
        QVERIFY(url != urlsOf(init).at(0));
        const Reply reply = client.put(url, data);
        QCOMPARE(reply.status, 403);
        QVERIFY(reply.body.contains("<Error>"));
        QVERIFY(!reply.hasHeader("ETag"));
    }

    void partPutRefusesExpiredUrl()
    {
        SandboxProcess sandbox({QStringLiteral("--fault"), QStringLiteral("url-ttl=1")});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QByteArray data = patternBytes(100, 9);
        const Json init = client.initUpload(108, data.size());
        const QUrl url = urlsOf(init).at(0);
        QThread::msleep(2100);
        const Reply reply = client.put(url, data);
        QCOMPARE(reply.status, 403);
        QVERIFY(reply.body.contains("expired"));
        // A fresh init gives a fresh, working URL.
        QCOMPARE(client.put(urlsOf(client.initUpload(108, data.size())).at(0), data).status, 200);
    }

    void partPutWantsContentLength()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        const QUrl url = urlsOf(client.initUpload(109, 5)).at(0);
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), sandbox.port());
        QVERIFY(socket.waitForConnected(5000));
        const QByteArray target = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority);
        socket.write("PUT " + target +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
        QByteArray answer;
        while (!answer.contains("</Error>") && socket.waitForReadyRead(5000)) {
            answer += socket.readAll();
        }
        QVERIFY2(answer.startsWith("HTTP/1.1 411"), answer.constData());
        QVERIFY(!answer.toLower().contains("etag:"));
        QCOMPARE(sandbox.stop(), 0);
    }

    void faultsAreSwitchable_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("status"); // 0: the connection ends without an answer
        QTest::addColumn<bool>("etag");
        const auto fault = [](const char *assignment) {
            return QStringList{QStringLiteral("--fault"), QString::fromLatin1(assignment)};
        };
        QTest::newRow("part, no fault") << QStringList() << QStringLiteral("part") << 200 << true;
        QTest::newRow("part-500") << fault("part-500=1") << QStringLiteral("part") << 500 << false;
        QTest::newRow("missing-etag")
            << fault("missing-etag=1") << QStringLiteral("part") << 200 << false;
        QTest::newRow("part-drop") << fault("part-drop=1") << QStringLiteral("part") << 0 << false;
        QTest::newRow("create, no fault")
            << QStringList() << QStringLiteral("create") << 200 << false;
        QTest::newRow("status-201")
            << fault("status-201=1") << QStringLiteral("create") << 201 << false;
        QTest::newRow("api-500 create")
            << fault("api-500=1") << QStringLiteral("create") << 500 << false;
        QTest::newRow("api-500 channels")
            << fault("api-500=1") << QStringLiteral("channels") << 500 << false;
        QTest::newRow("part-500=0 never")
            << fault("part-500=0") << QStringLiteral("part") << 200 << true;
    }
    void faultsAreSwitchable()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, request);
        QFETCH(int, status);
        QFETCH(bool, etag);
        SandboxProcess sandbox(arguments);
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        Reply reply;
        if (request == QStringLiteral("part")) {
            const QByteArray data = patternBytes(256 * 1024, 10);
            reply = client.put(urlsOf(client.initUpload(110, data.size())).at(0), data);
        } else if (request == QStringLiteral("create")) {
            reply = client.post(kProjects, validProject());
            if (status == 201) {
                QVERIFY(reply.json()["id"].is_number_integer()); // a valid body, just not 200
            }
        } else {
            reply = client.get(kChannels);
        }
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.hasHeader("ETag"), etag);
        if (status == 0) {
            QVERIFY(reply.error != QNetworkReply::NoError);
        }
        QCOMPARE(sandbox.stop(), 0);
    }

    void delayFaultSlowsEveryRequest()
    {
        SandboxProcess sandbox({QStringLiteral("--fault"), QStringLiteral("delay-ms=400")});
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        for (const QString &path : {kChannels, QStringLiteral("no/such/path")}) {
            QElapsedTimer clock;
            clock.start();
            client.get(path);
            QVERIFY2(clock.elapsed() >= 400, qPrintable(path));
        }
    }

    void seededFaultsRepeat()
    {
        const auto statuses = [] {
            SandboxProcess sandbox({QStringLiteral("--seed"), QStringLiteral("7"),
                                    QStringLiteral("--fault"), QStringLiteral("part-500=0.5")});
            Client client(sandbox);
            const QByteArray data = patternBytes(1000, 12);
            const QUrl url = urlsOf(client.initUpload(111, data.size())).at(0);
            QList<int> seen;
            for (int i = 0; i < 16; ++i) {
                seen.append(client.put(url, data).status);
            }
            return seen;
        };
        const QList<int> first = statuses();
        QCOMPARE(statuses(), first);
        QVERIFY(first.contains(200));
        QVERIFY(first.contains(500));
        QVERIFY(!first.contains(0));
    }

    void stopsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void stopsCleanlyOnSignal()
    {
        QFETCH(int, signalNumber);
        QTemporaryDir tmp;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), tmp.path());
        SandboxProcess sandbox({}, environment);
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        {
            Client client(sandbox);
            const QByteArray data = patternBytes(1000, 13);
            QCOMPARE(client.put(urlsOf(client.initUpload(112, data.size())).at(0), data).status,
                     200);
        }
        // The default data directory lives in TMPDIR while running and goes away at exit.
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
        ::kill(pid_t(sandbox.processId()), signalNumber);
        QTRY_VERIFY_WITH_TIMEOUT(!sandbox.isRunning(), 10000);
        QCOMPARE(sandbox.stop(), 0);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 0);
    }

    void busyPortIsRefused()
    {
        SandboxProcess first;
        QVERIFY2(first.isRunning(), qPrintable(first.startError()));
        QProcess second;
        second.start(
            QString::fromUtf8(TestPrograms::kSandbox),
            {QStringLiteral("--port"), QString::number(first.port()), QStringLiteral("--quiet")});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardOutput().isEmpty());
    }

    void partBodiesAreStreamedToDisk()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        Client client(sandbox);
        // Warm up threads and buffers first, so the peak below is what the big body adds.
        const QByteArray small = patternBytes(256 * 1024, 14);
        QCOMPARE(client.put(urlsOf(client.initUpload(101, small.size())).at(0), small).status, 200);
        const qint64 before = peakRssKiB(sandbox.processId());
        QVERIFY(before > 0);

        const qint64 size = 200 * kMiB;
        QFile file(TestSupport::root() + QStringLiteral("/big.bin"));
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
        QCryptographicHash md5(QCryptographicHash::Md5);
        QByteArray block = patternBytes(kMiB, 15);
        for (qint64 i = 0; i < size / kMiB; ++i) {
            block[0] = char(i); // every block differs
            md5.addData(block);
            QCOMPARE(file.write(block), qint64(block.size()));
        }
        QVERIFY(file.seek(0));

        const QUrl url = urlsOf(client.initUpload(101, size)).at(0);
        const Reply reply = client.put(url, &file);
        QVERIFY2(reply.status == 200, qPrintable(reply.describe()));
        QCOMPARE(reply.header("ETag"), '"' + md5.result().toHex() + '"');
        const qint64 growth = peakRssKiB(sandbox.processId()) - before;
        QVERIFY2(growth < 32 * 1024,
                 qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(growth)));
        QCOMPARE(sandbox.stop(), 0);
        file.close();
        file.remove();
    }
};

VORLANTA_TEST_MAIN(TestSandbox)
#include "tst_Sandbox.moc"
