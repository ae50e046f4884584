#pragma once

#include "Crypto.h"
#include "PartPlan.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox {

// Where uploaded bytes go while an upload runs: a part cut as planned is written straight into
// parts/<file id>/data at its place, any other body into parts/<file id>/part-<k>. A completed
// upload becomes files/<file id>/<file name>: a rename when every part is in place (as cheap as
// an object store's completion), a join otherwise. Bodies are streamed to disk in small chunks,
// never held whole in memory.
class PartStore {
public:
    // An empty dir means a fresh temporary directory, removed again by the destructor.
    explicit PartStore(std::filesystem::path dir);
    ~PartStore();
    PartStore(const PartStore &) = delete;
    PartStore &operator=(const PartStore &) = delete;

    const std::filesystem::path &root() const { return m_root; }

    // One part body on its way to disk, hashed while written.
    class PartWriter {
    public:
        ~PartWriter();
        PartWriter(const PartWriter &) = delete;
        PartWriter &operator=(const PartWriter &) = delete;

        // False on a write error, or past the end of an in-place span.
        bool write(const char *data, std::size_t size);
        std::uint64_t bytes() const { return m_bytes; }
        // Flushes and closes; the MD5 in hex, or empty on a write error.
        std::string finish();

    private:
        friend class PartStore;
        PartWriter(PartStore &store, std::int64_t fileId, std::uint32_t part, int fd,
                   std::optional<PartSpan> span, std::filesystem::path temporary,
                   std::filesystem::path target);
        bool flush();

        PartStore &m_store;
        std::int64_t m_fileId;
        std::uint32_t m_part;
        int m_fd;
        std::optional<PartSpan> m_span;    // set: writing in place
        std::filesystem::path m_temporary; // otherwise: a private file, renamed to m_target
        std::filesystem::path m_target;
        std::vector<char> m_buffer;
        std::size_t m_buffered = 0;
        Md5 m_md5;
        std::uint64_t m_bytes = 0;
        bool m_failed = false;
        bool m_committed = false;
    };

    // planned is the part's span when its body has exactly the planned length; the body goes in
    // place unless that part is already stored or being written there.
    std::unique_ptr<PartWriter> beginPart(std::int64_t fileId, std::uint32_t part,
                                          std::optional<PartSpan> planned);
    // Makes a finished part the stored one, replacing an earlier copy of the same part.
    void commitPart(PartWriter &writer);

    // Makes files/<file id>/<name> of parts 1..partCount (fileSize bytes in all), drops the
    // upload's part files and returns the path.
    std::filesystem::path assemble(std::int64_t fileId, std::uint32_t partCount,
                                   std::uint64_t fileSize, std::string_view fileName);

private:
    struct Upload {
        std::map<std::uint32_t, PartSpan> inPlace; // committed parts inside the data file
        std::set<std::uint32_t> writing;           // in-place writers running now
    };
    void writerDone(const PartWriter &writer);

    std::filesystem::path m_root;
    bool m_removeAtExit = false;
    std::mutex m_mutex;
    std::map<std::int64_t, Upload> m_uploads;
};

// The last path component of a client-given name, never empty, "." or "..".
std::string safeFileName(std::string_view name);

} // namespace sandbox
