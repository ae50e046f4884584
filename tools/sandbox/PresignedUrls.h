#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace sandbox {

// Part URLs as an object store hands them out: the sandbox's own origin, an expiry time and
// an HMAC-SHA256 signature over method, path and expiry under a secret known only to this
// process. Changing any of the three, or waiting too long, voids the URL.
class PresignedUrls {
public:
    enum class Verdict { Valid, BadSignature, Expired };

    explicit PresignedUrls(std::string origin); // "http://127.0.0.1:PORT"

    static std::string partPath(std::int64_t fileId, std::uint32_t part);

    std::string sign(std::string_view method, std::string_view path,
                     std::chrono::seconds timeToLive) const;

    // expires and signature are the query values as received (unparsed).
    Verdict verify(std::string_view method, std::string_view path, std::string_view expires,
                   std::string_view signature) const;

private:
    std::string signature(std::string_view method, std::string_view path,
                          std::string_view expires) const;

    std::string m_origin;
    std::string m_secret;
};

} // namespace sandbox
