#include "BuildConfig.h"
#include "core/api/AuthStore.h"
#include "core/upload/MissingFilesViewModel.h"
#include "support/NetworkUploadTestHelpers.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QTimeZone>
#include <QtCore/QTimer>
#include <QtTest/QSignalSpy>

#include <limits>
#include <numeric>

using namespace TestSupport;
using namespace Qt::StringLiterals;
using Card = MissingFilesViewModel::ProjectCard;
using Json = nlohmann::json;
using B = QByteArray;
using V = QVariant;

namespace {

const QString kToken = u"catalogue-test-token-7f3a"_s;

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), QTimeZone::utc());
}

QList<qint64> idsOf(const QList<Card> &cards)
{
    QList<qint64> ids;
    std::ranges::transform(cards, std::back_inserter(ids), &Card::id);
    return ids;
}

QList<qint64> descending(qint64 last, qint64 first)
{
    QList<qint64> ids(last - first + 1);
    std::iota(ids.rbegin(), ids.rend(), first);
    return ids;
}

// Sets or clears VORLANTA_API_BASE_URL for one scope, and saves the token.
struct BaseUrlEnv {
    static constexpr const char *k = MissingFilesViewModel::kEnvBaseUrl;
    explicit BaseUrlEnv(const QString &v, const QString &token = {})
    {
        v.isNull() ? qunsetenv(k) : qputenv(k, v.toUtf8());
        AuthStore::save(AuthState{token, std::nullopt});
    }
    ~BaseUrlEnv() { qunsetenv(k); }
};

} // namespace

class TestMissingFilesViewModel : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { AuthStore::deleteAuthState(); }
    void cleanupTestCase() { AuthStore::deleteAuthState(); }

    // Dates in every form the service sends (others are not read), and sizes to their limits.
    void datesAndSizes_data()
    {
        // expected: a QDateTime (invalid: not read) or a size
        columns<QByteArray, QVariant>("json", "expected");
        const auto date = [](const char *text) { return B("\"" + B(text) + "\""); };
        const auto at = [](auto... parts) { return V(utc(parts...)); };
        addRow("microseconds", date("2025-06-30T12:00:00.123456Z"), at(2025, 6, 30, 12, 0, 0, 123));
        addRow("milliseconds", date("2025-06-30T09:30:00.250Z"), at(2025, 6, 30, 9, 30, 0, 250));
        addRow("offset", date("2025-06-30T18:00:00.5+02:00"), at(2025, 6, 30, 16, 0, 0, 500));
        addRow("negative offset", date("2025-06-30T23:00:00-05:00"), at(2025, 7, 1, 4));
        addRow("numeric zone", date("2025-06-30T08:00:00-0130"), at(2025, 6, 30, 9, 30));
        addRow("day", date("2025-06-30"), at(2025, 6, 30));
        addRow("day first", date("30/06/2025"), at(2025, 6, 30));
        addRow("month first is not read", date("06/30/2025"), V(QDateTime()));
        addRow("trailing newline", date("2025-06-30\\n"), V(QDateTime()));
        addRow("negative float toward zero", B("-12.9"), V(qint64(-12)));
        addRow("u64 max", B("18446744073709551615"), V(std::numeric_limits<qint64>::max()));
        addRow("string digits", B(R"("+1048576")"), V(qint64(1048576)));
        addRow("string with unit", B(R"("1 MB")"), V(qint64(0)));
        addRow("string overflow", B(R"("99999999999999999999")"), V(qint64(0)));
    }
    void datesAndSizes()
    {
        const auto [json, expected] = fetch<QByteArray, QVariant>("json", "expected");
        const Json value = Json::parse(json.toStdString());
        if (expected.typeId() != QMetaType::QDateTime) {
            QCOMPARE(MissingFilesViewModel::parseSize(value), expected.toLongLong());
            return;
        }
        const std::optional<QDateTime> parsed = MissingFilesViewModel::parseDate(value);
        QCOMPARE(parsed.has_value(), expected.toDateTime().isValid());
        QCOMPARE(parsed.value_or(QDateTime()).toUTC(), expected.toDateTime());
    }

    // Where the client comes from: the base URL given, else the environment's, and the token.
    void clientFromEnvironment_data()
    {
        // env null: unset; base empty: no client
        columns<QString, QString, QString, QString>("env", "token", "base", "status");
        row("unset", QString(), kToken, BuildConfig::kApiBaseUrl, "");
        row("set verbatim", "http://127.0.0.1:9/b", kToken, "http://127.0.0.1:9/b", "");
        row("invalid", "http://", kToken, "", "Invalid API base URL: http://");
        row("no token", QString(), "", "", "Not logged in. Please sign in to load projects.");
    }
    void clientFromEnvironment()
    {
        const auto [env, token, base, status] =
            fetch<QString, QString, QString, QString>("env", "token", "base", "status");
        const BaseUrlEnv scoped(env, token);
        const MissingFilesViewModel given(u"http://[::1]:8/c"_s); // wins over the environment
        QCOMPARE(given.apiClient() ? given.apiClient()->baseURL() : QUrl(),
                 QUrl(token.isEmpty() ? QString() : u"http://[::1]:8/c"_s));
        MissingFilesViewModel model;
        QCOMPARE(model.statusText(), status);
        QCOMPARE(model.apiClient() ? model.apiClient()->baseURL().toString() : QString(), base);
        if (!model.apiClient()) {
            await(model.loadProjectsAsync());
            QCOMPARE(model.statusText(), u"Authentication required before loading projects."_s);
        }
    }

    // Refusals in plain words, never a bare error number.
    void serviceErrors_data()
    {
        columns<int, QString>("status", "text");
        row("sign-in", 401, "Your sign-in is no longer valid. Please sign in again.");
        row("failed", 503,
            "The service could not complete the request (HTTP 503). Please try again later.");
        row("not 200", 201, "The service gave an unexpected answer (HTTP 201).");
    }
    void serviceErrors()
    {
        const auto [status, text] = fetch<int, QString>("status", "text");
        LoopbackPeer peer(status, "{}");
        const BaseUrlEnv env(peer.url().toString(), kToken);
        MissingFilesViewModel model;
        await(model.loadProjectsAsync());
        QCOMPARE(model.statusText(), u"Error: "_s + text);
    }

    void loadFromSandbox()
    {
        SandboxProcess sandbox;
        QVERIFY2(sandbox.isRunning(), qPrintable(sandbox.startError()));
        const BaseUrlEnv env(sandbox.baseUrl().toString(), sandbox.token());
        MissingFilesViewModel model;
        QSignalSpy all(&model, &MissingFilesViewModel::allProjectsChanged);
        model.loadProjects();
        QTRY_COMPARE_WITH_TIMEOUT(all.size(), 1, 10000);
        // The sandbox lists the newest project first; the model keeps that order.
        QCOMPARE(idsOf(model.allProjects()), descending(112, 101));
        const QDate day = QDateTime::currentDateTimeUtc().date().addDays(-20);
        const QDateTime due = utc(day.year(), day.month(), day.day(), 12);
        const Card::ChannelInfo kitchen{1, u"Kitchen Table Cooking"_s};
        Card garden{101, u"Spring Garden Tour"_s, {}, kitchen, true, false, true, due};
        garden.files = {{5001, u"garden-a-roll.mp4"_s, 734003200, QString(), false},
                        {5002, u"garden-b-roll.mov"_s, 268435456, QString(), false}};
        QCOMPARE(model.allProjects().last(), garden);

        // Pages of seven: 7 then 5, and no page past the last.
        QCOMPARE(model.pageCount(), 2);
        QCOMPARE(idsOf(model.paginatedProjects()), descending(112, 106));
        model.nextPage();
        model.nextPage();
        QCOMPARE(model.currentPage(), 2);
        QCOMPARE(idsOf(model.paginatedProjects()), descending(105, 101));
        model.setCurrentPage(3);
        QVERIFY(model.paginatedProjects().isEmpty());
        // Every assignment of the search text, even the same one, refilters from page 1.
        model.setCurrentPage(2);
        model.setSearchQuery(QString());
        QCOMPARE(model.currentPage(), 1);
        // A load returns to page 1.
        model.nextPage();
        await(model.loadProjectsAsync());
        QCOMPARE(model.currentPage(), 1);
    }

    void search_data()
    {
        columns<QString, QList<qint64>>("query", "ids");
        addRow("upper accented", u"ÉTÉ"_s, QList<qint64>{1, 3});
        addRow("one space not trimmed", u" "_s, QList<qint64>{1, 2, 3});
        addRow("sharp s", u"STRASSE"_s, QList<qint64>{4});
        addRow("no match", u"xyz"_s, QList<qint64>{});
    }
    // Then answers that are not a list of objects keep the lists, a bare array is read too, and
    // an empty list clears them.
    void search()
    {
        const auto [query, ids] = fetch<QString, QList<qint64>>("query", "ids");
        auto body = std::make_shared<QByteArray>(
            R"({"data":[{"id":1,"title":"Été à Paris"},{"id":2,"title":"Summer Paris"},)"
            R"({"id":3,"title":"Un été indien"},{"id":4,"title":"Straße"}]})");
        LoopbackPeer peer(
            [body](QTcpSocket *socket, const SeenRequest &) { respond(socket, 200, *body); });
        const BaseUrlEnv env(peer.url().toString(), kToken);
        MissingFilesViewModel model;
        await(model.loadProjectsAsync());
        QSignalSpy filtered(&model, &MissingFilesViewModel::filteredProjectsChanged);
        model.setSearchQuery(query);
        QCOMPARE(filtered.size(), 1);
        QCOMPARE(idsOf(model.filteredProjects()), ids);
        QCOMPARE(model.allProjects().size(), 4);

        *body = R"({"data":[{"id":1},2]})";
        await(model.loadProjectsAsync());
        QCOMPARE(model.statusText(), u"Error: Unexpected projects response format"_s);
        QCOMPARE(model.allProjects().size(), 4);
        QCOMPARE(idsOf(model.filteredProjects()), ids);
        // A load shows every project, whatever the search text.
        *body = R"([{"id":3},{"title":"x"}])";
        await(model.loadProjectsAsync());
        QCOMPARE(idsOf(model.allProjects()), (QList<qint64>{3, 0}));
        QCOMPARE(idsOf(model.filteredProjects()), (QList<qint64>{3, 0}));
        *body = R"({"data":[]})";
        await(model.loadProjectsAsync());
        QCOMPARE(model.statusText(), u"No projects found or failed to load projects."_s);
        QVERIFY(model.allProjects().isEmpty() && model.filteredProjects().isEmpty());
    }

    void modelGoneDuringLoad()
    {
        LoopbackPeer peer([](QTcpSocket *socket, const SeenRequest &) {
            QTimer::singleShot(500, socket, [socket] { respond(socket, 200, "[]"); });
        });
        const BaseUrlEnv env(peer.url().toString(), kToken);
        auto model = std::make_unique<MissingFilesViewModel>();
        model->loadProjects();
        QTRY_COMPARE(peer.requests().size(), 1);
        model.reset(); // while the answer is on its way
        QTest::qWait(800);
    }
};

VORLANTA_TEST_MAIN(TestMissingFilesViewModel)
#include "tst_MissingFilesViewModel.moc"
