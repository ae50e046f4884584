#include "gui/popover/PopoverSymbols.h"

#include <QtCore/QHash>
#include <QtGui/QPainter>

QString PopoverSymbols::themeName(const QString &symbol)
{
    // Symbolic names first: they are silhouettes like the bundled drawings. Qt falls back to the
    // plain name by dropping the last dash-separated word.
    static const QHash<QString, QString> names{
        {QStringLiteral("film.stack"), QStringLiteral("video-x-generic-symbolic")},
        {QStringLiteral("doc.badge.plus"), QStringLiteral("document-new-symbolic")},
        {QStringLiteral("globe"), QStringLiteral("web-browser-symbolic")},
        {QStringLiteral("rectangle.portrait.and.arrow.right"),
         QStringLiteral("system-log-out-symbolic")},
        {QStringLiteral("gear"), QStringLiteral("emblem-system-symbolic")},
        {QStringLiteral("arrow.down.doc"), QStringLiteral("document-import-symbolic")},
        {QStringLiteral("rectangle.and.pencil.and.ellipsis"),
         QStringLiteral("dialog-password-symbolic")},
        {QStringLiteral("lock.shield.fill"), QStringLiteral("security-high-symbolic")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("emblem-ok-symbolic")},
        {QStringLiteral("folder.badge.plus"), QStringLiteral("folder-new-symbolic")},
    };
    return names.value(symbol);
}

QPixmap PopoverSymbols::pixmap(const QString &symbol, const QColor &color, int size, qreal ratio)
{
    QIcon source = QIcon::fromTheme(themeName(symbol));
    if (source.isNull()) {
        source = QIcon(QStringLiteral(":/popover-symbols/") + symbol + QStringLiteral(".svg"));
    }
    const int pixels = qRound(size * ratio);
    QPixmap tinted = source.pixmap(QSize(pixels, pixels));
    if (tinted.isNull()) {
        return tinted;
    }
    // Keep the shape, replace every colour.
    QPainter painter(&tinted);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(tinted.rect(), color);
    painter.end();
    tinted.setDevicePixelRatio(ratio);
    return tinted;
}

QIcon PopoverSymbols::icon(const QString &symbol, const QColor &color, int size, qreal ratio)
{
    const QPixmap picture = pixmap(symbol, color, size, ratio);
    return picture.isNull() ? QIcon() : QIcon(picture);
}
