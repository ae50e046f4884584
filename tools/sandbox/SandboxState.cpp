#include "SandboxState.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace sandbox {
namespace {

std::string nowIso()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace

SandboxState::SandboxState(Json channels, std::vector<Json> projects)
    : m_channels(std::move(channels)), m_projects(std::move(projects))
{
    std::sort(m_projects.begin(), m_projects.end(), [](const Json &a, const Json &b) {
        return a.value("id", std::int64_t(0)) > b.value("id", std::int64_t(0));
    });
    for (const Json &project : m_projects) {
        m_nextProjectId = std::max(m_nextProjectId, project.value("id", std::int64_t(0)) + 1);
        if (project.contains("files") && project["files"].is_array()) {
            for (const Json &file : project["files"]) {
                m_nextFileId = std::max(m_nextFileId, file.value("id", std::int64_t(0)) + 1);
            }
        }
    }
}

Json SandboxState::channels() const
{
    std::lock_guard lock(m_mutex);
    return m_channels;
}

Json SandboxState::projects() const
{
    std::lock_guard lock(m_mutex);
    Json list = Json::array();
    for (const Json &project : m_projects) {
        list.push_back(project);
    }
    return Json{{"data", std::move(list)}};
}

bool SandboxState::hasChannel(std::int64_t id) const
{
    std::lock_guard lock(m_mutex);
    return findChannel(id) != nullptr;
}

Json SandboxState::addProject(const NewProject &project)
{
    std::lock_guard lock(m_mutex);
    Json addons = Json::array();
    bool longForm = false;
    for (const auto &[name, quantity] : project.services) {
        addons.push_back(Json{{"type", name}, {"quantity", quantity}});
        longForm = longForm || name == "video_editing";
    }
    Json channel = nullptr;
    if (const Json *known = findChannel(project.channelId)) {
        channel = Json{{"id", (*known)["id"]}, {"name", (*known)["name"]}};
    }
    Json record = {
        {"id", m_nextProjectId++},
        {"title", project.title},
        {"status", "new"},
        {"due_date", project.dueDate.empty() ? Json(nullptr) : Json(project.dueDate)},
        {"created_at", nowIso()},
        {"channel", std::move(channel)},
        {"no_video", longForm ? 0 : 1},
        {"notes_for_editor", project.notes},
        {"addons", Json{{"detailed", std::move(addons)}}},
        {"files", Json::array()},
    };
    m_projects.insert(m_projects.begin(), record);
    return record;
}

std::optional<UploadTicket> SandboxState::startUpload(std::int64_t projectId, std::string fileName,
                                                      std::uint64_t fileSize)
{
    std::lock_guard lock(m_mutex);
    if (!findProject(projectId)) {
        return std::nullopt;
    }
    const PartPlan plan(fileSize);
    const std::int64_t fileId = m_nextFileId++;
    Upload &upload = m_uploads[fileId];
    upload.projectId = projectId;
    upload.fileName = std::move(fileName);
    upload.plan = plan;
    upload.parts.resize(plan.urlCount());
    return UploadTicket{fileId, plan};
}

PartSlot SandboxState::partSlot(std::int64_t fileId, std::uint32_t part) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_uploads.find(fileId);
    if (found == m_uploads.end()) {
        return PartSlot::UnknownUpload;
    }
    if (found->second.completed) {
        return PartSlot::Closed;
    }
    if (part < 1 || part > found->second.parts.size()) {
        return PartSlot::OutOfRange;
    }
    return PartSlot::Open;
}

std::optional<PartSpan> SandboxState::plannedSpan(std::int64_t fileId, std::uint32_t part) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_uploads.find(fileId);
    if (found == m_uploads.end() || part < 1 || part > found->second.plan.partCount()) {
        return std::nullopt;
    }
    return found->second.plan.partSpan(part);
}

PartSlot SandboxState::recordPart(std::int64_t fileId, std::uint32_t part, std::uint64_t size,
                                  std::string md5, const std::function<void()> &commit)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_uploads.find(fileId);
    if (found == m_uploads.end()) {
        return PartSlot::UnknownUpload;
    }
    Upload &upload = found->second;
    if (upload.completed) {
        return PartSlot::Closed;
    }
    if (part < 1 || part > upload.parts.size()) {
        return PartSlot::OutOfRange;
    }
    commit();
    upload.parts[part - 1] = Part{size, std::move(md5)};
    return PartSlot::Open;
}

Completion SandboxState::complete(std::int64_t fileId, const std::vector<std::string> &etags)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_uploads.find(fileId);
    if (found == m_uploads.end()) {
        return Completion::refused(404, "no upload with file_id " + std::to_string(fileId));
    }
    Upload &upload = found->second;
    if (upload.completed) {
        return Completion::refused(400, "upload of file " + std::to_string(fileId) +
                                            " is already completed");
    }
    const std::uint32_t expected = upload.plan.partCount();
    if (etags.size() != expected) {
        return Completion::refused(400, "expected " + std::to_string(expected) + " ETags, got " +
                                            std::to_string(etags.size()));
    }
    std::uint64_t total = 0;
    for (std::uint32_t k = 1; k <= expected; ++k) {
        const std::optional<Part> &part = upload.parts[k - 1];
        const std::string number = std::to_string(k);
        if (!part) {
            return Completion::refused(400, "part " + number + " was never uploaded");
        }
        if (etags[k - 1] != part->md5) {
            return Completion::refused(
                400, "ETag " + number + " \"" + etags[k - 1] +
                         "\" does not match the stored part (send ETags without quotes)");
        }
        if (k < expected && part->size < PartPlan::kMinPartSize) {
            return Completion::refused(400,
                                       "part " + number + " is smaller than the 5 MiB minimum");
        }
        total += part->size;
    }
    if (total != upload.plan.fileSize()) {
        return Completion::refused(400, "parts add up to " + std::to_string(total) +
                                            " bytes, announced " +
                                            std::to_string(upload.plan.fileSize()));
    }
    upload.completed = true;
    if (Json *project = findProject(upload.projectId)) {
        (*project)["files"].push_back(Json{{"id", fileId},
                                           {"name", upload.fileName},
                                           {"size", upload.plan.fileSize()},
                                           {"url", ""},
                                           {"lock", Json{{"locked", false}}}});
    }
    Completion done;
    done.partCount = expected;
    done.fileSize = upload.plan.fileSize();
    done.fileName = upload.fileName;
    return done;
}

Json *SandboxState::findProject(std::int64_t id)
{
    for (Json &project : m_projects) {
        if (project.value("id", std::int64_t(0)) == id) {
            return &project;
        }
    }
    return nullptr;
}

const Json *SandboxState::findChannel(std::int64_t id) const
{
    for (const Json &channel : m_channels) {
        if (channel.value("id", std::int64_t(0)) == id) {
            return &channel;
        }
    }
    return nullptr;
}

} // namespace sandbox
