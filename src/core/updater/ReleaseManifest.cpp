#include "core/updater/ReleaseManifest.h"

#include <QtCore/QRegularExpression>
#include <QtCore/QSettings>
#include <QtCore/QTimeZone>

#include <cmath>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

// Seconds from the Unix epoch to 2001-01-01 00:00:00 UTC, the reference date of the encoding.
constexpr qint64 kReferenceDateOffset = 978307200;

const Json &required(const Json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end()) {
        throw ManifestDecodeError(QStringLiteral("No value associated with key \"") +
                                  QString::fromUtf8(key) + QStringLiteral("\"."));
    }
    return *found;
}

QString requiredString(const Json &object, const char *key)
{
    const Json &value = required(object, key);
    if (!value.is_string()) {
        throw ManifestDecodeError(QStringLiteral("Expected to decode String for key \"") +
                                  QString::fromUtf8(key) + QStringLiteral("\"."));
    }
    return QString::fromStdString(value.get<std::string>());
}

QSettings applicationSettings()
{
    return QSettings(QStringLiteral("Vorlanta"), QStringLiteral("Vorlanta Creator"));
}

} // namespace

std::optional<QDateTime> parseManifestDate(const QString &text)
{
    // Full date, "T", full time, optional fraction, then Z or a numeric offset.
    static const QRegularExpression form(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(\\.\\d+)?(Z|[+-]\\d{2}:\\d{2})$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(),
                     match.captured(3).toInt());
    const QTime time(match.captured(4).toInt(), match.captured(5).toInt(),
                     match.captured(6).toInt());
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    int offsetSeconds = 0;
    const QString zone = match.captured(8);
    if (zone != QLatin1String("Z")) {
        const int hours = zone.mid(1, 2).toInt();
        const int minutes = zone.mid(4, 2).toInt();
        if (hours > 23 || minutes > 59) {
            return std::nullopt;
        }
        offsetSeconds = (hours * 60 + minutes) * 60 * (zone.front() == QLatin1Char('-') ? -1 : 1);
    }
    QDateTime result(date, time, QTimeZone(offsetSeconds));
    if (const QString fraction = match.captured(7); !fraction.isEmpty()) {
        // Milliseconds are what a date keeps here; further digits are dropped.
        result = result.addMSecs(
            QStringView(fraction).mid(1, 3).toString().leftJustified(3, QLatin1Char('0')).toInt());
    }
    return result.toUTC();
}

ReleaseManifest ReleaseManifest::decode(const QByteArray &json)
{
    const Json document =
        Json::parse(json.constData(), json.constData() + json.size(), nullptr, false);
    if (document.is_discarded()) {
        throw ManifestDecodeError(QStringLiteral(
            "The data couldn\u2019t be read because it isn\u2019t in the correct format."));
    }
    if (!document.is_object()) {
        throw ManifestDecodeError(QStringLiteral("Expected to decode Dictionary."));
    }
    ReleaseManifest manifest;
    manifest.version = requiredString(document, "version");
    const QString url = requiredString(document, "download_url");
    manifest.downloadURL = QUrl(url, QUrl::StrictMode);
    if (url.isEmpty() || !manifest.downloadURL.isValid()) {
        throw ManifestDecodeError(QStringLiteral("Invalid URL string: ") + url);
    }
    manifest.sha256 = requiredString(document, "sha256");
    const Json &size = required(document, "size");
    if (!size.is_number_integer()) {
        throw ManifestDecodeError(QStringLiteral("Expected to decode Int for key \"size\"."));
    }
    manifest.size = size.get<qint64>();
    manifest.filename = requiredString(document, "filename");
    const QString lastModified = requiredString(document, "last_modified");
    const std::optional<QDateTime> date = parseManifestDate(lastModified);
    if (!date) {
        throw ManifestDecodeError(QStringLiteral("Cannot decode date: ") + lastModified);
    }
    manifest.lastModified = *date;
    manifest.etag = requiredString(document, "etag");
    return manifest;
}

namespace VersionComparison {

namespace {

QList<qint64> numbersOf(const QString &version)
{
    static const QRegularExpression whole(QStringLiteral("^[+-]?[0-9]+$"));
    QList<qint64> numbers;
    for (const QString &piece : version.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const qint64 value = whole.match(piece).hasMatch() ? piece.toLongLong(&ok) : 0;
        numbers.append(ok ? value : 0);
    }
    return numbers;
}

} // namespace

Order compareVersion(const QString &a, const QString &b)
{
    const QList<qint64> left = numbersOf(a);
    const QList<qint64> right = numbersOf(b);
    const qsizetype length = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < length; ++i) {
        const qint64 x = left.value(i, 0);
        const qint64 y = right.value(i, 0);
        if (x != y) {
            return x < y ? Order::ascending : Order::descending;
        }
    }
    return Order::same;
}

bool isManifestNewer(const QString &manifestVersion, const std::optional<QString> &runningVersion)
{
    if (!runningVersion) {
        return true;
    }
    return compareVersion(manifestVersion, *runningVersion) == Order::descending;
}

} // namespace VersionComparison

QByteArray UpdateMetadata::encode() const
{
    Json object = Json::object();
    if (etag) {
        object["etag"] = etag->toStdString();
    }
    if (lastModified) {
        object["lastModified"] =
            double(lastModified->toMSecsSinceEpoch() - kReferenceDateOffset * 1000) / 1000.0;
    }
    if (version) {
        object["version"] = version->toStdString();
    }
    return QByteArray::fromStdString(object.dump());
}

std::optional<UpdateMetadata> UpdateMetadata::decode(const QByteArray &json)
{
    const Json object =
        Json::parse(json.constData(), json.constData() + json.size(), nullptr, false);
    if (!object.is_object()) {
        return std::nullopt;
    }
    UpdateMetadata metadata;
    if (const auto found = object.find("etag"); found != object.end()) {
        if (!found->is_string()) {
            return std::nullopt;
        }
        metadata.etag = QString::fromStdString(found->get<std::string>());
    }
    if (const auto found = object.find("lastModified"); found != object.end()) {
        if (!found->is_number()) {
            return std::nullopt;
        }
        metadata.lastModified = QDateTime::fromMSecsSinceEpoch(
            qint64(std::llround(found->get<double>() * 1000.0)) + kReferenceDateOffset * 1000,
            QTimeZone::utc());
    }
    if (const auto found = object.find("version"); found != object.end()) {
        if (!found->is_string()) {
            return std::nullopt;
        }
        metadata.version = QString::fromStdString(found->get<std::string>());
    }
    return metadata;
}

void UpdateMetadata::store(const std::optional<UpdateMetadata> &metadata)
{
    QSettings settings = applicationSettings();
    if (metadata) {
        settings.setValue(QLatin1String(kSettingsKey), metadata->encode());
    } else {
        settings.remove(QLatin1String(kSettingsKey));
    }
    settings.sync();
}

std::optional<UpdateMetadata> UpdateMetadata::stored()
{
    const QSettings settings = applicationSettings();
    const QVariant value = settings.value(QLatin1String(kSettingsKey));
    if (!value.isValid()) {
        return std::nullopt;
    }
    return decode(value.toByteArray());
}
