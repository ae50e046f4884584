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

// A digest over a stream of chunks: MD5 as object stores compute a part's ETag, SHA-256 for
// release archives too large to hold in memory.
class StreamDigest {
public:
    enum class Algorithm { md5, sha256 };
    explicit StreamDigest(Algorithm algorithm);
    ~StreamDigest();
    StreamDigest(const StreamDigest &) = delete;
    StreamDigest &operator=(const StreamDigest &) = delete;

    void update(const char *data, std::size_t size);
    // Lower-case hex digest; call once.
    std::string finishHex();

private:
    struct Free {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_context;
};

class Md5 : public StreamDigest {
public:
    Md5() : StreamDigest(Algorithm::md5) {}
};

class Sha256 : public StreamDigest {
public:
    Sha256() : StreamDigest(Algorithm::sha256) {}
};

// Hex SHA-256 of a short text.
std::string sha256Hex(std::string_view text);

} // namespace sandbox
