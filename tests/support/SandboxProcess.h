#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QProcess>
#include <QtCore/QProcessEnvironment>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QUrl>

namespace TestSupport {

// The built vorlanta-sandbox as a child process on a free loopback port ("--port 0 --quiet"
// plus the given arguments; without "--quiet" when the request log is wanted). It is stopped
// with SIGTERM when the object goes away.
class SandboxProcess {
public:
    explicit SandboxProcess(
        const QStringList &extraArguments = {},
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
        bool requestLog = false);
    ~SandboxProcess();
    SandboxProcess(const SandboxProcess &) = delete;
    SandboxProcess &operator=(const SandboxProcess &) = delete;

    // True when both start lines were read and the process still runs.
    bool isRunning() const;
    // Why the start failed (empty after a good start); meant for QVERIFY2 messages.
    QString startError() const { return m_startError; }

    // "http://127.0.0.1:PORT/", with the trailing "/".
    QUrl baseUrl() const { return m_baseUrl; }
    // The bearer token the sandbox accepts.
    QString token() const { return m_token; }
    quint16 port() const { return quint16(m_baseUrl.port()); }
    qint64 processId() const { return m_process.processId(); }
    // "Bearer <token>", ready for an Authorization header.
    QByteArray authorization() const { return "Bearer " + m_token.toUtf8(); }

    // Everything written to standard error so far (errors; the request log when not quiet).
    QByteArray errorOutput();

    // Sends SIGTERM and waits; returns the exit code, or -1 when it had to be killed.
    int stop();

private:
    QProcess m_process;
    QUrl m_baseUrl;
    QString m_token;
    QString m_startError;
    QByteArray m_stderr;
};

} // namespace TestSupport
