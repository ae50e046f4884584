#pragma once

#include "core/queue/JobEnvelope.h"

#include <QtCore/QString>

#include <functional>
#include <optional>

// The polling consumer of the queue directory: once a second it takes the oldest job file,
// stages the job in the outbox and archives the file. Process-wide; start and stop are called on
// the main thread.
namespace JobWorker {

void start();
// The loop ends at its next check; a job under way runs to its end.
void stop();
bool isRunning();
// Stops the loop, cancels the copies of a job under way (the job stays in the queue, untouched)
// and waits until the loop has ended. For termination.
void shutdown();

// Receives the message of every job that fails as a whole, on the processing thread.
void setErrorCallback(std::function<void(const QString &)> callback);

// The oldest job file in the queue that is neither being handled nor a known failure.
std::optional<QString> getNextJobFile();
// Reads, stages and archives one job file on the calling thread.
void processJob(const QString &path);

// The outbox directory of a job and the label of its file-list processor.
QString outboxDirectory(const JobEnvelope &envelope);

} // namespace JobWorker
