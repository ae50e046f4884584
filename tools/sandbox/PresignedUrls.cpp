#include "PresignedUrls.h"

#include "Crypto.h"

#include <charconv>

namespace sandbox {

PresignedUrls::PresignedUrls(std::string origin)
    : m_origin(std::move(origin)), m_secret(randomBytes(32))
{}

std::string PresignedUrls::partPath(std::int64_t fileId, std::uint32_t part)
{
    return "/upload/" + std::to_string(fileId) + "/" + std::to_string(part);
}

std::string PresignedUrls::sign(std::string_view method, std::string_view path,
                                std::chrono::seconds timeToLive) const
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string expires =
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now + timeToLive).count());
    return m_origin + std::string(path) + "?expires=" + expires +
           "&signature=" + signature(method, path, expires);
}

PresignedUrls::Verdict PresignedUrls::verify(std::string_view method, std::string_view path,
                                             std::string_view expires,
                                             std::string_view givenSignature) const
{
    if (!equalConstantTime(signature(method, path, expires), givenSignature)) {
        return Verdict::BadSignature;
    }
    std::int64_t expiresAt = 0;
    const auto [end, error] =
        std::from_chars(expires.data(), expires.data() + expires.size(), expiresAt);
    if (error != std::errc() || end != expires.data() + expires.size()) {
        return Verdict::BadSignature;
    }
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    // Valid through the whole second it expires in, so a URL lives at least its full TTL.
    return now > expiresAt ? Verdict::Expired : Verdict::Valid;
}

std::string PresignedUrls::signature(std::string_view method, std::string_view path,
                                     std::string_view expires) const
{
    std::string message;
    message.append(method).append("\n").append(path).append("\n").append(expires);
    return hmacSha256Hex(m_secret, message);
}

} // namespace sandbox
