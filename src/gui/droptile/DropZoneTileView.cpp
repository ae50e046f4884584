#include "gui/droptile/DropZoneTileView.h"

#include <QtCore/QEasingCurve>
#include <QtGui/QIcon>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>

namespace {

QIcon dropSymbol()
{
    static const QIcon icon = QIcon::fromTheme(
        QStringLiteral("document-import"), QIcon(QStringLiteral(":/droptile/arrow.down.doc.svg")));
    return icon;
}

} // namespace

DropZoneTileView::DropZoneTileView(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_hover.setDuration(150);
    m_hover.setEasingCurve(QEasingCurve::OutCubic);
    m_hover.setStartValue(0.0);
    m_hover.setEndValue(1.0);
    connect(&m_hover, &QVariantAnimation::valueChanged, this, [this] { update(); });
}

void DropZoneTileView::setHovering(bool hovering)
{
    if (hovering == m_isHovering) {
        return;
    }
    m_isHovering = hovering;
    m_hover.setDirection(hovering ? QAbstractAnimation::Forward : QAbstractAnimation::Backward);
    if (m_hover.state() != QAbstractAnimation::Running) {
        m_hover.start();
    }
}

void DropZoneTileView::paintEvent(QPaintEvent *)
{
    const qreal hover = m_hover.currentValue().toReal();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), palette().color(QPalette::Window).darker(112));

    // The card at 1.0 scale leaves room to grow to 1.03 inside the window.
    const qreal scale = 1.0 + 0.03 * hover;
    const QSizeF size = QSizeF(width(), height()) * (0.94 * scale);
    const QRectF card(QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    QPainterPath path;
    path.addRoundedRect(card, 14, 14);
    painter.fillPath(path, palette().color(QPalette::Window));
    // The border strengthens towards the selection colour: where a drop target shows it is hit.
    const QColor rest = palette().color(QPalette::Mid);
    const QColor hit = palette().color(QPalette::Highlight);
    QColor border = QColor::fromRgbF(rest.redF() + (hit.redF() - rest.redF()) * hover,
                                     rest.greenF() + (hit.greenF() - rest.greenF()) * hover,
                                     rest.blueF() + (hit.blueF() - rest.blueF()) * hover);
    border.setAlphaF(0.5 + 0.3 * hover);
    painter.setPen(QPen(border, 1.0 + hover));
    painter.drawPath(path);

    const int symbol = 34;
    const QRectF symbolRect(card.center().x() - symbol / 2.0, card.top() + card.height() * 0.2,
                            symbol, symbol);
    dropSymbol().paint(&painter, symbolRect.toRect());
    painter.setPen(palette().color(QPalette::WindowText));
    QFont font = painter.font();
    font.setWeight(QFont::DemiBold);
    painter.setFont(font);
    painter.drawText(QRectF(card.left(), symbolRect.bottom() + 6, card.width(), 24),
                     Qt::AlignHCenter | Qt::AlignTop, QStringLiteral("Drop here"));
}
