#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace sandbox {

std::string toHex(const unsigned char *data, std::size_t size);

// Hex HMAC-SHA256 of message under key.
std::string hmacSha256Hex(std::string_view key, std::string_view message);

// Compares in constant time, so a signature check leaks nothing through timing.
bool equalConstantTime(std::string_view a, std::string_view b);

// Random bytes from the system's generator (for per-process secrets).
std::string randomBytes(std::size_t count);

// MD5 over a stream of chunks, as object stores compute a part's ETag.
class Md5 {
public:
    Md5();
    ~Md5();
    Md5(const Md5 &) = delete;
    Md5 &operator=(const Md5 &) = delete;

    void update(const char *data, std::size_t size);
    // Lower-case hex digest; call once.
    std::string finishHex();

private:
    struct Free {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_context;
};

} // namespace sandbox
