#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QEventLoop>
#include <QtCore/QHash>
#include <QtCore/QRandomGenerator>
#include <QtCore/QString>
#include <QtCore/QTimer>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>

#include <nlohmann/json.hpp>

namespace TestSupport {

// A finished HTTP exchange, as the sandbox tests look at it.
struct Reply {
    int status = 0; // 0: no HTTP answer at all
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // lower-case names

    bool hasHeader(const QByteArray &name) const { return headers.contains(name.toLower()); }
    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    nlohmann::ordered_json json() const
    {
        return nlohmann::ordered_json::parse(body.toStdString(), nullptr, false);
    }
    QString describe() const
    {
        return QStringLiteral("status %1, error %2, body %3")
            .arg(status)
            .arg(int(error))
            .arg(QString::fromUtf8(body.left(300)));
    }
};

// Waits for the reply in a real event loop (QTest::qWaitFor naps between rounds, which
// throttles uploads) and collects it; the reply is deleted later.
inline Reply awaitReply(QNetworkReply *reply, int timeoutMs = 120000)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        loop.exec();
    }
    const bool finished = reply->isFinished();
    Reply result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.error = finished ? reply->error() : QNetworkReply::TimeoutError;
    result.body = reply->readAll();
    for (const auto &[name, value] : reply->rawHeaderPairs()) {
        result.headers.insert(name.toLower(), value);
    }
    reply->abort();
    reply->deleteLater();
    return result;
}

// Deterministic bytes, different in every position that matters for a digest.
inline QByteArray patternBytes(qint64 size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    random.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    for (qint64 i = size / 4 * 4; i < size; ++i) {
        data[i] = char(random.generate());
    }
    return data;
}

} // namespace TestSupport
