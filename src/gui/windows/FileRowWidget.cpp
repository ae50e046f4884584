#include "gui/windows/FileRowWidget.h"

#include <QtCore/QFileInfo>
#include <QtCore/QLocale>
#include <QtGui/QIcon>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QToolButton>
#include <QtWidgets/QVBoxLayout>

namespace {
constexpr int kThumbnailWidth = 80;
constexpr int kThumbnailHeight = 56;
} // namespace

FileRowWidget::FileRowWidget(const QUrl &url, QWidget *parent, const QString &unknownSize)
    : QWidget(parent), m_url(url), m_thumbnail(new QLabel(this))
{
    const QString path = url.toLocalFile();
    m_thumbnail->setObjectName(QStringLiteral("thumbnail"));
    m_thumbnail->setFixedSize(kThumbnailWidth, kThumbnailHeight);
    m_thumbnail->setAlignment(Qt::AlignCenter);

    auto *name = new QLabel(QFileInfo(path).fileName(), this);
    name->setObjectName(QStringLiteral("fileName"));
    name->setTextFormat(Qt::PlainText);
    name->setToolTip(path);
    // Long names are cut by the row, not allowed to widen the window.
    name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto *size = new QLabel(sizeText(path, unknownSize), this);
    size->setObjectName(QStringLiteral("fileSize"));
    size->setForegroundRole(QPalette::PlaceholderText);

    auto *remove = new QToolButton(this);
    remove->setObjectName(QStringLiteral("removeFile"));
    remove->setIcon(QIcon::fromTheme(QStringLiteral("list-remove"),
                                     QIcon::fromTheme(QStringLiteral("edit-delete"))));
    if (remove->icon().isNull()) {
        remove->setText(QStringLiteral("Remove"));
    }
    remove->setToolTip(QStringLiteral("Remove"));
    remove->setAutoRaise(true);
    connect(remove, &QToolButton::clicked, this, [this] { Q_EMIT removeRequested(m_url); });

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(name);
    texts->addWidget(size);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(m_thumbnail);
    layout->addLayout(texts, 1);
    layout->addWidget(remove);
}

void FileRowWidget::setThumbnail(const QImage &image)
{
    const qreal ratio = devicePixelRatioF();
    QPixmap pixmap =
        QPixmap::fromImage(image.scaled(QSize(kThumbnailWidth, kThumbnailHeight) * ratio,
                                        Qt::KeepAspectRatio, Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(ratio);
    m_thumbnail->setPixmap(pixmap);
}

QString FileRowWidget::sizeText(const QString &path, const QString &unknownSize)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        return unknownSize;
    }
    // Decimal units, as the desktop's file managers show them.
    return QLocale().formattedDataSize(info.size(), 1, QLocale::DataSizeSIFormat);
}
