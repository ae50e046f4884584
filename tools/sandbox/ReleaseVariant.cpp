#include "ReleaseVariant.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace sandbox {
namespace {

namespace fs = std::filesystem;

constexpr char kSignature[] = "Vorlanta Creator.app/signature/manifest.sig";
constexpr std::size_t kComplaintLimit = 4096;

fs::path makeTemporaryDirectory()
{
    std::string pattern = fs::absolute(fs::temp_directory_path() / "vorlanta-release-XXXXXX");
    if (!::mkdtemp(pattern.data())) {
        throw std::system_error(errno, std::generic_category(), "cannot create " + pattern);
    }
    return pattern;
}

// Folders unpacked without write permission would refuse the removal of their contents.
void removeTree(const fs::path &root) noexcept
{
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        if (it->symlink_status(ignored).type() == fs::file_type::directory) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(root, error);
}

std::string joinedLines(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// Runs GNU tar; throws what, with tar's own complaint, when it fails.
void runTar(const std::vector<std::string> &arguments, const std::string &what)
{
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), what + ": no pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errorPipe[1], STDERR_FILENO);
    // The sandbox blocks its stop signals and ignores SIGPIPE; tar and gzip need neither.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> words{"tar"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawnError = ::posix_spawnp(&pid, "tar", &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(errorPipe[1]);
    if (spawnError != 0) {
        ::close(errorPipe[0]);
        throw std::runtime_error(what + ": cannot run tar: " + std::strerror(spawnError));
    }

    std::string complaint;
    char buffer[1024];
    for (;;) {
        const ssize_t got = ::read(errorPipe[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        complaint.append(buffer, std::min(std::size_t(got), kComplaintLimit - complaint.size()));
    }
    ::close(errorPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string message = what;
        message += ": tar failed: ";
        message += joinedLines(complaint);
        throw std::runtime_error(message);
    }
}

// The first regular file with content in the order tar --sort=name packs the tree: names
// sorted within each folder, folders entered where they sort.
std::optional<fs::path> firstRegularFile(const fs::path &folder)
{
    std::vector<fs::path> children;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder)) {
        children.push_back(entry.path());
    }
    std::sort(children.begin(), children.end(), [](const fs::path &a, const fs::path &b) {
        return a.filename().string() < b.filename().string();
    });
    for (const fs::path &child : children) {
        const fs::file_status status = fs::symlink_status(child);
        if (fs::is_regular_file(status) && fs::file_size(child) > 0) {
            return child;
        }
        if (fs::is_directory(status)) {
            if (std::optional<fs::path> found = firstRegularFile(child)) {
                return found;
            }
        }
    }
    return std::nullopt;
}

bool isFileWithContent(const fs::path &path)
{
    std::error_code error;
    return fs::is_regular_file(fs::symlink_status(path, error)) && fs::file_size(path, error) > 0;
}

// Flips every bit of the first byte and keeps the file's mode and times, so the byte is the
// only difference the repacked archive shows.
void flipFirstByte(const fs::path &file)
{
    struct stat before {};
    if (::lstat(file.c_str(), &before) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
    }
    // Signatures are often read-only; writable for the flip only.
    ::chmod(file.c_str(), (before.st_mode & 07777) | S_IWUSR);
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    bool flipped = false;
    if (fd >= 0) {
        unsigned char byte = 0;
        if (::pread(fd, &byte, 1, 0) == 1) {
            byte ^= 0xff;
            flipped = ::pwrite(fd, &byte, 1, 0) == 1;
        }
        ::close(fd);
    }
    const int flipError = errno;
    ::chmod(file.c_str(), before.st_mode & 07777);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (!flipped) {
        throw std::system_error(flipError, std::generic_category(),
                                "cannot change " + file.string());
    }
}

std::vector<std::string> sortedNames(const fs::path &folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

ReleaseVariant::ReleaseVariant(const fs::path &archive, const std::string &fileName)
    : m_directory(makeTemporaryDirectory())
{
    try {
        const fs::path tree = m_directory / "unpacked";
        fs::create_directory(tree);
        fs::create_directory(m_directory / "bad");
        m_path = m_directory / "bad" / fileName;
        runTar({"-x", "-z", "-p", "-f", fs::absolute(archive).string(), "-C", tree.string()},
               "cannot unpack release " + archive.string());

        fs::path target = tree / kSignature;
        // Without the bundle's signature the first file is spoilt instead, so the variant still
        // differs from the release in exactly one byte.
        if (!isFileWithContent(target)) {
            const std::optional<fs::path> first = firstRegularFile(tree);
            if (!first) {
                throw std::runtime_error("release " + archive.string() +
                                         " holds no file with content");
            }
            target = *first;
        }
        flipFirstByte(target);
        m_changedMember = target.lexically_relative(tree).generic_string();

        std::vector<std::string> arguments{
            "--sort=name", "--owner=0",     "--group=0", "--numeric-owner", "-c", "-z",
            "-f",          m_path.string(), "-C",        tree.string(),     "--"};
        for (const std::string &name : sortedNames(tree)) {
            arguments.push_back(name);
        }
        runTar(arguments, "cannot repack release " + archive.string());
        fs::last_write_time(m_path, fs::last_write_time(archive));
        removeTree(tree);
    } catch (...) {
        removeTree(m_directory);
        throw;
    }
}

ReleaseVariant::~ReleaseVariant()
{
    removeTree(m_directory);
}

} // namespace sandbox
