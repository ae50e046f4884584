#include "core/updater/ReleaseManifest.h"
#include "support/TestEnvironment.h"

#include <QtCore/QTimeZone>

#include <nlohmann/json.hpp>

using Order = VersionComparison::Order;
using Json = nlohmann::json;

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
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order"); // -1: a older, 0: same, 1: a newer
        for (const auto &[a, b, order] : std::vector<std::tuple<const char *, const char *, int>>{
                 {"1.2", "1.2.0", 0},
                 {"1.10", "1.9", 1},
                 {"1.2.9", "1.2.10", -1},
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
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        const Order expected = order < 0   ? Order::ascending
                               : order > 0 ? Order::descending
                                           : Order::same;
        QCOMPARE(VersionComparison::compareVersion(a, b), expected);
        QCOMPARE(VersionComparison::isManifestNewer(a, b), order > 0);
        QVERIFY(VersionComparison::isManifestNewer(a, std::nullopt)); // unknown: every one is newer
    }

    void decodesEveryKeyAndDateForm_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected"); // invalid: the decode fails
        const auto row = [](const char *text, const QDateTime &expected) {
            QTest::newRow(text) << QString::fromUtf8(text) << expected;
        };
        row("2025-03-01T10:20:30Z", utc(10, 20, 30));
        row("2025-03-01T10:20:30.123Z", utc(10, 20, 30, 123));
        row("2025-03-01T10:20:30.123456Z", utc(10, 20, 30, 123));
        row("2025-03-01T12:20:30+02:00", utc(10, 20, 30));
        row("2025-03-01 10:20:30Z", QDateTime());
        row("2025-03-01T10:20:30", QDateTime());
        row("2025-13-01T10:20:30Z", QDateTime());
    }
    void decodesEveryKeyAndDateForm()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        Json document = kManifest;
        document["last_modified"] = text.toStdString();
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

    void everyKeyIsRequired_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("replacement"); // JSON, or empty to remove the key
        for (const auto &item : kManifest.items()) {
            const QString key = QString::fromStdString(item.key());
            QTest::addRow("%s missing", item.key().c_str()) << key << QString();
            QTest::addRow("%s null", item.key().c_str()) << key << QStringLiteral("null");
        }
        QTest::newRow("size as a string") << QStringLiteral("size") << QStringLiteral("\"1234\"");
    }
    void everyKeyIsRequired()
    {
        QFETCH(QString, key);
        QFETCH(QString, replacement);
        Json document = kManifest;
        if (replacement.isEmpty()) {
            document.erase(key.toStdString());
        } else {
            document[key.toStdString()] = Json::parse(replacement.toStdString());
        }
        QVERIFY_THROWS_EXCEPTION(
            ManifestDecodeError,
            ReleaseManifest::decode(QByteArray::fromStdString(document.dump())));
    }
};

VORLANTA_TEST_MAIN(TestReleaseManifest)
#include "tst_ReleaseManifest.moc"
