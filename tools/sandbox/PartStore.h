#pragma once

#include "Crypto.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace sandbox {

// Where uploaded bytes go: parts/<file id>/part-<k> while an upload runs, then
// files/<file id>/<file name> once it is completed. Bodies are streamed to disk in small
// chunks, never held whole in memory.
class PartStore {
public:
    // An empty dir means a fresh temporary directory, removed again by the destructor.
    explicit PartStore(std::filesystem::path dir);
    ~PartStore();
    PartStore(const PartStore &) = delete;
    PartStore &operator=(const PartStore &) = delete;

    const std::filesystem::path &root() const { return m_root; }

    // One part body on its way to disk: a temporary file, hashed while written.
    class PartWriter {
    public:
        ~PartWriter();
        PartWriter(const PartWriter &) = delete;
        PartWriter &operator=(const PartWriter &) = delete;

        // False on a write error.
        bool write(const char *data, std::size_t size);
        std::uint64_t bytes() const { return m_bytes; }
        // Flushes and closes; the MD5 in hex, or empty on a write error.
        std::string finish();

    private:
        friend class PartStore;
        PartWriter(std::filesystem::path temporary, std::filesystem::path target);

        std::filesystem::path m_temporary;
        std::filesystem::path m_target;
        std::FILE *m_file = nullptr;
        Md5 m_md5;
        std::uint64_t m_bytes = 0;
        bool m_failed = false;
        bool m_committed = false;
    };

    std::unique_ptr<PartWriter> beginPart(std::int64_t fileId, std::uint32_t part);
    // Moves a finished part into place, replacing an earlier copy of the same part.
    void commitPart(PartWriter &writer);

    // Joins parts 1..partCount into files/<file id>/<name> and removes them; returns the path.
    std::filesystem::path assemble(std::int64_t fileId, std::uint32_t partCount,
                                   std::string_view fileName);

private:
    std::filesystem::path m_root;
    bool m_removeAtExit = false;
};

// The last path component of a client-given name, never empty, "." or "..".
std::string safeFileName(std::string_view name);

} // namespace sandbox
