#include "core/queue/JobWorker.h"

#include "core/queue/FileCopier.h"
#include "core/queue/JobFileReader.h"
#include "core/queue/JobFileRegistry.h"
#include "core/shell/Console.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace JobWorker {
namespace {

using namespace std::chrono_literals;

// A failure of the job as a whole: the error path.
struct JobError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct State {
    std::mutex mutex;
    std::condition_variable wake;
    bool isRunning = false;
    quint64 generation = 0;
    std::vector<std::thread> loops; // the current loop, and ended ones not yet joined
    std::atomic_bool cancelCopies{false};
};

State &state()
{
    // Never destroyed: a loop may still be finishing its job while statics are torn down.
    static State *s = new State;
    return *s;
}

bool shouldRun(quint64 generation)
{
    State &s = state();
    std::lock_guard lock(s.mutex);
    return s.isRunning && s.generation == generation;
}

// Sleeps for the pause; false when stopped meanwhile.
bool pause(quint64 generation)
{
    State &s = state();
    std::unique_lock lock(s.mutex);
    return !s.wake.wait_for(lock, 1s, [&] { return !s.isRunning || s.generation != generation; });
}

// File list staging, shared by three job types that differ only in their label.
void stageFileList(const JobEnvelope &envelope, const QString &outbox, const QString &label)
{
    const std::optional<QStringList> files = extractFilesFromPayload(envelope.payload);
    if (!files) {
        Logger::warn(QStringLiteral("No files found in ") + label + QStringLiteral(" job payload"));
        return;
    }
    Logger::info(label + QStringLiteral(": ") + QString::number(files->size()) +
                 QStringLiteral(" file(s)."));
    for (const QString &path : *files) {
        if (!QFileInfo::exists(path)) {
            Logger::warn(QStringLiteral("Missing file: ") + Logger::excerpt(path));
            continue;
        }
        const QString destination = outbox + QLatin1Char('/') + QFileInfo(path).fileName();
        // A listed folder is staged whole under its own name; what a cut-off run staged stays.
        const FileCopier::Result result =
            QFileInfo(path).isDir()
                ? FileCopier::copyDirectory(path, destination, &state().cancelCopies)
                : FileCopier::copyFile(path, destination, &state().cancelCopies);
        if (!result.ok && !result.cancelled) {
            Logger::warn(QStringLiteral("Failed to copy file ") + path + QStringLiteral(": ") +
                         result.errorDescription);
        }
        FileCopier::throwIfInterrupted(result);
        if (result.ok) {
            Logger::info(QStringLiteral("Copied: ") + path + QStringLiteral(" -> ") + destination);
        }
    }
}

void processUploadFilesJob(const JobEnvelope &envelope, const QString &outbox)
{
    stageFileList(envelope, outbox, QStringLiteral("UploadFiles"));
}

void processQuickProjectJob(const JobEnvelope &envelope, const QString &outbox)
{
    stageFileList(envelope, outbox, QStringLiteral("QuickProject"));
}

void processMissingFilesJob(const JobEnvelope &envelope, const QString &outbox)
{
    stageFileList(envelope, outbox, QStringLiteral("MissingFiles"));
}

void processUploadFolderJob(const JobEnvelope &envelope, const QString &outbox)
{
    const auto folder = envelope.payload.find("folderPath");
    if (folder == envelope.payload.end() || !folder->is_string()) {
        Logger::warn(QStringLiteral("No folder path found in UploadFolder job payload"));
        return;
    }
    const QString path = QString::fromStdString(folder->get<std::string>());
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        Logger::warn(QStringLiteral("UploadFolder invalid/missing: ") + Logger::excerpt(path));
        return;
    }
    Logger::info(QStringLiteral("UploadFolder: ") + path);
    // The folder's visible contents land directly in the job's outbox directory. Unless the
    // collector began staging this job (cut off by a crash or a full disk) under the folder's
    // own name: that copy is finished the collector's way, never a second one beside it.
    const QString name = QFileInfo(path).fileName();
    const bool collectorLayout =
        QDir(outbox).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot) == QStringList{name} &&
        QFileInfo(outbox + QLatin1Char('/') + name).isDir() &&
        !QFileInfo::exists(path + QLatin1Char('/') + name);
    const FileCopier::Result result =
        collectorLayout ? FileCopier::copyRecursively(path, outbox + QLatin1Char('/') + name,
                                                      &state().cancelCopies)
                        : FileCopier::copyDirectory(path, outbox, &state().cancelCopies);
    if (!result.ok && !result.cancelled) {
        Logger::error(QStringLiteral("Failed to copy directory ") + path + QStringLiteral(": ") +
                      result.errorDescription);
    }
    FileCopier::throwIfInterrupted(result);
}

void processQuickCreateJob(const JobEnvelope &envelope, const QString &outbox)
{
    const auto target = envelope.payload.find("targetPath");
    const QString text = (target != envelope.payload.end() && target->is_string())
                             ? QString::fromStdString(target->get<std::string>())
                             : QStringLiteral("(none)");
    const QString marker = outbox + QStringLiteral("/quickcreate.txt");
    const FileCopier::Result result =
        FileCopier::writeTextAtomically(marker, QStringLiteral("QuickCreate at: ") + text);
    if (result.ok) {
        Logger::info(QStringLiteral("QuickCreate marker written: ") + marker);
    } else {
        Logger::error(QStringLiteral("Failed to write QuickCreate marker: ") +
                      result.errorDescription);
    }
    FileCopier::throwIfInterrupted(result);
}

// 9. The error path: the file stays, and is not tried again while unchanged, or, when the cause
// can pass, until a while later. The user hears of it once.
void failJob(const QString &path, const QString &description, const QString &detail = {},
             bool canPass = false)
{
    const QString message = QStringLiteral("Failed to process job ") + QFileInfo(path).fileName() +
                            QStringLiteral(": ") + description;
    Logger::error(message);
    const QString full = detail.isEmpty() ? description : detail;
    if (full != description) {
        Logger::warn(QStringLiteral("Job file ") + path + QStringLiteral(": ") + full);
    }
    Console::printLine(QStringLiteral("[JobWorker] Failed to process job: ") + full);
    JobFileRegistry::shared().rememberFailed(path, message, canPass);
}

void processJobInternal(const QString &path)
{
    // 1.
    Console::printLine(QStringLiteral("[JobWorker] Processing job internally: ") + path);
    Logger::info(QStringLiteral("Processing job: ") + path);

    // 2.-3. Read and check.
    const JobReadResult read = JobFileReader::read(path);
    if (read.status == JobReadResult::Status::readFailed) {
        failJob(path, read.errorDescription, read.errorDetail);
        return;
    }
    if (read.status == JobReadResult::Status::invalid) {
        Logger::error(QStringLiteral("Invalid job file format: ") + path);
        JobFileRegistry::shared().rememberFailed(path);
        return;
    }
    // 4.
    const JobEnvelope &envelope = read.envelope;

    // 5. The job's outbox directory.
    const QString outbox = outboxDirectory(envelope);
    if (!QDir().mkpath(outbox)) {
        failJob(path, QStringLiteral("Cannot create the outbox directory ") + outbox, {}, true);
        return;
    }
    // A run cut off by a crash may have left partial copies; this one stages the job again.
    FileCopier::removeStalePartials(outbox);

    // 6. Stage by type.
    Console::printLine(QStringLiteral("[JobWorker] Processing job of type: ") +
                       jobTypeRawValue(envelope.type));
    switch (envelope.type) {
    case JobType::uploadFiles:
        processUploadFilesJob(envelope, outbox);
        break;
    case JobType::quickProject:
        processQuickProjectJob(envelope, outbox);
        break;
    case JobType::missing:
        processMissingFilesJob(envelope, outbox);
        break;
    case JobType::uploadFolder:
        processUploadFolderJob(envelope, outbox);
        break;
    case JobType::quickCreate:
        processQuickCreateJob(envelope, outbox);
        break;
    }
    // 7.
    Console::printLine(QStringLiteral("[JobWorker] Job processing completed for: ") + path);

    // 8. Archive, only now that staging has finished.
    const QString archived = Paths::processedDir() + QLatin1Char('/') + QFileInfo(path).fileName();
    const FileCopier::Result moved = FileCopier::moveWithoutReplacing(path, archived);
    if (!moved.ok) {
        failJob(path, moved.errorDescription);
        return;
    }
    Logger::info(QStringLiteral("Job archived: ") + archived);
    Console::printLine(QStringLiteral("[JobWorker] Job archived successfully"));
}

void loop(quint64 generation)
{
    pthread_setname_np(pthread_self(), "JobWorker");
    // 1.-2.
    Console::printLine(QStringLiteral("[JobWorker] Starting main processing loop"));
    Paths::ensureAll();
    // 3.
    while (shouldRun(generation)) {
        try {
            if (const std::optional<QString> next = getNextJobFile()) {
                Console::printLine(QStringLiteral("[JobWorker] Found next job to process: ") +
                                   *next);
                processJob(*next);
                continue;
            }
            if (!pause(generation)) {
                break;
            }
        } catch (const std::exception &error) {
            Logger::error(QStringLiteral("Worker loop error: ") + QString::fromUtf8(error.what()));
            if (!pause(generation)) {
                Console::printLine(
                    QStringLiteral("[JobWorker] Task cancelled during error recovery"));
                break;
            }
        }
    }
    // 4.
    Console::printLine(QStringLiteral("[JobWorker] Main processing loop ended"));
}

struct Candidate {
    QString path;
    qint64 modifiedNs = -1; // -1: could not be read
};

} // namespace

void start()
{
    Console::printLine(QStringLiteral("[JobWorker] Starting job worker"));
    // Partial copies of an earlier process; those of copies under way here are kept.
    FileCopier::removeStalePartials(Paths::outboxDir());
    State &s = state();
    std::unique_lock lock(s.mutex);
    if (s.isRunning) {
        lock.unlock();
        Logger::info(QStringLiteral("JobWorker already running"));
        return;
    }
    s.isRunning = true;
    s.cancelCopies = false;
    const quint64 generation = ++s.generation;
    s.loops.emplace_back([generation] { loop(generation); });
    lock.unlock();
    Logger::info(QStringLiteral("JobWorker started"));
}

void stop()
{
    Console::printLine(QStringLiteral("[JobWorker] Stopping job worker"));
    State &s = state();
    {
        std::lock_guard lock(s.mutex);
        s.isRunning = false;
    }
    s.wake.notify_all();
    Logger::info(QStringLiteral("JobWorker stopped"));
}

bool isRunning()
{
    std::lock_guard lock(state().mutex);
    return state().isRunning;
}

void shutdown()
{
    State &s = state();
    std::vector<std::thread> loops;
    {
        std::lock_guard lock(s.mutex);
        if (s.isRunning) {
            s.isRunning = false;
        }
        s.cancelCopies = true;
        loops.swap(s.loops);
    }
    s.wake.notify_all();
    for (std::thread &thread : loops) {
        thread.join();
    }
    s.cancelCopies = false;
}

void setErrorCallback(std::function<void(const QString &)> callback)
{
    // Shared with the collector: the user hears of a failed job whichever consumer met it.
    JobFileRegistry::shared().setFailureCallback(std::move(callback));
}

QString outboxDirectory(const JobEnvelope &envelope)
{
    return Paths::outboxDir() + QLatin1Char('/') + envelope.id;
}

std::optional<QString> getNextJobFile()
{
    // 1. List without hidden entries.
    const QString queue = Paths::queueDir();
    const QByteArray queueNative = QFile::encodeName(queue);
    DIR *dir = ::opendir(queueNative.constData());
    if (!dir) {
        Logger::error(QStringLiteral("Failed to enumerate queue directory: ") +
                      QString::fromLocal8Bit(std::strerror(errno)));
        return std::nullopt;
    }
    std::vector<Candidate> candidates;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.') {
            continue;
        }
        // 2. Only files named like job files.
        const QString fileName = QFile::decodeName(name);
        if (!fileName.endsWith(QLatin1String(".json")) ||
            !fileName.contains(QLatin1String(".job."))) {
            continue;
        }
        Candidate candidate{queue + QLatin1Char('/') + fileName};
        struct stat st {};
        if (::fstatat(::dirfd(dir), name, &st, 0) == 0) {
            candidate.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        }
        candidates.push_back(std::move(candidate));
    }
    ::closedir(dir);

    // 3. Oldest modification first; entries whose date cannot be read after all others, by path
    // (a total order: std::sort's behaviour is undefined without one).
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate &a, const Candidate &b) {
                         const bool aDated = a.modifiedNs >= 0, bDated = b.modifiedNs >= 0;
                         if (aDated != bDated) {
                             return aDated;
                         }
                         if (aDated && a.modifiedNs != b.modifiedNs) {
                             return a.modifiedNs < b.modifiedNs;
                         }
                         return !aDated && a.path < b.path;
                     });
    // 4. Files the collector is handling, or that failed and did not change, wait.
    JobFileRegistry &registry = JobFileRegistry::shared();
    for (const Candidate &candidate : candidates) {
        if (!registry.isClaimed(candidate.path) && !registry.isKnownFailure(candidate.path)) {
            return candidate.path;
        }
    }
    return std::nullopt;
}

void processJob(const QString &path)
{
    Console::printLine(QStringLiteral("[JobWorker] Starting job processing for: ") + path);
    // One consumer per file: the collector may hold it, or have archived it meanwhile.
    const JobFileClaim claim(path);
    if (!claim.owned() || JobFileRegistry::shared().isKnownFailure(path)) {
        return;
    }
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        // Gone (the collector took it), or listed under a name that does not encode back:
        // remembered either way, so that the loop does not come straight back to it.
        JobFileRegistry::shared().rememberFailed(path);
        return;
    }
    try {
        processJobInternal(path);
    } catch (const FileCopier::CopyCancelled &) {
        Console::printLine(QStringLiteral("[JobWorker] Job interrupted, left in the queue: ") +
                           path);
    } catch (const FileCopier::StagingFault &fault) {
        // Archiving now would drop the files not staged: the job waits for another try.
        failJob(path, fault.description, {}, true);
    }
}

} // namespace JobWorker
