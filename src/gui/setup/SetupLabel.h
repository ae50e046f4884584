#pragma once

#include <QtWidgets/QLabel>

// A wrapping label of the setup pages, pointDelta points larger than the window's font.
inline QLabel *setupLabel(const QString &text, QWidget *parent, int pointDelta = 0,
                          bool bold = false)
{
    auto *made = new QLabel(text, parent);
    QFont font = made->font();
    font.setPointSizeF(font.pointSizeF() + pointDelta);
    font.setBold(bold);
    made->setFont(font);
    made->setWordWrap(true);
    return made;
}
