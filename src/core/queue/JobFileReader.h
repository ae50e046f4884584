#pragma once

#include "core/queue/JobEnvelope.h"

#include <QtCore/QString>

// The reading rules both queue consumers apply to a job file.
struct JobReadResult {
    enum class Status {
        ok,         // envelope holds the job
        readFailed, // unreadable, or not JSON; errorDescription says why
        invalid,    // JSON, but not a job (not an object, unknown type, no payload)
    };
    Status status = Status::readFailed;
    QString errorDescription; // a plain sentence, for the user
    QString errorDetail;      // for the log: what the parser said, where

    JobEnvelope envelope;
};

namespace JobFileReader {

// Larger files are refused unread: a job file is a few hundred bytes.
inline constexpr qint64 kMaxJobFileBytes = 16 * 1024 * 1024;

JobReadResult read(const QString &path);

} // namespace JobFileReader
