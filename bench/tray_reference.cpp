// The least a Qt tray program does, as the tray benchmark's reference: an icon in the tray and,
// on a click, a plain 300x400 frameless tool window under it (a second click hides it).
#include <QtGui/QPixmap>
#include <QtWidgets/QApplication>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QWidget>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkGray);
    QSystemTrayIcon icon{QIcon(pixmap)};
    QWidget panel(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    panel.resize(300, 400);
    QObject::connect(&icon, &QSystemTrayIcon::activated,
                     [&](QSystemTrayIcon::ActivationReason reason) {
                         if (reason != QSystemTrayIcon::Trigger) {
                             return;
                         }
                         if (panel.isVisible()) {
                             panel.hide();
                             return;
                         }
                         panel.move(icon.geometry().left(), icon.geometry().bottom() + 1);
                         panel.show();
                     });
    icon.show();
    return QApplication::exec();
}
