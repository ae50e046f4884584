#pragma once

#include "Router.h"

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

private:
    void putPart(Exchange &exchange);

    SandboxState &m_state;
    const PresignedUrls &m_urls;
    PartStore &m_store;
    Faults &m_faults;
};

} // namespace sandbox
