#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QDateTime>
#include <QtCore/QString>

#include <optional>

// The saved credentials: the access token and an optional expiry.
struct AuthState {
    QString accessToken;
    std::optional<QDateTime> expiresAt;

    bool operator==(const AuthState &other) const = default;

    // {"accessToken":"…"} and, when present, "expiresAt" as seconds since 2001-01-01T00:00:00Z.
    QByteArray toJson() const;
    // Nothing, with the reason in *error, when the document is not an AuthState.
    static std::optional<AuthState> fromJson(const QByteArray &json, QString *error = nullptr);
};

// One generic secret per key for the service "com.vorlanta.creator", in the Secret Service.
// Statuses follow the platform keychain: 0 success, -25300 item not found, other values failures.
class KeychainHelper {
public:
    static constexpr int errSecSuccess = 0;
    static constexpr int errSecItemNotFound = -25300;
    // The Secret Service unavailable (not running, not answering).
    static constexpr int errSecNotAvailable = -25291;
    // Access refused: the user dismissed the unlock prompt, or the keyring stayed locked.
    static constexpr int errSecUserCanceled = -128;

    static const KeychainHelper &shared();

    const char *service = "com.vorlanta.creator";
    // Kept for the record: the Secret Service has no access groups.
    const char *accessGroup = "QX4810B27K.Vorlanta.Vorlanta-Creator";

    // Deletes, then adds. Returns the status of the add.
    int save(const QString &key, const QByteArray &data) const;
    // The data, or nothing for any failure; *status (if given) tells which.
    std::optional<QByteArray> load(const QString &key, int *status = nullptr) const;
    int deleteItem(const QString &key) const;
};

// The one saved AuthState. Failures are printed and swallowed.
namespace AuthStore {

inline constexpr char kKey[] = "VorlantaAuthState";

std::optional<AuthState> load();
void save(const AuthState &state);
void deleteAuthState();

// For start-up: whether the Secret Service answered at all, so that a keyring that is not up
// yet is not mistaken for "nothing saved". A refusal is an answer: once access is refused, load
// does not ask again (and reports denied) until the next save, that is the next sign-in.
enum class Availability { available, unavailable, denied };
std::optional<AuthState> load(Availability *availability);

} // namespace AuthStore
