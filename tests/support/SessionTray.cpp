#include "support/SessionTray.h"

#include <QtCore/QProcess>
#include <QtGui/QCursor>
#include <QtTest/QTest>

#include <csignal>

namespace TestSupport {

QString xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

void movePointerTo(const QPoint &target)
{
    for (int step = 0; step < 4; ++step) {
        const QPoint delta = (target - QCursor::pos()) / (4 - step);
        xdotool({QStringLiteral("mousemove_relative"), QStringLiteral("--"),
                 QString::number(delta.x()), QString::number(delta.y())});
        QTest::qWait(40);
    }
}

QStringList trayArguments(const QString &edge)
{
    return {QStringLiteral("--edge"),        edge,
            QStringLiteral("--align"),       QStringLiteral("right"),
            QStringLiteral("--widthtype"),   QStringLiteral("request"),
            QStringLiteral("--height"),      QStringLiteral("24"),
            QStringLiteral("--transparent"), QStringLiteral("false"),
            QStringLiteral("--SetDockType"), QStringLiteral("true")};
}

void stopSessionTray()
{
    const auto running = [] {
        return xdotool(
            {QStringLiteral("search"), QStringLiteral("--classname"), QStringLiteral("trayer")});
    };
    for (const QString &window : running().split(u'\n', Qt::SkipEmptyParts)) {
        const int pid = xdotool({QStringLiteral("getwindowpid"), window}).toInt();
        if (pid > 0) {
            ::kill(pid, SIGTERM);
        }
    }
    QTRY_VERIFY(running().isEmpty());
}

void restartSessionTray()
{
    QProcess tray;
    tray.setProgram(QStringLiteral("trayer"));
    tray.setArguments(trayArguments(QStringLiteral("top")));
    tray.setStandardOutputFile(QProcess::nullDevice());
    tray.setStandardErrorFile(QProcess::nullDevice());
    tray.startDetached();
}

} // namespace TestSupport
