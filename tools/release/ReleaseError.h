#pragma once

#include <QtCore/QString>

#include <stdexcept>

// Why vorlanta-release stopped, with the exit status that tells refused input from a failure.
class ReleaseError : public std::runtime_error {
public:
    static constexpr int kFailed = 1;
    static constexpr int kRefused = 2;

    // The input is not usable; nothing was written.
    static ReleaseError refused(const QString &message) { return {kRefused, message}; }
    // A step failed on good input (a process, the disk, an interruption).
    static ReleaseError failed(const QString &message) { return {kFailed, message}; }

    int exitStatus() const { return m_exitStatus; }

private:
    ReleaseError(int exitStatus, const QString &message)
        : std::runtime_error(message.toStdString()), m_exitStatus(exitStatus)
    {}

    int m_exitStatus;
};
