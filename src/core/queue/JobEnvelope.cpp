#include "core/queue/JobEnvelope.h"

#include <QtCore/QRegularExpression>
#include <QtCore/QUuid>

#include <array>
#include <limits>

namespace {

constexpr std::array<std::pair<JobType, const char *>, 5> kRawValues = {{
    {JobType::uploadFiles, "UploadFiles"},
    {JobType::uploadFolder, "UploadFolder"},
    {JobType::quickCreate, "QuickCreate"},
    {JobType::quickProject, "QuickProject"},
    {JobType::missing, "Missing"},
}};

nlohmann::ordered_json stringArray(const QStringList &list)
{
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const QString &item : list) {
        array.push_back(item.toStdString());
    }
    return array;
}

template <typename Json> AnyCodableValue convert(const Json &value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::string:
        return value.template get<std::string>();
    case nlohmann::json::value_t::number_integer:
        return value.template get<std::int64_t>();
    case nlohmann::json::value_t::number_unsigned: {
        const auto unsignedValue = value.template get<std::uint64_t>();
        if (unsignedValue <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
            return std::int64_t(unsignedValue);
        }
        return double(unsignedValue);
    }
    case nlohmann::json::value_t::number_float:
        return value.template get<double>();
    case nlohmann::json::value_t::boolean:
        return value.template get<bool>();
    case nlohmann::json::value_t::array: {
        AnyCodableValue array = AnyCodableValue::array();
        for (const auto &element : value) {
            array.push_back(convert(element));
        }
        return array;
    }
    case nlohmann::json::value_t::object: {
        AnyCodableValue object = AnyCodableValue::object();
        for (auto it = value.begin(); it != value.end(); ++it) {
            object[it.key()] = convert(it.value());
        }
        return object;
    }
    case nlohmann::json::value_t::null:
        return nullptr;
    case nlohmann::json::value_t::binary:
    case nlohmann::json::value_t::discarded:
        break;
    }
    return value.dump();
}

} // namespace

QString jobTypeRawValue(JobType type)
{
    for (const auto &[candidate, raw] : kRawValues) {
        if (candidate == type) {
            return QString::fromLatin1(raw);
        }
    }
    return {};
}

std::optional<JobType> jobTypeFromRawValue(const std::string &rawValue)
{
    for (const auto &[type, raw] : kRawValues) {
        if (rawValue == raw) {
            return type;
        }
    }
    return std::nullopt;
}

AnyCodableValue decodeAnyCodableValue(const nlohmann::json &value)
{
    if (value.is_binary() || value.is_discarded()) {
        throw AnyCodableDecodingError();
    }
    if (value.is_array()) {
        AnyCodableValue array = AnyCodableValue::array();
        for (const auto &element : value) {
            array.push_back(decodeAnyCodableValue(element));
        }
        return array;
    }
    if (value.is_object()) {
        AnyCodableValue object = AnyCodableValue::object();
        for (auto it = value.begin(); it != value.end(); ++it) {
            object[it.key()] = decodeAnyCodableValue(it.value());
        }
        return object;
    }
    return convert(value);
}

AnyCodableValue convertToAnyCodableValue(const nlohmann::json &value)
{
    return convert(value);
}

AnyCodableValue convertToAnyCodableValue(const nlohmann::ordered_json &value)
{
    return convert(value);
}

JobEnvelope JobEnvelope::makeNew(JobType type, AnyCodableValue payload)
{
    JobEnvelope envelope;
    envelope.id = makeIdentifier();
    envelope.utcCreated = QDateTime::currentDateTimeUtc();
    envelope.type = type;
    envelope.payload = std::move(payload);
    return envelope;
}

QString JobEnvelope::makeIdentifier()
{
    return QUuid::createUuid().toString(QUuid::Id128).toUpper();
}

bool JobEnvelope::isSafeIdentifier(const QString &id)
{
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9._-]{1,128}$"));
    return id != QLatin1String(".") && id != QLatin1String("..") && allowed.match(id).hasMatch();
}

QString JobEnvelope::fileName() const
{
    return utcCreated.toUTC().toString(QStringLiteral("yyyyMMdd_HHmmss")) + QLatin1Char('_') + id +
           QStringLiteral(".job.json");
}

std::string JobEnvelope::encode() const
{
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    document["id"] = id.toStdString();
    document["utcCreated"] = formatInternetDateTime(utcCreated).toStdString();
    document["type"] = jobTypeRawValue(type).toStdString();
    document["payload"] = payload.is_object() ? payload : AnyCodableValue::object();
    return document.dump(2);
}

QString formatInternetDateTime(const QDateTime &utc)
{
    return utc.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

std::optional<QDateTime> parseInternetDateTime(const std::string &text)
{
    static const QRegularExpression shape(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(Z|([+-])(\\d{2}):(\\d{2}))$"));
    const QRegularExpressionMatch m = shape.match(QString::fromStdString(text));
    if (!m.hasMatch()) {
        return std::nullopt;
    }
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    int offsetSeconds = 0;
    if (m.captured(7) != QLatin1String("Z")) {
        const int hours = m.captured(9).toInt();
        const int minutes = m.captured(10).toInt();
        if (hours > 23 || minutes > 59) {
            return std::nullopt;
        }
        offsetSeconds =
            (hours * 3600 + minutes * 60) * (m.captured(8) == QLatin1String("-") ? -1 : 1);
    }
    return QDateTime(date, time, Qt::UTC).addSecs(-offsetSeconds);
}

std::optional<QStringList> extractFilesFromPayload(const AnyCodableValue &payload)
{
    if (!payload.is_object()) {
        return std::nullopt;
    }
    const auto files = payload.find("files");
    if (files == payload.end() || !files->is_array()) {
        return std::nullopt;
    }
    QStringList list;
    for (const auto &element : *files) {
        if (element.is_string()) {
            list.append(QString::fromStdString(element.get<std::string>()));
        }
    }
    return list;
}

nlohmann::ordered_json UploadFilesJob::toJSON() const
{
    return {{"files", stringArray(files)}};
}

nlohmann::ordered_json UploadFolderJob::toJSON() const
{
    return {{"folderPath", folderPath.toStdString()}};
}

nlohmann::ordered_json QuickCreateJob::toJSON() const
{
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    if (targetPath) {
        json["targetPath"] = targetPath->toStdString();
    }
    return json;
}

nlohmann::ordered_json QuickProjectPayload::toJSON() const
{
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["title"] = title.toStdString();
    if (notes) {
        json["notes"] = notes->toStdString();
    }
    if (deliveryDays) {
        json["deliveryDays"] = *deliveryDays;
    }
    json["longForm"] = longForm;
    json["thumbnail"] = thumbnail;
    json["short"] = isShort;
    if (channel) {
        json["channel"] = channel->toStdString();
    }
    json["files"] = stringArray(files);
    return json;
}

nlohmann::ordered_json MissingFilesJob::toJSON() const
{
    return {{"files", stringArray(files)}};
}
