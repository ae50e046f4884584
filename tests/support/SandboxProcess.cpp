#include "support/SandboxProcess.h"

#include "TestPrograms.h"

#include <QtCore/QDeadlineTimer>
#include <QtCore/QRegularExpression>

#include <csignal>
#include <sys/prctl.h>

namespace TestSupport {
namespace {

// Generous: a sanitizer build starts slowly on a loaded machine.
constexpr int kStartTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 10000;

const QRegularExpression
    kListeningLine(QStringLiteral("^Sandbox listening on (http://127\\.0\\.0\\.1:[0-9]+/)$"));
const QRegularExpression kTokenLine(QStringLiteral("^Demo token: (\\S+)$"));

} // namespace

SandboxProcess::SandboxProcess(const QStringList &extraArguments,
                               const QProcessEnvironment &environment, bool requestLog)
{
    m_process.setProcessEnvironment(environment);
    // A test that crashes or is killed on time-out must not leave a sandbox behind.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process.setProgram(QString::fromUtf8(TestPrograms::kSandbox));
    QStringList arguments{QStringLiteral("--port"), QStringLiteral("0")};
    if (!requestLog) {
        arguments << QStringLiteral("--quiet");
    }
    m_process.setArguments(arguments + extraArguments);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start();
    if (!m_process.waitForStarted(kStartTimeoutMs)) {
        m_startError =
            QStringLiteral("cannot start %1: %2").arg(m_process.program(), m_process.errorString());
        return;
    }

    QStringList lines;
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (lines.size() < 2 && !deadline.hasExpired()) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(100) &&
            m_process.state() == QProcess::NotRunning) {
            break;
        }
        while (lines.size() < 2 && m_process.canReadLine()) {
            lines.append(QString::fromUtf8(m_process.readLine()).trimmed());
        }
    }
    if (lines.size() < 2) {
        m_startError = QStringLiteral("no start lines (got %1), stderr: %2")
                           .arg(lines.join(QLatin1Char('|')), QString::fromUtf8(errorOutput()));
        return;
    }
    const QRegularExpressionMatch listening = kListeningLine.match(lines.at(0));
    const QRegularExpressionMatch token = kTokenLine.match(lines.at(1));
    if (!listening.hasMatch() || !token.hasMatch()) {
        m_startError =
            QStringLiteral("unexpected start lines: %1").arg(lines.join(QLatin1Char('|')));
        return;
    }
    m_baseUrl = QUrl(listening.captured(1));
    m_token = token.captured(1);
}

SandboxProcess::~SandboxProcess()
{
    // A crash or sanitizer report in the sandbox should not pass unseen.
    if (m_startError.isEmpty() && stop() != 0) {
        qWarning("vorlanta-sandbox did not exit cleanly: %s", errorOutput().constData());
    }
}

bool SandboxProcess::isRunning() const
{
    return m_startError.isEmpty() && m_process.state() == QProcess::Running;
}

QByteArray SandboxProcess::errorOutput()
{
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}

int SandboxProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning) {
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    m_process.terminate();
    if (m_process.waitForFinished(kStopTimeoutMs)) {
        errorOutput();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    m_process.kill();
    m_process.waitForFinished(kStopTimeoutMs);
    return -1;
}

} // namespace TestSupport
