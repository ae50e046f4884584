#include "core/shell/Logger.h"

#include "core/shell/Console.h"
#include "core/shell/Paths.h"
#include "core/shell/SerialQueue.h"

#include <QtCore/QByteArray>
#include <QtCore/QFile>
#include <QtCore/QStringList>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace Logger {
namespace {

struct State {
    State()
    {
        // Touch the paths first so that they outlive this state during static destruction,
        // when the queue drains its last appends.
        (void)Paths::logsDir();
    }
    std::mutex bufferLock;
    QStringList memoryBuffer;
    SerialQueue logQueue{"LoggerQueue"};
    std::atomic_bool fileOutput = true;
};

State &state()
{
    static State s;
    return s;
}

qint64 nowSeconds()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

QString formatUtc(qint64 secondsSinceEpoch, const char *format)
{
    const std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    const size_t n = std::strftime(text, sizeof text, format, &tm);
    return QString::fromLatin1(text, static_cast<qsizetype>(n));
}

void appendToDayFile(const QByteArray &utf8Line)
{
    Paths::ensureAll();
    // Named at the moment of writing, not when the line was formatted.
    const QString path = Paths::logsDir() + QLatin1Char('/') + dayFileName(nowSeconds());
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return; // the line is already in memory and on standard output
    }
    const char *data = utf8Line.constData();
    qsizetype left = utf8Line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        data += written;
        left -= written;
    }
    ::close(fd);
}

} // namespace

QString formatTimestamp(qint64 secondsSinceEpoch)
{
    return formatUtc(secondsSinceEpoch, "%Y-%m-%dT%H%M%SZ");
}

QString dayFileName(qint64 secondsSinceEpoch)
{
    return formatUtc(secondsSinceEpoch, "%Y-%m-%d") + QStringLiteral(".log");
}

void write(const QString &level, const QString &message)
{
    // 1. Format the line.
    const QString line = QLatin1Char('[') + formatTimestamp(nowSeconds()) + QStringLiteral("] ") +
                         level + QLatin1Char(' ') + message + QLatin1Char('\n');
    const QByteArray utf8 = line.toUtf8();
    State &s = state();
    // 2. Keep it in memory.
    {
        std::lock_guard lock(s.bufferLock);
        s.memoryBuffer.append(line);
    }
    // 3. Standard output.
    Console::writeDiagnostic(utf8);
    // 4. The file append runs on the queue, in submission order.
    // The switch is read on the queue, so that stopFileOutput()'s flush is the last append.
    s.logQueue.async([utf8, &s] {
        if (s.fileOutput) {
            appendToDayFile(utf8);
        }
    });
}

void info(const QString &message)
{
    write(QStringLiteral("INFO"), message);
}
void warn(const QString &message)
{
    write(QStringLiteral("WARN"), message);
}
void error(const QString &message)
{
    write(QStringLiteral("ERROR"), message);
}

QString joinedMemoryBuffer()
{
    State &s = state();
    std::lock_guard lock(s.bufferLock);
    return s.memoryBuffer.join(QString());
}

void flush()
{
    state().logQueue.waitUntilIdle();
}

void stopFileOutput()
{
    state().fileOutput = false;
    flush();
}

QString excerpt(const QString &text, qsizetype maxCharacters)
{
    if (text.size() <= maxCharacters) {
        return text;
    }
    qsizetype kept = maxCharacters;
    if (kept > 0 && text.at(kept - 1).isHighSurrogate()) {
        --kept; // never half a character
    }
    return text.left(kept) + QStringLiteral("\u2026 (%1 more characters)").arg(text.size() - kept);
}

} // namespace Logger
