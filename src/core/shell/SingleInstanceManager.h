#pragma once

#include <QtCore/QLockFile>
#include <QtCore/QObject>
#include <QtCore/QStringList>

#include <memory>

class QLocalServer;
class QLocalSocket;

// One running instance per user. The first process holds a lock file and listens on a local
// socket beside it; a later process asks that one to activate (forwarding any custom-scheme URLs
// it was started with, as the desktop would deliver them) and is told to terminate.
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
    // Emitted 0.1 s after a check that found another instance.
    void terminationRequested();

private:
    void startServer();
    void readMessages(QLocalSocket *socket);
    void handleMessage(const QByteArray &line);
    bool notifyRunningInstance(const QStringList &urls);
    static bool sendToRunningInstance(const QByteArray &payload);

    bool m_isSingleInstance = false;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};
