#include "core/updater/ReleaseManifest.h"
#include "core/updater/UpdaterError.h"
#include "support/TestEnvironment.h"

#include <QtCore/QSettings>
#include <QtCore/QTimeZone>

#include <nlohmann/json.hpp>

using Order = VersionComparison::Order;
using Json = nlohmann::json;

Q_DECLARE_METATYPE(Order)

namespace {

Json validManifest()
{
    return Json{{"version", "1.4.0"},
                {"download_url", "https://download.vorlanta.example/Vorlanta-Creator-1.4.0.tar.gz"},
                {"sha256", "ab12"},
                {"size", 1234},
                {"filename", "Vorlanta-Creator-1.4.0.tar.gz"},
                {"last_modified", "2025-03-01T10:20:30Z"},
                {"etag", "\"e1\""}};
}

QString decodeFailure(const Json &document)
{
    try {
        ReleaseManifest::decode(QByteArray::fromStdString(document.dump()));
    } catch (const ManifestDecodeError &error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), QTimeZone::utc());
}

} // namespace

class TestReleaseManifest : public QObject {
    Q_OBJECT
private slots:
    void compareVersion_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<Order>("expected");
        QTest::newRow("1.2 = 1.2.0") << "1.2"
                                     << "1.2.0" << Order::same;
        QTest::newRow("1.10 > 1.9") << "1.10"
                                    << "1.9" << Order::descending;
        QTest::newRow("1.9 < 1.10") << "1.9"
                                    << "1.10" << Order::ascending;
        QTest::newRow("2.0 > 1.10.5") << "2.0"
                                      << "1.10.5" << Order::descending;
        QTest::newRow("1.2-beta is 1.0") << "1.2-beta"
                                         << "1.0" << Order::same;
        QTest::newRow("1.2-beta < 1.2") << "1.2-beta"
                                        << "1.2" << Order::ascending;
        QTest::newRow("1..2 = 1.2") << "1..2"
                                    << "1.2" << Order::same;
        QTest::newRow("both empty") << ""
                                    << "" << Order::same;
        QTest::newRow("empty = 0.0") << ""
                                     << "0.0" << Order::same;
        QTest::newRow("signs accepted") << "+1.-1"
                                        << "1" << Order::ascending;
        QTest::newRow("space is not a number") << " 2"
                                               << "1" << Order::ascending;
        QTest::newRow("too big counts as 0") << "99999999999999999999"
                                             << "1" << Order::ascending;
        QTest::newRow("1.2.10 > 1.2.9") << "1.2.10"
                                        << "1.2.9" << Order::descending;
        QTest::newRow("leading zeros") << "1.02"
                                       << "1.2" << Order::same;
    }
    void compareVersion()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(Order, expected);
        QCOMPARE(VersionComparison::compareVersion(a, b), expected);
    }

    void manifestNewerThanRunning_data()
    {
        QTest::addColumn<QString>("manifest");
        QTest::addColumn<std::optional<QString>>("running");
        QTest::addColumn<bool>("newer");
        QTest::newRow("same") << "1.2" << std::optional<QString>(QStringLiteral("1.2")) << false;
        QTest::newRow("1.2.0 against 1.2")
            << "1.2.0" << std::optional<QString>(QStringLiteral("1.2")) << false;
        QTest::newRow("older") << "1.9" << std::optional<QString>(QStringLiteral("1.10")) << false;
        QTest::newRow("newer") << "2.0" << std::optional<QString>(QStringLiteral("1.10.5")) << true;
        QTest::newRow("running unknown") << "0.0.1" << std::optional<QString>() << true;
    }
    void manifestNewerThanRunning()
    {
        QFETCH(QString, manifest);
        QFETCH(std::optional<QString>, running);
        QFETCH(bool, newer);
        QCOMPARE(VersionComparison::isManifestNewer(manifest, running), newer);
    }

    void decodesEveryKey()
    {
        const ReleaseManifest manifest =
            ReleaseManifest::decode(QByteArray::fromStdString(validManifest().dump()));
        QCOMPARE(manifest.version, QStringLiteral("1.4.0"));
        QCOMPARE(manifest.downloadURL,
                 QUrl(QStringLiteral(
                     "https://download.vorlanta.example/Vorlanta-Creator-1.4.0.tar.gz")));
        QCOMPARE(manifest.sha256, QStringLiteral("ab12"));
        QCOMPARE(manifest.size, qint64(1234));
        QCOMPARE(manifest.filename, QStringLiteral("Vorlanta-Creator-1.4.0.tar.gz"));
        QCOMPARE(manifest.lastModified, utc(2025, 3, 1, 10, 20, 30));
        QCOMPARE(manifest.etag, QStringLiteral("\"e1\""));
    }

    void dates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected"); // invalid: the decode fails
        QTest::newRow("fraction") << "2025-03-01T10:20:30.123Z" << utc(2025, 3, 1, 10, 20, 30, 123);
        QTest::newRow("no fraction") << "2025-03-01T10:20:30Z" << utc(2025, 3, 1, 10, 20, 30);
        QTest::newRow("offset") << "2025-03-01T12:20:30+02:00" << utc(2025, 3, 1, 10, 20, 30);
        QTest::newRow("six digits")
            << "2025-03-01T10:20:30.123456Z" << utc(2025, 3, 1, 10, 20, 30, 123);
        QTest::newRow("space for T") << "2025-03-01 10:20:30Z" << QDateTime();
        QTest::newRow("no zone") << "2025-03-01T10:20:30" << QDateTime();
        QTest::newRow("date only") << "2025-03-01" << QDateTime();
        QTest::newRow("month 13") << "2025-13-01T10:20:30Z" << QDateTime();
        QTest::newRow("empty") << "" << QDateTime();
    }
    void dates()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        Json document = validManifest();
        document["last_modified"] = text.toStdString();
        if (expected.isValid()) {
            const ReleaseManifest manifest =
                ReleaseManifest::decode(QByteArray::fromStdString(document.dump()));
            QCOMPARE(manifest.lastModified, expected);
        } else {
            QCOMPARE(decodeFailure(document), QStringLiteral("Cannot decode date: ") + text);
        }
    }

    void everyKeyIsRequired_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("replacement"); // JSON, or empty to remove the key
        for (const char *key :
             {"version", "download_url", "sha256", "size", "filename", "last_modified", "etag"}) {
            QTest::addRow("%s missing", key) << QString::fromLatin1(key) << QString();
            QTest::addRow("%s null", key) << QString::fromLatin1(key) << QStringLiteral("null");
        }
        QTest::newRow("size as text") << "size"
                                      << "\"1234\"";
        QTest::newRow("size as fraction") << "size"
                                          << "12.5";
        QTest::newRow("version as number") << "version"
                                           << "2";
        QTest::newRow("download_url not a URL") << "download_url"
                                                << "\"http://[::1\"";
    }
    void everyKeyIsRequired()
    {
        QFETCH(QString, key);
        QFETCH(QString, replacement);
        Json document = validManifest();
        if (replacement.isEmpty()) {
            document.erase(key.toStdString());
        } else {
            document[key.toStdString()] = Json::parse(replacement.toStdString());
        }
        QVERIFY(!decodeFailure(document).isEmpty());
    }

    void notAManifest_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("HTML page") << QByteArray("<html>Not found</html>");
        QTest::newRow("array") << QByteArray("[]");
        QTest::newRow("empty") << QByteArray();
    }
    void notAManifest()
    {
        QFETCH(QByteArray, body);
        QVERIFY_THROWS_EXCEPTION(ManifestDecodeError, ReleaseManifest::decode(body));
    }

    void metadataEncoding()
    {
        UpdateMetadata metadata;
        metadata.etag = QStringLiteral("\"e1\"");
        metadata.lastModified = utc(2001, 1, 1, 0, 0, 10, 500);
        metadata.version = QStringLiteral("1.4.0");
        const Json encoded = Json::parse(metadata.encode().toStdString());
        QCOMPARE(encoded.size(), size_t(3));
        QCOMPARE(encoded["etag"].get<std::string>(), std::string("\"e1\""));
        // Seconds since 2001-01-01 00:00:00 UTC.
        QCOMPARE(encoded["lastModified"].get<double>(), 10.5);
        QCOMPARE(encoded["version"].get<std::string>(), std::string("1.4.0"));

        UpdateMetadata partial;
        partial.version = QStringLiteral("2.0");
        QCOMPARE(partial.encode(), QByteArray(R"({"version":"2.0"})"));

        const std::optional<UpdateMetadata> back = UpdateMetadata::decode(metadata.encode());
        QVERIFY(back);
        QCOMPARE(back->lastModified, metadata.lastModified);
        QCOMPARE(back->etag, metadata.etag);
    }

    void metadataLivesInTheSettings()
    {
        UpdateMetadata metadata;
        metadata.version = QStringLiteral("3.1");
        UpdateMetadata::store(metadata);
        {
            const QSettings settings(QStringLiteral("Vorlanta"),
                                     QStringLiteral("Vorlanta Creator"));
            QCOMPARE(settings.value(QStringLiteral("UpdaterMetadata")).toByteArray(),
                     QByteArray(R"({"version":"3.1"})"));
        }
        QCOMPARE(UpdateMetadata::stored()->version, std::optional<QString>(QStringLiteral("3.1")));
        UpdateMetadata::store(std::nullopt);
        const QSettings settings(QStringLiteral("Vorlanta"), QStringLiteral("Vorlanta Creator"));
        QVERIFY(!settings.contains(QStringLiteral("UpdaterMetadata")));
    }

    void errorForms_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("expected");
        QTest::newRow("badStatus")
            << UpdaterError::badStatus(404).textualForm() << "badStatus(404)";
        QTest::newRow("not HTTP") << UpdaterError::badStatus(-1).textualForm() << "badStatus(-1)";
        QTest::newRow("signature")
            << UpdaterError::codeSignatureInvalid(QStringLiteral("file changed: \"a\""))
                   .textualForm()
            << "codeSignatureInvalid(\"file changed: \\\"a\\\"\")";
        QTest::newRow("location") << UpdaterError::installLocationNotWritable().textualForm()
                                  << "installLocationNotWritable";
        QTest::newRow("description") << UpdaterError::integrityMismatch().description()
                                     << QStringLiteral("The operation couldn\u2019t be completed. "
                                                       "(Vorlanta_Creator.UpdaterError error 3.)");
    }
    void errorForms()
    {
        QFETCH(QString, form);
        QFETCH(QString, expected);
        QCOMPARE(form, expected);
    }
};

VORLANTA_TEST_MAIN(TestReleaseManifest)
#include "tst_ReleaseManifest.moc"
