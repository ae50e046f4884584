#include "support/TestEnvironment.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TestSupport {
namespace {

QTemporaryDir *g_root = nullptr;

void setEnv(const char *name, const QString &value)
{
    ::setenv(name, QFile::encodeName(value).constData(), 1);
}

} // namespace

void isolateEnvironment()
{
    if (g_root) {
        return;
    }
    // Short template: local socket paths must stay under 108 bytes.
    g_root = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/vt-XXXXXX"));
    const QString base = g_root->path();
    for (const char *dir : {"home", "data", "config", "cache", "runtime"}) {
        QDir(base).mkpath(QString::fromLatin1(dir));
    }
    ::chmod(QFile::encodeName(base + QStringLiteral("/runtime")).constData(), 0700);
    setEnv("HOME", base + QStringLiteral("/home"));
    setEnv("XDG_DATA_HOME", base + QStringLiteral("/data"));
    setEnv("XDG_CONFIG_HOME", base + QStringLiteral("/config"));
    setEnv("XDG_CACHE_HOME", base + QStringLiteral("/cache"));
    setEnv("XDG_RUNTIME_DIR", base + QStringLiteral("/runtime"));
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
}

QString root()
{
    return g_root ? g_root->path() : QString();
}

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    m_path = root() + QStringLiteral("/stdout-%1.txt").arg(reinterpret_cast<quintptr>(this));
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    m_savedFd = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
}

StdoutCapture::~StdoutCapture()
{
    finish();
}

QByteArray StdoutCapture::finish()
{
    if (m_savedFd >= 0) {
        std::fflush(stdout);
        ::dup2(m_savedFd, STDOUT_FILENO);
        ::close(m_savedFd);
        m_savedFd = -1;
        m_captured = readFile(m_path);
        QFile::remove(m_path);
    }
    return m_captured;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

QList<qint64> processesOf(const QString &executable)
{
    QList<qint64> found;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (QFile::symLinkTarget(QStringLiteral("/proc/") + pid + QStringLiteral("/exe")) ==
            executable) {
            found << pid.toLongLong();
        }
    }
    return found;
}

} // namespace TestSupport
