#include "Faults.h"

#include <charconv>
#include <stdexcept>

namespace sandbox {
namespace {

double parseProbability(std::string_view name, std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value >= 0 && value <= 1)) {
        throw std::invalid_argument("fault " + std::string(name) +
                                    " needs a probability from 0 to 1, got \"" + std::string(text) +
                                    "\"");
    }
    return value;
}

std::int64_t parseCount(std::string_view name, std::string_view text, std::int64_t minimum)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum) {
        throw std::invalid_argument("fault " + std::string(name) +
                                    " needs a whole number >= " + std::to_string(minimum) +
                                    ", got \"" + std::string(text) + "\"");
    }
    return value;
}

} // namespace

Faults::Faults(std::uint64_t seed) : m_random(seed) {}

void Faults::set(std::string_view assignment)
{
    const auto equals = assignment.find('=');
    if (equals == std::string_view::npos) {
        throw std::invalid_argument("fault \"" + std::string(assignment) + "\" is not NAME=VALUE");
    }
    const std::string_view name = assignment.substr(0, equals);
    const std::string_view value = assignment.substr(equals + 1);
    if (name == "part-500") {
        m_part500 = parseProbability(name, value);
    } else if (name == "part-drop") {
        m_partDrop = parseProbability(name, value);
    } else if (name == "missing-etag") {
        m_missingEtag = parseProbability(name, value);
    } else if (name == "status-201") {
        m_status201 = parseProbability(name, value);
    } else if (name == "api-500") {
        m_api500 = parseProbability(name, value);
    } else if (name == "manifest-404") {
        m_manifest404 = parseProbability(name, value);
    } else if (name == "download-206") {
        m_download206 = parseProbability(name, value);
    } else if (name == "wrong-digest") {
        m_wrongDigest = parseProbability(name, value);
    } else if (name == "bad-signature") {
        m_badSignature = parseProbability(name, value);
    } else if (name == "delay-ms") {
        m_delay = std::chrono::milliseconds(parseCount(name, value, 0));
    } else if (name == "part-delay-ms") {
        m_partDelay = std::chrono::milliseconds(parseCount(name, value, 0));
    } else if (name == "outage-ms") {
        m_outage = std::chrono::milliseconds(parseCount(name, value, 0));
    } else if (name == "url-ttl") {
        m_urlTtl = std::chrono::seconds(parseCount(name, value, 1));
    } else {
        throw std::invalid_argument("unknown fault \"" + std::string(name) + "\"\n" + help());
    }
}

bool Faults::happens(Chance chance)
{
    std::lock_guard lock(m_mutex);
    const double p = probability(chance);
    if (p <= 0) {
        return false;
    }
    if (p >= 1) {
        return true;
    }
    return std::uniform_real_distribution<double>(0, 1)(m_random) < p;
}

double &Faults::probability(Chance chance)
{
    switch (chance) {
    case Chance::Part500:
        return m_part500;
    case Chance::PartDrop:
        return m_partDrop;
    case Chance::MissingEtag:
        return m_missingEtag;
    case Chance::Status201:
        return m_status201;
    case Chance::Api500:
        return m_api500;
    case Chance::Manifest404:
        return m_manifest404;
    case Chance::Download206:
        return m_download206;
    case Chance::WrongDigest:
        return m_wrongDigest;
    case Chance::BadSignature:
        return m_badSignature;
    }
    return m_api500;
}

std::string Faults::help()
{
    return "faults (--fault NAME=VALUE, repeatable):\n"
           "  part-500=P      a part PUT answers 500 with probability P (0..1)\n"
           "  part-drop=P     a part PUT's connection is closed halfway, without answer\n"
           "  missing-etag=P  a stored part answers 200 without an ETag header\n"
           "  status-201=P    project creation answers 201 instead of 200\n"
           "  api-500=P       an API route answers 500\n"
           "  manifest-404=P  the release manifest answers 404\n"
           "  download-206=P  a release download answers 206 with only its first half\n"
           "  wrong-digest=P  the manifest's sha256 is not the archive's (the download is)\n"
           "  bad-signature=P the manifest offers the release with one byte of its signature\n"
           "                  flipped (under /releases/bad/)\n"
           "  delay-ms=N      every request waits N milliseconds first\n"
           "  part-delay-ms=N a part PUT waits N milliseconds before reading its body\n"
           "  outage-ms=N     the first part PUT takes the whole service away for N ms halfway\n"
           "                  through its body (connections closed, nothing listening), then it\n"
           "                  listens on the same port again\n"
           "  url-ttl=S       presigned part URLs expire after S seconds (default 3600)\n";
}

} // namespace sandbox
