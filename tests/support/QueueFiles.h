#pragma once
// File helpers shared by the queue tests.
#include "support/TestEnvironment.h"

#include <QtCore/QDir>
#include <QtCore/QDirIterator>

namespace QueueFiles {

using namespace Qt::Literals::StringLiterals;

// Creates the parent folders too.
inline bool writeFile(const QString &path, const QByteArray &content = "{}", bool append = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(append ? QIODevice::Append : QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size() && file.flush();
}

// Files given as "path=content|path=content" under the directory.
inline bool plant(const QString &dir, const QString &entries)
{
    for (const QString &entry : entries.split(u'|', Qt::SkipEmptyParts)) {
        if (!writeFile(dir + u'/' + entry.section(u'=', 0, 0), entry.section(u'=', 1).toUtf8())) {
            return false;
        }
    }
    return true;
}

inline QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// Everything under the directory, hidden entries included, sorted: "dir/", "link -> target",
// "file=content" ("file" alone without contents); "<none>" when there is no such directory.
inline QStringList snapshot(const QString &dir, bool contents = true)
{
    if (!QFileInfo(dir).isDir()) {
        return {u"<none>"_s};
    }
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QString name = QDir(dir).relativeFilePath(info.filePath());
        entries << (info.isSymLink() ? name + u" -> "_s + info.symLinkTarget()
                    : info.isDir()   ? name + u'/'
                    : contents
                        ? name + u'=' + QString::fromUtf8(TestSupport::readFile(info.filePath()))
                        : name);
    }
    return sorted(entries);
}

} // namespace QueueFiles
