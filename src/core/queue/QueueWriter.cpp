#include "core/queue/QueueWriter.h"

#include "core/shell/Logger.h"
#include "core/shell/Paths.h"

#include <QtCore/QSaveFile>

namespace QueueWriter {

QString write(const JobEnvelope &envelope)
{
    // 1. Storage directories.
    Paths::ensureAll();
    // 2. File name from the UTC stamp and the id.
    const QString path = Paths::queueDir() + QLatin1Char('/') + envelope.fileName();
    // 3. Encode.
    std::string bytes;
    try {
        bytes = envelope.encode();
    } catch (const std::exception &error) {
        Logger::error(QStringLiteral("Failed to write job: ") + QString::fromUtf8(error.what()));
        return {};
    }
    // 4. Atomically: the temporary name ends in random characters, never in "json", and the
    // data is on disk before the rename makes the job visible. Unbuffered, because a buffered
    // write that fails only at commit() would still be renamed into place.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        file.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) || !file.commit()) {
        Logger::error(QStringLiteral("Failed to write job: ") + file.errorString());
        return {};
    }
    // 5.
    Logger::info(QStringLiteral("Enqueued job: ") + jobTypeRawValue(envelope.type) +
                 QStringLiteral(" \u2192 ") + path);
    return path;
}

AnyCodableValue convertToAnyCodableObject(const nlohmann::ordered_json &recordJson)
{
    // Round trip through text, as the record would travel in a file.
    try {
        const nlohmann::json parsed = nlohmann::json::parse(recordJson.dump());
        if (!parsed.is_object()) {
            return AnyCodableValue::object();
        }
        AnyCodableValue map = AnyCodableValue::object();
        // Members in the record's own order.
        for (auto it = recordJson.begin(); it != recordJson.end(); ++it) {
            map[it.key()] = convertToAnyCodableValue(parsed.at(it.key()));
        }
        return map;
    } catch (const std::exception &error) {
        Logger::error(QStringLiteral("Failed to convert object to AnyCodableValue: ") +
                      QString::fromUtf8(error.what()));
        return AnyCodableValue::object();
    }
}

} // namespace QueueWriter
