#pragma once

#include "support/Await.h"
#include "support/DataRows.h"

#include <QtCore/QMutex>
#include <QtCore/QRandomGenerator>
#include <QtCore/QThread>
#include <QtCore/QUrl>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

#include <algorithm>

namespace TestSupport {

using Headers = QList<QPair<QByteArray, QByteArray>>;

// One request as the loopback peer read it off the socket.
struct SeenRequest {
    QByteArray method, target, body;
    Headers headers; // names lower-cased, in the order sent
    QByteArray line() const { return method + ' ' + target; }
    Headers sortedHeaders() const { return sorted(headers); }
    static Headers sorted(Headers h) { return std::sort(h.begin(), h.end()), h; }
};

inline QByteArray responseHead(int status, const Headers &headers, qsizetype contentLength)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    for (const auto &[name, value] : headers) {
        head += name + ": " + value + "\r\n";
    }
    return head + "Content-Length: " + QByteArray::number(contentLength) + "\r\n\r\n";
}

// Answers and closes the connection.
inline void respond(QTcpSocket *socket, int status, const QByteArray &body, Headers headers = {})
{
    socket->write(
        responseHead(status, headers << qMakePair(QByteArray("Connection"), "close"), body.size()) +
        body);
    socket->disconnectFromHost();
}

inline QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size + 4, Qt::Uninitialized);
    QRandomGenerator(quint32(size))
        .fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4 + 1);
    return bytes.left(size);
}

// A raw HTTP/1.1 peer on 127.0.0.1 for what the sandbox cannot show (the exact bytes on the
// wire, malformed answers). Its own thread lets blocking calls on the test thread talk to it;
// the handler runs there for every complete request.
class LoopbackPeer {
public:
    using Handler = std::function<void(QTcpSocket *socket, const SeenRequest &request)>;
    explicit LoopbackPeer(Handler handler) : m_handler(std::move(handler))
    {
        m_thread.start();
        m_anchor->moveToThread(&m_thread);
        onPeerThread([this] {
            m_server = new QTcpServer;
            m_server->listen(QHostAddress::LocalHost, 0);
            QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] {
                while (QTcpSocket *socket = m_server->nextPendingConnection()) {
                    accept(socket);
                }
            });
        });
    }
    // Answers every request alike.
    LoopbackPeer(int status, QByteArray body, Headers headers = {})
        : LoopbackPeer(
              [=](QTcpSocket *s, const SeenRequest &) { respond(s, status, body, headers); })
    {}
    ~LoopbackPeer()
    {
        onPeerThread([this] { delete m_server; });
        m_thread.quit();
        m_thread.wait();
        delete m_anchor;
    }
    QUrl url(const QByteArray &pathAndQuery = "/") const
    {
        return QUrl::fromEncoded("http://127.0.0.1:" + QByteArray::number(m_server->serverPort()) +
                                 pathAndQuery);
    }
    QList<SeenRequest> requests() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_requests;
    }

private:
    void onPeerThread(std::function<void()> work)
    {
        QMetaObject::invokeMethod(m_anchor, std::move(work), Qt::BlockingQueuedConnection);
    }
    void accept(QTcpSocket *socket)
    {
        auto pending = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, pending] {
            pending->append(socket->readAll());
            while (socket->state() == QAbstractSocket::ConnectedState) {
                const qsizetype headEnd = pending->indexOf("\r\n\r\n");
                const QList<QByteArray> lines = pending->left(headEnd).split('\n');
                const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
                SeenRequest request{requestLine.value(0), requestLine.value(1), {}, {}};
                qsizetype end = headEnd + 4;
                for (const QByteArray &line : lines.mid(1)) {
                    const qsizetype colon = line.indexOf(':');
                    const auto &[name, value] = request.headers.emplaceBack(
                        line.left(colon).toLower(), line.mid(colon + 1).trimmed());
                    end += name == "content-length" ? value.toLongLong() : 0;
                }
                if (headEnd < 0 || pending->size() < end) {
                    return;
                }
                request.body = pending->mid(headEnd + 4, end - headEnd - 4);
                pending->remove(0, end);
                const QMutexLocker lock(&m_mutex); // held while the handler runs: it is short
                m_requests.append(request);
                m_handler(socket, request);
            }
        });
    }

    Handler m_handler;
    QThread m_thread;
    QObject *m_anchor = new QObject;
    QTcpServer *m_server = nullptr; // lives on m_thread
    mutable QMutex m_mutex;
    QList<SeenRequest> m_requests;
};

// A loopback port nothing listens on.
inline quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Runs the task to its end; what it threw when that was an E.
template <typename E, typename T> std::optional<E> failureOf(QCoro::Task<T> task)
{
    try {
        TestSupport::await(std::move(task));
    } catch (const E &error) {
        return error;
    }
    return std::nullopt;
}

} // namespace TestSupport
