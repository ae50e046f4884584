#include "CreatorProfile.h"

#include "Crypto.h"
#include "Faults.h"

namespace sandbox {

CreatorProfile::CreatorProfile(Faults &faults, std::string token, std::string email)
    : m_faults(faults), m_token(std::move(token)), m_email(std::move(email))
{}

void CreatorProfile::install(Router &router)
{
    router.add("GET", "/api/v1/creator/me", [this](Exchange &exchange) { me(exchange); });
}

void CreatorProfile::me(Exchange &exchange)
{
    // The same answers as the other API routes give.
    if (m_faults.happens(Faults::Chance::Api500)) {
        exchange.jsonError(500, "A server error occurred (sandbox fault api-500).");
        return;
    }
    if (!exchange.request.has_header("Authorization")) {
        exchange.jsonError(401, "Authentication credentials were not provided.");
        return;
    }
    if (!equalConstantTime(exchange.request.get_header_value("Authorization"),
                           "Bearer " + m_token)) {
        exchange.jsonError(401, "Given token not valid for any token type");
        return;
    }
    exchange.json(200, {{"id", 1}, {"name", "Demo Creator"}, {"email", m_email}});
}

} // namespace sandbox
