#pragma once

#include "core/api/ApiRecords.h"

#include <QCoro/QCoroTask>
#include <QtCore/QDate>
#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QSet>
#include <QtCore/QUrl>
#include <QtGui/QImage>
#include <QtWidgets/QWidget>

#include <functional>
#include <memory>
#include <optional>

class FileRowWidget;
class QCalendarWidget;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QCheckBox;
class QVBoxLayout;
class QuickProjectService;
class Thumbnailer;
class VorlantaApiClient;

// The quick-project form: names a new project, picks its channel, due day and add-ons, collects
// the files and hands them to the project-creation workflow.
class QuickProjectView : public QWidget {
    Q_OBJECT
public:
    using ClientFactory = std::function<std::shared_ptr<VorlantaApiClient>()>;

    QuickProjectView(const QList<QUrl> &initialFiles, ClientFactory apiClient,
                     QWidget *parent = nullptr);
    ~QuickProjectView() override;

    // An upload is running.
    bool isBusy() const { return m_busy; }

    QList<QUrl> selectedFiles() const { return m_selectedFiles; }
    // Adds files that exist and are not listed yet (paths compared case-insensitively).
    void appendFiles(const QList<QUrl> &urls);
    // What a drop adds for one item: a file itself, or a folder's visible regular files.
    static QList<QUrl> droppedFiles(const QUrl &url);
    // Whole days from today to the day, as the delivery button shows them.
    static qint64 daysUntil(const QDate &day);
    // The due day as the service expects it: "dd/MM/yyyy" of that calendar day.
    static QString dueDateText(const QDate &day);

Q_SIGNALS:
    // The upload that made the view busy has ended (either way).
    void idle();
    // "100% Done!" was pressed: the host opens the dashboard and closes the window.
    void finishRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    QWidget *buildDetails();
    QWidget *buildFileArea();
    QWidget *buildFooter();

    QCoro::Task<> loadChannels();
    void applyChannels(const QList<Channel> &channels);
    void selectChannel(qint64 id);
    void updateChannelButton();
    void setSelectedDate(const QDate &day);
    void toggleDatePicker();
    void onNotification(const QString &name, const QVariantMap &userInfo);
    void pickFiles();
    void setDragTargeted(bool targeted);
    void removeFile(const QUrl &url);
    void rebuildRows();
    void showThumbnail(const QString &path, const QImage &image);
    void submitPressed();
    QCoro::Task<> submitProject();
    void showUploadProgress(qint64 fileBytesSent);
    void updateState();

    ClientFactory m_apiClient;
    std::shared_ptr<QuickProjectService> m_service;
    Thumbnailer *m_thumbnailer;

    // Form state.
    QList<Channel> m_channels;
    std::optional<qint64> m_selectedChannelId;
    QDate m_selectedDate;
    QList<QUrl> m_selectedFiles;
    QHash<QUrl, QImage> m_thumbnailCache;
    QSet<QString> m_thumbnailsPending;
    bool m_submissionCompleted = false;
    bool m_busy = false;
    bool m_shownOnce = false;
    qint64 m_uploadTotalBytes = 0;

    // Widgets.
    QLineEdit *m_title = nullptr;
    QPushButton *m_notesToggle = nullptr;
    QPlainTextEdit *m_notes = nullptr;
    QPushButton *m_channelButton = nullptr;
    QPushButton *m_deliveryButton = nullptr;
    QCalendarWidget *m_calendar = nullptr;
    QCheckBox *m_longForm = nullptr;
    QCheckBox *m_thumbnail = nullptr;
    QCheckBox *m_short = nullptr;
    QPushButton *m_dropArea = nullptr;
    QWidget *m_rowsContainer = nullptr;
    QVBoxLayout *m_rowsLayout = nullptr;
    QList<FileRowWidget *> m_rows;
    QProgressBar *m_progress = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_submit = nullptr;
};
