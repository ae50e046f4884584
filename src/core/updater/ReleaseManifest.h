#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QDateTime>
#include <QtCore/QString>
#include <QtCore/QUrl>

#include <optional>
#include <stdexcept>

// The release manifest on the download site; every key is required.
struct ReleaseManifest {
    QString version;
    QUrl downloadURL;
    QString sha256;
    qint64 size = 0;
    QString filename;
    QDateTime lastModified;
    QString etag;

    // Throws ManifestDecodeError when a key is missing, of the wrong type or a date is unreadable.
    static ReleaseManifest decode(const QByteArray &json);
};

class ManifestDecodeError : public std::runtime_error {
public:
    explicit ManifestDecodeError(const QString &description)
        : std::runtime_error(description.toStdString())
    {}
};

// ISO 8601 internet date-time, with fractional seconds first, then without.
std::optional<QDateTime> parseManifestDate(const QString &text);

// Dotted version numbers, compared position by position; a missing position counts as 0.
namespace VersionComparison {
enum class Order { ascending, same, descending };
Order compareVersion(const QString &a, const QString &b);
// True when the manifest's version is newer than the running one; a running version that is
// unknown makes every manifest newer.
bool isManifestNewer(const QString &manifestVersion, const std::optional<QString> &runningVersion);
} // namespace VersionComparison

// A record of the release being installed, kept in the settings under "UpdaterMetadata".
struct UpdateMetadata {
    std::optional<QString> etag;
    std::optional<QDateTime> lastModified;
    std::optional<QString> version;

    static constexpr char kSettingsKey[] = "UpdaterMetadata";

    // JSON with absent fields left out; the date as seconds since 2001-01-01 00:00:00 UTC.
    QByteArray encode() const;
    static std::optional<UpdateMetadata> decode(const QByteArray &json);

    // Writes the record to the application's settings, or removes the key for none.
    static void store(const std::optional<UpdateMetadata> &metadata);
    static std::optional<UpdateMetadata> stored();
};
