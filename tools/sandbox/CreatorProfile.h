#pragma once

#include "Router.h"

#include <string>

namespace sandbox {

class Faults;

// GET /api/v1/creator/me: who the token belongs to, for the web application's root page.
// Guarded like every API route (the api-500 fault, then the bearer token).
class CreatorProfile {
public:
    CreatorProfile(Faults &faults, std::string token, std::string email);

    void install(Router &router);

private:
    void me(Exchange &exchange);

    Faults &m_faults;
    std::string m_token;
    std::string m_email;
};

} // namespace sandbox
