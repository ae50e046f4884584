#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QProcess>
#include <QtCore/QProcessEnvironment>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <csignal>

namespace TestSupport {

// The built vorlanta-creator as a child process; killed when the object goes away.
class CreatorProcess : public QProcess {
public:
    explicit CreatorProcess(
        const QStringList &arguments = {},
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
        const QString &program = {}); // the built one when empty
    ~CreatorProcess() override;

    // Standard output so far.
    QString output();
    // Waits up to the time-out for the text on standard output; false when the app ended first.
    bool waitForOutput(const QString &text, int timeoutMs = 15000);
    // Sends the signal (none if 0) and returns the exit code of a normal exit, -1 otherwise.
    int stop(int signalNumber = SIGTERM);

private:
    QByteArray m_output;
};

} // namespace TestSupport
