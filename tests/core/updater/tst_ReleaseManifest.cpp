#include "core/updater/ReleaseManifest.h"
#include "support/TestEnvironment.h"
#include "support/UpdateTestHelpers.h"

#include <QtCore/QTimeZone>

#include <nlohmann/json.hpp>

using Order = VersionComparison::Order;
using Json = nlohmann::json;
using namespace UpdateTest;

namespace {

const Json kManifest{{"version", "1.4.0"},
                     {"download_url", "https://download.vorlanta.example/V-1.4.0.tar.gz"},
                     {"sha256", "ab12"},
                     {"size", 1234},
                     {"filename", "V-1.4.0.tar.gz"},
                     {"last_modified", "2025-03-01T10:20:30Z"},
                     {"etag", "\"e1\""}};

} // namespace

class TestReleaseManifest : public QObject {
    Q_OBJECT
private slots:
    void compareVersion_data()
    {
        columns<QString, QString, Order>("a", "b", "order"); // ascending: a is older
        row("1.2 vs 1.2.0", "1.2", "1.2.0", Order::same);
        row("1.10 vs 1.9", "1.10", "1.9", Order::descending);
        row("2.0 vs 1.10.5", "2.0", "1.10.5", Order::descending);
        row("1.2-beta vs 1.2", "1.2-beta", "1.2", Order::ascending);
        row("1.02 vs 1.2", "1.02", "1.2", Order::same);
        row("empty vs 0.0", "", "0.0", Order::same);
        row("too big counts as 0", "99999999999999999999", "1", Order::ascending);
    }
    void compareVersion()
    {
        const auto [a, b, order] = fetch<QString, QString, Order>("a", "b", "order");
        QCOMPARE(VersionComparison::compareVersion(a, b), order);
        QCOMPARE(VersionComparison::isManifestNewer(a, b), order == Order::descending);
        QVERIFY(VersionComparison::isManifestNewer(a, std::nullopt)); // unknown: every one is newer
    }

    // One key's value replaced (JSON; empty: the key removed), and the date it then decodes to
    // (invalid: the decode fails).
    void decodesEveryKeyAndDateForm_data()
    {
        columns<QString, QString, QDateTime>("key", "value", "expected");
        const auto date = [](const char *text, int ms) { // ms < 0: refused
            const QDateTime at(QDate(2025, 3, 1), QTime(10, 20, 30, ms), QTimeZone::utc());
            row(text, "last_modified", u'"' + QString::fromUtf8(text) + u'"',
                ms < 0 ? QDateTime() : at);
        };
        date("2025-03-01T10:20:30Z", 0);
        date("2025-03-01T10:20:30.123Z", 123);
        date("2025-03-01T10:20:30.123456Z", 123);
        date("2025-03-01T12:20:30+02:00", 0);
        date("2025-03-01 10:20:30Z", -1);
        date("2025-03-01T10:20:30", -1);
        for (const auto &item : kManifest.items()) {
            const QString key = QString::fromStdString(item.key());
            QTest::addRow("%s missing", item.key().c_str()) << key << QString() << QDateTime();
            QTest::addRow("%s null", item.key().c_str()) << key << "null"_q << QDateTime();
        }
        row("size as a string", "size", "\"1234\"", QDateTime());
    }
    void decodesEveryKeyAndDateForm()
    {
        const auto [key, value, expected] =
            fetch<QString, QString, QDateTime>("key", "value", "expected");
        Json document = kManifest;
        if (value.isEmpty()) {
            document.erase(key.toStdString());
        } else {
            document[key.toStdString()] = Json::parse(value.toStdString());
        }
        const QByteArray json = QByteArray::fromStdString(document.dump());
        if (!expected.isValid()) {
            QVERIFY_THROWS_EXCEPTION(ManifestDecodeError, ReleaseManifest::decode(json));
            return;
        }
        const ReleaseManifest m = ReleaseManifest::decode(json);
        QCOMPARE(m.lastModified, expected);
        QCOMPARE(m.size, 1234);
        QCOMPARE(QStringList({m.version, m.downloadURL.toString(), m.sha256, m.filename, m.etag}),
                 QStringList({"1.4.0"_q, "https://download.vorlanta.example/V-1.4.0.tar.gz"_q,
                              "ab12"_q, "V-1.4.0.tar.gz"_q, "\"e1\""_q}));
    }
};

VORLANTA_TEST_MAIN(TestReleaseManifest)
#include "tst_ReleaseManifest.moc"
