#pragma once

#include "Router.h"

#include <atomic>
#include <functional>

namespace sandbox {

class Faults;
class PartStore;
class PresignedUrls;
class SandboxState;

// PUT /upload/<file id>/<part>: the object store behind the presigned part URLs. It answers
// as S3 does: XML errors, a quoted MD5 as ETag, no Authorization header allowed.
class UploadRoutes {
public:
    UploadRoutes(SandboxState &state, const PresignedUrls &urls, PartStore &store, Faults &faults);

    void install(Router &router);

    // Called (on the request's thread) when the outage fault begins: it must stop listening
    // and end every connection; the caller listens again later.
    void setOutageHandler(std::function<void()> beginOutage) { m_beginOutage = beginOutage; }

private:
    void putPart(Exchange &exchange);
    // Takes half of the body and leaves the rest in the socket, before the connection ends as
    // on a broken network path.
    void dropHalfway(Exchange &exchange, std::uint64_t length);

    SandboxState &m_state;
    const PresignedUrls &m_urls;
    PartStore &m_store;
    Faults &m_faults;
    std::function<void()> m_beginOutage;
    std::atomic<bool> m_outageTaken{false};
};

} // namespace sandbox
