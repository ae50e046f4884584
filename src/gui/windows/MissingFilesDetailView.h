#pragma once

#include "core/upload/MissingFilesViewModel.h"

#include <QCoro/QCoroTask>
#include <QtCore/QDate>
#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QStringList>
#include <QtCore/QUrl>
#include <QtCore/QVariantMap>
#include <QtGui/QImage>
#include <QtWidgets/QWidget>

#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QuickProjectService;
class VorlantaApiClient;
class MissingFilesDropArea;
class Thumbnailer;

// The detail stage of the missing-files window: the chosen project's facts, read-only, and the
// files to send to it through the missing-files workflow.
class MissingFilesDetailView : public QWidget {
    Q_OBJECT
public:
    using ClientFactory = std::function<std::shared_ptr<VorlantaApiClient>()>;
    using ProjectCard = MissingFilesViewModel::ProjectCard;

    MissingFilesDetailView(const ProjectCard &project, const QStringList &initialFiles,
                           ClientFactory apiClient, QWidget *parent = nullptr);
    ~MissingFilesDetailView() override;

    const ProjectCard &project() const { return m_project; }
    const QList<QUrl> &selectedFiles() const { return m_selectedFiles; }
    bool submissionCompleted() const { return m_submissionCompleted; }
    bool isUploading() const;
    // The line under the form: the service's status, or why a file was refused.
    QString statusText() const;

    // The file rules: missing files, names already in the project (any case) and paths already
    // selected are skipped; a folder stands for its regular, non-hidden files one level down.
    void appendFiles(const QList<QUrl> &urls);

    // "Overdue", "Due Today", "Delivery In 1 Day", "Delivery In N Days" or "No Due Date".
    static QString deliveryDaysText(const std::optional<QDateTime> &dueDate,
                                    const QDate &today = QDate::currentDate());
    // A notification's "files": file URLs, platform URL objects or path strings, tried in that
    // order; anything else gives no files.
    static QList<QUrl> filesFromUserInfo(const QVariantMap &userInfo);
    // The regular, non-hidden files directly inside a folder, by name; the URL itself otherwise.
    static QList<QUrl> expandFolder(const QUrl &url);

Q_SIGNALS:
    void backRequested();
    void completeRequested();
    // The service's isUploading changed.
    void uploadingChanged(bool uploading);

protected:
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void buildForm();
    void addRow(const QUrl &url);
    void removeFile(const QUrl &url);
    void setStatusText(const QString &text);
    void setDragTargeted(bool targeted);
    void updateSubmit();
    void submitPressed();
    void chooseFiles();
    void finishBatch(const QList<QUrl> &sent);
    void dropSentFiles();
    QCoro::Task<> upload();

    ProjectCard m_project;
    QStringList m_initialFiles;
    ClientFactory m_apiClient;
    QuickProjectService *m_service;
    QList<QUrl> m_selectedFiles;
    bool m_submissionCompleted = false;
    qint64 m_batchBytes = 0;
    QList<QUrl> m_lastSent;
    bool m_isDragTargeted = false;
    bool m_shownOnce = false;
    QString m_statusText;
    Thumbnailer *m_thumbnailer;
    QHash<QUrl, QImage> m_thumbnailCache;

    QListWidget *m_fileList = nullptr;
    MissingFilesDropArea *m_dropArea = nullptr;
    QLabel *m_status = nullptr;
    QProgressBar *m_progress = nullptr;
    QPushButton *m_submit = nullptr;
};
