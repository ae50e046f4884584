#include "service/ServiceRequestSender.h"

#include "core/shell/InstancePaths.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QProcess>
#include <QtCore/QThread>
#include <QtNetwork/QLocalSocket>

namespace {

constexpr int kStartupBudgetMs = 10000;
constexpr int kRetryPauseMs = 100;
constexpr int kAnswerBudgetMs = 5000;
constexpr char kApplication[] = "vorlanta-creator";

// The application beside this program (an installed bundle), else the one on PATH.
QString applicationProgram()
{
    const QString beside =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(kApplication);
    return QFileInfo(beside).isExecutable() ? beside : QString::fromLatin1(kApplication);
}

} // namespace

bool ServiceRequestSender::deliver()
{
    Attempt attempt = tryOnce();
    if (attempt == Attempt::noInstance) {
        if (!startApplication()) {
            return false;
        }
        // The new instance needs a moment before it listens.
        const QDeadlineTimer deadline(kStartupBudgetMs);
        while (attempt == Attempt::noInstance && !deadline.hasExpired()) {
            QThread::msleep(kRetryPauseMs);
            attempt = tryOnce();
        }
        if (attempt == Attempt::noInstance) {
            m_error = QStringLiteral("Vorlanta Creator was started but did not answer within %1 "
                                     "seconds")
                          .arg(kStartupBudgetMs / 1000);
        }
    }
    return attempt == Attempt::accepted;
}

ServiceRequestSender::Attempt ServiceRequestSender::tryOnce()
{
    QLocalSocket socket;
    socket.connectToServer(InstancePaths::serverPath());
    if (!socket.waitForConnected(1000)) {
        return Attempt::noInstance;
    }
    socket.write(m_request);
    if (!socket.waitForBytesWritten(kAnswerBudgetMs)) {
        m_error = QStringLiteral("could not send the request: ") + socket.errorString();
        return Attempt::refused;
    }
    const QDeadlineTimer deadline(kAnswerBudgetMs);
    while (!socket.canReadLine() && !deadline.hasExpired() &&
           socket.state() == QLocalSocket::ConnectedState) {
        socket.waitForReadyRead(int(deadline.remainingTime()));
    }
    const QJsonObject answer = QJsonDocument::fromJson(socket.readLine()).object();
    if (answer.value(QStringLiteral("accepted")).toBool()) {
        return Attempt::accepted;
    }
    m_error = QStringLiteral("the running Vorlanta Creator did not accept the request (is it an "
                             "older version?)");
    return Attempt::refused;
}

bool ServiceRequestSender::startApplication()
{
    // Never with the files on its command line: a second instance that lost the start race
    // would drop them. The request goes over the socket once it listens.
    QProcess process;
    process.setProgram(applicationProgram());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The request carries these to the window it opens; the new process must not use them up
    // on whatever it shows first.
    environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
    environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QDir::homePath());
    // It outlives this program, whose output may be a pipe that closes when this one ends.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        m_error = QStringLiteral("cannot start ") + process.program() + QStringLiteral(": ") +
                  process.errorString();
        return false;
    }
    return true;
}
