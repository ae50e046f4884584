#include "DownloadSite.h"

#include "Crypto.h"
#include "Faults.h"
#include "ReleaseVariant.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sandbox {
namespace {

constexpr std::size_t kChunkSize = 256 * 1024;

// An open archive, shared by the content provider until the response is gone.
class OpenFile {
public:
    explicit OpenFile(const std::filesystem::path &path)
        : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {}
    ~OpenFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;

    int fd() const { return m_fd; }
    std::vector<char> &buffer() { return m_buffer; }

private:
    int m_fd;
    std::vector<char> m_buffer;
};

std::string cannotRead(const std::filesystem::path &path, int error)
{
    std::string message = "cannot read release archive ";
    message += path.string();
    message += ": ";
    message += std::strerror(error);
    return message;
}

std::string isoUtc(std::time_t time)
{
    std::tm utc{};
    ::gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// Everything but the unreserved characters, so any file name survives in a URL path.
std::string percentEncoded(const std::string &text)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            encoded.push_back(char(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(kDigits[c >> 4]);
            encoded.push_back(kDigits[c & 0x0f]);
        }
    }
    return encoded;
}

// httplib cuts ranges out of the provided content without clamping them to its end, so a range
// reaching past the end (or an empty one) is refused instead.
bool rangesWithin(const httplib::Ranges &ranges, std::uint64_t size)
{
    for (const auto &[first, last] : ranges) {
        if (first < 0) {
            if (last <= 0) {
                return false; // "bytes=-" or an empty suffix
            }
        } else if (std::uint64_t(first) >= size ||
                   (last >= 0 && (last < first || std::uint64_t(last) >= size))) {
            return false;
        }
    }
    return true;
}

std::string contentRange(std::uint64_t first, std::uint64_t last, std::uint64_t size)
{
    std::string range = "bytes ";
    range += std::to_string(first);
    range += '-';
    range += std::to_string(last);
    range += '/';
    range += std::to_string(size);
    return range;
}

} // namespace

DownloadSite::DownloadSite(Faults &faults, const std::filesystem::path &archive,
                           std::string version)
    : m_faults(faults), m_version(std::move(version))
{
    if (archive.empty()) {
        return;
    }
    m_release = readReleaseFile(archive, archive.filename().string());
    m_variant = std::make_unique<ReleaseVariant>(archive, m_release->name);
    m_badRelease = readReleaseFile(m_variant->path(), m_release->name);
}

DownloadSite::~DownloadSite() = default;

DownloadSite::ReleaseFile DownloadSite::readReleaseFile(const std::filesystem::path &path,
                                                        const std::string &name)
{
    const OpenFile file(path);
    struct stat status {};
    if (file.fd() < 0 || ::fstat(file.fd(), &status) != 0) {
        throw std::runtime_error(cannotRead(path, errno));
    }
    if (!S_ISREG(status.st_mode)) {
        std::string message = "release archive ";
        message += path.string();
        message += " is not a regular file";
        throw std::runtime_error(message);
    }
    ReleaseFile release{path, name, 0, {}, isoUtc(status.st_mtim.tv_sec)};
    Sha256 sha;
    std::vector<char> buffer(kChunkSize);
    for (;;) {
        const ssize_t got = ::read(file.fd(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw std::runtime_error(cannotRead(path, errno));
        }
        if (got == 0) {
            break;
        }
        sha.update(buffer.data(), std::size_t(got));
        release.size += std::uint64_t(got);
    }
    release.sha256 = sha.finishHex();
    return release;
}

void DownloadSite::install(Router &router, const std::string &origin)
{
    m_origin = origin;
    router.add("GET", "/version-(linux|mac)", [this](Exchange &exchange) { manifest(exchange); });
    router.add("GET", "/releases/([^/]+)", [this](Exchange &exchange) {
        download(exchange, m_release ? &*m_release : nullptr);
    });
    router.add("GET", "/releases/bad/([^/]+)", [this](Exchange &exchange) {
        download(exchange, m_badRelease ? &*m_badRelease : nullptr);
    });
}

std::string DownloadSite::describe() const
{
    if (!m_release) {
        return {};
    }
    std::string text = "release ";
    text += m_release->name;
    text += " (version ";
    text += m_version;
    text += "); its bad-signature copy differs in the first byte of ";
    text += m_variant->changedMember();
    return text;
}

void DownloadSite::manifest(Exchange &exchange)
{
    if (!m_release) {
        exchange.jsonError(404, "No release: start vorlanta-sandbox with --release ARCHIVE "
                                "--release-version V.");
        return;
    }
    if (m_faults.happens(Faults::Chance::Manifest404)) {
        exchange.jsonError(404, "Not found. (sandbox fault manifest-404)");
        return;
    }
    // Decided per manifest, so one download follows from the manifest that announced it.
    const bool badSignature = m_faults.happens(Faults::Chance::BadSignature);
    const bool wrongDigest = m_faults.happens(Faults::Chance::WrongDigest);
    exchange.json(200, badSignature ? manifestOf(*m_badRelease, "/releases/bad/", wrongDigest)
                                    : manifestOf(*m_release, "/releases/", wrongDigest));
}

nlohmann::ordered_json DownloadSite::manifestOf(const ReleaseFile &file, const std::string &folder,
                                                bool wrongDigest) const
{
    std::string sha256 = file.sha256;
    if (wrongDigest) {
        // The digest of other bytes; the etag follows it, as a manifest made for them would.
        std::string other = "wrong-digest ";
        other += file.sha256;
        sha256 = sha256Hex(other);
    }
    std::string url = m_origin;
    url += folder;
    url += percentEncoded(file.name);
    std::string etag = "\"";
    etag += sha256.substr(0, 32);
    etag += '"';
    nlohmann::ordered_json manifest;
    manifest["version"] = m_version;
    manifest["download_url"] = url;
    manifest["sha256"] = sha256;
    manifest["size"] = file.size;
    manifest["filename"] = file.name;
    manifest["last_modified"] = file.lastModified;
    manifest["etag"] = etag;
    return manifest;
}

void DownloadSite::download(Exchange &exchange, const ReleaseFile *file)
{
    if (!file || exchange.params.at(0) != file->name) {
        exchange.jsonError(404, "No such release.");
        return;
    }
    auto source = std::make_shared<OpenFile>(file->path);
    if (source->fd() < 0) {
        exchange.jsonError(500, cannotRead(file->path, errno));
        return;
    }
    httplib::Response &response = exchange.response;
    const httplib::Ranges &ranges = exchange.request.ranges;
    std::uint64_t length = file->size;
    if (!ranges.empty()) {
        if (!rangesWithin(ranges, file->size)) {
            std::string unsatisfied = "bytes */";
            unsatisfied += std::to_string(file->size);
            response.status = 416;
            response.set_header("Content-Range", unsatisfied);
            return;
        }
        // A resumed download: httplib cuts the asked ranges out of the content below.
        response.status = 206;
    } else if (m_faults.happens(Faults::Chance::Download206)) {
        length = std::max<std::uint64_t>(1, file->size / 2);
        response.status = 206;
        response.set_header("Content-Range", contentRange(0, length - 1, file->size));
    } else {
        response.status = 200;
    }
    source->buffer().resize(kChunkSize);
    // Streamed in chunks from the file, never held whole.
    response.set_content_provider(
        length, "application/gzip",
        [source](std::size_t offset, std::size_t size, httplib::DataSink &sink) {
            std::vector<char> &buffer = source->buffer();
            const ssize_t got =
                ::pread(source->fd(), buffer.data(), std::min(size, buffer.size()), off_t(offset));
            return got > 0 && sink.write(buffer.data(), std::size_t(got));
        });
}

} // namespace sandbox
