#pragma once

#include "core/queue/JobEnvelope.h"

#include <QtCore/QString>

// Writes job files into the queue directory. Callable from any thread; failures are logged.
namespace QueueWriter {

// Writes the job file atomically (temporary name, flushed, renamed). Returns the path written,
// or an empty string when the write failed.
QString write(const JobEnvelope &envelope);

// A payload record as the payload map: its JSON object, each member converted.
AnyCodableValue convertToAnyCodableObject(const nlohmann::ordered_json &recordJson);
template <typename Record> AnyCodableValue convertToAnyCodable(const Record &record)
{
    return convertToAnyCodableObject(record.toJSON());
}

} // namespace QueueWriter
