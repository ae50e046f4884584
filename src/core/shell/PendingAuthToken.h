#pragma once

#include <QtCore/QString>

#include <mutex>
#include <optional>

// A login token that arrived through the custom URL scheme before anything could take it.
// In memory only. Store and consume are serialised, so a token is delivered exactly once.
class PendingAuthToken {
public:
    static PendingAuthToken &shared();

    void store(const QString &token);
    // Returns the parked token and clears it; nothing when none is parked.
    std::optional<QString> consume();
    // Parks a consumed token again, unless a newer one arrived meanwhile.
    void restore(const QString &token);

private:
    PendingAuthToken() = default;

    std::mutex m_queue; // stands in for "com.vorlanta.creator.pendingAuthToken"
    std::optional<QString> m_token;
};
