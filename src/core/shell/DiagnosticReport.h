#pragma once

#include <QtCore/QDateTime>
#include <QtCore/QString>

// The text that the upload-failure dialog copies for support.
namespace DiagnosticReport {

struct SystemInfo {
    QString shortVersion; // empty when unknown
    QString buildNumber;  // empty when unknown
    QString osVersion;    // the distribution's name and version
};

// This build's version, build number and the running system's name.
SystemInfo currentSystem();

QString build(const SystemInfo &system, const QDateTime &nowUtc, const QString &errorDescription,
              const QString &joinedLog);

// The report for this process now: its own log lines since start.
QString buildForCurrentProcess(const QString &errorDescription);

} // namespace DiagnosticReport
