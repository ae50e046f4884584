#include "UploadRoutes.h"

#include "Faults.h"
#include "PartStore.h"
#include "PresignedUrls.h"
#include "SandboxState.h"

#include <charconv>
#include <thread>

namespace sandbox {
namespace {

void xmlError(Exchange &exchange, int status, const std::string &code, const std::string &message)
{
    exchange.response.status = status;
    exchange.response.set_content("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>" +
                                      code + "</Code><Message>" + message + "</Message><Resource>" +
                                      exchange.request.path + "</Resource></Error>",
                                  "application/xml");
}

template <typename Number> std::optional<Number> number(const std::string &text)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

UploadRoutes::UploadRoutes(SandboxState &state, const PresignedUrls &urls, PartStore &store,
                           Faults &faults)
    : m_state(state), m_urls(urls), m_store(store), m_faults(faults)
{}

void UploadRoutes::install(Router &router)
{
    router.add("PUT", "/upload/([0-9]+)/([0-9]+)",
               [this](Exchange &exchange) { putPart(exchange); });
}

void UploadRoutes::dropHalfway(Exchange &exchange, std::uint64_t length)
{
    const std::uint64_t keep = length / 2;
    std::uint64_t taken = 0;
    if (keep > 0) {
        exchange.body.read(
            [&](const char *, std::size_t size) {
                taken += size;
                return taken < keep;
            },
            RequestBody::AfterStop::Abandon);
    }
}

void UploadRoutes::putPart(Exchange &exchange)
{
    const httplib::Request &request = exchange.request;
    // Object stores take either a presigned URL or an Authorization header, never both.
    if (request.has_header("Authorization")) {
        xmlError(exchange, 400, "InvalidArgument",
                 "Only one auth mechanism allowed; only the signature query parameter or the "
                 "Authorization header should be specified");
        return;
    }
    if (!request.has_param("expires") || !request.has_param("signature")) {
        xmlError(exchange, 403, "AccessDenied",
                 "Query-string authentication requires the expires and signature parameters");
        return;
    }
    switch (m_urls.verify("PUT", request.path, request.get_param_value("expires"),
                          request.get_param_value("signature"))) {
    case PresignedUrls::Verdict::Valid:
        break;
    case PresignedUrls::Verdict::BadSignature:
        xmlError(exchange, 403, "SignatureDoesNotMatch",
                 "The request signature we calculated does not match the signature you provided");
        return;
    case PresignedUrls::Verdict::Expired:
        xmlError(exchange, 403, "AccessDenied", "Request has expired");
        return;
    }

    const std::optional<std::int64_t> fileId = number<std::int64_t>(exchange.params.at(0));
    const std::optional<std::uint32_t> part = number<std::uint32_t>(exchange.params.at(1));
    const PartSlot slot =
        fileId && part ? m_state.partSlot(*fileId, *part) : PartSlot::UnknownUpload;
    if (slot == PartSlot::UnknownUpload || slot == PartSlot::Closed) {
        xmlError(exchange, 404, "NoSuchUpload",
                 "The specified upload does not exist. The upload ID may be invalid, or the "
                 "upload may have been aborted or completed.");
        return;
    }
    if (slot == PartSlot::OutOfRange) {
        xmlError(exchange, 400, "InvalidArgument", "Part number out of range");
        return;
    }

    const std::optional<std::int64_t> length = exchange.body.contentLength();
    if (!length) {
        xmlError(exchange, 411, "MissingContentLength",
                 "You must provide the Content-Length HTTP header.");
        return;
    }
    if (*length < 0) {
        xmlError(exchange, 400, "InvalidArgument", "Content-Length is not a number");
        return;
    }

    if (m_faults.partDelay().count() > 0) {
        std::this_thread::sleep_for(m_faults.partDelay());
    }
    if (m_faults.outage().count() > 0 && m_beginOutage && !m_outageTaken.exchange(true)) {
        // The listener closes before this connection does: a client retrying at once is refused.
        dropHalfway(exchange, std::uint64_t(*length));
        m_beginOutage();
        exchange.dropConnection();
        return;
    }
    if (m_faults.happens(Faults::Chance::PartDrop)) {
        dropHalfway(exchange, std::uint64_t(*length));
        exchange.dropConnection();
        return;
    }
    if (m_faults.happens(Faults::Chance::Part500)) {
        xmlError(exchange, 500, "InternalError",
                 "We encountered an internal error. Please try again. (sandbox fault part-500)");
        return;
    }

    // A body cut as planned goes straight to its place in the file.
    std::optional<PartSpan> span = m_state.plannedSpan(*fileId, *part);
    if (span && span->length != std::uint64_t(*length)) {
        span.reset();
    }
    const std::unique_ptr<PartStore::PartWriter> writer = m_store.beginPart(*fileId, *part, span);
    const bool received = exchange.body.read(
        [&](const char *data, std::size_t size) { return writer->write(data, size); });
    const std::string md5 = writer->finish();
    if (md5.empty()) {
        xmlError(exchange, 500, "InternalError", "The part could not be stored");
        return;
    }
    if (!received || writer->bytes() != std::uint64_t(*length)) {
        xmlError(exchange, 400, "IncompleteBody",
                 "You did not provide the number of bytes specified by the Content-Length "
                 "HTTP header");
        return;
    }
    const PartSlot stored = m_state.recordPart(*fileId, *part, writer->bytes(), md5,
                                               [&] { m_store.commitPart(*writer); });
    if (stored != PartSlot::Open) {
        xmlError(exchange, 404, "NoSuchUpload", "The upload was completed while the part arrived");
        return;
    }
    exchange.response.status = 200;
    if (!m_faults.happens(Faults::Chance::MissingEtag)) {
        exchange.response.set_header("ETag", "\"" + md5 + "\"");
    }
}

} // namespace sandbox
