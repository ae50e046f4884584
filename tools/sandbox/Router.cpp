#include "Router.h"

#include "Faults.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace sandbox {
namespace {

int portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    }
    return -1;
}

// Calls visit(fd) for every connected socket of this process whose ports match; visit
// returns false to stop. httplib does not hand out its sockets, so they are found this way.
template <typename Visit> void forEachConnection(int localPort, int remotePort, Visit visit)
{
    DIR *descriptors = ::opendir("/proc/self/fd");
    if (!descriptors) {
        return;
    }
    while (const dirent *entry = ::readdir(descriptors)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == ::dirfd(descriptors)) {
            continue;
        }
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLength = sizeof local;
        socklen_t peerLength = sizeof peer;
        if (::getsockname(int(fd), reinterpret_cast<sockaddr *>(&local), &localLength) != 0 ||
            ::getpeername(int(fd), reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0) {
            continue;
        }
        if (portOf(local) == localPort && (remotePort < 0 || portOf(peer) == remotePort) &&
            !visit(int(fd))) {
            break;
        }
    }
    ::closedir(descriptors);
}

// Both directions: the client sees the connection end without an answer. The close that follows
// is abortive (a reset): after a plain one the rest of a request body the client is still sending
// could wait against a closed window until a time-out, instead of failing at once.
void endAbruptly(int fd)
{
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::shutdown(fd, SHUT_RDWR);
}

} // namespace

RequestBody::RequestBody(const httplib::Request &request, const httplib::ContentReader *reader)
    : m_request(request), m_reader(reader)
{}

bool RequestBody::announced() const
{
    return m_request.has_header("Content-Length") ||
           m_request.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
}

std::optional<std::int64_t> RequestBody::contentLength() const
{
    if (!m_request.has_header("Content-Length")) {
        return std::nullopt;
    }
    const std::string text = m_request.get_header_value("Content-Length");
    std::int64_t length = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (error != std::errc() || end != text.data() + text.size() || length < 0) {
        return -1;
    }
    return length;
}

bool RequestBody::read(const Sink &sink, AfterStop afterStop)
{
    if (m_consumed) {
        return false;
    }
    m_consumed = true;
    if (!m_reader) {
        // httplib already read the (empty or small) body into the request.
        m_bytesRead = m_request.body.size();
        return m_request.body.empty() || sink(m_request.body.data(), m_request.body.size());
    }
    if (!announced()) {
        return true; // no body; reading would wait for the client to close
    }
    bool stopped = false;
    const bool complete = (*m_reader)([&](const char *data, std::size_t size) {
        m_bytesRead += size;
        if (stopped) {
            return true; // draining
        }
        if (!sink(data, size)) {
            stopped = true;
            return afterStop == AfterStop::Drain;
        }
        return true;
    });
    return complete && !stopped;
}

std::optional<std::string> RequestBody::readAll(std::size_t limit)
{
    std::string text;
    const bool whole = read([&](const char *data, std::size_t size) {
        if (text.size() + size > limit) {
            return false;
        }
        text.append(data, size);
        return true;
    });
    if (!whole) {
        return std::nullopt;
    }
    return text;
}

void RequestBody::drain()
{
    read([](const char *, std::size_t) { return true; });
}

void Exchange::json(int status, const nlohmann::ordered_json &value)
{
    response.status = status;
    response.set_content(value.dump(), "application/json");
}

void Exchange::jsonError(int status, const std::string &message)
{
    json(status, nlohmann::ordered_json{{"detail", message}});
}

void Exchange::dropConnection()
{
    forEachConnection(request.local_port, request.remote_port, [](int fd) {
        endAbruptly(fd);
        return false;
    });
    m_dropped = true;
}

void shutdownConnections(int localPort)
{
    forEachConnection(localPort, -1, [](int fd) {
        endAbruptly(fd);
        return true;
    });
}

Router::Router(Faults &faults, bool quiet) : m_faults(faults), m_quiet(quiet) {}

void Router::add(const std::string &method, const std::string &pattern, Handler handler)
{
    m_routes.push_back(Route{method, std::regex(pattern), std::move(handler)});
}

void Router::install(httplib::Server &server)
{
    const auto plain = [this](const httplib::Request &request, httplib::Response &response) {
        dispatch(request, response, nullptr);
    };
    const auto streamed = [this](const httplib::Request &request, httplib::Response &response,
                                 const httplib::ContentReader &reader) {
        dispatch(request, response, &reader);
    };
    // httplib picks the streamed handler when a body is announced, the plain one otherwise.
    server.Get(".*", plain);
    server.Options(".*", plain);
    server.Post(".*", streamed).Post(".*", plain);
    server.Put(".*", streamed).Put(".*", plain);
    server.Patch(".*", streamed).Patch(".*", plain);
    server.Delete(".*", streamed).Delete(".*", plain);
}

void Router::dispatch(const httplib::Request &request, httplib::Response &response,
                      const httplib::ContentReader *reader)
{
    RequestBody body(request, reader);
    Exchange exchange(request, response, body);
    if (m_faults.delay().count() > 0) {
        std::this_thread::sleep_for(m_faults.delay());
    }

    const Route *chosen = nullptr;
    bool pathKnown = false;
    for (const Route &route : m_routes) {
        std::smatch match;
        if (!std::regex_match(request.path, match, route.pattern)) {
            continue;
        }
        pathKnown = true;
        if (route.method == request.method || (request.method == "HEAD" && route.method == "GET")) {
            chosen = &route;
            for (std::size_t i = 1; i < match.size(); ++i) {
                exchange.params.push_back(match[i].str());
            }
            break;
        }
    }

    try {
        if (chosen) {
            chosen->handler(exchange);
        } else if (pathKnown) {
            exchange.jsonError(405, "Method \"" + request.method + "\" not allowed.");
        } else {
            exchange.jsonError(404, "Not found.");
        }
    } catch (const std::exception &error) {
        exchange.jsonError(500, std::string("internal error: ") + error.what());
    }
    if (!exchange.dropped() && !body.consumed()) {
        body.drain();
    }
    log(request, response, body, exchange.dropped());
}

void Router::log(const httplib::Request &request, const httplib::Response &response,
                 const RequestBody &body, bool dropped)
{
    if (m_quiet) {
        return;
    }
    // The path only: the query holds URL signatures.
    const std::string status = dropped ? std::string("dropped") : std::to_string(response.status);
    std::lock_guard lock(m_logMutex);
    std::fprintf(stderr, "%s %s %s in=%llu out=%zu\n", request.method.c_str(), request.path.c_str(),
                 status.c_str(), static_cast<unsigned long long>(body.bytesRead()),
                 response.body.size());
}

} // namespace sandbox
