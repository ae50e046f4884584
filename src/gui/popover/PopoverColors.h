#pragma once

#include <QtGui/QColor>
#include <QtGui/QPalette>

// Status colours of the popover that stay readable on the desktop's light or dark palette.
class PopoverColors {
public:
    // The palette's highlight, for what is in progress.
    static QColor accent(const QPalette &palette);
    static QColor red(const QPalette &palette);
    static QColor green(const QPalette &palette);

    // The colour, lightened or darkened until text in it reaches a contrast of 4.5:1 on the
    // background (the usual minimum for body text).
    static QColor readableOn(const QColor &color, const QColor &background);
    static double contrast(const QColor &a, const QColor &b);
};
