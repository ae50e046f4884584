#pragma once

#include "core/shell/ServicePasteboard.h"

#include <QtCore/QLockFile>
#include <QtCore/QObject>
#include <QtCore/QStringList>

#include <memory>

class QLocalServer;
class QLocalSocket;

// One running instance per user. The first process holds a lock file and listens on a local
// socket beside it; a later process asks that one to activate (forwarding any custom-scheme URLs
// it was started with, as the desktop would deliver them) and is told to terminate.
//
// The socket takes one compact JSON object per line:
//   {"command":"activate"}
//   {"command":"openUrls","urls":["vorlanta-creator://…"]}
//   {"command":"openOption","option":"--open-quick-project","paths":["/abs/a.mov"]}
//   {"command":"service","message":"quickProject"|"sendMissingFiles",
//    "pasteboard":{"urls":["file:///abs/a%20b.mov"],"NSFilenamesPboardType":["/abs/a b.mov"],
//                  "items":[{"public.file-url":"file:///abs/a%20b.mov"}]},
//    "startupId":"…","activationToken":"…"}
// A service request is answered with the line {"accepted":true} once it has been handed on, so
// its sender knows it was delivered. The pasteboard keys are those of ServicePasteboard; each
// is optional, and startupId/activationToken are the sender's DESKTOP_STARTUP_ID and
// XDG_ACTIVATION_TOKEN, empty or absent when it had none.
class SingleInstanceManager : public QObject {
    Q_OBJECT
public:
    explicit SingleInstanceManager(QObject *parent = nullptr);
    ~SingleInstanceManager() override;

    // Decides isSingleInstance(). urlsToForward are sent to the running instance, if any.
    void checkSingleInstance(const QStringList &urlsToForward = {});
    bool isSingleInstance() const { return m_isSingleInstance; }
    // Hands an open option and its absolute paths to the running instance; true once sent.
    bool forwardOpenOption(const QString &option, const QStringList &paths);

    // XDG_RUNTIME_DIR, or the temporary directory when it is unset or unusable.
    static QString runtimeDirectory();
    // The lock file and the socket; per user, named after the application identifier.
    static QString lockFilePath();
    static QString serverPath();

signals:
    // Another process was started while this one runs.
    void activationRequested();
    // Another process was started with custom-scheme URLs.
    void urlsReceived(const QStringList &urls);
    // Another process was started with an open option: the option, then its absolute paths.
    void openOptionReceived(const QStringList &arguments);
    // A file manager's service request ("quickProject" or "sendMissingFiles"); main thread.
    void serviceRequested(const QString &message, const ServicePasteboard &pasteboard,
                          const QString &startupId, const QString &activationToken);
    // Emitted 0.1 s after a check that found another instance.
    void terminationRequested();

private:
    void startServer();
    void readMessages(QLocalSocket *socket);
    void handleMessage(QLocalSocket *socket, const QByteArray &line);
    bool notifyRunningInstance(const QStringList &urls);
    static bool sendToRunningInstance(const QByteArray &payload);

    bool m_isSingleInstance = false;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};
