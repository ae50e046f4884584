#include "core/shell/SingleInstanceManager.h"

#include "core/shell/ArgumentRouter.h"
#include "core/shell/Console.h"
#include "core/shell/InstancePaths.h"
#include "core/shell/Logger.h"

#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFileInfo>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QPointer>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>

#include <optional>
#include <unistd.h>

namespace {

constexpr int kTerminationDelayMs = 100;
constexpr int kConnectBudgetMs = 60;
constexpr qint64 kMaxMessageBytes = 1 << 20;

QByteArray messageLine(const QJsonObject &message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

bool isOpenOption(const QString &option)
{
    using Kind = ArgumentRouter::RouteResult::Kind;
    return option == ArgumentRouter::openOption(Kind::openQuickProject) ||
           option == ArgumentRouter::openOption(Kind::openMissingFiles);
}

// The option and its paths, or nothing when malformed. Paths must be absolute: the sender's
// working directory is not ours, and an option-like path must never reach the router.
std::optional<QStringList> openOptionArguments(const QJsonObject &message)
{
    const QJsonValue option = message.value(QStringLiteral("option"));
    const QJsonValue paths = message.value(QStringLiteral("paths"));
    if (!option.isString() || !isOpenOption(option.toString()) || !paths.isArray()) {
        return std::nullopt;
    }
    QStringList arguments{option.toString()};
    for (const QJsonValue &value : paths.toArray()) {
        if (!value.isString() || !QDir::isAbsolutePath(value.toString())) {
            return std::nullopt;
        }
        arguments.append(value.toString());
    }
    return arguments;
}

} // namespace

SingleInstanceManager::SingleInstanceManager(QObject *parent) : QObject(parent) {}

SingleInstanceManager::~SingleInstanceManager()
{
    if (m_server) {
        m_server->close(); // removes the socket file
    }
}

QString SingleInstanceManager::runtimeDirectory()
{
    return InstancePaths::runtimeDirectory();
}

QString SingleInstanceManager::lockFilePath()
{
    return InstancePaths::lockFilePath();
}

QString SingleInstanceManager::serverPath()
{
    return InstancePaths::serverPath();
}

void SingleInstanceManager::checkSingleInstance(const QStringList &urlsToForward)
{
    m_lock = std::make_unique<QLockFile>(lockFilePath());
    // The lock is held for the life of the process: only a dead owner makes it stale, never age.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0)) {
        m_isSingleInstance = true;
        startServer();
        return;
    }
    if (m_lock->error() != QLockFile::LockFailedError) {
        // Cannot even create the lock file: running without the guard beats not running.
        Console::printLine(QStringLiteral("[SingleInstanceManager] Cannot create lock file ") +
                           m_lock->fileName() +
                           QStringLiteral("; continuing without instance check"));
        m_isSingleInstance = true;
        return;
    }

    qint64 pid = 0;
    m_lock->getLockInfo(&pid, nullptr, nullptr);
    Console::printLine(
        QStringLiteral("[SingleInstanceManager] Another instance is running (pid %1); "
                       "activating it")
            .arg(pid));
    if (!notifyRunningInstance(urlsToForward)) {
        Console::printLine(
            QStringLiteral("[SingleInstanceManager] The running instance did not answer"));
    }
    m_isSingleInstance = false;
    QTimer::singleShot(kTerminationDelayMs, this, &SingleInstanceManager::terminationRequested);
}

void SingleInstanceManager::startServer()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // The lock is ours, so a socket file left here belongs to a dead instance.
    QLocalServer::removeServer(serverPath());
    if (!m_server->listen(serverPath())) {
        Logger::warn(QStringLiteral("[SingleInstanceManager] Cannot listen on ") + serverPath() +
                     QStringLiteral(": ") + m_server->errorString());
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this,
                    [this, socket] { readMessages(socket); });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            readMessages(socket);
        }
    });
}

void SingleInstanceManager::readMessages(QLocalSocket *socket)
{
    // A handler may run the event loop (a window opening), where a socket whose client has
    // gone is deleted.
    const QPointer<QLocalSocket> alive(socket);
    while (alive && socket->canReadLine()) {
        handleMessage(socket, socket->readLine().trimmed());
    }
    if (alive && socket->bytesAvailable() > kMaxMessageBytes) {
        Logger::warn(QStringLiteral("[SingleInstanceManager] Dropping an oversized message"));
        socket->abort();
    }
}

void SingleInstanceManager::handleMessage(QLocalSocket *socket, const QByteArray &line)
{
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &parseError);
    const QJsonObject message = doc.object();
    const QString command = message.value(QStringLiteral("command")).toString();
    if (command == QLatin1String("activate")) {
        Console::printLine(QStringLiteral("[SingleInstanceManager] Activation requested by another "
                                          "instance"));
        emit activationRequested();
        return;
    }
    if (command == QLatin1String("openUrls")) {
        QStringList urls;
        const QJsonArray array = message.value(QStringLiteral("urls")).toArray();
        for (const QJsonValue &value : array) {
            if (value.isString()) {
                urls.append(value.toString());
            }
        }
        emit urlsReceived(urls);
        return;
    }
    const QString service = message.value(QStringLiteral("message")).toString();
    if (command == QLatin1String("service") && (service == QLatin1String("quickProject") ||
                                                service == QLatin1String("sendMissingFiles"))) {
        emit serviceRequested(
            service,
            ServicePasteboard::fromJson(message.value(QStringLiteral("pasteboard")).toObject()),
            message.value(QStringLiteral("startupId")).toString(),
            message.value(QStringLiteral("activationToken")).toString());
        socket->write(messageLine({{QStringLiteral("accepted"), true}}));
        return;
    }
    if (command == QLatin1String("openOption")) {
        if (const auto arguments = openOptionArguments(message)) {
            emit openOptionReceived(*arguments);
            return;
        }
    }
    Logger::warn(QStringLiteral("[SingleInstanceManager] Ignoring an unknown message from "
                                "another instance"));
}

bool SingleInstanceManager::notifyRunningInstance(const QStringList &urls)
{
    QByteArray payload;
    if (!urls.isEmpty()) {
        const QJsonObject openUrls{{QStringLiteral("command"), QStringLiteral("openUrls")},
                                   {QStringLiteral("urls"), QJsonArray::fromStringList(urls)}};
        payload += messageLine(openUrls);
    }
    payload += messageLine({{QStringLiteral("command"), QStringLiteral("activate")}});
    return sendToRunningInstance(payload);
}

bool SingleInstanceManager::forwardOpenOption(const QString &option, const QStringList &paths)
{
    return sendToRunningInstance(
        messageLine({{QStringLiteral("command"), QStringLiteral("openOption")},
                     {QStringLiteral("option"), option},
                     {QStringLiteral("paths"), QJsonArray::fromStringList(paths)}}));
}

bool SingleInstanceManager::sendToRunningInstance(const QByteArray &payload)
{
    // The running instance may still be starting its server: retry briefly, within the 0.1 s
    // this process has left.
    QElapsedTimer clock;
    clock.start();
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(serverPath());
        if (socket.waitForConnected(20)) {
            break;
        }
        if (clock.elapsed() >= kConnectBudgetMs) {
            return false;
        }
        QThread::msleep(5);
    }
    socket.write(payload);
    const bool written = socket.waitForBytesWritten(kConnectBudgetMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) {
        socket.waitForDisconnected(20);
    }
    return written;
}
