#include "core/queue/FileMonitor.h"

#include "core/shell/Logger.h"

#include <QtCore/QFile>
#include <QtCore/QStringList>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <iterator>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// Events meaning "an entry of the directory changed". A queue overflow lost some of them.
constexpr std::uint32_t kWriteEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_Q_OVERFLOW;
constexpr std::uint32_t kWatchMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;

// The names of the directory's entries whose suffix is exactly "json", sorted; std::nullopt, with
// *error set, when the directory cannot be read.
std::optional<QStringList> listJsonNames(const QString &directoryPath, QString *error)
{
    DIR *dir = ::opendir(QFile::encodeName(directoryPath).constData());
    if (!dir) {
        *error = qt_error_string(errno);
        return std::nullopt;
    }
    QStringList names;
    int readError = 0;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            readError = errno;
            break;
        }
        // Same as QFileInfo::suffix() == "json" (".json" itself included), without its cost.
        if (std::string_view(entry->d_name).ends_with(".json")) {
            names.append(QFile::decodeName(entry->d_name));
        }
    }
    ::closedir(dir);
    if (readError != 0) {
        *error = qt_error_string(readError);
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

struct FileMonitor::State {
    ~State() { closeDescriptors(); }

    void updateLastKnownFiles();
    QList<FileChange> detectChanges();
    QList<FileChange> changesTo(const QStringList &current);
    bool startMonitoring();
    void run();
    std::uint32_t drainEvents();
    void handleEvents(std::uint32_t mask);
    void closeDescriptors();

    int fileDescriptor = -1; // inotify
    int wakeDescriptor = -1; // eventfd, written by cancel()
    QString directoryPath;
    Callback callback;
    // Sorted. Written by the constructor, then only by the monitor thread.
    QStringList lastKnownFiles;
    std::atomic<bool> cancelled{false};
};

namespace {
// Lets cancel() recognise that it runs inside the callback.
thread_local const void *t_runningState = nullptr;
} // namespace

void FileMonitor::State::updateLastKnownFiles()
{
    QString error;
    std::optional<QStringList> current = listJsonNames(directoryPath, &error);
    if (!current) {
        Logger::error(QStringLiteral("Failed to enumerate directory contents: ") + error);
    }
    lastKnownFiles = current.value_or(QStringList());
}

QList<FileChange> FileMonitor::State::detectChanges()
{
    QString error;
    const std::optional<QStringList> current = listJsonNames(directoryPath, &error);
    if (!current) {
        Logger::error(QStringLiteral("Failed to enumerate directory contents: ") + error);
        return {};
    }
    return changesTo(*current);
}

QList<FileChange> FileMonitor::State::changesTo(const QStringList &current)
{
    QStringList added;
    QStringList removed;
    std::set_difference(current.cbegin(), current.cend(), lastKnownFiles.cbegin(),
                        lastKnownFiles.cend(), std::back_inserter(added));
    std::set_difference(lastKnownFiles.cbegin(), lastKnownFiles.cend(), current.cbegin(),
                        current.cend(), std::back_inserter(removed));
    QList<FileChange> changes;
    changes.reserve(added.size() + removed.size());
    for (const QString &name : std::as_const(added)) {
        changes.append({FileChange::Kind::added, directoryPath + QLatin1Char('/') + name});
    }
    for (const QString &name : std::as_const(removed)) {
        changes.append({FileChange::Kind::removed, directoryPath + QLatin1Char('/') + name});
    }
    lastKnownFiles = current;
    return changes;
}

bool FileMonitor::State::startMonitoring()
{
    fileDescriptor = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wakeDescriptor = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fileDescriptor < 0 || wakeDescriptor < 0 ||
        ::inotify_add_watch(fileDescriptor, QFile::encodeName(directoryPath).constData(),
                            kWatchMask) < 0) {
        Logger::error(QStringLiteral("Failed to open directory for monitoring: ") + directoryPath);
        closeDescriptors();
        return false;
    }
    return true;
}

void FileMonitor::State::run()
{
    pthread_setname_np(pthread_self(), "FileMonitor");
    t_runningState = this;
    pollfd fds[2] = {{wakeDescriptor, POLLIN, 0}, {fileDescriptor, POLLIN, 0}};
    while (!cancelled.load()) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return; // only on a programming error; nothing can be watched any more
        }
        if (cancelled.load() || fds[1].revents == 0) {
            continue;
        }
        const std::uint32_t mask = drainEvents();
        handleEvents(mask);
        if ((mask & (IN_DELETE_SELF | IN_IGNORED)) ||
            (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL))) {
            // The watch is gone: nothing more to report; wait for cancel() alone, at no cost.
            fds[1].fd = -1;
        }
    }
}

std::uint32_t FileMonitor::State::drainEvents()
{
    std::uint32_t mask = 0;
    char buffer[4096]; // holds at least one event with the longest name
    for (;;) {
        const ssize_t length = ::read(fileDescriptor, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            return mask; // EAGAIN: nothing more queued
        }
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            mask |= event.mask;
            offset += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
}

void FileMonitor::State::handleEvents(std::uint32_t mask)
{
    const bool deleted = mask & IN_DELETE_SELF;
    if (mask & (kWriteEvents | IN_DELETE_SELF)) {
        // Only an empty directory can be deleted, and its path may no longer be listed (or may
        // name a new directory), so the last removals come from comparing with nothing.
        const QList<FileChange> changes = deleted ? changesTo(QStringList()) : detectChanges();
        if (!changes.isEmpty() && !cancelled.load()) {
            callback(changes);
        }
    }
    if (deleted) {
        Logger::warn(QStringLiteral("Monitored directory was deleted: ") + directoryPath);
    }
}

void FileMonitor::State::closeDescriptors()
{
    for (int *fd : {&fileDescriptor, &wakeDescriptor}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

FileMonitor::FileMonitor(const QString &directoryPath, Callback callback)
    : m_state(std::make_shared<State>())
{
    m_state->directoryPath = directoryPath;
    m_state->callback = std::move(callback);
    m_state->updateLastKnownFiles();
    if (m_state->startMonitoring()) {
        // Held so that a destructor running inside the callback sees m_thread assigned.
        std::lock_guard lock(m_stopLock);
        m_thread = std::thread([state = m_state] { state->run(); });
    }
}

FileMonitor::~FileMonitor()
{
    cancel();
    std::lock_guard lock(m_stopLock);
    if (m_thread.joinable()) {
        // Destroyed inside the callback: the thread ends once the callback returns, and its
        // share of the state closes the descriptors.
        m_thread.detach();
    }
}

const QString &FileMonitor::directoryPath() const
{
    return m_state->directoryPath;
}

void FileMonitor::cancel()
{
    m_state->cancelled.store(true);
    if (t_runningState == m_state.get()) {
        return; // inside the callback: the thread sees the flag once the callback returns
    }
    std::lock_guard lock(m_stopLock);
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_state->wakeDescriptor, &one, sizeof one);
        m_thread.join();
    }
    m_state->closeDescriptors();
}
