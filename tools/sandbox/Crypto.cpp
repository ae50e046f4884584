#include "Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <stdexcept>

namespace sandbox {

std::string toHex(const unsigned char *data, std::size_t size)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        hex.push_back(kDigits[data[i] >> 4]);
        hex.push_back(kDigits[data[i] & 0x0f]);
    }
    return hex;
}

std::string hmacSha256Hex(std::string_view key, std::string_view message)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), int(key.size()),
              reinterpret_cast<const unsigned char *>(message.data()), message.size(), digest,
              &length)) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return toHex(digest, length);
}

bool equalConstantTime(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string randomBytes(std::size_t count)
{
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), int(count)) != 1) {
        throw std::runtime_error("no random bytes");
    }
    return bytes;
}

void StreamDigest::Free::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

StreamDigest::StreamDigest(Algorithm algorithm) : m_context(EVP_MD_CTX_new())
{
    const EVP_MD *type = algorithm == Algorithm::md5 ? EVP_md5() : EVP_sha256();
    if (!m_context || EVP_DigestInit_ex(m_context.get(), type, nullptr) != 1) {
        throw std::runtime_error(algorithm == Algorithm::md5 ? "MD5 unavailable"
                                                             : "SHA-256 unavailable");
    }
}

StreamDigest::~StreamDigest() = default;

void StreamDigest::update(const char *data, std::size_t size)
{
    EVP_DigestUpdate(m_context.get(), data, size);
}

std::string StreamDigest::finishHex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context.get(), digest, &length);
    return toHex(digest, length);
}

std::string sha256Hex(std::string_view text)
{
    Sha256 sha;
    sha.update(text.data(), text.size());
    return sha.finishHex();
}

} // namespace sandbox
