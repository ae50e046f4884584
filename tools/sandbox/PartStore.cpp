#include "PartStore.h"

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace sandbox {
namespace {

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

std::filesystem::path partPath(const std::filesystem::path &root, std::int64_t fileId,
                               std::uint32_t part)
{
    return root / "parts" / std::to_string(fileId) / ("part-" + std::to_string(part));
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

std::unique_ptr<PartStore::PartWriter> PartStore::beginPart(std::int64_t fileId, std::uint32_t part)
{
    const std::filesystem::path target = partPath(m_root, fileId, part);
    std::filesystem::create_directories(target.parent_path());
    // Each writer has its own temporary file, so a retried part never meets a stale one.
    std::filesystem::path temporary = target;
    temporary += ".";
    temporary += std::to_string(++g_writerSerial);
    temporary += ".tmp";
    return std::unique_ptr<PartWriter>(new PartWriter(temporary, target));
}

void PartStore::commitPart(PartWriter &writer)
{
    std::filesystem::rename(writer.m_temporary, writer.m_target);
    writer.m_committed = true;
}

std::filesystem::path PartStore::assemble(std::int64_t fileId, std::uint32_t partCount,
                                          std::string_view fileName)
{
    const std::filesystem::path target =
        m_root / "files" / std::to_string(fileId) / safeFileName(fileName);
    std::filesystem::create_directories(target.parent_path());
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> out(std::fopen(target.c_str(), "wb"),
                                                         &std::fclose);
    if (!out) {
        throw std::runtime_error("cannot write " + target.string());
    }
    std::vector<char> buffer(kFileBufferSize);
    for (std::uint32_t part = 1; part <= partCount; ++part) {
        const std::filesystem::path source = partPath(m_root, fileId, part);
        std::unique_ptr<std::FILE, int (*)(std::FILE *)> in(std::fopen(source.c_str(), "rb"),
                                                            &std::fclose);
        if (!in) {
            throw std::runtime_error("cannot read " + source.string());
        }
        std::size_t got = 0;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0) {
            if (std::fwrite(buffer.data(), 1, got, out.get()) != got) {
                throw std::runtime_error("cannot write " + target.string());
            }
        }
    }
    if (std::fflush(out.get()) != 0) {
        throw std::runtime_error("cannot write " + target.string());
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_root / "parts" / std::to_string(fileId), ignored);
    return target;
}

PartStore::PartWriter::PartWriter(std::filesystem::path temporary, std::filesystem::path target)
    : m_temporary(std::move(temporary)), m_target(std::move(target)),
      m_file(std::fopen(m_temporary.c_str(), "wb"))
{
    if (!m_file) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot create " + m_temporary.string());
    }
    // Fewer, larger writes than the default buffer; the socket delivers small chunks.
    std::setvbuf(m_file, nullptr, _IOFBF, kFileBufferSize);
}

PartStore::PartWriter::~PartWriter()
{
    if (m_file) {
        std::fclose(m_file);
    }
    if (!m_committed) {
        std::error_code ignored;
        std::filesystem::remove(m_temporary, ignored);
    }
}

bool PartStore::PartWriter::write(const char *data, std::size_t size)
{
    if (m_failed || std::fwrite(data, 1, size, m_file) != size) {
        m_failed = true;
        return false;
    }
    m_md5.update(data, size);
    m_bytes += size;
    return true;
}

std::string PartStore::PartWriter::finish()
{
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (m_failed || !closed) {
        return {};
    }
    return m_md5.finishHex();
}

} // namespace sandbox
