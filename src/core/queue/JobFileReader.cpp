#include "core/queue/JobFileReader.h"

#include "core/shell/Logger.h"

#include <QtCore/QFile>

namespace JobFileReader {

JobReadResult read(const QString &path)
{
    JobReadResult result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.errorDescription = file.errorString();
        return result;
    }
    if (file.size() > kMaxJobFileBytes) {
        result.errorDescription =
            QStringLiteral("The file is too large to be a job file (%1 bytes)").arg(file.size());
        return result;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.errorDescription = file.errorString();
        return result;
    }

    // 1. JSON at all.
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(bytes.constData(), bytes.constData() + bytes.size());
    } catch (const nlohmann::json::parse_error &error) {
        result.errorDescription =
            QStringLiteral("The data is not valid JSON: ") + QString::fromUtf8(error.what());
        return result;
    }

    // 2.-4. An object with a known type and a payload.
    result.status = JobReadResult::Status::invalid;
    if (!document.is_object()) {
        return result;
    }
    const auto type = document.find("type");
    if (type == document.end() || !type->is_string()) {
        return result;
    }
    const std::optional<JobType> jobType = jobTypeFromRawValue(type->get<std::string>());
    if (!jobType) {
        return result;
    }
    const auto payload = document.find("payload");
    if (payload == document.end()) {
        return result;
    }

    JobEnvelope &envelope = result.envelope;
    envelope.type = *jobType;
    envelope.payload =
        payload->is_object() ? convertToAnyCodableValue(*payload) : AnyCodableValue::object();

    // 5. The id names a directory under the outbox: only a plain name is taken.
    const auto id = document.find("id");
    if (id != document.end() && id->is_string()) {
        const QString candidate = QString::fromStdString(id->get<std::string>());
        if (JobEnvelope::isSafeIdentifier(candidate)) {
            envelope.id = candidate;
        } else {
            Logger::warn(QStringLiteral("Unsafe job id in ") + path +
                         QStringLiteral("; using a fresh identifier"));
        }
    }
    if (envelope.id.isEmpty()) {
        envelope.id = JobEnvelope::makeIdentifier();
    }

    // 6. Creation time, or now.
    const auto created = document.find("utcCreated");
    std::optional<QDateTime> when;
    if (created != document.end() && created->is_string()) {
        when = parseInternetDateTime(created->get<std::string>());
    }
    envelope.utcCreated = when.value_or(QDateTime::currentDateTimeUtc());

    result.status = JobReadResult::Status::ok;
    return result;
}

} // namespace JobFileReader
