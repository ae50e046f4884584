#include "core/queue/JobFileRegistry.h"

#include <QtCore/QFile>

#include <algorithm>
#include <sys/stat.h>

JobFileRegistry &JobFileRegistry::shared()
{
    static JobFileRegistry instance;
    return instance;
}

bool JobFileRegistry::tryClaim(const QString &path)
{
    std::lock_guard lock(m_mutex);
    if (m_claimed.contains(path)) {
        return false;
    }
    m_claimed.insert(path);
    return true;
}

void JobFileRegistry::release(const QString &path)
{
    std::lock_guard lock(m_mutex);
    m_claimed.remove(path);
}

bool JobFileRegistry::isClaimed(const QString &path)
{
    std::lock_guard lock(m_mutex);
    return m_claimed.contains(path);
}

JobFileRegistry::Identity JobFileRegistry::identityOf(const QString &path)
{
    // A dangling or looping link is told by the link itself.
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0 && ::lstat(name.constData(), &st) != 0) {
        return {};
    }
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

void JobFileRegistry::rememberFailed(const QString &path, const QString &message, bool canPass)
{
    using namespace std::chrono_literals;
    const Identity identity = identityOf(path);
    std::function<void(const QString &)> callback;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_failed.find(path);
        const bool retried = it != m_failed.end() && it->identity == identity;
        Failure failure{identity, {}, {}};
        if (canPass) {
            const auto grown =
                retried ? it->retryDelay * 2 : std::chrono::steady_clock::duration(0);
            failure.retryDelay = std::clamp<std::chrono::steady_clock::duration>(grown, 3s, 60s);
            failure.retryAt = std::chrono::steady_clock::now() + failure.retryDelay;
        }
        m_failed.insert(path, failure);
        if (!retried && !message.isEmpty()) {
            callback = m_failureCallback;
        }
    }
    if (callback) {
        callback(message);
    }
}

bool JobFileRegistry::isKnownFailure(const QString &path)
{
    const Identity now = identityOf(path);
    std::lock_guard lock(m_mutex);
    const auto it = m_failed.constFind(path);
    if (it == m_failed.constEnd()) {
        return false;
    }
    // Unchanged, or still beyond stat(): an entry whose name does not even encode back is
    // listed again and again, and retrying it would only spin.
    if (it->identity == now) {
        // Kept when due, so that the retry is known as one: not reported again, waits longer.
        return it->retryDelay.count() == 0 || std::chrono::steady_clock::now() < it->retryAt;
    }
    m_failed.erase(it); // changed or gone: worth another try
    return false;
}

void JobFileRegistry::setFailureCallback(std::function<void(const QString &)> callback)
{
    std::lock_guard lock(m_mutex);
    m_failureCallback = std::move(callback);
}

void JobFileRegistry::clear()
{
    std::lock_guard lock(m_mutex);
    m_claimed.clear();
    m_failed.clear();
}
