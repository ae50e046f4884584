#pragma once

#include "core/updater/ReleaseManifest.h"

#include <QtCore/QByteArray>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QString>
#include <QtCore/QThread>
#include <QtCore/QUrl>

#include <atomic>
#include <exception>
#include <optional>

// Keeps the application current from the release manifest on the download site: checks once at
// start and on request, asks the user, and installs an accepted release. Checks run on a thread
// of their own; questions and alerts are shown on the main thread while the check waits.
class Updater : public QObject {
    Q_OBJECT
public:
    struct Configuration {
        QUrl manifestURL;           // the download site's manifest
        QString downloadSiteHost;   // named in the "Update Failed" text
        QString downloadSite;       // opened by the installer script when the swap fails
        QString bundlePath;         // the running bundle; empty for a development build
        QByteArray publicKey;       // 32 raw Ed25519 bytes
        QString temporaryDirectory; // downloads, mounts, the installer script and its log
        static Configuration fromBuild();
    };

    static Updater &shared();

    void setConfiguration(const Configuration &configuration);
    Configuration configuration() const;
    QUrl manifestURL() const { return configuration().manifestURL; }
    static constexpr char kMetadataKey[] = "UpdaterMetadata";

    // Detached checks; a check while another one runs is refused with a log line, and a manual
    // one also with an alert.
    void checkForUpdatesOnLaunch();
    void checkForUpdatesManually();

    // The check itself, blocking; throws what ended it. Call it off the main thread.
    void performUpdateCheck(bool manual);
    ReleaseManifest fetchManifest();
    bool isManifestNewer(const QString &version) const;
    // The running bundle's version, when it has one.
    std::optional<QString> runningVersion() const;

signals:
    // On the main thread, after a detached check ended in any way.
    void checkEnded();

private:
    explicit Updater(QObject *parent = nullptr);
    void startCheck(bool manual);
    void routeError(const std::exception &error, bool manual);

    mutable std::mutex m_mutex;
    Configuration m_configuration;
    std::atomic_bool m_checking{false};
    QPointer<QThread> m_thread;
};
