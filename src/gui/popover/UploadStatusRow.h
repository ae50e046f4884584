#pragma once

#include "core/api/AppState.h"

#include <QtWidgets/QWidget>

class QLabel;
class QProgressBar;

// One recent upload: the file name on one line, its status in colour and, while it uploads, a
// progress bar.
class UploadStatusRow : public QWidget {
    Q_OBJECT
public:
    explicit UploadStatusRow(const UploadStatus &status, QWidget *parent = nullptr);

    void setStatus(const UploadStatus &status);
    const UploadStatus &status() const { return m_status; }

    // "Uploading • 42%", "Failed" or "Completed".
    static QString statusText(const UploadStatus &status);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void showName();
    void showStatus();

    UploadStatus m_status;
    QLabel *m_name;
    QLabel *m_statusText;
    QProgressBar *m_progress;
};
