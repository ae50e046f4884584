#pragma once

#include <QtCore/QString>

#include <atomic>

// File copies for staging jobs. Data moves inside the kernel (reflink where the file system
// offers it, else copy_file_range), and lands under a hidden temporary name that is renamed into
// place without replacing anything: a crash or a cancel never leaves a partial file under the
// final name.
namespace FileCopier {

struct Result {
    bool ok = true;
    bool cancelled = false; // stopped by the cancel flag; nothing was left behind
    QString errorDescription;
    // Failed where the copy is written, for a reason that can pass (no space, quota, I/O error,
    // permission): staging again later may well succeed.
    bool canPass = false;

    static Result success() { return {}; }
    static Result failure(const QString &description) { return {false, false, description}; }
    static Result failure(int errorNumber);
    static Result cancel() { return {false, true, QStringLiteral("Operation canceled")}; }
    // A failure at the destination; "File exists" is final, every other one can pass.
    static Result destinationFailure(int errorNumber);
    static Result destinationFailure(const QString &description)
    {
        return {false, false, description, true};
    }
};

// Copies one file (following a symbolic link given as the source). Fails with "File exists"
// when something is at the destination.
Result copyFile(const QString &source, const QString &destination,
                const std::atomic_bool *cancel = nullptr);

// Tree copies skip special files (FIFOs, sockets, devices: nothing to upload), the destination
// itself and the application's data directory, so that staging a folder that holds them (a home
// folder) never copies the outbox into itself.

// Removes whatever is at the destination, then copies the directory tree, hidden entries
// included. Stops at the first error.
Result copyRecursively(const QString &source, const QString &destination,
                       const std::atomic_bool *cancel = nullptr);

// Copies the directory's visible entries (hidden ones skipped, recursively) into the
// destination directory, which is created when missing. An entry already there under its final
// name is complete (copies land whole) and is kept, so a staging cut off by a crash can be
// finished. Stops at the first error; what was copied stays.
Result copyDirectory(const QString &source, const QString &destination,
                     const std::atomic_bool *cancel = nullptr);

// Thrown by throwIfInterrupted: a staging interrupted by termination leaves its job as it was.
struct CopyCancelled {};
// Thrown by throwIfInterrupted: the job stays queued, to be staged again once the cause passed.
struct StagingFault {
    QString description;
};
inline void throwIfInterrupted(const Result &result)
{
    if (result.cancelled) {
        throw CopyCancelled{};
    }
    if (!result.ok && result.canPass) {
        throw StagingFault{result.errorDescription};
    }
}

// Removes the hidden temporaries (".NAME.partial-XXXXXX") left in the directory tree by copies
// cut off by a crash; those of copies under way in this process are kept.
void removeStalePartials(const QString &directory);

// Writes the text as UTF-8 atomically; a failure is a destination failure.
Result writeTextAtomically(const QString &path, const QString &text);

// Moves a file within one file system; fails with "File exists" rather than replacing.
Result moveWithoutReplacing(const QString &source, const QString &destination);

} // namespace FileCopier
