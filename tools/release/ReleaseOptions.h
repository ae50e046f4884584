#pragma once

#include <QtCore/QDateTime>
#include <QtCore/QString>
#include <QtCore/QStringList>

// The command line of vorlanta-release, checked before anything is read or written.
struct ReleaseOptions {
    QString bundleDir;
    QString version;
    QString keyPath;
    QString outDir;
    QString baseUrl;        // http(s), ends in "/"
    QString fileName;       // a plain name inside outDir
    QDateTime lastModified; // UTC, whole seconds
    bool help = false;

    // arguments[0] is the program. Throws ReleaseError (refused) naming the problem.
    static ReleaseOptions parse(const QStringList &arguments);
    static QString usage();
};
