#pragma once

#include <filesystem>
#include <string>

namespace sandbox {

// A copy of a release archive that downloads and hashes fine but fails the signature check:
// one byte of the bundle's signature/manifest.sig is flipped. It is made with GNU tar (extract
// into a temporary folder, flip, repack) and lives in a temporary directory that the
// destructor removes.
class ReleaseVariant {
public:
    // Names the copy fileName. Throws std::runtime_error with a message when it cannot be made.
    ReleaseVariant(const std::filesystem::path &archive, const std::string &fileName);
    ~ReleaseVariant();
    ReleaseVariant(const ReleaseVariant &) = delete;
    ReleaseVariant &operator=(const ReleaseVariant &) = delete;

    const std::filesystem::path &path() const { return m_path; }
    // The member whose byte was flipped, as named in the archive.
    const std::string &changedMember() const { return m_changedMember; }

private:
    std::filesystem::path m_directory;
    std::filesystem::path m_path;
    std::string m_changedMember;
};

} // namespace sandbox
