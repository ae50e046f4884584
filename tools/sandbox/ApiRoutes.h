#pragma once

#include "Router.h"

#include <string>

namespace sandbox {

class Faults;
class PartStore;
class PresignedUrls;
class SandboxState;

// The REST API under /api/v1/creator/: channels, projects, upload init and completion. Every
// route wants "Authorization: Bearer <token>" and JSON bodies with exactly typed keys.
class ApiRoutes {
public:
    ApiRoutes(SandboxState &state, const PresignedUrls &urls, PartStore &store, Faults &faults,
              std::string token);

    void install(Router &router);

private:
    // Applies the api-500 fault and the token check; false when the request is answered.
    bool admit(Exchange &exchange);
    // The JSON object body; none when it was refused (and answered).
    std::optional<nlohmann::json> objectBody(Exchange &exchange);

    void listChannels(Exchange &exchange);
    void listProjects(Exchange &exchange);
    void createProject(Exchange &exchange);
    void initUpload(Exchange &exchange);
    void completeUpload(Exchange &exchange);

    SandboxState &m_state;
    const PresignedUrls &m_urls;
    PartStore &m_store;
    Faults &m_faults;
    std::string m_token;
};

} // namespace sandbox
