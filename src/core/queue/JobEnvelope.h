#pragma once

#include <QtCore/QDateTime>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

// One JSON value: string, integer, double, bool, array, dictionary or null. Objects keep the
// order in which their members were added.
using AnyCodableValue = nlohmann::ordered_json;

enum class JobType { uploadFiles, uploadFolder, quickCreate, quickProject, missing };

// "UploadFiles", "UploadFolder", "QuickCreate", "QuickProject", "Missing".
QString jobTypeRawValue(JobType type);
// Exact, case-sensitive match of a raw value.
std::optional<JobType> jobTypeFromRawValue(const std::string &rawValue);

// A typed decode met a JSON value of none of the seven kinds.
class AnyCodableDecodingError : public std::runtime_error {
public:
    AnyCodableDecodingError() : std::runtime_error("Unsupported type for AnyCodableValue") {}
};

// Typed decoding of one JSON value; throws AnyCodableDecodingError for anything else.
AnyCodableValue decodeAnyCodableValue(const nlohmann::json &value);

// Converts one untyped JSON value, first match wins: string, 64-bit integer, floating point,
// boolean, array and object (converted member by member), null; anything else becomes the
// text that describes it.
AnyCodableValue convertToAnyCodableValue(const nlohmann::json &value);
AnyCodableValue convertToAnyCodableValue(const nlohmann::ordered_json &value);

struct JobEnvelope {
    QString id;
    QDateTime utcCreated;
    JobType type = JobType::uploadFiles;
    AnyCodableValue payload = AnyCodableValue::object();

    // A new job: fresh identifier, created now.
    static JobEnvelope makeNew(JobType type, AnyCodableValue payload);
    // A random UUID as 32 upper-case hexadecimal digits without hyphens.
    static QString makeIdentifier();
    // Whether an identifier from a job file may name a directory under the outbox.
    static bool isSafeIdentifier(const QString &id);

    // "<yyyyMMdd_HHmmss in UTC>_<id>.job.json".
    QString fileName() const;
    // The indented JSON document of the job file.
    std::string encode() const;
};

// ISO 8601 internet date-time in UTC without fractional seconds: 2025-03-01T09:30:00Z.
QString formatInternetDateTime(const QDateTime &utc);
// Strict internet date-time (no fractional seconds); nothing for any other text.
std::optional<QDateTime> parseInternetDateTime(const std::string &text);

// The list under "files" when it is an array: its string elements in order, others skipped.
// Nothing when "files" is missing or not an array.
std::optional<QStringList> extractFilesFromPayload(const AnyCodableValue &payload);

// Payload records. toJSON() leaves absent optional members out.
struct UploadFilesJob {
    QStringList files;
    nlohmann::ordered_json toJSON() const;
};

struct UploadFolderJob {
    QString folderPath;
    nlohmann::ordered_json toJSON() const;
};

struct QuickCreateJob {
    std::optional<QString> targetPath;
    nlohmann::ordered_json toJSON() const;
};

struct QuickProjectPayload {
    QString title;
    std::optional<QString> notes;
    std::optional<qint64> deliveryDays;
    bool longForm = false;
    bool thumbnail = false;
    bool isShort = false; // "short" on the wire
    std::optional<QString> channel;
    QStringList files;
    nlohmann::ordered_json toJSON() const;
};

struct MissingFilesJob {
    QStringList files;
    nlohmann::ordered_json toJSON() const;
};
