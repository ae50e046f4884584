#include "core/queue/JobFileReader.h"

#include "core/shell/FileDescriptor.h"
#include "core/shell/Logger.h"

#include <QtCore/QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace JobFileReader {

namespace {

// Job files are small and flat; deeper nesting is refused before parsing, so that a hostile file
// can never exhaust the stack of the code that walks the document.
constexpr int kMaxNesting = 64;

bool nestsTooDeeply(const QByteArray &bytes)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : bytes) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) {
                return true;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// Only a regular file is read: a FIFO would block and a device never ends. The non-blocking
// open keeps open() itself from waiting for a FIFO's writer.
std::optional<QByteArray> readRegularFile(const QString &path, QString *error)
{
    const FileDescriptor fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = QStringLiteral("The job file is not a regular file");
        return std::nullopt;
    }
    if (st.st_size > JobFileReader::kMaxJobFileBytes) {
        *error =
            QStringLiteral("The file is too large to be a job file (%1 bytes)").arg(st.st_size);
        return std::nullopt;
    }
    // Read to the end, but never past the cap even if the file grows meanwhile.
    QByteArray bytes(qsizetype(st.st_size) + 1, Qt::Uninitialized);
    qsizetype filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (bytes.size() > JobFileReader::kMaxJobFileBytes) {
                *error = QStringLiteral("The file is too large to be a job file");
                return std::nullopt;
            }
            bytes.resize(
                std::min<qsizetype>(bytes.size() * 2, JobFileReader::kMaxJobFileBytes + 1));
        }
        const ssize_t got = ::read(fd.get(), bytes.data() + filled, size_t(bytes.size() - filled));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        filled += got;
    }
    bytes.truncate(filled);
    return bytes;
}

} // namespace

JobReadResult read(const QString &path)
{
    JobReadResult result;
    const std::optional<QByteArray> bytes = readRegularFile(path, &result.errorDescription);
    if (!bytes) {
        result.errorDetail = result.errorDescription;
        return result;
    }

    // 1. JSON at all. Any failure of the parser counts, a number out of range as well.
    nlohmann::json document;
    if (nestsTooDeeply(*bytes)) {
        result.errorDescription = QStringLiteral("The job file is not valid JSON");
        result.errorDetail = QStringLiteral("The data is nested too deeply to be a job");
        return result;
    }
    try {
        document = nlohmann::json::parse(bytes->constData(), bytes->constData() + bytes->size());
    } catch (const nlohmann::json::exception &error) {
        result.errorDescription = QStringLiteral("The job file is not valid JSON");
        result.errorDetail = QStringLiteral("The data is not valid JSON: ") +
                             Logger::excerpt(QString::fromUtf8(error.what()));
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
