#include "core/api/AuthStore.h"

#include "core/shell/Console.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QObject>
#include <QtCore/QThread>
#include <QtCore/QTimeZone>
#include <qt6keychain/keychain.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>

namespace {

// 2001-01-01T00:00:00Z, the reference date of "expiresAt".
constexpr qint64 kReferenceDateMSecs = 978307200000;
// About 31 million years: keeps the millisecond count far inside qint64.
constexpr double kMaxAbsSeconds = 1e15;

QString describe(const char *text)
{
    return QString::fromLatin1(text);
}

// The result of one QtKeychain job.
struct JobResult {
    QKeychain::Error error = QKeychain::OtherError;
    QByteArray data;
};

// Runs every QtKeychain job on one long-lived thread. QtKeychain queues jobs in a process-wide
// executor that is not thread-safe and belongs to the thread that started the first job; its
// libsecret backend also needs a running GLib context. One dedicated thread meets both, whichever
// thread the caller is on and whether or not that thread's event loop is free.
class KeychainThread {
public:
    KeychainThread()
    {
        m_thread.setObjectName(QStringLiteral("Keychain"));
        m_context.moveToThread(&m_thread);
        m_thread.start();
    }

    ~KeychainThread()
    {
        m_thread.quit();
        m_thread.wait();
    }

    KeychainThread(const KeychainThread &) = delete;
    KeychainThread &operator=(const KeychainThread &) = delete;

    static KeychainThread &instance()
    {
        static KeychainThread thread;
        return thread;
    }

    // Blocks the caller until the job made by makeJob has finished. The caller's own events keep
    // flowing meanwhile (a running UI repaints while the keyring may show an unlock prompt), but
    // user input waits, so a click cannot start another keychain call in the middle of this one.
    JobResult run(std::function<QKeychain::Job *()> makeJob)
    {
        auto promise = std::make_shared<std::promise<JobResult>>();
        std::future<JobResult> future = promise->get_future();
        const bool canLoop = QCoreApplication::instance() != nullptr;
        std::unique_ptr<QEventLoop> loop = canLoop ? std::make_unique<QEventLoop>() : nullptr;
        QEventLoop *rawLoop = loop.get();

        QMetaObject::invokeMethod(&m_context, [makeJob = std::move(makeJob), promise, rawLoop] {
            QKeychain::Job *job = makeJob();
            job->setAutoDelete(false);
            // Never a QSettings file in plain text, whatever the backend.
            job->setInsecureFallback(false);
            QObject::connect(
                job, &QKeychain::Job::finished, job, [promise, rawLoop](QKeychain::Job *done) {
                    JobResult result;
                    result.error = done->error();
                    if (auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(done)) {
                        result.data = read->binaryData();
                    }
                    done->deleteLater();
                    // Wake the caller before the value is set: the caller's loop
                    // outlives this call, since it only ends after the value.
                    if (rawLoop) {
                        QMetaObject::invokeMethod(rawLoop, &QEventLoop::quit, Qt::QueuedConnection);
                    }
                    promise->set_value(std::move(result));
                });
            job->start();
        });

        if (loop) {
            loop->exec(QEventLoop::ExcludeUserInputEvents);
        }
        return future.get();
    }

private:
    QThread m_thread;
    QObject m_context;
};

QString keychainService()
{
    return QString::fromLatin1(KeychainHelper::shared().service);
}

int statusOf(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError:
        return KeychainHelper::errSecSuccess;
    case QKeychain::EntryNotFound:
        return KeychainHelper::errSecItemNotFound;
    case QKeychain::AccessDeniedByUser:
    // libsecret: a locked collection whose unlock prompt was dismissed; KWallet: a refused wallet.
    case QKeychain::AccessDenied:
        return KeychainHelper::errSecUserCanceled;
    case QKeychain::CouldNotDeleteEntry:
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
    case QKeychain::OtherError:
        break;
    }
    // With libsecret, an unreachable Secret Service answers OtherError.
    return KeychainHelper::errSecNotAvailable;
}

} // namespace

QByteArray AuthState::toJson() const
{
    nlohmann::ordered_json json;
    json["accessToken"] = accessToken.toStdString();
    if (expiresAt) {
        const qint64 msecs = expiresAt->toMSecsSinceEpoch() - kReferenceDateMSecs;
        // Whole seconds are written as integers, like the default date encoding does.
        if (msecs % 1000 == 0) {
            json["expiresAt"] = msecs / 1000;
        } else {
            json["expiresAt"] = static_cast<double>(msecs) / 1000.0;
        }
    }
    return QByteArray::fromStdString(
        json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::optional<AuthState> AuthState::fromJson(const QByteArray &json, QString *error)
{
    const auto fail = [error](const QString &reason) -> std::optional<AuthState> {
        if (error) {
            *error = reason;
        }
        return std::nullopt;
    };

    nlohmann::json document;
    try {
        document = nlohmann::json::parse(json.cbegin(), json.cend());
    } catch (const nlohmann::json::parse_error &parseError) {
        // The parser's own message quotes the input, which may hold the token.
        return fail(QStringLiteral("the data is not valid JSON (at byte %1)").arg(parseError.byte));
    } catch (const nlohmann::json::exception &) {
        return fail(QStringLiteral("the data is not valid JSON")); // a number out of range
    }
    if (!document.is_object()) {
        return fail(describe("the data is not a JSON object"));
    }

    const auto token = document.find("accessToken");
    if (token == document.end()) {
        return fail(describe("no value for key \"accessToken\""));
    }
    if (!token->is_string()) {
        return fail(describe("the value for key \"accessToken\" is not a string"));
    }

    AuthState state;
    state.accessToken = QString::fromStdString(token->get<std::string>());

    const auto expiry = document.find("expiresAt");
    if (expiry != document.end() && !expiry->is_null()) {
        if (!expiry->is_number()) {
            return fail(describe("the value for key \"expiresAt\" is not a number"));
        }
        const double seconds = expiry->get<double>();
        if (!(std::abs(seconds) <= kMaxAbsSeconds)) {
            return fail(describe("the value for key \"expiresAt\" is out of range"));
        }
        const qint64 msecs = std::llround(seconds * 1000.0) + kReferenceDateMSecs;
        state.expiresAt = QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::utc());
    }
    return state;
}

const KeychainHelper &KeychainHelper::shared()
{
    static const KeychainHelper helper;
    return helper;
}

int KeychainHelper::save(const QString &key, const QByteArray &data) const
{
    deleteItem(key);
    const QString serviceName = keychainService();
    const JobResult result = KeychainThread::instance().run([serviceName, key, data] {
        auto *job = new QKeychain::WritePasswordJob(serviceName);
        job->setKey(key);
        // Stored base64-encoded by QtKeychain, so any bytes come back unchanged.
        job->setBinaryData(data);
        return job;
    });
    return statusOf(result.error);
}

std::optional<QByteArray> KeychainHelper::load(const QString &key, int *status) const
{
    const QString serviceName = keychainService();
    const JobResult result = KeychainThread::instance().run([serviceName, key] {
        auto *job = new QKeychain::ReadPasswordJob(serviceName);
        job->setKey(key);
        return job;
    });
    const int code = statusOf(result.error);
    if (status) {
        *status = code;
    }
    if (code != errSecSuccess) {
        return std::nullopt;
    }
    return result.data;
}

int KeychainHelper::deleteItem(const QString &key) const
{
    const QString serviceName = keychainService();
    const JobResult result = KeychainThread::instance().run([serviceName, key] {
        auto *job = new QKeychain::DeletePasswordJob(serviceName);
        job->setKey(key);
        return job;
    });
    return statusOf(result.error);
}

namespace AuthStore {
namespace {

// Set by a refused access, cleared by the next save: asking again would prompt the user again.
std::atomic_bool g_accessRefused = false;

} // namespace

std::optional<AuthState> load()
{
    return load(nullptr);
}

std::optional<AuthState> load(Availability *availability)
{
    int status = KeychainHelper::errSecUserCanceled;
    const std::optional<QByteArray> data =
        g_accessRefused ? std::nullopt
                        : KeychainHelper::shared().load(QString::fromLatin1(kKey), &status);
    g_accessRefused = status == KeychainHelper::errSecUserCanceled;
    if (availability) {
        const bool answered =
            status == KeychainHelper::errSecSuccess || status == KeychainHelper::errSecItemNotFound;
        *availability = g_accessRefused ? Availability::denied
                        : answered      ? Availability::available
                                        : Availability::unavailable;
    }
    if (!data) {
        return std::nullopt;
    }
    QString error;
    std::optional<AuthState> state = AuthState::fromJson(*data, &error);
    if (!state) {
        Console::printLine(QStringLiteral("Failed to decode auth state: ") + error);
        deleteAuthState();
        return std::nullopt;
    }
    return state;
}

void save(const AuthState &state)
{
    const int status = KeychainHelper::shared().save(QString::fromLatin1(kKey), state.toJson());
    g_accessRefused = status == KeychainHelper::errSecUserCanceled;
    if (status != KeychainHelper::errSecSuccess) {
        Console::printLine(QStringLiteral("Failed to save auth state to keychain: ") +
                           QString::number(status));
    }
}

void deleteAuthState()
{
    const int status = KeychainHelper::shared().deleteItem(QString::fromLatin1(kKey));
    if (status != KeychainHelper::errSecSuccess && status != KeychainHelper::errSecItemNotFound) {
        Console::printLine(QStringLiteral("Failed to delete auth state from keychain: ") +
                           QString::number(status));
    }
}

} // namespace AuthStore
