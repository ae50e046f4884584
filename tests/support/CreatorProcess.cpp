#include "support/CreatorProcess.h"

#include "TestPrograms.h"

#include <QtCore/QDeadlineTimer>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtTest/QTest>

#include <csignal>

namespace TestSupport {

CreatorProcess::CreatorProcess(const QStringList &arguments, const QProcessEnvironment &environment,
                               const QString &program)
{
    setProcessEnvironment(environment);
    start(program.isEmpty() ? QString::fromUtf8(TestPrograms::kCreator) : program, arguments);
}

CreatorProcess::~CreatorProcess()
{
    stop(SIGKILL);
    // A failure's message shows only the start of the output: all of it goes beside the
    // journeys' screenshots.
    if (QTest::currentTestFailed()) {
        const QString path =
            QString::fromUtf8(TestPrograms::kJourneyDir) + QStringLiteral("/failed-") +
            QString::fromUtf8(QTest::currentTestFunction()) + QStringLiteral(".log");
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::Append)) {
            file.write(output().toUtf8() + "\n----\n");
            qInfo("the app's output: %s", qPrintable(path));
        }
    }
}

QString CreatorProcess::output()
{
    return QString::fromUtf8(m_output += readAllStandardOutput());
}

bool CreatorProcess::waitForOutput(const QString &text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!output().contains(text) && !deadline.hasExpired() && state() != NotRunning) {
        waitForReadyRead(50);
    }
    return output().contains(text);
}

int CreatorProcess::stop(int signalNumber)
{
    if (signalNumber && processId() > 0) { // never pid 0: that signals our group
        ::kill(pid_t(processId()), signalNumber);
    }
    return waitForFinished(10000) && exitStatus() == NormalExit ? exitCode() : -1;
}

} // namespace TestSupport
