#pragma once

#include <QtCore/QUrl>
#include <QtWidgets/QWidget>

class QLabel;
class QImage;

// One row of a file list: thumbnail, file name, size and a remove button.
class FileRowWidget : public QWidget {
    Q_OBJECT
public:
    // unknownSize: what the row says when the size cannot be read (each window has its own).
    explicit FileRowWidget(const QUrl &url, QWidget *parent = nullptr,
                           const QString &unknownSize = QStringLiteral("Unknown size"));

    QUrl url() const { return m_url; }
    void setThumbnail(const QImage &image);
    // The file's size in the desktop's style ("2.4 MB"), or unknownSize.
    static QString sizeText(const QString &path,
                            const QString &unknownSize = QStringLiteral("Unknown size"));

Q_SIGNALS:
    void removeRequested(const QUrl &url);

private:
    QUrl m_url;
    QLabel *m_thumbnail;
};
