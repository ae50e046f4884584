#include "core/shell/DiagnosticReport.h"

#include "BuildConfig.h"
#include "core/shell/Logger.h"

#include <QtCore/QSysInfo>

namespace DiagnosticReport {

SystemInfo currentSystem()
{
    return {QString::fromUtf8(BuildConfig::kShortVersion),
            QString::fromUtf8(BuildConfig::kBuildNumber), QSysInfo::prettyProductName()};
}

QString build(const SystemInfo &system, const QDateTime &nowUtc, const QString &errorDescription,
              const QString &joinedLog)
{
    const auto orUnknown = [](const QString &value) {
        return value.isEmpty() ? QStringLiteral("Unknown") : value;
    };
    QString report;
    report += QStringLiteral("=== System Information ===\nApp Version: ") +
              orUnknown(system.shortVersion);
    report += QStringLiteral("\nBuild: ") + orUnknown(system.buildNumber);
    report += QStringLiteral("\nSystem: ") + system.osVersion;
    report += QStringLiteral("\nDate: ") + nowUtc.toUTC().toString(Qt::ISODate);
    report += QStringLiteral("\n\n=== Error ===\n") + errorDescription;
    report += QStringLiteral("\n\n=== Full Log ===\n") + joinedLog;
    return report;
}

QString buildForCurrentProcess(const QString &errorDescription)
{
    const QString joined = Logger::joinedMemoryBuffer();
    return build(currentSystem(), QDateTime::currentDateTimeUtc(), errorDescription, joined);
}

} // namespace DiagnosticReport
