#include "gui/windows/Thumbnailer.h"

#include <QtCore/QFileInfo>
#include <QtCore/QMimeDatabase>
#include <QtCore/QSet>
#include <QtGui/QColor>
#include <QtGui/QIcon>
#include <QtGui/QImageReader>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtWidgets/QFileIconProvider>

#include <exception>
#include <libffmpegthumbnailer/videothumbnailer.h>
#include <vector>

namespace {

QImage videoFrame(const QString &path)
{
    try {
        ffmpegthumbnailer::VideoThumbnailer thumbnailer;
        // The first frame, as the user will recognise it; the library's default is 10 %.
        thumbnailer.setSeekPercentage(0);
        thumbnailer.setThumbnailSize(Thumbnailer::kSize);
        thumbnailer.setMaintainAspectRatio(true);
        thumbnailer.setLogCallback([](ThumbnailerLogLevel, const std::string &) {});
        std::vector<uint8_t> png;
        thumbnailer.generateThumbnail(QFile::encodeName(path).toStdString(), Png, png);
        return QImage::fromData(png.data(), int(png.size()), "PNG");
    } catch (const std::exception &) {
        return {};
    }
}

QImage stillImage(const QString &path)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    // Scale while decoding, so a camera-sized photo never sits whole in memory.
    const QSize size = reader.size();
    if (size.isValid() &&
        (size.width() > Thumbnailer::kSize || size.height() > Thumbnailer::kSize)) {
        reader.setScaledSize(
            size.scaled(Thumbnailer::kSize, Thumbnailer::kSize, Qt::KeepAspectRatio));
    }
    return reader.read();
}

void drawPlaySymbol(QImage &image)
{
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal radius = qMin(image.width(), image.height()) / 5.0;
    const QPointF centre(image.width() / 2.0, image.height() / 2.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 140));
    painter.drawEllipse(centre, radius, radius);
    QPainterPath triangle;
    triangle.moveTo(centre + QPointF(-radius * 0.35, -radius * 0.5));
    triangle.lineTo(centre + QPointF(radius * 0.55, 0));
    triangle.lineTo(centre + QPointF(-radius * 0.35, radius * 0.5));
    triangle.closeSubpath();
    painter.setBrush(Qt::white);
    painter.drawPath(triangle);
}

} // namespace

Thumbnailer::Thumbnailer(QObject *parent) : QObject(parent)
{
    // A few decoders at a time leave the cores to the upload and the UI.
    m_pool.setMaxThreadCount(2);
}

Thumbnailer::~Thumbnailer()
{
    m_pool.clear();
    m_pool.waitForDone();
}

void Thumbnailer::request(const QString &path)
{
    m_pool.start([this, path] {
        const QImage image = decode(path);
        // Queued to this object, which outlives the work (the destructor waits for it).
        QMetaObject::invokeMethod(
            this,
            [this, path, image] { Q_EMIT ready(path, image.isNull() ? fallback(path) : image); },
            Qt::QueuedConnection);
    });
}

bool Thumbnailer::isVideo(const QString &path)
{
    static const QSet<QString> extensions = {QStringLiteral("mp4"), QStringLiteral("mov"),
                                             QStringLiteral("avi"), QStringLiteral("mkv"),
                                             QStringLiteral("m4v"), QStringLiteral("webm"),
                                             QStringLiteral("wmv"), QStringLiteral("flv")};
    return extensions.contains(QFileInfo(path).suffix().toLower());
}

QImage Thumbnailer::decode(const QString &path)
{
    if (isVideo(path)) {
        QImage frame = videoFrame(path);
        if (!frame.isNull()) {
            frame = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            drawPlaySymbol(frame);
        }
        return frame;
    }
    return stillImage(path);
}

QImage Thumbnailer::fallback(const QString &path)
{
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull()) {
        icon = QIcon::fromTheme(type.genericIconName());
    }
    if (icon.isNull()) {
        // Without an icon theme (a bare X session) the style still draws a file icon.
        icon = QFileIconProvider().icon(QFileInfo(path));
    }
    if (icon.isNull()) {
        return blueFill();
    }
    return icon.pixmap(64, 64).toImage();
}

QImage Thumbnailer::blueFill()
{
    QImage image(100, 64, QImage::Format_RGB32);
    image.fill(QColor(0, 122, 255));
    return image;
}
