#include "gui/shell/AppContext.h"
#include "gui/shell/PopoverWindow.h"
#include "gui/shell/StatusItem.h"
#include "support/DataRows.h"
#include "support/SessionTray.h"
#include "support/TestEnvironment.h"

#include <QtCore/QProcess>
#include <QtCore/QScopeGuard>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QMenu>

using namespace Qt::StringLiterals;
using namespace TestSupport;

namespace {

void click(const QPoint &at, int button = 1)
{
    xdotool({u"mousemove"_s, QString::number(at.x()), QString::number(at.y()), u"click"_s,
             QString::number(button)});
}

} // namespace

// Real clicks on a real tray host (trayer) and a real app context.
class TestStatusItem : public QObject {
    Q_OBJECT
    AppContext m_context;
    std::unique_ptr<StatusItem> m_item;
    QProcess m_tray;
    QString m_edge;

    PopoverWindow &popover() { return *m_item->popover(); }
    // Restarts the tray host at the edge; the icon docks again by itself.
    void startTray(const QString &edge)
    {
        if (m_tray.state() != QProcess::NotRunning) {
            m_tray.kill();
            m_tray.waitForFinished();
            QTRY_VERIFY(m_item->iconGeometry().isEmpty());
        }
        m_tray.start(u"trayer"_s, trayArguments(edge));
        QTRY_VERIFY_WITH_TIMEOUT(m_item->iconGeometry().isValid(), 10000);
        QTRY_COMPARE(m_item->iconGeometry().top() > 400, edge == u"bottom"_s);
        // Clicks reach the icon once the host has embedded and shown its window.
        QTRY_VERIFY(std::ranges::any_of(QApplication::topLevelWidgets(), [](QWidget *widget) {
            return QByteArray(widget->metaObject()->className()).contains("SystemTray") &&
                   widget->windowHandle() && widget->windowHandle()->isExposed();
        }));
        m_edge = edge;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The session's tray host gives way to one this test can restart.
        stopSessionTray();
        QTRY_VERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        m_item = std::make_unique<StatusItem>(&m_context);
        m_item->setupStatusItem();
        // Made only once a host exists, so that Qt can pick the host's kind.
        QVERIFY(!m_item->trayIcon());
        startTray(u"top"_s);
    }
    void cleanupTestCase()
    {
        m_item.reset();
        m_tray.kill();
        m_tray.waitForFinished();
        restartSessionTray();
    }

    void clicksOpenAndClosePopover_data()
    {
        // Steps: 'i' click the icon, 'r' right-click it, 'p' click inside the popover, 'a' in a
        // window the popover opened, 'o' click elsewhere, 'c' closePopover(), 'd' another
        // application takes focus. After each step: 'P' popover shown, 'M' menu shown, '-' none.
        columns<QString, QString, QString>("edge", "steps", "expected");
        row("second click on the icon closes", "top", "ii", "P-");
        row("inside or its own window keeps, elsewhere closes", "top", "ipaoi", "PPP-P");
        row("menu, then a left click opens the popover", "top", "roi", "M-P");
        row("closePopover and deactivation close", "top", "icid", "P-P-");
        row("tray at the bottom: above the icon", "bottom", "ioi", "P-P");
    }
    void clicksOpenAndClosePopover()
    {
        const auto [edge, steps, expected] =
            fetch<QString, QString, QString>("edge", "steps", "expected");
        if (edge != m_edge) {
            startTray(edge);
        }
        m_item->closePopover();
        m_item->statusItemMenu()->hide();
        const QRect icon = m_item->iconGeometry();
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const QChar step = steps[i];
            const bool wasShown = m_item->isPopoverShown();
            m_context.setDropMode(wasShown);
            // Owned by the content, which a new showing of the popover replaces.
            QPointer<QWidget> alert;
            QProcess other; // another application's window
            const auto cleanUp = qScopeGuard([&] {
                delete alert;
                other.kill();
                other.waitForFinished();
            });
            if (step == u'i' || step == u'r') {
                click(icon.center(), step == u'i' ? 1 : 3);
            } else if (step == u'p') {
                click(popover().geometry().center());
            } else if (step == u'a') { // beside the popover, like its gear menu or an alert
                alert = new QWidget(popover().content(), Qt::Tool);
                alert->setGeometry(popover().x() - 150, popover().y() + 100, 100, 100);
                alert->show();
                QVERIFY(QTest::qWaitForWindowExposed(alert));
                click(alert->geometry().center());
            } else if (step == u'o') {
                click({200, 500});
            } else if (step == u'c') {
                m_item->closePopover();
            } else if (step == u'd') {
                QTRY_VERIFY(popover().isActiveWindow());
                other.start(u"xmessage"_s, {u"-geometry"_s, u"+10+500"_s, u"other"_s});
                QTRY_VERIFY(!xdotool({u"search"_s, u"--classname"_s, u"xmessage"_s}).isEmpty());
                xdotool({u"search"_s, u"--classname"_s, u"xmessage"_s, u"windowfocus"_s});
            }
            // Settled: a click on the icon that also counted as an outside click would have
            // closed and reopened the popover by now.
            QTest::qWait(500);
            const bool menu = m_item->statusItemMenu()->isVisible();
            QCOMPARE(m_item->isPopoverShown() ? u'P' : menu ? u'M' : u'-', expected[i]);
            // Every way of closing clears drop mode; staying open keeps it.
            QCOMPARE(m_context.isDropMode(), wasShown && m_item->isPopoverShown());
            if (!m_item->isPopoverShown()) {
                continue;
            }
            // Under the icon or above it, inside the screen.
            const QRect frame = popover().frameGeometry();
            QVERIFY2(
                screen.contains(frame) && frame.left() <= icon.center().x() &&
                    icon.center().x() <= frame.right() &&
                    (edge == u"top"_s ? frame.top() > icon.bottom() : frame.bottom() < icon.top()),
                qPrintable(u"%1,%2 %3x%4"_s.arg(frame.x())
                               .arg(frame.y())
                               .arg(frame.width())
                               .arg(frame.height())));
        }
    }

    void iconFallsBackToFirstLetter()
    {
        const auto image = [](const QIcon &icon) { return icon.pixmap(22, 22).toImage(); };
        const QImage drawn =
            image(StatusItem::menuBarIcon(QString::fromLatin1(StatusItem::kIconResource)));
        const QImage letter = image(StatusItem::menuBarIcon(u":/icons/Missing.svg"_s));
        QCOMPARE(image(m_item->trayIcon()->icon()), drawn);
        QVERIFY(drawn != letter);
        // Both draw something: some pixels are opaque.
        for (const QImage &icon : {drawn, letter}) {
            int opaque = 0;
            for (int y = 0; y < icon.height(); ++y) {
                for (int x = 0; x < icon.width(); ++x) {
                    opaque += qAlpha(icon.pixel(x, y)) > 200;
                }
            }
            QVERIFY(opaque > 20);
        }
    }
};

VORLANTA_TEST_MAIN(TestStatusItem)
#include "tst_StatusItem.moc"
