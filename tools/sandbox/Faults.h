#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <string_view>

namespace sandbox {

// Switchable misbehaviour, so tests and demos can show the client's retries. Probabilities
// are drawn from one seeded generator: the same seed and request order give the same faults.
class Faults {
public:
    enum class Chance {
        Part500,      // "part-500": a part PUT answers 500
        PartDrop,     // "part-drop": a part PUT loses its connection halfway, without answer
        MissingEtag,  // "missing-etag": a stored part answers 200 without ETag
        Status201,    // "status-201": project creation answers 201 instead of 200
        Api500,       // "api-500": an API route answers 500
        Manifest404,  // "manifest-404": the release manifest answers 404
        Download206,  // "download-206": a release download answers 206 with its first half
        WrongDigest,  // "wrong-digest": the manifest's sha256 is not the archive's
        BadSignature, // "bad-signature": the manifest offers the archive with a broken signature
    };

    explicit Faults(std::uint64_t seed);

    // Applies "NAME=VALUE"; throws std::invalid_argument with a message on a bad one.
    void set(std::string_view assignment);

    // Rolls the dice for one request.
    bool happens(Chance chance);

    std::chrono::milliseconds delay() const { return m_delay; }
    std::chrono::milliseconds partDelay() const { return m_partDelay; }
    std::chrono::milliseconds outage() const { return m_outage; }
    std::chrono::seconds urlTtl() const { return m_urlTtl; }

    // The accepted names, for the usage text.
    static std::string help();

private:
    double &probability(Chance chance);

    double m_part500 = 0;
    double m_partDrop = 0;
    double m_missingEtag = 0;
    double m_status201 = 0;
    double m_api500 = 0;
    double m_manifest404 = 0;
    double m_download206 = 0;
    double m_wrongDigest = 0;
    double m_badSignature = 0;
    std::chrono::milliseconds m_delay{0};
    std::chrono::milliseconds m_partDelay{0};
    std::chrono::milliseconds m_outage{0};
    std::chrono::seconds m_urlTtl{3600};

    std::mutex m_mutex;
    std::mt19937_64 m_random;
};

} // namespace sandbox
