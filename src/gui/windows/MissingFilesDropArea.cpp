#include "gui/windows/MissingFilesDropArea.h"

#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtWidgets/QStyle>
#include <QtWidgets/QStyleOptionFocusRect>

MissingFilesDropArea::MissingFilesDropArea(QWidget *parent) : QAbstractButton(parent)
{
    setObjectName(QStringLiteral("dropArea"));
    setText(QStringLiteral("\u2192 Drag & Drop Files \u2190"));
    setAccessibleName(text());
    setAccessibleDescription(QStringLiteral("Choose files to add"));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QColor MissingFilesDropArea::accentBlue()
{
    return QColor::fromRgb(66, 133, 244);
}

void MissingFilesDropArea::setTargeted(bool targeted)
{
    if (m_targeted != targeted) {
        m_targeted = targeted;
        update();
    }
}

QSize MissingFilesDropArea::sizeHint() const
{
    const QFontMetrics metrics = fontMetrics();
    return {metrics.horizontalAdvance(text()) + 40, metrics.height() * 3};
}

void MissingFilesDropArea::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath path;
    path.addRoundedRect(frame, 10, 10);
    QColor fill = accentBlue();
    fill.setAlphaF(m_targeted ? 0.22F : (underMouse() || isDown() ? 0.12F : 0.06F));
    painter.fillPath(path, fill);
    QPen pen(m_targeted ? accentBlue() : palette().color(QPalette::Mid), m_targeted ? 2 : 1.5);
    pen.setStyle(Qt::DashLine);
    painter.setPen(pen);
    painter.drawPath(path);
    painter.setPen(m_targeted ? accentBlue() : palette().color(QPalette::Text));
    painter.drawText(rect(), Qt::AlignCenter, text());
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect().adjusted(4, 4, -4, -4);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}
