#include "core/shell/PendingAuthToken.h"

PendingAuthToken &PendingAuthToken::shared()
{
    static PendingAuthToken instance;
    return instance;
}

void PendingAuthToken::store(const QString &token)
{
    std::lock_guard lock(m_queue);
    m_token = token;
}

std::optional<QString> PendingAuthToken::consume()
{
    std::lock_guard lock(m_queue);
    std::optional<QString> token = std::move(m_token);
    m_token.reset();
    return token;
}

void PendingAuthToken::restore(const QString &token)
{
    std::lock_guard lock(m_queue);
    if (!m_token) {
        m_token = token;
    }
}
