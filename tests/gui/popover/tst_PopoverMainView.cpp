#include "core/api/AppState.h"
#include "core/shell/Logger.h"
#include "gui/popover/MainView.h"
#include "gui/popover/StatusItemPopoverView.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/ServiceProvider.h"
#include "support/Await.h"
#include "support/DataRows.h"
#include "support/SandboxProcess.h"
#include "support/TestEnvironment.h"

#include <QtCore/QMimeData>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>

using namespace TestSupport;
using namespace Qt::StringLiterals;

class TestPopoverMainView : public QObject {
    Q_OBJECT
    SandboxProcess m_sandbox;
    AppContext m_context;
    std::unique_ptr<AppState> m_state;
    ServiceProvider m_provider{AuthState{m_sandbox.token(), std::nullopt}};
    std::unique_ptr<StatusItemPopoverView> m_view;
    template <class T = QLabel> T *find(const QString &n) { return m_view->findChild<T *>(n); }

private slots:
    void init()
    {
        m_context.setAppState(nullptr), m_context.setServiceProvider(nullptr);
        m_context.setDropMode(false);
        AuthStore::save(AuthState{m_sandbox.token(), std::nullopt});
        m_state.reset(await(AppState::create(m_sandbox.baseUrl().toString())));
        m_view = std::make_unique<StatusItemPopoverView>(&m_context, [] {}), m_view->show();
        m_context.setAppState(m_state.get());
        QCOMPARE(find(u"loadingText"_s)->text(), u"Loading..."_s); // no provider yet
        m_context.setServiceProvider(&m_provider);
        QTRY_VERIFY(!find(u"loadingText"_s) && find(u"noUploadsHint"_s)->isVisible());
    }
    void cleanup() { m_view.reset(), delete m_context.quickProjectWindow(); }

    void recentUploads_data()
    {
        columns<int, int, QString, QString>("entries", "finish", "caption", "status");
        row("seven: four rows and a caption", 7, 0, "+3 more\u2026", "Uploading \u2022 42%");
        row("four: no caption", 4, -1, "", "Failed");
        row("one", 1, 1, "", "Completed");
    }
    void recentUploads()
    {
        const auto [entries, finish, caption, status] =
            fetch<int, int, QString, QString>("entries", "finish", "caption", "status");
        QUuid newest;
        for (int i = 0; i < entries; ++i) {
            newest = m_state->addUploadStatus(u"clip%1.mp4"_s.arg(i));
        }
        m_state->updateUploadStatus(newest, 0.426);
        void(finish && (m_state->finishUploadStatus(newest, finish > 0), true));
        const auto rows = m_view->findChildren<QLabel *>(u"uploadStatusText"_s);
        QCOMPARE(rows.size(), std::min(entries, 4)); // none left behind by the updates
        QCOMPARE(rows[0]->text(), status);           // the newest first
        QCOMPARE(find(u"moreUploads"_s)->text(), caption);
        QCOMPARE(!find<QWidget>(u"uploadProgress"_s)->isHidden(), finish == 0); // the newest's
    }

    void drops_data()
    {
        // %1: a folder with the files "a" and "b" ("x" is missing); log: lines in order
        columns<QString, QString, QString>("target", "urls", "log");
        row("three files, one gone", "quickProjectBin", "a x b",
            "called with 3 provider(s)|Collected URL: file://%1/a|ERROR [MainView] Error loading "
            "URL: file://%1/x|URL: file://%1/b|completed with 2 URL(s)|Project window with 2 ");
        row("web link", "quickProjectBin", "https://a.example/b", "1 provider(s)|0 URL(s)");
        row("a thousand files", "quickProjectBin", "*1000",
            "called with 1000 provider(s)|URL: file://%1/f999|completed with 1000 URL(s)|Project "
            "window "
            "with 1000 ");
        row("beside the bins: refused", "dropBinsArea", "a", "");
    }
    void drops()
    {
        const auto [target, names, log] = fetch<QString, QString, QString>("target", "urls", "log");
        m_context.setDropMode(true); // while shown
        QList<QUrl> urls;
        QStringList files = names.split(u' ');
        if (names.startsWith(u'*')) { // "*N": N files
            files.clear();
            for (int i = 0; i < names.mid(1).toInt(); ++i) {
                files << u"f%1"_s.arg(i);
            }
        }
        for (const QString &name : std::as_const(files)) {
            void(name != u"x" && !name.contains(u':') &&
                 QFile(root() + u'/' + name).open(QIODevice::WriteOnly));
            urls << (name.contains(u':') ? QUrl(name) : QUrl::fromLocalFile(root() + u'/' + name));
        }
        QMimeData mime;
        mime.setUrls(urls);
        const qsizetype logStart = Logger::joinedMemoryBuffer().size();
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QApplication::sendEvent(find<QWidget>(target), &enter);
        QCOMPARE(find<MainView>(u"mainView"_s)->quickProjectHighlighted(), !log.isEmpty());
        QApplication::sendEvent(find<QWidget>(target), &drop);
        QCOMPARE(drop.isAccepted(), !log.isEmpty());
        QCoreApplication::processEvents(); // the drop is looked at from the event loop
        const QString written = Logger::joinedMemoryBuffer().mid(logStart);
        for (qsizetype at = 0; const QString &line : log.split(u'|', Qt::SkipEmptyParts)) {
            at = written.indexOf(QString(line).replace(u"%1"_s, root()), at);
            QVERIFY2(at >= 0, qPrintable(line));
        }
        QCOMPARE(bool(m_context.quickProjectWindow()), log.count(u'|') > 2);
        m_context.setDropMode(false);
        QTRY_VERIFY(!find<QWidget>(target) && find(u"noUploadsHint"_s)->isVisible());
    }

    void logOutClosesDashboardsFirst()
    {
        QWidget dashboard;
        dashboard.setObjectName(u"dashboard"_s), dashboard.show();
        bool dashboardAtSignOut = false;
        connect(m_state.get(), &AppState::authStatusChanged, &dashboard,
                [&] { dashboardAtSignOut |= dashboard.isVisible(); });
        const auto actions = find<QWidget>(u"gearMenu"_s)->actions(); // the menu is the view's
        QCOMPARE(actions.value(4)->text(), u"Log Out"_s);
        actions[4]->trigger();
        QTRY_VERIFY(find<QWidget>(u"setupPrompt"_s) && !find<QWidget>(u"mainView"_s));
        QVERIFY(!dashboard.isVisible() && !dashboardAtSignOut);
    }

    // Shown while set, and by a popover opened while set; OK and Escape clear it.
    void errorAlert()
    {
        const QString text = u"Authentication failed: no network"_s;
        m_state->setErrorMessage(text); // returns: the alert does not block
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            auto *alert = find<QMessageBox>(u"errorAlert"_s);
            QVERIFY(alert && alert->windowTitle() == u"Error"_s && alert->text() == text);
            QCOMPARE(alert->standardButtons(), QMessageBox::Ok);
            QTest::keyClick(alert, key);
            QCOMPARE(m_state->errorMessage(), std::nullopt);
            m_state->setErrorMessage(text), m_view.reset(new StatusItemPopoverView(&m_context, {}));
        }
    }
};

VORLANTA_TEST_MAIN(TestPopoverMainView)
#include "tst_PopoverMainView.moc"
