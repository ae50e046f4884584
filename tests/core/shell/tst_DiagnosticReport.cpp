#include "core/shell/DiagnosticReport.h"
#include "core/shell/Logger.h"
#include "support/TestEnvironment.h"

#include <QtCore/QRegularExpression>
#include <QtCore/QTimeZone>

class TestDiagnosticReport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void exactText_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("build");
        QTest::addColumn<QString>("expectedHead");
        QTest::newRow("known") << QStringLiteral("1.4.2") << QStringLiteral("57")
                               << QStringLiteral("App Version: 1.4.2\nBuild: 57");
        QTest::newRow("unknown") << QString() << QString()
                                 << QStringLiteral("App Version: Unknown\nBuild: Unknown");
    }
    void exactText()
    {
        QFETCH(QString, version);
        QFETCH(QString, build);
        QFETCH(QString, expectedHead);
        const DiagnosticReport::SystemInfo system{version, build,
                                                  QStringLiteral("Debian GNU/Linux 12 (bookworm)")};
        // A time given in another zone is still reported in UTC.
        const QDateTime when(QDate(2025, 3, 14), QTime(10, 30, 15), QTimeZone(3600));
        const QString log = QStringLiteral("[2025-03-14T093000Z] INFO a\n[2025-03-14T093001Z] "
                                           "ERROR b\n");
        QCOMPARE(DiagnosticReport::build(system, when, QStringLiteral("The network is down"), log),
                 QStringLiteral("=== System Information ===\n") + expectedHead +
                     QStringLiteral("\nmacOS: Debian GNU/Linux 12 (bookworm)"
                                    "\nDate: 2025-03-14T09:30:15Z"
                                    "\n\n=== Error ===\nThe network is down"
                                    "\n\n=== Full Log ===\n"
                                    "[2025-03-14T093000Z] INFO a\n[2025-03-14T093001Z] ERROR b\n"));
    }

    void currentProcessReportCarriesThisBuildAndItsOwnLines()
    {
        Logger::info(QStringLiteral("[report] first"));
        Logger::warn(QStringLiteral("[report] second"));
        const QString joined = Logger::joinedMemoryBuffer();
        const QString report = DiagnosticReport::buildForCurrentProcess(QStringLiteral("boom"));

        const DiagnosticReport::SystemInfo system = DiagnosticReport::currentSystem();
        QVERIFY(!system.shortVersion.isEmpty());
        QVERIFY(!system.buildNumber.isEmpty());
        QVERIFY(!system.osVersion.isEmpty());
        QVERIFY(report.startsWith(QStringLiteral("=== System Information ===\nApp Version: ") +
                                  system.shortVersion + QStringLiteral("\nBuild: ") +
                                  system.buildNumber + QStringLiteral("\nmacOS: ") +
                                  system.osVersion + QStringLiteral("\nDate: ")));
        static const QRegularExpression date(
            QStringLiteral("\\nDate: \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\\n\\n=== Error"));
        QVERIFY(date.match(report).hasMatch());
        QVERIFY(report.endsWith(QStringLiteral("\n\n=== Error ===\nboom\n\n=== Full Log ===\n") +
                                joined));
    }
};

VORLANTA_TEST_MAIN(TestDiagnosticReport)
#include "tst_DiagnosticReport.moc"
