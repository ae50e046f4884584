#include "TestPrograms.h"
#include "core/api/AppState.h"
#include "core/api/AuthStore.h"
#include "gui/droptile/DragEventSource.h"
#include "gui/droptile/DragSessionMonitor.h"
#include "gui/droptile/DropZoneTileContentView.h"
#include "gui/droptile/X11DragEventSource.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/PopoverWindow.h"
#include "gui/shell/ServiceProvider.h"
#include "gui/shell/StatusItem.h"
#include "gui/windows/QuickProjectView.h"
#include "support/Await.h"
#include "support/DataRows.h"
#include "support/SandboxProcess.h"
#include "support/SessionTray.h"
#include "support/TestEnvironment.h"

#include <QtCore/QProcess>
#include <QtGui/QScreen>

using namespace TestSupport;
using namespace Qt::StringLiterals;

namespace {

// Drags as a script plays them: a new drag sets the counter and types and holds the button.
class ScriptedSource : public DragEventSource {
public:
    uint64_t count = 3;
    std::optional<QStringList> currentTypes = QStringList{u"text/uri-list"_s};
    bool pressed = false;
    bool isAvailable() const override { return true; }
    uint64_t changeCount() const override { return count; }
    std::optional<QStringList> types() override { return currentTypes; }
    bool isLeftButtonPressed() override { return pressed; }
    void startWatching() override {}
    void stopWatching() override {}
    void endPendingDrag() override {}

    void play(const QString &step, DragSessionMonitor &monitor)
    {
        const QString argument = step.section(u':', 1);
        if (step.startsWith(u"new"_s)) { // a new drag: files, text or types not known yet
            ++count, pressed = true;
            currentTypes = argument == u"files"_s  ? std::optional(QStringList{u"text/uri-list"_s})
                           : argument == u"text"_s ? std::optional(QStringList{u"text/plain"_s})
                                                   : std::nullopt;
        } else if (step == u"types"_s) {
            currentTypes = QStringList{u"text/uri-list"_s};
        } else if (step == u"move"_s) {
            Q_EMIT dragged();
        } else if (step == u"up"_s) {
            pressed = false;
            Q_EMIT leftMouseUp();
        } else if (step == u"esc"_s) {
            Q_EMIT escapePressed();
        } else if (step == u"hover"_s || step == u"leave"_s) { // what the tile reports
            QVERIFY(monitor.tilePanel());
            DropZoneTileContentView *view = monitor.tilePanel()->dragContentView();
            step == u"hover"_s ? view->onExpand() : view->onDragEnded();
        } else if (step == u"closed"_s) {
            monitor.popoverDidClose();
        } else if (step.startsWith(u"wait"_s)) {
            QTest::qWait(argument.toInt());
        }
    }
};

// What the drag source said last once it ended ("dropped", "refused", "cancelled").
QByteArray outcome(QProcess &source)
{
    // The drop target is this process: its event loop must run meanwhile.
    for (int waited = 0; source.state() != QProcess::NotRunning && waited < 5000; waited += 20) {
        QTest::qWait(20);
    }
    return source.state() == QProcess::NotRunning ? source.readAll().trimmed() : "running";
}

} // namespace

class TestDropTile : public QObject {
    Q_OBJECT
    SandboxProcess m_sandbox;
    AppContext m_context;
    std::unique_ptr<AppState> m_state;
    ServiceProvider m_provider{AuthState{m_sandbox.token(), std::nullopt}};

private Q_SLOTS:
    void init()
    {
        AuthStore::save(AuthState{m_sandbox.token(), std::nullopt});
        m_context.setAppState(nullptr);
        m_state.reset(await(AppState::create(m_sandbox.baseUrl().toString())));
        m_context.setAppState(m_state.get());
        m_context.setServiceProvider(&m_provider);
        QCOMPARE(m_state->authStatus(), AppState::AuthStatus::loggedIn);
    }
    void cleanup() { delete m_context.quickProjectWindow(); }

    void sessionRules_data()
    {
        columns<QString, bool, bool, int, int>("script", "tile", "dropMode", "shown", "closed");
        row("a file drag shows the tile", "new:files move", true, false, 0, 0);
        row("content from before the start is old", "move", false, false, 0, 0);
        row("a text drag shows none", "new:text move move", false, false, 0, 0);
        row("types that come late are looked at again", "new:later move types move", true, false, 0,
            0);
        row("Escape hides it and the same drag cannot bring it back", "new:files move esc move",
            false, false, 0, 0);
        row("2 s without drag events with the button held", "new:files move wait:2400", false,
            false, 0, 0);
        row("released elsewhere", "new:files move up", false, false, 0, 0);
        row("a rest on the tile opens the popover in drop mode", "new:files move hover", false,
            true, 1, 0);
        row("a drop into the popover closes it 0.3 s after the release",
            "new:files move hover up wait:600", false, false, 1, 1);
        row("a popover closed otherwise ends the drag", "new:files move hover closed move", false,
            true, 1, 0);
        row("a second drag after a drop", "new:files move hover up wait:600 new:files move", true,
            false, 1, 1);
        row("leaving the tile with the button held: back on the next drag event",
            "new:files move leave wait:200 move", true, false, 0, 0);
        row("signed out", "logout new:files move", false, false, 0, 0);
    }
    void sessionRules()
    {
        const auto [script, tile, dropMode, shown, closed] =
            fetch<QString, bool, bool, int, int>("script", "tile", "dropMode", "shown", "closed");
        auto source = std::make_unique<ScriptedSource>();
        ScriptedSource *scripted = source.get();
        DragSessionMonitor monitor(std::move(source));
        int shows = 0, closes = 0;
        monitor.setAppContext(&m_context);
        monitor.setShowPopover([&shows] { ++shows; });
        monitor.setClosePopover([&closes] { ++closes; });
        monitor.startMonitoring();
        monitor.startMonitoring(); // start-up reaches it more than once
        for (const QString &step : script.split(u' ')) {
            if (step == u"logout"_s) {
                m_state->logout();
            }
            scripted->play(step, monitor);
        }
        QCOMPARE(monitor.isShowingTile(), tile);
        QCOMPARE(bool(monitor.tilePanel()), tile);
        QCOMPARE(m_context.isDropMode(), dropMode);
        QCOMPARE(shows, shown);
        QCOMPARE(closes, closed);
        monitor.stopMonitoring();
        QVERIFY(!monitor.tilePanel() && !m_context.isDropMode());
    }

    void tilePlace_data()
    {
        columns<QRect, QPoint>("icon", "tile");
        row("under the icon, 4 px apart", QRect(1000, 0, 24, 24), QPoint(957, 28));
        row("above it on a bottom panel", QRect(1000, 776, 24, 24), QPoint(957, 662));
        row("kept on the screen at its edge", QRect(1262, 0, 18, 24), QPoint(1170, 28));
        row("top centre without an icon", QRect(), QPoint(585, 8));
    }
    void tilePlace()
    {
        const auto [icon, tile] = fetch<QRect, QPoint>("icon", "tile");
        QCOMPARE(DragSessionMonitor::tileGeometry(icon, QRect(0, 0, 1280, 800)),
                 QRect(tile, QSize(110, 110)));
    }

    // Under Wayland (the app itself on XWayland included) other clients' drags cannot be seen.
    void offUnderWayland()
    {
        qputenv("WAYLAND_DISPLAY", "wayland-0");
        DragSessionMonitor monitor(std::make_unique<X11DragEventSource>());
        qunsetenv("WAYLAND_DISPLAY");
        monitor.startMonitoring();
        QVERIFY(!monitor.isMonitoring());
    }

    // Another client's drag of a file under X11: the tile under the tray icon, the popover in
    // drop mode on a rest, the file dropped on the quick-project bin; a text drag shows none and
    // Escape hides the tile.
    void realDragOfAnotherClient()
    {
        StatusItem item(&m_context);
        item.setupStatusItem();
        QTRY_VERIFY_WITH_TIMEOUT(!item.iconGeometry().isEmpty(), 10000);
        DragSessionMonitor monitor(std::make_unique<X11DragEventSource>());
        monitor.setAppContext(&m_context);
        monitor.setStatusItemGeometry([&item] { return item.iconGeometry(); });
        monitor.setShowPopover([&item] { item.showPopoverIfHidden(); });
        monitor.setClosePopover([&item] { item.closePopover(); });
        connect(&item, &StatusItem::popoverClosed, &monitor, &DragSessionMonitor::popoverDidClose);
        monitor.startMonitoring();

        const QString clip = root() + u"/clip.mov"_s;
        QFile file(clip);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("frames") == 6);
        file.close();
        const auto startDrag = [](QProcess &source, const QStringList &arguments) {
            xdotool({u"mousemove"_s, u"300"_s, u"500"_s, u"mousedown"_s, u"1"_s});
            source.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            source.start(QString::fromUtf8(TestPrograms::kXdndSource), arguments);
            return source.waitForReadyRead(5000) && source.readLine() == "claimed\n";
        };
        const auto expectedTile = [&item] {
            return DragSessionMonitor::tileGeometry(
                item.iconGeometry(), QGuiApplication::primaryScreen()->availableGeometry());
        };

        // A text drag shows no tile.
        QProcess text;
        QVERIFY(startDrag(text, {u"--text"_s, u"hello"_s}));
        movePointerTo({340, 520});
        QTest::qWait(300);
        QVERIFY(!monitor.isShowingTile());
        xdotool({u"mouseup"_s, u"1"_s});
        QCOMPARE(outcome(text), "refused");

        // Escape hides the tile of a file drag.
        QProcess cancelled;
        QVERIFY(startDrag(cancelled, {u"--file"_s, clip}));
        movePointerTo({340, 520});
        QTRY_VERIFY(monitor.isShowingTile());
        QCOMPARE(monitor.tilePanel()->geometry(), expectedTile());
        xdotool({u"key"_s, u"Escape"_s});
        QTRY_VERIFY(!monitor.tilePanel());
        QCOMPARE(outcome(cancelled), "cancelled");
        xdotool({u"mouseup"_s, u"1"_s});

        // A rest on the tile opens the popover in drop mode; the drop lands in its bin.
        QProcess dragged;
        QVERIFY(startDrag(dragged, {u"--file"_s, clip}));
        movePointerTo({340, 520});
        QTRY_VERIFY(monitor.isShowingTile());
        movePointerTo(expectedTile().center());
        QTRY_VERIFY(monitor.isExpanded() && m_context.isDropMode() && item.isPopoverShown());
        QWidget *bin = item.popover()->findChild<QWidget *>(u"quickProjectBin"_s);
        QTRY_VERIFY(bin && bin->isVisible());
        movePointerTo(bin->mapToGlobal(bin->rect().center()));
        QTest::qWait(200);
        xdotool({u"mouseup"_s, u"1"_s});
        QCOMPARE(outcome(dragged), "dropped");
        QTRY_VERIFY(m_context.quickProjectWindow());
        auto *view = m_context.quickProjectWindow()->findChild<QuickProjectView *>();
        QVERIFY(view && view->selectedFiles() == QList{QUrl::fromLocalFile(clip)});
        QTRY_VERIFY(!item.isPopoverShown() && !m_context.isDropMode() && !monitor.isExpanded());
    }
};

VORLANTA_TEST_MAIN(TestDropTile)
#include "tst_DropTile.moc"
