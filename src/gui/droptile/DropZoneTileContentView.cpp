#include "gui/droptile/DropZoneTileContentView.h"

#include "gui/droptile/DragEventSource.h"

#include <QtCore/QMimeData>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtGui/QDragEnterEvent>

namespace {

constexpr auto kHoverToExpand = std::chrono::milliseconds(150);

bool carriesFiles(const QDropEvent *event)
{
    return event->mimeData() &&
           event->mimeData()->hasFormat(QLatin1String(DragEventSource::kFileUrlType));
}

} // namespace

DropZoneTileContentView::DropZoneTileContentView(QWidget *parent) : QWidget(parent)
{
    setAcceptDrops(true);
}

void DropZoneTileContentView::dragEnterEvent(QDragEnterEvent *event)
{
    if (!carriesFiles(event)) {
        event->ignore();
        return;
    }
    m_isHovering = true;
    if (onHoverChanged) {
        onHoverChanged(true);
    }
    // A drag that merely crosses the tile does not open the popover.
    QTimer::singleShot(kHoverToExpand, this, [self = QPointer(this)] {
        if (self && self->m_isHovering && self->onExpand) {
            self->onExpand();
        }
    });
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropZoneTileContentView::dragMoveEvent(QDragMoveEvent *event)
{
    if (carriesFiles(event)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DropZoneTileContentView::dragLeaveEvent(QDragLeaveEvent *)
{
    dragFinished();
}

void DropZoneTileContentView::dropEvent(QDropEvent *event)
{
    // Files are never taken here; the drag is over all the same.
    event->setDropAction(Qt::IgnoreAction);
    event->ignore();
    dragFinished();
}

void DropZoneTileContentView::dragFinished()
{
    m_isHovering = false;
    if (onHoverChanged) {
        onHoverChanged(false);
    }
    if (onDragEnded) {
        onDragEnded();
    }
}
