#include "gui/shell/PopoverWindow.h"

#include "BuildConfig.h"

#include <QtGui/QCursor>
#include <QtGui/QGuiApplication>
#include <QtGui/QHideEvent>
#include <QtGui/QScreen>
#include <QtWidgets/QVBoxLayout>

#include <algorithm>

namespace {

// A little air between the panel and the popover.
constexpr int kGap = 2;

} // namespace

PopoverWindow::PopoverWindow(bool decorated)
    : QWidget(nullptr, decorated ? Qt::Window
                                 : Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      m_decorated(decorated), m_layout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("popover"));
    setWindowTitle(QString::fromUtf8(BuildConfig::kBundleName));
    m_layout->setContentsMargins(0, 0, 0, 0);
    setFixedSize(kContentSize);
}

bool PopoverWindow::isWaylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void PopoverWindow::setContent(QWidget *content)
{
    delete m_content;
    m_content = content;
    if (content) {
        content->setParent(this);
        content->setFixedSize(kContentSize);
        m_layout->addWidget(content);
    }
}

void PopoverWindow::showAt(const QRect &anchor)
{
    if (!m_decorated) {
        const QPoint cursor = QCursor::pos();
        QScreen *screen = QGuiApplication::screenAt(anchor.isValid() ? anchor.center() : cursor);
        if (!screen) {
            screen = QGuiApplication::primaryScreen();
        }
        if (screen) {
            move(placement(anchor, cursor, screen->availableGeometry(), size()));
        }
    }
    show();
    raise();
    activateWindow();
}

QPoint PopoverWindow::placement(const QRect &anchor, const QPoint &cursor, const QRect &available,
                                const QSize &size)
{
    // 1. Centred under the icon, or above it for a panel in the lower half of the screen; the
    // cursor stands in for an icon whose place the tray does not tell.
    const QRect target = anchor.isValid() ? anchor : QRect(cursor, QSize(1, 1));
    const bool above = target.center().y() > available.center().y();
    QPoint at(target.center().x() - size.width() / 2,
              above ? target.top() - kGap - size.height() : target.bottom() + 1 + kGap);
    // 2. Never partly off the screen.
    at.setX(std::clamp(at.x(), available.left(),
                       std::max(available.left(), available.right() + 1 - size.width())));
    at.setY(std::clamp(at.y(), available.top(),
                       std::max(available.top(), available.bottom() + 1 - size.height())));
    return at;
}

bool PopoverWindow::isOwnWindow(const QWidget *window) const
{
    for (const QWidget *widget = window; widget; widget = widget->parentWidget()) {
        if (widget == this) {
            return true;
        }
    }
    return false;
}

void PopoverWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // A decorated window that the user minimised counts as closed: hide it for real, which
    // comes back here.
    if (event->spontaneous()) {
        QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
        return;
    }
    Q_EMIT closed();
}
