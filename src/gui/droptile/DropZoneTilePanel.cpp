#include "gui/droptile/DropZoneTilePanel.h"

#include "gui/droptile/DropZoneTileContentView.h"
#include "gui/droptile/DropZoneTileView.h"

#include <QtGui/QPainterPath>
#include <QtGui/QRegion>
#include <QtWidgets/QVBoxLayout>

DropZoneTilePanel::DropZoneTilePanel()
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint),
      m_dragContentView(new DropZoneTileContentView(this)),
      m_tileView(new DropZoneTileView(m_dragContentView))
{
    // Bypassing the window manager keeps the tile above every window on every desktop and out
    // of the task list; showing it must not activate this application.
    setObjectName(QStringLiteral("dropZoneTile"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(kSize, kSize);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_dragContentView);
    auto *contentLayout = new QVBoxLayout(m_dragContentView);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    contentLayout->addWidget(m_tileView);
    m_dragContentView->onHoverChanged = [view = m_tileView](bool hovering) {
        view->setHovering(hovering);
    };
}

void DropZoneTilePanel::setOnExpand(std::function<void()> onExpand)
{
    m_dragContentView->onExpand = std::move(onExpand);
}

void DropZoneTilePanel::setOnDragEnded(std::function<void()> onDragEnded)
{
    m_dragContentView->onDragEnded = std::move(onDragEnded);
}

void DropZoneTilePanel::showEvent(QShowEvent *event)
{
    // Rounded corners without a compositor: the window's shape follows the card.
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 16, 16);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
    QWidget::showEvent(event);
}
