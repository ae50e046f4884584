#pragma once

// Helpers shared by the tests of the two queue consumers.

#include "core/queue/JobFileRegistry.h"
#include "core/queue/JobWorker.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "support/TestEnvironment.h"

#include <QtCore/QDateTime>
#include <QtCore/QDir>
#include <QtCore/QDirIterator>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QRegularExpression>
#include <QtCore/QSaveFile>
#include <QtCore/QTemporaryDir>

#include <cstdio>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace QueueTestHelpers {

using Json = nlohmann::ordered_json;

inline constexpr int kTimeoutMs = 10000;

inline std::string utf8(const QString &text)
{
    return text.toStdString();
}

inline Json stringArray(const QStringList &items)
{
    Json array = Json::array();
    for (const QString &item : items) {
        array.push_back(utf8(item));
    }
    return array;
}

// A job document as a producer writes it; a null id leaves the member out.
inline QByteArray jobDocument(const QString &type, const Json &payload,
                              const QString &id = QString())
{
    Json document = Json::object();
    if (!id.isNull()) {
        document["id"] = utf8(id);
    }
    document["utcCreated"] = "2025-03-01T09:30:00Z";
    document["type"] = utf8(type);
    document["payload"] = payload;
    return QByteArray::fromStdString(document.dump(2));
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

inline bool writeAtomically(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.commit();
}

inline QString queued(const QString &name)
{
    return Paths::queueDir() + QLatin1Char('/') + name;
}

inline QString archived(const QString &name)
{
    return Paths::processedDir() + QLatin1Char('/') + name;
}

inline QString outbox(const QString &id)
{
    return Paths::outboxDir() + QLatin1Char('/') + id;
}

// Writes a job file into the queue the way producers do, in one step.
inline QString enqueue(const QString &name, const QByteArray &content)
{
    return writeAtomically(queued(name), content) ? queued(name) : QString();
}

// Relative paths of everything under the directory, hidden entries included; directories end
// in "/".
inline QStringList tree(const QString &directory)
{
    QStringList entries;
    const QDir base(directory);
    QDirIterator it(directory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = base.relativeFilePath(info.filePath());
        entries.append(info.isDir() && !info.isSymLink() ? relative + QLatin1Char('/') : relative);
    }
    entries.sort();
    return entries;
}

inline QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// Hidden temporaries of copies ("." + name + ".partial-XXXXXX") anywhere under the directory.
inline QStringList partialFiles(const QString &directory)
{
    static const QRegularExpression partial(QStringLiteral("(^|/)\\.[^/]*\\.partial-[^/]*$"));
    return tree(directory).filter(partial);
}

// Everything under the test root apart from the queue's own directories and the logs.
inline QStringList entriesOutsideQueueDirectories()
{
    const QDir root(TestSupport::root());
    QStringList excluded;
    for (const QString &directory :
         {Paths::queueDir(), Paths::outboxDir(), Paths::processedDir(), Paths::logsDir()}) {
        excluded.append(root.relativeFilePath(directory) + QLatin1Char('/'));
    }
    QStringList result;
    for (const QString &entry : tree(root.path())) {
        const bool inside = std::any_of(excluded.cbegin(), excluded.cend(),
                                        [&](const QString &e) { return entry.startsWith(e); });
        if (!inside && !entry.startsWith(QLatin1String("stdout-"))) {
            result.append(entry);
        }
    }
    return result;
}

inline bool recreateDirectory(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        if (!QDir(path).removeRecursively()) {
            return false;
        }
    } else if (info.exists() || info.isSymLink()) {
        if (!QFile::remove(path)) {
            return false;
        }
    }
    return QDir().mkpath(path);
}

// Real data, so that copying it takes a while on any file system without reflinks.
inline bool writeLargeFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 written = 0; written < size; written += chunk.size()) {
        chunk.fill(char('a' + (written >> 20) % 26));
        if (file.write(chunk) != chunk.size()) {
            return false;
        }
    }
    return true;
}

inline qint64 sizeOf(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() ? info.size() : -1;
}

// Bytes already in the copy's hidden temporary; the whole size once the copy is in place.
inline qint64 copiedSoFar(const QString &directory, const QString &staged, qint64 size)
{
    if (QFileInfo::exists(staged)) {
        return size;
    }
    qint64 copied = 0;
    for (const QString &partial : partialFiles(directory)) {
        copied = std::max(copied, sizeOf(directory + QLatin1Char('/') + partial));
    }
    return copied;
}

// The logger's lines since construction, as "LEVEL message".
class LogMark {
public:
    LogMark() : m_start(Logger::joinedMemoryBuffer().size()) {}

    QStringList lines() const
    {
        static const QRegularExpression stamp(
            QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\dT\\d{6}Z\\] "));
        QStringList result;
        const QString text = Logger::joinedMemoryBuffer().mid(m_start);
        for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch match = stamp.match(line);
            result.append(match.hasMatch() ? line.mid(match.capturedLength()) : line);
        }
        return result;
    }
    QStringList startingWith(const QString &prefix) const
    {
        QStringList result;
        for (const QString &line : lines()) {
            if (line.startsWith(prefix)) {
                result.append(line);
            }
        }
        return result;
    }
    int count(const QString &line) const { return int(lines().count(line)); }
    QByteArray dump() const { return lines().join(QLatin1Char('\n')).toUtf8(); }

private:
    qsizetype m_start;
};

// Standard output while this lives. QTest reports into it too, so a failure's report is passed
// on to standard error.
class CapturedStdout {
public:
    CapturedStdout() = default;
    ~CapturedStdout()
    {
        const QByteArray text = m_capture.finish();
        if (QTest::currentTestFailed()) {
            for (const QByteArray &line : text.split('\n')) {
                if (!line.startsWith('[')) {
                    std::fprintf(stderr, "%s\n", line.constData());
                }
            }
        }
    }
    CapturedStdout(const CapturedStdout &) = delete;
    CapturedStdout &operator=(const CapturedStdout &) = delete;

    // Descriptor 1 is the capture file while the capture lives.
    QStringList lines() const
    {
        std::fflush(stdout);
        return QString::fromUtf8(TestSupport::readFile(QStringLiteral("/proc/self/fd/1")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    int count(const QString &line) const { return int(lines().count(line)); }

private:
    TestSupport::StdoutCapture m_capture;
};

// What each queue test starts from: empty queue, outbox and archive folders, a fresh folder for
// source files, and the worker's error callbacks collected.
class QueueTestState {
public:
    // From init(); false when a folder could not be made.
    bool setUp()
    {
        for (const QString &directory :
             {Paths::queueDir(), Paths::outboxDir(), Paths::processedDir()}) {
            if (!recreateDirectory(directory)) {
                return false;
            }
        }
        JobFileRegistry::shared().clear();
        m_sources =
            std::make_unique<QTemporaryDir>(TestSupport::root() + QStringLiteral("/src-XXXXXX"));
        {
            std::lock_guard lock(m_mutex);
            m_callbacks.clear();
        }
        JobWorker::setErrorCallback([this](const QString &message) {
            std::lock_guard lock(m_mutex);
            m_callbacks.append(message);
        });
        return m_sources->isValid();
    }

    // From cleanup().
    void tearDown()
    {
        JobWorker::shutdown();
        JobWorker::setErrorCallback(nullptr);
        JobFileRegistry::shared().clear();
        m_sources.reset();
        for (const QString &directory :
             {Paths::queueDir(), Paths::outboxDir(), Paths::processedDir()}) {
            recreateDirectory(directory);
        }
    }

    QString sourcePath(const QString &name) const { return m_sources->filePath(name); }

    QStringList callbacks() const
    {
        std::lock_guard lock(m_mutex);
        return m_callbacks;
    }

private:
    std::unique_ptr<QTemporaryDir> m_sources;
    mutable std::mutex m_mutex;
    QStringList m_callbacks; // written under m_mutex by the worker's thread
};

} // namespace QueueTestHelpers
