#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QVariantMap>

// The process-wide notifications between the app context, the work windows and the delegate.
// Posted and delivered on the main thread; observers connect to posted() and filter by name.
class NotificationCenter : public QObject {
    Q_OBJECT
public:
    static NotificationCenter &defaultCenter();

    void post(const QString &name, const QVariantMap &userInfo = {});

    // The names and the user-info key: "files" holds a QList<QUrl> of file URLs.
    static constexpr char kOpenDashboardRequested[] = "OpenDashboardRequested";
    static constexpr char kAddFilesToQuickProject[] = "AddFilesToQuickProject";
    static constexpr char kAddFilesToMissingFiles[] = "AddFilesToMissingFiles";
    static constexpr char kFilesKey[] = "files";

Q_SIGNALS:
    void posted(const QString &name, const QVariantMap &userInfo);

private:
    NotificationCenter() = default;
};
