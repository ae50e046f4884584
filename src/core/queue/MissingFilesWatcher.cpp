#include "core/queue/MissingFilesWatcher.h"

#include "core/queue/JobEnvelope.h"
#include "core/queue/QueueWriter.h"
#include "core/shell/Console.h"
#include "core/shell/Logger.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDateTime>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QSet>
#include <QtCore/QStandardPaths>
#include <QtCore/QStringDecoder>
#include <QtCore/QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const QString kPrefix = QStringLiteral("[MissingFilesWatcher] ");
const QString kQueueFileName = QStringLiteral("missing.queue");
const QString kProcessingFileName = QStringLiteral(".missing.queue.processing");

QString errnoDescription(int error)
{
    return QString::fromStdString(std::generic_category().message(error));
}

bool isNewline(QChar c)
{
    switch (c.unicode()) {
    case 0x000A: // line feed
    case 0x000B: // vertical tab
    case 0x000C: // form feed
    case 0x000D: // carriage return
    case 0x0085: // next line
    case 0x2028: // line separator
    case 0x2029: // paragraph separator
        return true;
    default:
        return false;
    }
}

// The last path component, ignoring trailing slashes.
QString lastPathComponent(const QString &path)
{
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == QLatin1Char('/')) {
        --end;
    }
    const QString trimmed = path.left(end);
    if (trimmed == QStringLiteral("/")) {
        return trimmed;
    }
    return trimmed.mid(trimmed.lastIndexOf(QLatin1Char('/')) + 1);
}

// Existing paths from the queue text, in order, one per case-insensitive file name.
QStringList existingUniquePaths(const QString &text)
{
    QStringList result;
    QSet<QString> seenNames;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isNewline(text.at(i))) {
            continue;
        }
        QString line = text.mid(start, i - start).trimmed();
        start = i + 1;
        if (line.startsWith(QLatin1Char('"')) && line.endsWith(QLatin1Char('"'))) {
            line = line.size() >= 2 ? line.mid(1, line.size() - 2) : QString();
        }
        if (line.isEmpty() || !QFileInfo::exists(line)) {
            continue;
        }
        const QString name = lastPathComponent(line).toLower();
        if (seenNames.contains(name)) {
            continue;
        }
        seenNames.insert(name);
        result.append(line);
    }
    return result;
}

void reportProcessingError(const QString &description)
{
    Logger::error(QStringLiteral("Error processing missing queue: ") + description);
}

} // namespace

// The watcher's thread: a poll() loop over a wake-up eventfd and the inotify descriptor, whose
// timeout is the pending debounce, so an idle watcher sleeps. Tasks run one at a time, in order.
struct MissingFilesWatcher::Worker {
    explicit Worker(MissingFilesWatcher *owner) : owner(owner)
    {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread.reset(QThread::create([this] { run(); }));
        thread->setObjectName(QStringLiteral("MissingFilesWatcher"));
        thread->start();
    }

    // Tasks not yet started are dropped: their queue file stays on disk for the next run.
    ~Worker()
    {
        {
            std::lock_guard lock(mutex);
            quit = true;
            tasks.clear();
        }
        wake();
        thread->wait();
        if (inotifyFd >= 0) {
            ::close(inotifyFd);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    void wake() const
    {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }

    void post(std::function<void()> task)
    {
        {
            std::lock_guard lock(mutex);
            if (quit) {
                return;
            }
            tasks.push_back(std::move(task));
        }
        wake();
    }

    void runAndWait(std::function<void()> task)
    {
        if (QThread::currentThread() == thread.get()) {
            task();
            return;
        }
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        post([&] {
            task();
            done.set_value();
        });
        finished.wait();
    }

    void run()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex);
                if (quit) {
                    return;
                }
                if (!tasks.empty()) {
                    task = std::move(tasks.front());
                    tasks.pop_front();
                }
            }
            if (task) {
                task();
                continue;
            }
            waitForEvents();
        }
    }

    void waitForEvents()
    {
        int timeoutMs = -1;
        if (debounceDeadline) {
            const auto remaining =
                std::chrono::ceil<std::chrono::milliseconds>(*debounceDeadline - Clock::now());
            timeoutMs = int(std::max<std::chrono::milliseconds::rep>(remaining.count(), 0));
        }
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {inotifyFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            quint64 count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
        }
        if (ready > 0 && inotifyFd >= 0 && (fds[1].revents & POLLIN) && readEvents()) {
            handleDirectoryChange();
        }
        if (debounceDeadline && Clock::now() >= *debounceDeadline) {
            debounceDeadline.reset();
            requestProcessing();
        }
    }

    // Drains the inotify descriptor; true when some event was not caused by this watcher.
    bool readEvents()
    {
        struct Event {
            uint32_t mask;
            uint32_t cookie;
            QString name;
        };
        std::vector<Event> events;
        alignas(inotify_event) char buffer[16 * 1024];
        for (;;) {
            const ssize_t length = ::read(inotifyFd, buffer, sizeof buffer);
            if (length <= 0) {
                break;
            }
            for (ssize_t offset = 0; offset < length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
                events.push_back({event->mask, event->cookie,
                                  event->len ? QFile::decodeName(event->name) : QString()});
                offset += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        // Our own rename shows as a move from the queue name to the private name, sharing a
        // cookie; both halves normally arrive in the same read.
        std::vector<uint32_t> ownMoveCookies;
        for (const Event &event : events) {
            if ((event.mask & IN_MOVED_TO) && event.name == kProcessingFileName) {
                ownMoveCookies.push_back(event.cookie);
            }
        }
        bool relevant = false;
        for (const Event &event : events) {
            if (event.mask & IN_IGNORED) {
                // The directory went away; a later startWatching() may watch it again.
                watchDescriptor = -1;
                continue;
            }
            if (event.name == kProcessingFileName) {
                continue;
            }
            if ((event.mask & IN_MOVED_FROM) &&
                std::find(ownMoveCookies.begin(), ownMoveCookies.end(), event.cookie) !=
                    ownMoveCookies.end()) {
                continue;
            }
            relevant = true;
        }
        return relevant;
    }

    void requestProcessing()
    {
        Console::printLine(kPrefix + QStringLiteral("Processing missing queue file"));
        post([this] { processQueueFiles(); });
    }

    void handleDirectoryChange()
    {
        Console::printLine(kPrefix + QStringLiteral("Directory change detected"));
        debounceDeadline = Clock::now() + kDebounceTime;
    }

    void startWatching()
    {
        if (inotifyFd >= 0 && watchDescriptor >= 0) {
            return;
        }
        const QString &dir = owner->m_inboxDir;
        if (inotifyFd < 0) {
            inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        }
        // The directory's own entries changing (created, deleted, renamed) is what signals a new
        // queue file. Appending to an existing file leaves the directory alone on Linux, so
        // writes to files in it count too, or an appending producer would go unnoticed.
        const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                              IN_MODIFY | IN_ONLYDIR;
        if (inotifyFd >= 0) {
            watchDescriptor =
                ::inotify_add_watch(inotifyFd, QFile::encodeName(dir).constData(), mask);
        }
        if (inotifyFd < 0 || watchDescriptor < 0) {
            closeWatch();
            Logger::error(QStringLiteral("Failed to open directory for watching: ") + dir);
            return;
        }
        watching = true;
        Logger::info(QStringLiteral("Started missing files watcher for: ") + dir);
    }

    // Changes made before the stop was asked for still start a debounce, however far this
    // thread had got with reading them.
    void stopWatching()
    {
        if (inotifyFd >= 0 && readEvents()) {
            handleDirectoryChange();
        }
        closeWatch();
    }

    void closeWatch()
    {
        if (inotifyFd >= 0) {
            ::close(inotifyFd);
        }
        inotifyFd = -1;
        watchDescriptor = -1;
        watching = false;
    }

    // Moves the queue file to the private name. False when there is none or the move failed.
    bool claimQueueFile()
    {
        if (::rename(QFile::encodeName(owner->m_queuePath).constData(),
                     QFile::encodeName(owner->m_processingPath).constData()) == 0) {
            return true;
        }
        if (errno != ENOENT) {
            reportProcessingError(errnoDescription(errno));
        }
        return false;
    }

    // Reads, filters and deletes the private file, then hands a non-empty batch to the owner's
    // thread. On failure the file stays, to be read again by the next run.
    bool consumeProcessingFile()
    {
        const QString &path = owner->m_processingPath;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            reportProcessingError(file.errorString());
            return false;
        }
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            reportProcessingError(file.errorString());
            return false;
        }
        file.close();
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(bytes);
        if (decoder.hasError()) {
            // Reading it again would never succeed and would hold back every later queue file:
            // it is kept for the user under a name that is never read.
            const QString kept = owner->m_inboxDir + QStringLiteral("/missing.queue.unreadable-") +
                                 QString::number(QDateTime::currentMSecsSinceEpoch());
            reportProcessingError(QStringLiteral("The queue file is not valid UTF-8; kept as ") +
                                  kept);
            return ::rename(QFile::encodeName(path).constData(),
                            QFile::encodeName(kept).constData()) == 0;
        }
        const QStringList files = existingUniquePaths(text);
        if (::unlink(QFile::encodeName(path).constData()) != 0) {
            reportProcessingError(errnoDescription(errno));
            return false;
        }
        if (files.isEmpty()) {
            return true;
        }
        Console::printLine(kPrefix + QStringLiteral("Found ") + QString::number(files.size()) +
                           QStringLiteral(" missing files to process"));
        // Posted to the owner: dropped by Qt if the owner is gone, and delivered by its
        // destructor if it is going.
        MissingFilesWatcher *target = owner;
        QMetaObject::invokeMethod(
            target, [target, files] { target->publish(files); }, Qt::QueuedConnection);
        return true;
    }

    void processQueueFiles()
    {
        // A private file left by an interrupted run holds older lines: it goes first, and alone,
        // so that the queue file never replaces it before its lines are enqueued.
        const bool leftover = QFileInfo::exists(owner->m_processingPath);
        if (!leftover && !claimQueueFile()) {
            return;
        }
        if (!consumeProcessingFile() || !leftover) {
            return;
        }
        if (claimQueueFile()) {
            consumeProcessingFile();
        }
    }

    MissingFilesWatcher *const owner;
    std::unique_ptr<QThread> thread;
    int wakeFd = -1;
    std::atomic_bool watching{false};

    // Only the watcher's thread touches these.
    int inotifyFd = -1;
    int watchDescriptor = -1;
    std::optional<Clock::time_point> debounceDeadline;

    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    bool quit = false;
};

MissingFilesWatcher::MissingFilesWatcher(QObject *parent)
    : MissingFilesWatcher(defaultInboxDir(), parent)
{}

MissingFilesWatcher::MissingFilesWatcher(const QString &inboxDir, QObject *parent)
    : QObject(parent), m_inboxDir(inboxDir),
      m_queuePath(inboxDir + QLatin1Char('/') + kQueueFileName),
      m_processingPath(inboxDir + QLatin1Char('/') + kProcessingFileName)
{
    std::error_code ec;
    std::filesystem::create_directories(
        std::filesystem::path(QFile::encodeName(inboxDir).toStdString()), ec);
    if (ec) {
        Logger::error(QStringLiteral("Failed to create missing inbox directory: ") +
                      QString::fromStdString(ec.message()));
    }
    m_worker = std::make_unique<Worker>(this);
}

MissingFilesWatcher::~MissingFilesWatcher()
{
    if (m_worker->watching) {
        stopWatching();
    }
    m_worker.reset();
    // A batch already taken from disk exists only in a posted call: deliver it now.
    m_destroying = true;
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

QString MissingFilesWatcher::defaultInboxDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
           QStringLiteral("/VorlantaClient/MissingInbox");
}

void MissingFilesWatcher::startWatching()
{
    Console::printLine(kPrefix + QStringLiteral("Starting to watch missing inbox directory: ") +
                       m_inboxDir);
    Worker *worker = m_worker.get();
    worker->runAndWait([worker] { worker->startWatching(); });
}

void MissingFilesWatcher::stopWatching()
{
    Console::printLine(kPrefix + QStringLiteral("Stopping missing files watcher"));
    Worker *worker = m_worker.get();
    worker->runAndWait([worker] { worker->stopWatching(); });
    Logger::info(QStringLiteral("Stopped missing files watcher"));
}

void MissingFilesWatcher::processMissingQueue()
{
    m_worker->requestProcessing();
}

void MissingFilesWatcher::waitUntilIdle()
{
    m_worker->runAndWait([] {});
}

void MissingFilesWatcher::publish(const QStringList &files)
{
    if (!m_destroying) {
        m_missingFiles = files;
        emit missingFilesChanged();
    }
    QueueWriter::write(JobEnvelope::makeNew(
        JobType::missing, QueueWriter::convertToAnyCodable(MissingFilesJob{files})));
    Logger::info(QStringLiteral("Processed ") + QString::number(files.size()) +
                 QStringLiteral(" missing files from queue"));
}
