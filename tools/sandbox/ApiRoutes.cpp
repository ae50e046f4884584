#include "ApiRoutes.h"

#include "Crypto.h"
#include "Faults.h"
#include "PartStore.h"
#include "PresignedUrls.h"
#include "SandboxState.h"

#include <charconv>
#include <set>
#include <stdexcept>

namespace sandbox {
namespace {

constexpr std::size_t kMaxJsonBody = 1024 * 1024;
const std::set<std::string> kServiceNames = {"thumbnail", "video_editing", "reformatting"};

// A request body that breaks the contract; the message says which key and why.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const nlohmann::json &member(const nlohmann::json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end()) {
        throw BadRequest(std::string("\"") + key + "\" is required");
    }
    return *found;
}

std::string stringMember(const nlohmann::json &object, const char *key)
{
    const nlohmann::json &value = member(object, key);
    if (!value.is_string()) {
        throw BadRequest(std::string("\"") + key + "\" must be a string");
    }
    return value.get<std::string>();
}

std::int64_t integerMember(const nlohmann::json &object, const char *key)
{
    const nlohmann::json &value = member(object, key);
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX) {
        throw BadRequest(std::string("\"") + key + "\" is out of range");
    }
    if (!value.is_number_integer()) {
        throw BadRequest(std::string("\"") + key + "\" must be an integer");
    }
    return value.get<std::int64_t>();
}

bool isDigits(std::string_view text, std::size_t from, std::size_t count)
{
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

// The client sends "dd/MM/yyyy" (or nothing); ISO days are accepted as well.
bool isDueDate(std::string_view text)
{
    if (text.size() != 10) {
        return false;
    }
    if (text[2] == '/' && text[5] == '/') {
        return isDigits(text, 0, 2) && isDigits(text, 3, 2) && isDigits(text, 6, 4);
    }
    return text[4] == '-' && text[7] == '-' && isDigits(text, 0, 4) && isDigits(text, 5, 2) &&
           isDigits(text, 8, 2);
}

NewProject parseNewProject(const nlohmann::json &body)
{
    NewProject project;
    project.title = stringMember(body, "title");
    if (project.title.empty()) {
        throw BadRequest("\"title\" must not be empty");
    }
    project.dueDate = stringMember(body, "due_date");
    if (!project.dueDate.empty() && !isDueDate(project.dueDate)) {
        throw BadRequest("\"due_date\" must be empty or dd/MM/yyyy, got \"" + project.dueDate +
                         "\"");
    }
    project.channelId = integerMember(body, "channel_id");
    project.notes = stringMember(body, "notes_for_editor");
    const nlohmann::json &services = member(body, "selected_services");
    if (!services.is_array() || services.empty()) {
        throw BadRequest("\"selected_services\" must be a non-empty array");
    }
    for (const nlohmann::json &service : services) {
        if (!service.is_object()) {
            throw BadRequest("\"selected_services\" entries must be objects");
        }
        std::string name = stringMember(service, "name");
        if (!kServiceNames.count(name)) {
            throw BadRequest("unknown service \"" + name + "\"");
        }
        const std::int64_t quantity = integerMember(service, "quantity");
        if (quantity < 1) {
            throw BadRequest("\"quantity\" must be at least 1");
        }
        project.services.emplace_back(std::move(name), quantity);
    }
    return project;
}

std::optional<std::int64_t> idParam(const std::string &text)
{
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return id;
}

} // namespace

ApiRoutes::ApiRoutes(SandboxState &state, const PresignedUrls &urls, PartStore &store,
                     Faults &faults, std::string token)
    : m_state(state), m_urls(urls), m_store(store), m_faults(faults), m_token(std::move(token))
{}

void ApiRoutes::install(Router &router)
{
    const auto route = [this](void (ApiRoutes::*handler)(Exchange &)) {
        return [this, handler](Exchange &exchange) {
            if (!admit(exchange)) {
                return;
            }
            try {
                (this->*handler)(exchange);
            } catch (const BadRequest &error) {
                exchange.jsonError(400, error.what());
            }
        };
    };
    router.add("GET", "/api/v1/creator/channels/", route(&ApiRoutes::listChannels));
    router.add("GET", "/api/v1/creator/projects/", route(&ApiRoutes::listProjects));
    router.add("POST", "/api/v1/creator/projects/", route(&ApiRoutes::createProject));
    router.add("POST", "/api/v1/creator/projects/([0-9]+)/files/upload",
               route(&ApiRoutes::initUpload));
    router.add("PATCH", "/api/v1/creator/files/([0-9]+)/complete-upload",
               route(&ApiRoutes::completeUpload));
}

bool ApiRoutes::admit(Exchange &exchange)
{
    if (m_faults.happens(Faults::Chance::Api500)) {
        exchange.jsonError(500, "A server error occurred (sandbox fault api-500).");
        return false;
    }
    const httplib::Request &request = exchange.request;
    if (!request.has_header("Authorization")) {
        exchange.jsonError(401, "Authentication credentials were not provided.");
        return false;
    }
    if (!equalConstantTime(request.get_header_value("Authorization"), "Bearer " + m_token)) {
        exchange.jsonError(401, "Given token not valid for any token type");
        return false;
    }
    return true;
}

std::optional<nlohmann::json> ApiRoutes::objectBody(Exchange &exchange)
{
    const std::string type = exchange.request.get_header_value("Content-Type");
    if (type.rfind("application/json", 0) != 0) {
        exchange.jsonError(415, "Unsupported media type \"" + type + "\" in request.");
        return std::nullopt;
    }
    const std::optional<std::string> text = exchange.body.readAll(kMaxJsonBody);
    if (!text) {
        exchange.jsonError(413, "Request body too large.");
        return std::nullopt;
    }
    nlohmann::json body = nlohmann::json::parse(*text, nullptr, false);
    if (body.is_discarded()) {
        exchange.jsonError(400, "JSON parse error in request body.");
        return std::nullopt;
    }
    if (!body.is_object()) {
        exchange.jsonError(400, "Expected a JSON object.");
        return std::nullopt;
    }
    return body;
}

void ApiRoutes::listChannels(Exchange &exchange)
{
    exchange.json(200, m_state.channels());
}

void ApiRoutes::listProjects(Exchange &exchange)
{
    exchange.json(200, m_state.projects());
}

void ApiRoutes::createProject(Exchange &exchange)
{
    const std::optional<nlohmann::json> body = objectBody(exchange);
    if (!body) {
        return;
    }
    const NewProject project = parseNewProject(*body);
    if (project.channelId != 0 && !m_state.hasChannel(project.channelId)) {
        throw BadRequest("unknown channel_id " + std::to_string(project.channelId));
    }
    const Json created = m_state.addProject(project);
    exchange.json(m_faults.happens(Faults::Chance::Status201) ? 201 : 200, created);
}

void ApiRoutes::initUpload(Exchange &exchange)
{
    const std::optional<std::int64_t> projectId = idParam(exchange.params.at(0));
    const std::optional<nlohmann::json> body = objectBody(exchange);
    if (!body) {
        return;
    }
    const std::string fileName = stringMember(*body, "file_name");
    if (fileName.empty()) {
        throw BadRequest("\"file_name\" must not be empty");
    }
    const std::int64_t fileSize = integerMember(*body, "file_size");
    if (fileSize < 0) {
        throw BadRequest("\"file_size\" must not be negative");
    }
    const std::optional<UploadTicket> ticket =
        projectId ? m_state.startUpload(*projectId, fileName, std::uint64_t(fileSize))
                  : std::nullopt;
    if (!ticket) {
        exchange.jsonError(404, "Project not found.");
        return;
    }
    Json urls = Json::array();
    for (std::uint32_t part = 1; part <= ticket->plan.urlCount(); ++part) {
        urls.push_back(
            m_urls.sign("PUT", PresignedUrls::partPath(ticket->fileId, part), m_faults.urlTtl()));
    }
    exchange.json(200, Json{{"urls", std::move(urls)}, {"file_id", ticket->fileId}});
}

void ApiRoutes::completeUpload(Exchange &exchange)
{
    const std::optional<std::int64_t> fileId = idParam(exchange.params.at(0));
    const std::optional<nlohmann::json> body = objectBody(exchange);
    if (!body) {
        return;
    }
    const nlohmann::json &etagList = member(*body, "etags");
    if (!etagList.is_array()) {
        throw BadRequest("\"etags\" must be an array");
    }
    std::vector<std::string> etags;
    for (const nlohmann::json &etag : etagList) {
        if (!etag.is_string()) {
            throw BadRequest("\"etags\" entries must be strings");
        }
        etags.push_back(etag.get<std::string>());
    }
    if (!fileId) {
        exchange.jsonError(404, "Upload not found.");
        return;
    }
    const Completion completion = m_state.complete(*fileId, etags);
    if (completion.status != 200) {
        exchange.jsonError(completion.status, completion.message);
        return;
    }
    m_store.assemble(*fileId, completion.partCount, completion.fileSize, completion.fileName);
    exchange.json(200, Json{{"status", "completed"}});
}

} // namespace sandbox
