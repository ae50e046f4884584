#pragma once

#include "PartPlan.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace sandbox {

using Json = nlohmann::ordered_json;

struct NewProject {
    std::string title;
    std::string dueDate; // as sent; empty for none
    std::int64_t channelId = 0;
    std::string notes;
    std::vector<std::pair<std::string, std::int64_t>> services; // name, quantity
};

struct UploadTicket {
    std::int64_t fileId = 0;
    PartPlan plan{0};
};

// What a part PUT may do with its upload.
enum class PartSlot { Open, UnknownUpload, Closed, OutOfRange };

struct Completion {
    int status = 200; // 200, 400 or 404
    std::string message;
    std::uint32_t partCount = 0;
    std::uint64_t fileSize = 0;
    std::string fileName;

    static Completion refused(int status, std::string message)
    {
        Completion completion;
        completion.status = status;
        completion.message = std::move(message);
        return completion;
    }
};

// Everything the service remembers: channels, projects and uploads, behind one mutex because
// the server answers on several threads.
class SandboxState {
public:
    SandboxState(Json channels, std::vector<Json> projects);

    Json channels() const;
    // {"data": [...]}, newest project first.
    Json projects() const;
    bool hasChannel(std::int64_t id) const;

    // Stores the project and returns it as listed.
    Json addProject(const NewProject &project);

    // Opens an upload for a project; none when the project does not exist.
    std::optional<UploadTicket> startUpload(std::int64_t projectId, std::string fileName,
                                            std::uint64_t fileSize);

    PartSlot partSlot(std::int64_t fileId, std::uint32_t part) const;
    // Where part k belongs in the file as planned; none for a part the plan does not have.
    std::optional<PartSpan> plannedSpan(std::int64_t fileId, std::uint32_t part) const;
    // Records a received part; commit (moving the bytes into place) runs under the lock, so a
    // completion never sees half of a retried part.
    PartSlot recordPart(std::int64_t fileId, std::uint32_t part, std::uint64_t size,
                        std::string md5, const std::function<void()> &commit);

    // Checks the ETags against the received parts and closes the upload when they match.
    Completion complete(std::int64_t fileId, const std::vector<std::string> &etags);

private:
    struct Part {
        std::uint64_t size = 0;
        std::string md5;
    };
    struct Upload {
        std::int64_t projectId = 0;
        std::string fileName;
        PartPlan plan{0};
        std::vector<std::optional<Part>> parts; // index k-1, one per URL
        bool completed = false;
    };

    Json *findProject(std::int64_t id);
    const Json *findChannel(std::int64_t id) const;

    mutable std::mutex m_mutex;
    Json m_channels;
    std::vector<Json> m_projects; // newest first
    std::map<std::int64_t, Upload> m_uploads;
    std::int64_t m_nextProjectId = 1;
    std::int64_t m_nextFileId = 1;
};

} // namespace sandbox
