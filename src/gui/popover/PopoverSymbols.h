#pragma once

#include <QtCore/QString>
#include <QtGui/QColor>
#include <QtGui/QIcon>
#include <QtGui/QPixmap>

// The popover's symbols, named by role ("film.stack", "gear", ...): the desktop icon theme's
// picture when it has one, else a bundled monochrome drawing. Both are tinted to one colour, so
// a symbol reads on light and dark palettes and full-colour theme icons match the rest.
class PopoverSymbols {
public:
    // The freedesktop icon name standing for a symbol; empty for an unknown one.
    static QString themeName(const QString &symbol);

    static QPixmap pixmap(const QString &symbol, const QColor &color, int size, qreal ratio);
    static QIcon icon(const QString &symbol, const QColor &color, int size, qreal ratio);
};
