#pragma once

#include <QtCore/QJsonArray>
#include <QtCore/QJsonObject>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QUrl>
#include <QtCore/QVariant>

#include <optional>

// What a file-manager action hands over with a service request, in the three forms a reader
// tries in turn. Header-only: the service client builds it with QtCore alone.
struct ServicePasteboard {
    // The objects readable as URLs, of any scheme.
    QList<QUrl> urls;
    // The property list stored under the legacy type; invalid when the type is absent.
    QVariant filenames;
    // Each item's file-URL string, if it has one; absent when there is no item list at all.
    std::optional<QList<std::optional<QString>>> items;

    static constexpr char kUrlsKey[] = "urls";
    static constexpr char kFilenamesType[] = "NSFilenamesPboardType";
    static constexpr char kItemsKey[] = "items";
    static constexpr char kFileUrlType[] = "public.file-url";

    QJsonObject toJson() const
    {
        QJsonObject json;
        QJsonArray urlArray;
        for (const QUrl &url : urls) {
            urlArray.append(url.toString(QUrl::FullyEncoded));
        }
        json.insert(QLatin1String(kUrlsKey), urlArray);
        if (filenames.isValid()) {
            json.insert(QLatin1String(kFilenamesType), QJsonValue::fromVariant(filenames));
        }
        if (items) {
            QJsonArray itemArray;
            for (const std::optional<QString> &item : *items) {
                QJsonObject entry;
                if (item) {
                    entry.insert(QLatin1String(kFileUrlType), *item);
                }
                itemArray.append(entry);
            }
            json.insert(QLatin1String(kItemsKey), itemArray);
        }
        return json;
    }

    // Entries of the wrong JSON type are left out, as a pasteboard offers nothing for them.
    static ServicePasteboard fromJson(const QJsonObject &json)
    {
        ServicePasteboard pasteboard;
        for (const QJsonValue &value : json.value(QLatin1String(kUrlsKey)).toArray()) {
            const QUrl url(value.toString(), QUrl::StrictMode);
            if (value.isString() && url.isValid()) {
                pasteboard.urls.append(url);
            }
        }
        const QJsonValue filenames = json.value(QLatin1String(kFilenamesType));
        if (!filenames.isUndefined()) {
            pasteboard.filenames = filenames.toVariant();
        }
        const QJsonValue items = json.value(QLatin1String(kItemsKey));
        if (items.isArray()) {
            pasteboard.items.emplace();
            for (const QJsonValue &item : items.toArray()) {
                const QJsonValue url = item.toObject().value(QLatin1String(kFileUrlType));
                pasteboard.items->append(url.isString() ? std::optional(url.toString())
                                                        : std::nullopt);
            }
        }
        return pasteboard;
    }
};
