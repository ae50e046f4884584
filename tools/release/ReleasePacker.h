#pragma once

#include "ReleaseOptions.h"

#include <QtCore/QByteArray>
#include <QtCore/QString>

#include <atomic>

// Turns a bundle folder into a release: a staged copy named "Vorlanta Creator.app" with the
// version in its Info.json, signed, packed with tar into OUT/NAME; then the release manifest
// into OUT/version-linux. The source folder is only read; the staging copy never outlives run().
class ReleasePacker {
public:
    explicit ReleasePacker(ReleaseOptions options, const std::atomic_bool *interrupted = nullptr);

    // The release manifest's JSON text, as written to version-linux. Throws ReleaseError.
    QByteArray run();

private:
    struct Archive {
        QByteArray sha256Hex;
        qint64 size = 0;
    };

    void checkBundle() const;
    QByteArray readKey() const;
    QString prepareOutDir() const;
    void writeVersion(const QString &stagedBundle) const;
    void pack(const QString &stagingParent, const QString &archivePath) const;
    Archive measure(const QString &archivePath) const;
    QByteArray manifest(const Archive &archive) const;
    void throwIfInterrupted() const;

    ReleaseOptions m_options;
    const std::atomic_bool *m_interrupted;
};
