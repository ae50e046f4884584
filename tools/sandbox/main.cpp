// vorlanta-sandbox: a local stand-in of the service on 127.0.0.1, for tests and demos.

#include "ApiRoutes.h"
#include "BuildConfig.h"
#include "CreatorProfile.h"
#include "DemoData.h"
#include "DownloadSite.h"
#include "Faults.h"
#include "PartPlan.h"
#include "PartStore.h"
#include "PresignedUrls.h"
#include "Router.h"
#include "SandboxState.h"
#include "TestPages.h"
#include "UploadRoutes.h"
#include "WebPages.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <pthread.h>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// JWT-shaped so that clients which peek into tokens see the usual three parts.
constexpr char kDemoToken[] =
    "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9."
    "eyJzdWIiOiJkZW1vLWNyZWF0b3IiLCJuYW1lIjoiRGVtbyBDcmVhdG9yIiwiaWF0IjoxNzM1Njg5NjAwLCJleHAiOjQx"
    "MDI0NDQ4MDB9.GW49moshfiI9VRhDBo8LpuvBeOQbhMUB1zQFKY8Bd6I";

constexpr char kHost[] = "127.0.0.1";
constexpr char kDemoEmail[] = "demo@vorlanta.example";
constexpr char kDemoPassword[] = "vorlanta-demo";

struct Options {
    int port = 0;
    std::string dataDir;
    std::string token = kDemoToken;
    std::string email = kDemoEmail;
    std::string password = kDemoPassword;
    std::vector<std::string> faults;
    std::optional<std::uint64_t> seed;
    std::uint64_t partMiB = 5;
    bool quiet = false;
    std::string release;
    std::optional<std::string> releaseVersion;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string usage()
{
    return std::string("usage: vorlanta-sandbox [--port N] [--data-dir DIR] [--token T] "
                       "[--login EMAIL:PASSWORD]\n"
                       "                       [--fault NAME=VALUE]... [--seed N] [--part-mib N]\n"
                       "                       [--release ARCHIVE --release-version V] [--quiet]\n"
                       "  --port N        port on 127.0.0.1 (default ") +
           BuildConfig::kSandboxPort +
           "; 0 picks a free one)\n"
           "  --data-dir DIR  where uploaded parts and files go (default: a temporary\n"
           "                  directory removed at exit)\n"
           "  --token T       the accepted bearer token (default: a demo token)\n"
           "  --login EMAIL:PASSWORD\n"
           "                  what the web login page accepts (default: " +
           kDemoEmail + ":" + kDemoPassword +
           ")\n"
           "  --seed N        seed of the fault dice, for reproducible runs\n"
           "  --part-mib N    smallest part handed out, in MiB (default 5, the object stores'\n"
           "                  minimum; larger values give fewer, bigger parts)\n"
           "  --release ARCHIVE\n"
           "                  a release .tar.gz, offered at /version-linux and /version-mac and\n"
           "                  downloadable from /releases/ (needs --release-version)\n"
           "  --release-version V\n"
           "                  the version the release manifest announces\n"
           "  --quiet         no request log on standard error\n" +
           sandbox::Faults::help();
}

template <typename Number>
Number parseNumber(std::string_view option, std::string_view text, Number minimum, Number maximum)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum ||
        value > maximum) {
        throw UsageError(std::string(option) + " needs a number from " + std::to_string(minimum) +
                         " to " + std::to_string(maximum) + ", got \"" + std::string(text) + "\"");
    }
    return value;
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    options.port = parseNumber<int>("VORLANTA_SANDBOX_PORT", BuildConfig::kSandboxPort, 0, 65535);
    std::vector<std::string_view> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> inlineValue;
        if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != name.npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const auto value = [&]() -> std::string_view {
            if (inlineValue) {
                return *inlineValue;
            }
            if (i + 1 >= args.size()) {
                throw UsageError(std::string(name) + " needs a value");
            }
            return args[++i];
        };
        if (name == "--port") {
            options.port = parseNumber<int>(name, value(), 0, 65535);
        } else if (name == "--data-dir") {
            options.dataDir = value();
        } else if (name == "--token") {
            options.token = value();
            if (options.token.empty() ||
                options.token.find_first_of(" \t\r\n") != std::string::npos) {
                throw UsageError("--token must be non-empty and without white space");
            }
        } else if (name == "--login") {
            const std::string_view login = value();
            const std::size_t colon = login.find(':');
            options.email = login.substr(0, colon);
            options.password = colon == login.npos ? "" : login.substr(colon + 1);
            // Both go on one start line, separated by a space.
            if (options.email.empty() || options.password.empty() ||
                login.find_first_of(" \t\r\n") != login.npos) {
                throw UsageError("--login needs EMAIL:PASSWORD, both non-empty and without white "
                                 "space");
            }
        } else if (name == "--fault") {
            options.faults.emplace_back(value());
        } else if (name == "--part-mib") {
            options.partMiB = parseNumber<std::uint64_t>(name, value(), 5, 1024 * 1024);
        } else if (name == "--seed") {
            options.seed = parseNumber<std::uint64_t>(name, value(), 0, UINT64_MAX);
        } else if (name == "--release") {
            options.release = value();
            if (options.release.empty()) {
                throw UsageError("--release needs the path of a release archive");
            }
        } else if (name == "--release-version") {
            options.releaseVersion = value();
            if (options.releaseVersion->empty()) {
                throw UsageError("--release-version must not be empty");
            }
        } else if (name == "--quiet" && !inlineValue) {
            options.quiet = true;
        } else if (name == "--help" || name == "-h") {
            std::fputs(usage().c_str(), stdout);
            std::exit(0);
        } else {
            throw UsageError("unknown option \"" + std::string(args[i]) + "\"");
        }
    }
    if (!options.release.empty() && !options.releaseVersion) {
        throw UsageError("--release needs --release-version V, the version it announces");
    }
    if (options.release.empty() && options.releaseVersion) {
        throw UsageError("--release-version needs --release ARCHIVE");
    }
    return options;
}

// Only SO_REUSEADDR: httplib's default also sets SO_REUSEPORT, which would let a second
// sandbox share a busy port silently.
void listenSocketOptions(int socket)
{
    const int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

// Waits out the outage fault: nothing listens meanwhile. False when SIGINT or SIGTERM came.
bool awaitOutageEnd(std::chrono::milliseconds length, bool quiet)
{
    if (!quiet) {
        std::fprintf(stderr, "Sandbox offline for %lld ms (fault outage-ms)\n",
                     static_cast<long long>(length.count()));
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + length;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return true;
        }
        const timespec wait{time_t(left.count() / 1'000'000'000),
                            long(left.count() % 1'000'000'000)};
        if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) {
            return false;
        }
    }
}

// Serves until SIGINT or SIGTERM (0); 1 when the server ends on its own. The outage fault stops
// the server from a request's thread: then nothing listens for a while, and the same port again.
int serve(httplib::Server &server, int port, const std::string &origin, const sigset_t &stopSignals,
          std::atomic<bool> &outage, std::chrono::milliseconds outageLength, bool quiet)
{
    for (;;) {
        std::atomic<bool> ended{false};
        std::thread serving([&server, &ended] {
            server.listen_after_bind();
            ended = true;
            ::kill(::getpid(), SIGUSR1);
        });
        int received = 0;
        sigwait(&stopSignals, &received);
        // stop() does nothing before the accept loop runs, so a signal right after the
        // start lines waits for it.
        while (!server.is_running() && !ended) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!ended) {
            server.stop();
        }
        sandbox::shutdownConnections(port);
        serving.join();
        if (received != SIGUSR1) {
            return 0;
        }
        if (!outage.exchange(false)) {
            std::fprintf(stderr, "vorlanta-sandbox: the server stopped unexpectedly\n");
            return 1;
        }
        if (!awaitOutageEnd(outageLength, quiet)) {
            return 0; // stopped during the outage
        }
        if (!server.bind_to_port(kHost, port)) {
            std::fprintf(stderr, "vorlanta-sandbox: cannot listen on %s:%d again\n", kHost, port);
            return 1;
        }
        if (!quiet) {
            std::fprintf(stderr, "Sandbox listening on %s/ again\n", origin.c_str());
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    try {
        options = parseOptions(argc, argv);
    } catch (const UsageError &error) {
        std::fprintf(stderr, "vorlanta-sandbox: %s\n\n%s", error.what(), usage().c_str());
        return 2;
    }
    sandbox::PartPlan::setTargetPartSize(options.partMiB * 1024 * 1024);
    sandbox::Faults faults(options.seed ? *options.seed : std::uint64_t(std::random_device{}()));
    try {
        for (const std::string &fault : options.faults) {
            faults.set(fault);
        }
    } catch (const std::invalid_argument &error) {
        std::fprintf(stderr, "vorlanta-sandbox: %s\n", error.what());
        return 2;
    }

    // Signals are taken by sigwait below; every thread started from here inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1); // sent to ourselves when the server ends on its own
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Built before listening: a release that cannot be read is a bad option.
    std::unique_ptr<sandbox::DownloadSite> downloads;
    try {
        downloads = std::make_unique<sandbox::DownloadSite>(faults, options.release,
                                                            options.releaseVersion.value_or(""));
    } catch (const std::exception &error) {
        std::fprintf(stderr, "vorlanta-sandbox: %s\n", error.what());
        return 2;
    }

    try {
        httplib::Server server;
        server.set_socket_options(listenSocketOptions);
        // Without it every answer on a kept-alive connection waits ~40 ms: httplib writes head
        // and body apart, and Nagle holds the body until the client's delayed ACK.
        server.set_tcp_nodelay(true);
        server.set_read_timeout(30);
        server.set_write_timeout(30);
        server.set_keep_alive_max_count(100);
        int port = options.port;
        if (port == 0) {
            port = server.bind_to_any_port(kHost);
        } else if (!server.bind_to_port(kHost, port)) {
            port = -1;
        }
        if (port <= 0) {
            std::fprintf(stderr, "vorlanta-sandbox: cannot listen on %s:%d\n", kHost, options.port);
            return 1;
        }
        const std::string origin = "http://" + std::string(kHost) + ":" + std::to_string(port);

        sandbox::PartStore store(options.dataDir);
        sandbox::PresignedUrls urls(origin);
        sandbox::SandboxState state(sandbox::demoChannels(origin), sandbox::demoProjects());
        sandbox::Router router(faults, options.quiet);
        sandbox::ApiRoutes api(state, urls, store, faults, options.token);
        sandbox::UploadRoutes uploads(state, urls, store, faults);
        sandbox::CreatorProfile profile(faults, options.token, options.email);
        sandbox::WebPages web(options.email, options.password, options.token);
        sandbox::TestPages testPages;
        std::atomic<bool> outage{false};
        uploads.setOutageHandler([&server, &outage, port] {
            outage = true;
            server.stop(); // closes the listener at once; the serving thread then ends
            sandbox::shutdownConnections(port);
        });
        api.install(router);
        uploads.install(router);
        profile.install(router);
        web.install(router);
        testPages.install(router);
        downloads->install(router, origin);
        router.install(server);

        // One write: a reader that waits for the token line finds the login line too.
        std::printf("Sandbox listening on %s/\nDemo token: %s\nDemo login: %s %s\n", origin.c_str(),
                    options.token.c_str(), options.email.c_str(), options.password.c_str());
        std::fflush(stdout);
        if (!options.quiet) {
            std::fprintf(stderr, "data directory: %s\n", store.root().c_str());
            if (const std::string release = downloads->describe(); !release.empty()) {
                std::fprintf(stderr, "%s\n", release.c_str());
            }
        }

        return serve(server, port, origin, stopSignals, outage, faults.outage(), options.quiet);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "vorlanta-sandbox: %s\n", error.what());
        return 1;
    }
}
