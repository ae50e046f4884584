#include "core/api/ApiRecords.h"

#include <cmath>
#include <limits>
#include <string>

namespace {

std::string utf8(const QString &text)
{
    return text.toStdString();
}

std::string quoted(const char *key)
{
    return std::string("\"") + key + "\"";
}

} // namespace

namespace JsonRead {

const nlohmann::json &member(const nlohmann::json &object, const char *key)
{
    if (!object.is_object()) {
        throw JsonDecodingError("Expected a JSON object but found " +
                                std::string(object.type_name()));
    }
    const auto it = object.find(key);
    if (it == object.end()) {
        throw JsonDecodingError("No value associated with key " + quoted(key));
    }
    return *it;
}

qint64 integer(const nlohmann::json &object, const char *key)
{
    const nlohmann::json &value = member(object, key);
    if (value.is_number_integer()) {
        return value.get<qint64>();
    }
    if (value.is_number_unsigned() &&
        value.get<quint64>() <= quint64(std::numeric_limits<qint64>::max())) {
        return qint64(value.get<quint64>());
    }
    // A number written with a fraction part still decodes when it is whole.
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::trunc(number) == number && std::abs(number) < 9.2e18) {
            return qint64(number);
        }
    }
    throw JsonDecodingError("Expected an integer for key " + quoted(key) + " but found " +
                            (value.is_null() ? std::string("null") : value.dump()));
}

QString string(const nlohmann::json &object, const char *key)
{
    const nlohmann::json &value = member(object, key);
    if (!value.is_string()) {
        throw JsonDecodingError("Expected a string for key " + quoted(key) + " but found " +
                                std::string(value.type_name()));
    }
    return QString::fromStdString(value.get<std::string>());
}

std::optional<QString> optionalString(const nlohmann::json &object, const char *key)
{
    if (!object.is_object()) {
        throw JsonDecodingError("Expected a JSON object but found " +
                                std::string(object.type_name()));
    }
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_string()) {
        throw JsonDecodingError("Expected a string for key " + quoted(key) + " but found " +
                                std::string(it->type_name()));
    }
    return QString::fromStdString(it->get<std::string>());
}

nlohmann::json parse(const QByteArray &bytes)
{
    try {
        return nlohmann::json::parse(bytes.constData(), bytes.constData() + bytes.size());
    } catch (const nlohmann::json::exception &error) { // a number out of range as well
        throw JsonDecodingError(std::string("The data isn't valid JSON: ") + error.what());
    }
}

} // namespace JsonRead

nlohmann::ordered_json SelectedService::toJson() const
{
    nlohmann::ordered_json json;
    json["name"] = utf8(name);
    json["quantity"] = quantity;
    return json;
}

nlohmann::ordered_json CreateProjectRequest::toJson() const
{
    nlohmann::ordered_json services = nlohmann::ordered_json::array();
    for (const SelectedService &service : selected_services) {
        services.push_back(service.toJson());
    }
    nlohmann::ordered_json json;
    json["title"] = utf8(title);
    json["due_date"] = utf8(due_date);
    json["channel_id"] = channel_id;
    json["notes_for_editor"] = utf8(notes_for_editor);
    json["selected_services"] = std::move(services);
    return json;
}

CreateProjectResponse CreateProjectResponse::fromJson(const nlohmann::json &json)
{
    return {JsonRead::integer(json, "id")};
}

nlohmann::ordered_json InitUploadRequest::toJson() const
{
    nlohmann::ordered_json json;
    json["file_name"] = utf8(file_name);
    json["file_size"] = file_size;
    return json;
}

InitUploadResponse InitUploadResponse::fromJson(const nlohmann::json &json)
{
    InitUploadResponse response;
    const nlohmann::json &urls = JsonRead::member(json, "urls");
    if (!urls.is_array()) {
        throw JsonDecodingError("Expected an array for key \"urls\"");
    }
    for (const nlohmann::json &url : urls) {
        if (!url.is_string()) {
            throw JsonDecodingError("Expected a string in \"urls\" but found " +
                                    std::string(url.type_name()));
        }
        response.urls.append(QString::fromStdString(url.get<std::string>()));
    }
    response.file_id = JsonRead::integer(json, "file_id");
    return response;
}

nlohmann::ordered_json CompleteUploadRequest::toJson() const
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const QString &etag : etags) {
        list.push_back(utf8(etag));
    }
    nlohmann::ordered_json json;
    json["etags"] = std::move(list);
    return json;
}

Channel Channel::fromJson(const nlohmann::json &json)
{
    Channel channel;
    channel.id = JsonRead::integer(json, "id");
    channel.name = JsonRead::string(json, "name");
    channel.avatar_url = JsonRead::optionalString(json, "avatar_url");
    return channel;
}

QList<Channel> Channel::listFromJson(const nlohmann::json &json)
{
    if (!json.is_array()) {
        throw JsonDecodingError("Expected an array of channels but found " +
                                std::string(json.type_name()));
    }
    QList<Channel> channels;
    for (const nlohmann::json &element : json) {
        channels.append(fromJson(element));
    }
    return channels;
}
