#include "gui/popover/DropBinsArea.h"

#include "gui/popover/DropBinView.h"
#include "gui/popover/PopoverColors.h"
#include "gui/popover/PopoverSymbols.h"

#include <QtCore/QMimeData>
#include <QtGui/QDragEnterEvent>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QVBoxLayout>

DropBinsArea::DropBinsArea(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("dropBinsArea"));
    setAcceptDrops(true);
    m_quickProject =
        new DropBinView(QStringLiteral("Quick Project"), QStringLiteral("Create new"),
                        QStringLiteral("film.stack"), PopoverColors::accent(palette()), this);
    m_quickProject->setObjectName(QStringLiteral("quickProjectBin"));
    m_missingFiles =
        new DropBinView(QStringLiteral("Missing Files"), QStringLiteral("Add to existing"),
                        QStringLiteral("doc.badge.plus"), PopoverColors::green(palette()), this);
    m_missingFiles->setObjectName(QStringLiteral("missingFilesBin"));

    auto *symbol = new QLabel(this);
    const int size = fontMetrics().height();
    symbol->setPixmap(PopoverSymbols::pixmap(QStringLiteral("arrow.down.doc"),
                                             palette().color(QPalette::WindowText), size,
                                             devicePixelRatioF()));
    auto *heading = new QLabel(QStringLiteral("Drop files into a bin"), this);
    heading->setObjectName(QStringLiteral("dropBinsHeading"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    auto *headingRow = new QHBoxLayout;
    headingRow->setSpacing(6);
    headingRow->addWidget(symbol);
    headingRow->addWidget(heading, 1);

    auto *bins = new QHBoxLayout;
    bins->setSpacing(10);
    bins->addWidget(m_quickProject);
    bins->addWidget(m_missingFiles);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(headingRow);
    layout->addLayout(bins, 1);
}

void DropBinsArea::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
        Q_EMIT dragOverChanged(true);
    }
}

void DropBinsArea::dragLeaveEvent(QDragLeaveEvent *)
{
    Q_EMIT dragOverChanged(false);
}

void DropBinsArea::dropEvent(QDropEvent *event)
{
    // Only the bins take files.
    event->ignore();
    Q_EMIT dragOverChanged(false);
}
