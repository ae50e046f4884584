#include "core/upload/StagingArea.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QRegularExpression>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace StagingArea {

QString userDirectory()
{
    return QDir::tempPath() + QStringLiteral("/vorlanta-creator-") + QString::number(::getuid());
}

QString processDirectory()
{
    const QString user = userDirectory();
    const QString own = user + QStringLiteral("/staging-") + QString::number(::getpid());
    // Owner only: the temporary directory is shared with every user of the machine.
    if (::mkdir(QFile::encodeName(user).constData(), 0700) == 0 || errno == EEXIST) {
        ::mkdir(QFile::encodeName(own).constData(), 0700);
    }
    return own;
}

int removeLeftovers()
{
    static const QRegularExpression folderName(QStringLiteral("^staging-([0-9]{1,10})$"));
    const QDir user(userDirectory());
    int removed = 0;
    const QStringList entries = user.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &entry : entries) {
        const QRegularExpressionMatch match = folderName.match(entry);
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        // Only a process that is gone: signal 0 reports ESRCH for those.
        if (!match.hasMatch() || pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH) {
            continue;
        }
        // Never followed: a link is not one of these folders.
        const QFileInfo info(user.filePath(entry));
        if (!info.isSymLink() && QDir(info.filePath()).removeRecursively()) {
            ++removed;
        }
    }
    return removed;
}

} // namespace StagingArea
