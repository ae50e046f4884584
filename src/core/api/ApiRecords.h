#pragma once

#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

// A JSON answer that does not have the shape of the expected record.
class JsonDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Wire records of the service's REST API. Field names are the wire names; encoding writes them in
// declaration order, and decoding requires every listed field with its JSON type.

struct SelectedService {
    QString name; // "thumbnail", "video_editing" or "reformatting"
    qint64 quantity = 1;
    nlohmann::ordered_json toJson() const;
};

struct CreateProjectRequest {
    QString title;
    QString due_date;
    qint64 channel_id = 0;
    QString notes_for_editor;
    QList<SelectedService> selected_services;
    nlohmann::ordered_json toJson() const;
};

struct CreateProjectResponse {
    qint64 id = 0;
    static CreateProjectResponse fromJson(const nlohmann::json &json);
};

struct InitUploadRequest {
    QString file_name;
    qint64 file_size = 0;
    nlohmann::ordered_json toJson() const;
};

struct InitUploadResponse {
    QStringList urls;
    qint64 file_id = 0;
    static InitUploadResponse fromJson(const nlohmann::json &json);
};

struct CompleteUploadRequest {
    QStringList etags;
    nlohmann::ordered_json toJson() const;
};

struct Channel {
    qint64 id = 0;
    QString name;
    std::optional<QString> avatar_url;
    static Channel fromJson(const nlohmann::json &json);
    // A JSON array of channels; one bad element fails the whole list.
    static QList<Channel> listFromJson(const nlohmann::json &json);
};

// What the project-creation workflow hands to the client; not sent as such.
struct QuickProjectDraft {
    QString title;
    std::optional<QString> notes;
    std::optional<QString> dueDate;
    qint64 channelId = 0;
    bool includeThumbnail = false;
    bool includeLongForm = false;
    bool includeShort = false;
    QStringList files;
};

// Strict readers shared by the records (and by callers that decode raw answers).
namespace JsonRead {
const nlohmann::json &member(const nlohmann::json &object, const char *key);
qint64 integer(const nlohmann::json &object, const char *key);
QString string(const nlohmann::json &object, const char *key);
std::optional<QString> optionalString(const nlohmann::json &object, const char *key);
nlohmann::json parse(const QByteArray &bytes);
} // namespace JsonRead
