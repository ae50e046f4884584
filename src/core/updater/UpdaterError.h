#pragma once

#include <QtCore/QString>

#include <stdexcept>

// The self-update's own failures; file, process and network failures pass through as the
// errors of the operation that failed.
class UpdaterError : public std::runtime_error {
public:
    enum class Kind : int {
        badStatus,
        dmgMountFailed,
        codeSignatureInvalid,
        integrityMismatch,
        unexpectedArchiveContents,
        installLocationNotWritable,
        unsafeFileName,
    };

    static UpdaterError badStatus(int status);
    static UpdaterError dmgMountFailed(int status);
    static UpdaterError codeSignatureInvalid(const QString &reason);
    static UpdaterError integrityMismatch();
    static UpdaterError unexpectedArchiveContents();
    static UpdaterError installLocationNotWritable();
    // The manifest names a file that would not stay inside the temporary directory.
    static UpdaterError unsafeFileName(const QString &name);

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }     // badStatus, dmgMountFailed
    QString reason() const { return m_reason; } // codeSignatureInvalid, unsafeFileName
    // The case with its payload, as in badStatus(404).
    QString textualForm() const;
    // The platform's generic description of an error value.
    QString description() const;

private:
    UpdaterError(Kind kind, int status, QString reason);

    Kind m_kind;
    int m_status = 0;
    QString m_reason;
};

// Any failure that ends an update check, in the two forms the updater shows.
QString errorTextualForm(const std::exception &error);
QString errorDescription(const std::exception &error);
