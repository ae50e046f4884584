#pragma once

#include <QtCore/QList>
#include <QtCore/QString>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// One entry of the monitored directory that appeared or disappeared.
struct FileChange {
    // modified is part of the vocabulary but never reported: only names are compared.
    enum class Kind { added, modified, removed };
    Kind kind;
    // Directory path + "/" + entry name.
    QString path;

    friend bool operator==(const FileChange &, const FileChange &) = default;
};

// Watches one directory (not its subdirectories) and reports which entries named "*.json"
// appeared or disappeared since the previous report. Entries present at creation are known and
// never reported as added. Reports come from comparing directory listings, so a burst of changes
// may arrive as one batch; within a batch every addition comes before every removal.
//
// The callback runs on the monitor's own thread, named "FileMonitor". When the directory cannot be
// watched (it does not exist, for one), the error is logged and the monitor stays inert; after the
// directory is deleted, its last removals are reported and nothing more.
class FileMonitor {
public:
    using Callback = std::function<void(const QList<FileChange> &changes)>;

    // Takes the first listing and starts watching at once.
    FileMonitor(const QString &directoryPath, Callback callback);
    // Cancels (see cancel()). May also run inside the callback.
    ~FileMonitor();

    FileMonitor(const FileMonitor &) = delete;
    FileMonitor &operator=(const FileMonitor &) = delete;

    const QString &directoryPath() const;

    // Stops watching; once it returns, the callback is never called again. Idempotent and callable
    // from any thread. From another thread it waits for a running callback to return, so the
    // caller must not hold anything that callback waits for; inside the callback it returns at
    // once and no further call follows.
    void cancel();

private:
    struct State;

    // Shared with the thread, which may outlive this object when destroyed inside the callback.
    std::shared_ptr<State> m_state;
    std::mutex m_stopLock;
    std::thread m_thread;
};
