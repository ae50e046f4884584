#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QThreadPool>
#include <QtGui/QImage>

// Makes the small pictures of the file rows off the UI thread: a video's first frame with a play
// symbol, an image scaled down, else the desktop icon of the file's type, else a blue fill.
// Pending work is dropped when the object goes away; work already running is waited for.
class Thumbnailer : public QObject {
    Q_OBJECT
public:
    explicit Thumbnailer(QObject *parent = nullptr);
    ~Thumbnailer() override;

    // Starts one thumbnail; ready() follows on this object's thread.
    void request(const QString &path);

    // The longest side of a video frame or image.
    static constexpr int kSize = 200;
    static bool isVideo(const QString &path);
    // The frame or image, or a null image when the file cannot be decoded. Any thread.
    static QImage decode(const QString &path);
    // The icon of the file's type, or the blue fill when the theme has none. UI thread.
    static QImage fallback(const QString &path);
    static QImage blueFill();

Q_SIGNALS:
    void ready(const QString &path, const QImage &image);

private:
    QThreadPool m_pool;
};
