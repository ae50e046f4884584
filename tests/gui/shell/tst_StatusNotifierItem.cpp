#include "gui/shell/AppContext.h"
#include "gui/shell/PopoverWindow.h"
#include "gui/shell/StatusItem.h"
#include "support/SessionTray.h"
#include "support/TestEnvironment.h"

#include <QtCore/QProcess>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusConnectionInterface>
#include <QtDBus/QDBusInterface>
#include <QtDBus/QDBusMessage>
#include <QtGui/QScreen>
#include <QtWidgets/QMenu>

using namespace Qt::StringLiterals;
using namespace TestSupport;

namespace {

const QString kWatcher = u"org.kde.StatusNotifierWatcher"_s;

QDBusInterface watcher()
{
    return QDBusInterface(kWatcher, u"/StatusNotifierWatcher"_s, kWatcher);
}

} // namespace

// The tray of KDE and of GNOME's AppIndicator extension: a real StatusNotifierWatcher
// (status-notifier-watcher) that appears after the app, with this test as the panel that shows
// the items. Qt gives no icon geometry there, so the popover goes to the pointer.
class TestStatusNotifierItem : public QObject {
    Q_OBJECT
    AppContext m_context;
    std::unique_ptr<StatusItem> m_item;
    QProcess m_watcher;
    QString m_itemService, m_itemPath;

    // Starts the watcher and registers this test as its host; the item registers by itself.
    void startWatcher()
    {
        m_watcher.start(u"status-notifier-watcher"_s, {});
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kWatcher));
        QTRY_VERIFY(watcher().isValid());
        watcher().call(u"RegisterStatusNotifierHost"_s,
                       QDBusConnection::sessionBus().baseService());
        QStringList items;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(items = watcher().property("RegisteredStatusNotifierItems").toStringList()).isEmpty(),
            5000);
        // "service/path", or a bare service at the usual path.
        const QString item = items.constFirst();
        m_itemService = item.section(u'/', 0, 0);
        m_itemPath = item.contains(u'/') ? u'/' + item.section(u'/', 1) : u"/StatusNotifierItem"_s;
    }
    // Sent without waiting: the item lives in this process, which must stay free to answer.
    void callItem(const QString &method, const QPoint &at)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(m_itemService, m_itemPath,
                                                           u"org.kde.StatusNotifierItem"_s, method);
        call << at.x() << at.y();
        QVERIFY(QDBusConnection::sessionBus().send(call));
    }

private Q_SLOTS:
    void initTestCase()
    {
        // No tray host of either kind when the app starts, as at login before the panel.
        stopSessionTray();
        m_item = std::make_unique<StatusItem>(&m_context);
        m_item->setupStatusItem();
    }
    void cleanupTestCase()
    {
        m_item.reset();
        m_watcher.kill();
        m_watcher.waitForFinished();
        restartSessionTray();
    }

    void lateHostGetsTheItem()
    {
        // A watcher without a host shows nothing yet: the icon waits for the host.
        m_watcher.start(u"status-notifier-watcher"_s, {});
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kWatcher));
        QTest::qWait(1500);
        QVERIFY(!m_item->trayIcon());
        m_watcher.kill();
        m_watcher.waitForFinished();
        startWatcher();
        QVERIFY(m_item->trayIcon());
        QVERIFY(m_item->iconGeometry().isEmpty());
    }

    void activationOpensPopoverAtPointer()
    {
        // Top right, where panels keep their trays.
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        const QPoint pointer(screen.right() - 5, screen.top() + 3);
        xdotool({u"mousemove"_s, QString::number(pointer.x()), QString::number(pointer.y())});
        callItem(u"Activate"_s, pointer);
        QTRY_VERIFY(m_item->isPopoverShown());
        const QRect frame = m_item->popover()->frameGeometry();
        QVERIFY(screen.contains(frame) && frame.right() >= screen.right() - 1 &&
                frame.top() > pointer.y());
        // A click elsewhere closes it; an activation right after belongs to that click (on a
        // host that tells no geometry, the click may have been on the icon).
        xdotool({u"mousemove"_s, u"200"_s, u"500"_s, u"click"_s, u"1"_s});
        QTRY_VERIFY(!m_item->isPopoverShown());
        callItem(u"Activate"_s, pointer);
        QTest::qWait(400);
        QVERIFY(!m_item->isPopoverShown());
        callItem(u"Activate"_s, pointer);
        QTRY_VERIFY(m_item->isPopoverShown());
        // The secondary click shows the menu, which the host asks for rather than Qt attaching it.
        callItem(u"ContextMenu"_s, pointer);
        QTRY_VERIFY(m_item->statusItemMenu()->isVisible());
        m_item->statusItemMenu()->hide();
    }

    void restartedWatcherGetsTheItemAgain()
    {
        m_watcher.kill();
        m_watcher.waitForFinished();
        QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(kWatcher));
        startWatcher();
    }
};

VORLANTA_TEST_MAIN(TestStatusNotifierItem)
#include "tst_StatusNotifierItem.moc"
