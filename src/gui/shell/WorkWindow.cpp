#include "gui/shell/WorkWindow.h"

#include <QtGui/QCloseEvent>
#include <QtGui/QScreen>
#include <QtWidgets/QVBoxLayout>

WorkWindow::WorkWindow(QWidget *view, const QString &title, const QSize &size,
                       std::function<bool()> isBusy)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint),
      m_isBusy(std::move(isBusy))
{
    setWindowTitle(title);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    resize(size);
    // Centred on its screen.
    if (const QScreen *screen = this->screen()) {
        QRect frame(QPoint(), size);
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void WorkWindow::closeEvent(QCloseEvent *event)
{
    event->accept();
    if (!m_closed) {
        m_closed = true;
        Q_EMIT willClose(this);
    }
    if (!m_isBusy()) {
        deleteLater();
    }
}

void WorkWindow::viewBecameIdle()
{
    if (m_closed) {
        deleteLater();
    }
}
