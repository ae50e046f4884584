#pragma once

#include "Router.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace sandbox {

class Faults;
class ReleaseVariant;

// The public download site the app updates itself from: the release manifest at
// /version-linux and /version-mac, the archive under /releases/ and, for the bad-signature
// fault, its spoilt copy under /releases/bad/. No token is wanted.
class DownloadSite {
public:
    // An empty archive path means no release: the manifest answers 404. Otherwise the archive
    // is read and hashed and its variant built; std::runtime_error says why that failed.
    DownloadSite(Faults &faults, const std::filesystem::path &archive, std::string version);
    ~DownloadSite();
    DownloadSite(const DownloadSite &) = delete;
    DownloadSite &operator=(const DownloadSite &) = delete;

    // origin: "http://host:port", the start of every download_url.
    void install(Router &router, const std::string &origin);

    // For the start message; empty without a release.
    std::string describe() const;

private:
    struct ReleaseFile {
        std::filesystem::path path;
        std::string name;
        std::uint64_t size = 0;
        std::string sha256;
        std::string lastModified; // ISO 8601 UTC
    };

    static ReleaseFile readReleaseFile(const std::filesystem::path &path, const std::string &name);

    void manifest(Exchange &exchange);
    void download(Exchange &exchange, const ReleaseFile *file);
    nlohmann::ordered_json manifestOf(const ReleaseFile &file, const std::string &folder,
                                      bool wrongDigest) const;

    Faults &m_faults;
    std::string m_version;
    std::string m_origin;
    std::optional<ReleaseFile> m_release;
    std::unique_ptr<ReleaseVariant> m_variant;
    std::optional<ReleaseFile> m_badRelease;
};

} // namespace sandbox
