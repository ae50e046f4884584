#include "gui/shell/LocalClickMonitor.h"

#include <QtGui/QMouseEvent>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>

namespace {

QWidget *widgetOf(const QWindow *window)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->windowHandle() == window) {
            return widget;
        }
    }
    return nullptr;
}

} // namespace

LocalClickMonitor::LocalClickMonitor(Handler handler) : m_handler(std::move(handler))
{
    QCoreApplication::instance()->installEventFilter(this);
}

LocalClickMonitor::~LocalClickMonitor()
{
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->removeEventFilter(this);
    }
}

bool LocalClickMonitor::eventFilter(QObject *watched, QEvent *event)
{
    // A press reaches the window first and then the widget under it; the window's copy is the
    // one to count.
    if (event->type() != QEvent::MouseButtonPress || !watched->isWindowType()) {
        return false;
    }
    const auto *press = static_cast<QMouseEvent *>(event);
    if (press->button() != Qt::LeftButton && press->button() != Qt::RightButton) {
        return false;
    }
    const QPoint position = press->globalPosition().toPoint();
    QWidget *window = widgetOf(static_cast<QWindow *>(watched));
    // Handled after the event has gone on, as the application received it.
    QMetaObject::invokeMethod(
        this, [this, position, window = QPointer<QWidget>(window)] { m_handler(position, window); },
        Qt::QueuedConnection);
    return false;
}
