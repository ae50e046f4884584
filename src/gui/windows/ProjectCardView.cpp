#include "gui/windows/ProjectCardView.h"

#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtWidgets/QStyle>
#include <QtWidgets/QStyleOptionFocusRect>

namespace {
constexpr int kPadding = 12;
constexpr int kRadius = 8;
} // namespace

ProjectCardView::ProjectCardView(const MissingFilesViewModel::ProjectCard &project, QWidget *parent)
    : QAbstractButton(parent), m_project(project)
{
    setObjectName(QStringLiteral("projectCard"));
    setText(project.title);
    setAccessibleName(project.title);
    setAccessibleDescription(filesText(project.files.size()));
    setToolTip(project.title);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
}

QString ProjectCardView::filesText(qsizetype count)
{
    return QString::number(count) + QStringLiteral(" Files");
}

void ProjectCardView::setHovered(bool hovered)
{
    if (m_isHovered != hovered) {
        m_isHovered = hovered;
        update();
    }
}

QSize ProjectCardView::sizeHint() const
{
    // Two lines of text and the padding; follows the font, so it scales with the desktop.
    const int height = 2 * kPadding + fontMetrics().height() * 2 + 4;
    return {fontMetrics().averageCharWidth() * 30, height};
}

void ProjectCardView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette &colours = palette();
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(frame, kRadius, kRadius);
    const bool highlighted = m_isHovered || isDown();
    QColor fill = highlighted ? colours.color(QPalette::Highlight) : colours.color(QPalette::Base);
    if (highlighted) {
        fill.setAlphaF(isDown() ? 0.35F : 0.18F);
    }
    painter.fillPath(path, fill);
    painter.setPen(highlighted ? colours.color(QPalette::Highlight) : colours.color(QPalette::Mid));
    painter.drawPath(path);

    const QRect inner = rect().adjusted(kPadding, kPadding, -kPadding, -kPadding);
    const QFontMetrics metrics = fontMetrics();
    QFont titleFont = font();
    titleFont.setBold(true);
    const QFontMetrics titleMetrics(titleFont);
    painter.setFont(titleFont);
    painter.setPen(colours.color(QPalette::Text));
    const QRect titleRect(inner.left(), inner.top(), inner.width(), titleMetrics.height());
    painter.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter,
                     titleMetrics.elidedText(m_project.title, Qt::ElideRight, inner.width()));

    painter.setFont(font());
    painter.setPen(colours.color(QPalette::PlaceholderText));
    const QRect countRect(inner.left(), titleRect.bottom() + 4, inner.width(), metrics.height());
    painter.drawText(countRect, Qt::AlignLeft | Qt::AlignVCenter,
                     filesText(m_project.files.size()));

    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect().adjusted(2, 2, -2, -2);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

void ProjectCardView::enterEvent(QEnterEvent *event)
{
    QAbstractButton::enterEvent(event);
    Q_EMIT hoverChanged(true);
}

void ProjectCardView::leaveEvent(QEvent *event)
{
    QAbstractButton::leaveEvent(event);
    Q_EMIT hoverChanged(false);
}
