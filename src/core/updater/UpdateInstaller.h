#pragma once

#include "core/updater/ReleaseManifest.h"

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QUrl>

#include <functional>

// Installs a release the user accepted: download, digest check, extraction from the release
// archive, signature check, staging beside the running bundle and the installer script that
// swaps the bundles once the application has quit. Every step blocks; run it off the main
// thread. Steps fail with UpdaterError or with the error of the file, process or network
// operation that failed.
class UpdateInstaller {
public:
    struct Setup {
        QString temporaryDirectory; // where downloads, mounts and the script go
        QString bundlePath;         // the running bundle, replaced by the installer script
        QByteArray publicKey;       // 32 raw Ed25519 bytes the release must be signed with
        QString downloadSite;       // opened in the browser when the swap fails
        qint64 processId = 0;       // the installer script waits for this process to end
    };

    explicit UpdateInstaller(Setup setup);

    // The whole pipeline; terminate is called once the installer script runs. Temporary files
    // are removed on every exit after the download.
    void install(const ReleaseManifest &manifest, const std::function<void()> &terminate);

    // The steps, in pipeline order.
    QString downloadDMG(const ReleaseManifest &manifest);
    void verifyArchive(const QString &imagePath, const ReleaseManifest &manifest);
    QString mountAndExtractFromDMG(const QString &imagePath);
    void unmountDMG(const QString &mountPoint);
    void clearQuarantine(const QString &appPath);
    void verifyCodeSignature(const QString &appPath);
    QString stageApp(const QString &appPath);
    void launchInstallerScript(const QString &stagedAppPath);

    QString logFilePath() const;

private:
    Setup m_setup;
};
