#include "gui/popover/DropBinView.h"

#include "gui/popover/PopoverSymbols.h"

#include <QtCore/QMimeData>
#include <QtGui/QDragEnterEvent>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtWidgets/QLabel>
#include <QtWidgets/QVBoxLayout>

DropBinView::DropBinView(const QString &title, const QString &subtitle, const QString &icon,
                         const QColor &iconColor, QWidget *parent)
    : QFrame(parent), m_icon(icon), m_iconColor(iconColor), m_symbol(new QLabel(this))
{
    setAcceptDrops(true);
    setAccessibleName(title);
    setAccessibleDescription(subtitle);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_symbol->setAlignment(Qt::AlignCenter);
    auto *titleLabel = new QLabel(title, this);
    titleLabel->setObjectName(QStringLiteral("binTitle"));
    titleLabel->setAlignment(Qt::AlignCenter);
    QFont bold = titleLabel->font();
    bold.setBold(true);
    titleLabel->setFont(bold);
    auto *subtitleLabel = new QLabel(subtitle, this);
    subtitleLabel->setObjectName(QStringLiteral("binSubtitle"));
    subtitleLabel->setAlignment(Qt::AlignCenter);
    subtitleLabel->setWordWrap(true);
    subtitleLabel->setForegroundRole(QPalette::PlaceholderText);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 12, 8, 12);
    layout->setSpacing(4);
    layout->addStretch(1);
    layout->addWidget(m_symbol);
    layout->addWidget(titleLabel);
    layout->addWidget(subtitleLabel);
    layout->addStretch(1);
    showSymbol();
}

void DropBinView::setHighlighted(bool highlighted)
{
    if (m_isHighlighted == highlighted) {
        return;
    }
    m_isHighlighted = highlighted;
    update();
    Q_EMIT highlightedChanged(highlighted);
}

void DropBinView::showSymbol()
{
    const int size = fontMetrics().height() * 2;
    m_symbol->setPixmap(PopoverSymbols::pixmap(m_icon, m_iconColor, size, devicePixelRatioF()));
}

void DropBinView::dragEnterEvent(QDragEnterEvent *event)
{
    // Which URLs are files is sorted out after the drop.
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
        setHighlighted(true);
    }
}

void DropBinView::dragLeaveEvent(QDragLeaveEvent *)
{
    setHighlighted(false);
}

void DropBinView::dropEvent(QDropEvent *event)
{
    setHighlighted(false);
    // The drop succeeds at once; the URLs are looked at afterwards.
    const QList<QUrl> urls = event->mimeData()->urls();
    event->acceptProposedAction();
    Q_EMIT dropped(urls);
}

void DropBinView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 10, 10);
    QColor fill = m_iconColor;
    fill.setAlphaF(m_isHighlighted ? 0.25F : 0.08F);
    painter.fillPath(path, fill);
    QPen pen(m_isHighlighted ? m_iconColor : palette().color(QPalette::Mid),
             m_isHighlighted ? 2.0 : 1.0);
    pen.setStyle(m_isHighlighted ? Qt::SolidLine : Qt::DashLine);
    painter.setPen(pen);
    painter.drawPath(path);
}

void DropBinView::changeEvent(QEvent *event)
{
    QFrame::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        showSymbol();
    }
}
