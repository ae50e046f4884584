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

QDateTime utc(int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(2025, 3, 1), QTime(h, mi, s, ms), QTimeZone::utc());
}

} // namespace

class TestReleaseManifest : public QObject {
    Q_OBJECT
private slots:
    void compareVersion_data()
    {
        columns<QString, QString, int>("a", "b", "order"); // order -1: a older, 0: same, 1: newer
        for (const auto &[a, b, order] : std::vector<std::tuple<const char *, const char *, int>>{
                 {"1.2", "1.2.0", 0},
                 {"1.10", "1.9", 1},
                 {"2.0", "1.10.5", 1},
                 {"1.2-beta", "1.2", -1},
                 {"1.02", "1.2", 0},
                 {"", "0.0", 0},
                 {"99999999999999999999", "1", -1}}) { // too big counts as 0
            QTest::addRow("%s vs %s", a, b)
                << QString::fromUtf8(a) << QString::fromUtf8(b) << order;
        }
    }
    void compareVersion()
    {
        const auto [a, b, order] = fetch<QString, QString, int>("a", "b", "order");
        const Order expected = order < 0   ? Order::ascending
                               : order > 0 ? Order::descending
                                           : Order::same;
        QCOMPARE(VersionComparison::compareVersion(a, b), expected);
        QCOMPARE(VersionComparison::isManifestNewer(a, b), order > 0);
        QVERIFY(VersionComparison::isManifestNewer(a, std::nullopt)); // unknown: every one is newer
    }

    // One key's value replaced (JSON; empty: the key removed), and the date it then decodes to
    // (invalid: the decode fails).
    void decodesEveryKeyAndDateForm_data()
    {
        columns<QString, QString, QDateTime>("key", "value", "expected");
        const auto date = [](const char *text, const QDateTime &expected) {
            row(text, "last_modified", u'"' + QString::fromUtf8(text) + u'"', expected);
        };
        date("2025-03-01T10:20:30Z", utc(10, 20, 30));
        date("2025-03-01T10:20:30.123Z", utc(10, 20, 30, 123));
        date("2025-03-01T10:20:30.123456Z", utc(10, 20, 30, 123));
        date("2025-03-01T12:20:30+02:00", utc(10, 20, 30));
        date("2025-03-01 10:20:30Z", QDateTime());
        date("2025-03-01T10:20:30", QDateTime());
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
        const ReleaseManifest manifest = ReleaseManifest::decode(json);
        QCOMPARE(manifest.lastModified, expected);
        const QStringList fields{manifest.version,  manifest.downloadURL.toString(),
                                 manifest.sha256,   QString::number(manifest.size),
                                 manifest.filename, manifest.etag};
        QCOMPARE(fields.join(u' '),
                 QStringLiteral("1.4.0 https://download.vorlanta.example/"
                                "V-1.4.0.tar.gz ab12 1234 V-1.4.0.tar.gz \"e1\""));
    }
};

VORLANTA_TEST_MAIN(TestReleaseManifest)
#include "tst_ReleaseManifest.moc"
