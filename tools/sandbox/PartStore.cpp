#include "PartStore.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace sandbox {
namespace {

// Fewer, larger writes than the socket's small chunks.
constexpr std::size_t kFileBufferSize = 256 * 1024;

std::atomic<std::uint64_t> g_writerSerial{0};

std::filesystem::path makeTemporaryDirectory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vorlanta-sandbox-XXXXXX");
    if (!::mkdtemp(pattern.data())) {
        throw std::system_error(errno, std::generic_category(), "cannot create " + pattern);
    }
    return pattern;
}

std::filesystem::path uploadDir(const std::filesystem::path &root, std::int64_t fileId)
{
    return root / "parts" / std::to_string(fileId);
}

std::filesystem::path partPath(const std::filesystem::path &root, std::int64_t fileId,
                               std::uint32_t part)
{
    return uploadDir(root, fileId) / ("part-" + std::to_string(part));
}

std::filesystem::path dataPath(const std::filesystem::path &root, std::int64_t fileId)
{
    return uploadDir(root, fileId) / "data";
}

[[noreturn]] void failOn(const std::string &what, const std::filesystem::path &path)
{
    throw std::system_error(errno, std::generic_category(), what + " " + path.string());
}

struct FileDescriptor {
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    int fd;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

bool writeAll(int fd, const char *data, std::size_t size, std::uint64_t offset)
{
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, data, size, off_t(offset));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += put;
        size -= std::size_t(put);
        offset += std::uint64_t(put);
    }
    return true;
}

// Copies length bytes of in from inOffset to the end of out: copy_file_range where the file
// system offers it, plain reads and writes where it does not.
void appendRange(int in, std::uint64_t inOffset, std::uint64_t length, int out,
                 std::uint64_t &outOffset, const std::filesystem::path &source,
                 const std::filesystem::path &target)
{
    bool inKernel = true;
    std::vector<char> buffer;
    while (length > 0) {
        if (inKernel) {
            auto from = loff_t(inOffset);
            auto to = loff_t(outOffset);
            const ssize_t moved = ::copy_file_range(in, &from, out, &to,
                                                    std::min<std::uint64_t>(length, 1u << 30), 0);
            if (moved > 0) {
                inOffset += std::uint64_t(moved);
                outOffset += std::uint64_t(moved);
                length -= std::uint64_t(moved);
                continue;
            }
            if (moved == 0) {
                errno = 0;
                throw std::runtime_error(source.string() + " ended before its part did");
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
                failOn("cannot write", target);
            }
            inKernel = false;
            buffer.resize(kFileBufferSize);
        }
        const ssize_t got = ::pread(
            in, buffer.data(), std::min<std::uint64_t>(length, buffer.size()), off_t(inOffset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            failOn("cannot read", source);
        }
        if (got == 0) {
            throw std::runtime_error(source.string() + " ended before its part did");
        }
        if (!writeAll(out, buffer.data(), std::size_t(got), outOffset)) {
            failOn("cannot write", target);
        }
        inOffset += std::uint64_t(got);
        outOffset += std::uint64_t(got);
        length -= std::uint64_t(got);
    }
}

} // namespace

std::string safeFileName(std::string_view name)
{
    const auto slash = name.find_last_of('/');
    std::string base(slash == std::string_view::npos ? name : name.substr(slash + 1));
    if (base.empty() || base == "." || base == "..") {
        return "file";
    }
    return base;
}

PartStore::PartStore(std::filesystem::path dir)
{
    if (dir.empty()) {
        m_root = makeTemporaryDirectory();
        m_removeAtExit = true;
    } else {
        std::filesystem::create_directories(dir);
        m_root = std::filesystem::absolute(dir);
    }
}

PartStore::~PartStore()
{
    if (m_removeAtExit) {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
}

std::unique_ptr<PartStore::PartWriter> PartStore::beginPart(std::int64_t fileId, std::uint32_t part,
                                                            std::optional<PartSpan> planned)
{
    std::filesystem::create_directories(uploadDir(m_root, fileId));
    {
        // A part already in place is never overwritten: a re-sent body that breaks off would
        // leave the stored part half old, half new.
        std::lock_guard lock(m_mutex);
        Upload &upload = m_uploads[fileId];
        if (planned && !upload.inPlace.contains(part) && !upload.writing.contains(part)) {
            const std::filesystem::path data = dataPath(m_root, fileId);
            const int fd = ::open(data.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) {
                failOn("cannot create", data);
            }
            upload.writing.insert(part);
            return std::unique_ptr<PartWriter>(
                new PartWriter(*this, fileId, part, fd, planned, {}, {}));
        }
    }
    const std::filesystem::path target = partPath(m_root, fileId, part);
    // Each writer has its own temporary file, so a retried part never meets a stale one.
    std::filesystem::path temporary = target;
    temporary += ".";
    temporary += std::to_string(++g_writerSerial);
    temporary += ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        failOn("cannot create", temporary);
    }
    return std::unique_ptr<PartWriter>(
        new PartWriter(*this, fileId, part, fd, std::nullopt, temporary, target));
}

void PartStore::commitPart(PartWriter &writer)
{
    std::lock_guard lock(m_mutex);
    Upload &upload = m_uploads[writer.m_fileId];
    std::error_code ignored;
    if (writer.m_span) {
        upload.inPlace[writer.m_part] = *writer.m_span;
        std::filesystem::remove(partPath(m_root, writer.m_fileId, writer.m_part), ignored);
    } else {
        std::filesystem::rename(writer.m_temporary, writer.m_target);
        upload.inPlace.erase(writer.m_part);
    }
    writer.m_committed = true;
}

void PartStore::writerDone(const PartWriter &writer)
{
    if (!writer.m_span) {
        return;
    }
    std::lock_guard lock(m_mutex);
    const auto found = m_uploads.find(writer.m_fileId);
    if (found != m_uploads.end()) {
        found->second.writing.erase(writer.m_part);
    }
}

std::filesystem::path PartStore::assemble(std::int64_t fileId, std::uint32_t partCount,
                                          std::uint64_t fileSize, std::string_view fileName)
{
    const std::filesystem::path target =
        m_root / "files" / std::to_string(fileId) / safeFileName(fileName);
    std::filesystem::create_directories(target.parent_path());
    Upload upload;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_uploads.find(fileId);
        if (found != m_uploads.end()) {
            upload = std::move(found->second);
            m_uploads.erase(found);
        }
    }
    const std::filesystem::path data = dataPath(m_root, fileId);
    bool allInPlace = partCount > 0;
    for (std::uint32_t part = 1; part <= partCount && allInPlace; ++part) {
        allInPlace = upload.inPlace.contains(part);
    }
    if (allInPlace) {
        // Planned spans tile the file, so the data file is the file.
        std::filesystem::resize_file(data, fileSize);
        std::filesystem::rename(data, target);
    } else {
        const FileDescriptor out{
            ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
        if (out.fd < 0) {
            failOn("cannot write", target);
        }
        std::uint64_t written = 0;
        for (std::uint32_t part = 1; part <= partCount; ++part) {
            const auto span = upload.inPlace.find(part);
            const std::filesystem::path source =
                span != upload.inPlace.end() ? data : partPath(m_root, fileId, part);
            const FileDescriptor in{::open(source.c_str(), O_RDONLY | O_CLOEXEC)};
            if (in.fd < 0) {
                failOn("cannot read", source);
            }
            if (span != upload.inPlace.end()) {
                appendRange(in.fd, span->second.offset, span->second.length, out.fd, written,
                            source, target);
            } else {
                const std::uint64_t size = std::filesystem::file_size(source);
                appendRange(in.fd, 0, size, out.fd, written, source, target);
            }
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(uploadDir(m_root, fileId), ignored);
    return target;
}

PartStore::PartWriter::PartWriter(PartStore &store, std::int64_t fileId, std::uint32_t part, int fd,
                                  std::optional<PartSpan> span, std::filesystem::path temporary,
                                  std::filesystem::path target)
    : m_store(store), m_fileId(fileId), m_part(part), m_fd(fd), m_span(span),
      m_temporary(std::move(temporary)), m_target(std::move(target)), m_buffer(kFileBufferSize)
{}

PartStore::PartWriter::~PartWriter()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    if (!m_committed && !m_span) {
        std::error_code ignored;
        std::filesystem::remove(m_temporary, ignored);
    }
    m_store.writerDone(*this);
}

bool PartStore::PartWriter::flush()
{
    const std::uint64_t start = (m_span ? m_span->offset : 0) + m_bytes - m_buffered;
    if (m_buffered > 0 && !writeAll(m_fd, m_buffer.data(), m_buffered, start)) {
        m_failed = true;
    }
    m_buffered = 0;
    return !m_failed;
}

bool PartStore::PartWriter::write(const char *data, std::size_t size)
{
    // In place, a longer body than planned would run into the next part.
    if (m_failed || (m_span && m_bytes + size > m_span->length)) {
        m_failed = true;
        return false;
    }
    m_md5.update(data, size);
    while (size > 0) {
        const std::size_t room = m_buffer.size() - m_buffered;
        const std::size_t take = std::min(room, size);
        std::copy_n(data, take, m_buffer.data() + m_buffered);
        m_buffered += take;
        m_bytes += take;
        data += take;
        size -= take;
        if (m_buffered == m_buffer.size() && !flush()) {
            return false;
        }
    }
    return true;
}

std::string PartStore::PartWriter::finish()
{
    const bool flushed = flush();
    const bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    if (!flushed || !closed) {
        m_failed = true;
        return {};
    }
    return m_md5.finishHex();
}

} // namespace sandbox
