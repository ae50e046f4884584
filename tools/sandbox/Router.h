#pragma once

#include <cstdint>
#include <functional>
#include <httplib.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace sandbox {

class Faults;

// A request body, read at most once: either streamed from the socket or, for requests that
// carry none, empty. Whatever a handler leaves unread is drained afterwards so the next
// request on the same connection starts at the right byte.
class RequestBody {
public:
    using Sink = std::function<bool(const char *data, std::size_t size)>;
    enum class AfterStop { Drain, Abandon };

    RequestBody(const httplib::Request &request, const httplib::ContentReader *reader);

    // Content-Length or chunked transfer encoding was announced.
    bool announced() const;
    // The Content-Length header: none when absent, -1 when it is not a number.
    std::optional<std::int64_t> contentLength() const;

    // Feeds the body to sink until it returns false. Then the rest is drained, or left in the
    // socket with Abandon (only before dropping the connection). False when the sink stopped
    // or the client went away.
    bool read(const Sink &sink, AfterStop afterStop = AfterStop::Drain);
    // The whole body when it has at most limit bytes.
    std::optional<std::string> readAll(std::size_t limit);
    void drain();

    bool consumed() const { return m_consumed; }
    std::uint64_t bytesRead() const { return m_bytesRead; }

private:
    const httplib::Request &m_request;
    const httplib::ContentReader *m_reader;
    bool m_consumed = false;
    std::uint64_t m_bytesRead = 0;
};

// One request on its way through a route.
class Exchange {
public:
    Exchange(const httplib::Request &request, httplib::Response &response, RequestBody &body)
        : request(request), response(response), body(body)
    {}

    const httplib::Request &request;
    httplib::Response &response;
    RequestBody &body;
    std::vector<std::string> params; // the route pattern's capture groups

    void json(int status, const nlohmann::ordered_json &value);
    // {"detail": message}, the error shape of the API.
    void jsonError(int status, const std::string &message);
    // Closes the connection without an answer, as a network failure would.
    void dropConnection();
    bool dropped() const { return m_dropped; }

private:
    bool m_dropped = false;
};

// Ends every open connection to localPort. httplib's workers wait out a keep-alive timeout
// on idle connections; stopping should not.
void shutdownConnections(int localPort);

// Routes by method and path pattern on top of httplib's catch-all handlers, so every request
// gets the same treatment: the delay fault, body draining, 404/405 answers and one log line.
class Router {
public:
    using Handler = std::function<void(Exchange &)>;

    Router(Faults &faults, bool quiet);

    // pattern is matched against the whole path (no query); groups become Exchange::params.
    void add(const std::string &method, const std::string &pattern, Handler handler);

    void install(httplib::Server &server);

private:
    struct Route {
        std::string method;
        std::regex pattern;
        Handler handler;
    };

    void dispatch(const httplib::Request &request, httplib::Response &response,
                  const httplib::ContentReader *reader);
    void log(const httplib::Request &request, const httplib::Response &response,
             const RequestBody &body, bool dropped);

    Faults &m_faults;
    bool m_quiet;
    std::vector<Route> m_routes;
    std::mutex m_logMutex;
};

} // namespace sandbox
