#include "ScreenshotTour.h"

#include "core/api/AppState.h"
#include "core/api/AuthStore.h"
#include "core/api/VorlantaApiClient.h"
#include "gui/droptile/DragSessionMonitor.h"
#include "gui/droptile/DropZoneTilePanel.h"
#include "gui/droptile/DropZoneTileView.h"
#include "gui/popover/StatusItemPopoverView.h"
#include "gui/setup/SetupWindowManager.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/PopoverWindow.h"
#include "gui/shell/ServiceProvider.h"
#include "gui/shell/StatusItem.h"
#include "gui/shell/WorkWindow.h"
#include "gui/uninstall/UninstallConfirmation.h"
#include "gui/web/WebLayer.h"
#include "gui/windows/MissingFilesDetailView.h"
#include "gui/windows/MissingFilesView.h"
#include "gui/windows/ProjectCardView.h"
#include "gui/windows/ProjectPickerView.h"
#include "gui/windows/QuickProjectView.h"

#include <QCoro/QCoroTask>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QFileInfo>
#include <QtCore/QStandardPaths>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtGui/QScreen>
#include <QtWebEngineCore/QWebEnginePage>
#include <QtWebEngineWidgets/QWebEngineView>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QProgressBar>

#include <algorithm>
#include <cstdio>

ScreenshotTour::ScreenshotTour(QDir out, QString service, QString token, QStringList media)
    : m_out(std::move(out)), m_service(std::move(service)), m_token(std::move(token)),
      m_media(std::move(media))
{}

bool ScreenshotTour::run()
{
    if (!m_out.mkpath(QStringLiteral("."))) {
        return fail(QStringLiteral("cannot create ") + m_out.path());
    }
    // The project catalogue reads the signed-in token from the keyring, as in the app.
    AuthStore::save(AuthState{m_token, std::nullopt});
    return quickProject() && missingFiles() && tray() && uninstallConfirmation() && dashboard() &&
           setup();
}

bool ScreenshotTour::quickProject()
{
    const QString service = m_service, token = m_token;
    auto *view = new QuickProjectView({}, [service, token] {
        return VorlantaApiClient::make(service, AuthState{token, std::nullopt});
    });
    WorkWindow window(view, QStringLiteral("Quick Project"), QSize(600, 800),
                      [view] { return view->isBusy(); });
    QObject::connect(view, &QuickProjectView::idle, &window, &WorkWindow::viewBecameIdle);
    window.show();
    const auto child = [view](const char *name) {
        return view->findChild<QAbstractButton *>(QString::fromLatin1(name));
    };
    if (!waitFor([&] { return child("channel") && child("channel")->isEnabled(); }) ||
        !save(&window, QStringLiteral("quick-project-empty"))) {
        return fail(QStringLiteral("the channels did not load"));
    }

    QList<QUrl> files;
    for (const QString &path : m_media) {
        files.append(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    }
    view->appendFiles(files);
    view->findChild<QLineEdit *>(QStringLiteral("title"))->setText(QStringLiteral("Summer trip"));
    const auto thumbnailsShown = [view, count = files.size()] {
        const auto labels = view->findChildren<QLabel *>(QStringLiteral("thumbnail"));
        return labels.size() == count &&
               std::all_of(labels.begin(), labels.end(),
                           [](const QLabel *label) { return !label->pixmap().isNull(); });
    };
    if (!waitFor(thumbnailsShown) || !save(&window, QStringLiteral("quick-project-files"))) {
        return fail(QStringLiteral("the thumbnails were not made"));
    }

    child("submit")->click();
    // A part under way: the bar has moved past what the project's creation shows.
    auto *progress = view->findChild<QProgressBar *>(QStringLiteral("progress"));
    auto *status = view->findChild<QLabel *>(QStringLiteral("status"));
    const auto uploading = [progress, status] {
        return status->text().startsWith(QStringLiteral("Uploading... ")) &&
               progress->value() > progress->maximum() / 4 &&
               progress->value() < progress->maximum();
    };
    if (!progress || !status || !waitFor(uploading) ||
        !save(&window, QStringLiteral("quick-project-uploading"))) {
        return fail(QStringLiteral("the upload showed no progress"));
    }
    if (!waitFor([view] { return !view->isBusy(); }, 120000) ||
        !save(&window, QStringLiteral("quick-project-done"))) {
        return fail(QStringLiteral("the upload did not finish"));
    }
    return true;
}

bool ScreenshotTour::missingFiles()
{
    // Two files handed over before a project is chosen wait in the picker.
    QList<QUrl> files;
    for (const QString &path : m_media.mid(0, 2)) {
        files.append(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    }
    const QString service = m_service, token = m_token;
    auto *view = new MissingFilesView(files, [service, token] {
        return VorlantaApiClient::make(service, AuthState{token, std::nullopt});
    });
    WorkWindow window(view, QStringLiteral("Send Missing Files"), QSize(600, 720),
                      [view] { return view->isBusy(); });
    QObject::connect(view, &MissingFilesView::idle, &window, &WorkWindow::viewBecameIdle);
    window.show();
    ProjectPickerView *picker = view->pickerView();
    const auto pageLabel = picker->findChild<QLabel *>(QStringLiteral("pageLabel"));
    if (!pageLabel ||
        !waitFor([&] { return pageLabel->text() == QStringLiteral("Page 1 of 2"); }) ||
        !save(&window, QStringLiteral("missing-files-picker"))) {
        return fail(QStringLiteral("the projects did not load"));
    }
    picker->cards().constFirst()->click();
    const auto thumbnailsShown = [view, count = files.size()] {
        MissingFilesDetailView *detail = view->detailView();
        const auto labels = detail ? detail->findChildren<QLabel *>(QStringLiteral("thumbnail"))
                                   : QList<QLabel *>();
        return labels.size() == count &&
               std::all_of(labels.begin(), labels.end(),
                           [](const QLabel *label) { return !label->pixmap().isNull(); });
    };
    if (!waitFor(thumbnailsShown) || !save(&window, QStringLiteral("missing-files-detail"))) {
        return fail(QStringLiteral("the detail form did not show both files"));
    }
    return true;
}

bool ScreenshotTour::tray()
{
    // Signed in with the saved token, as after an earlier sign-in.
    std::unique_ptr<AppState> state(QCoro::waitFor(AppState::create(m_service)));
    ServiceProvider provider(AuthState{m_token, std::nullopt});
    AppContext context;
    context.setAppState(state.get());
    context.setServiceProvider(&provider);
    // Seven recent uploads, newest first: one under way, one failed, the rest completed.
    const QStringList names{
        QStringLiteral("Intro take 2.mov"),    QStringLiteral("B-roll city.mp4"),
        QStringLiteral("Drone pass.mp4"),      QStringLiteral("Outro.mov"),
        QStringLiteral("Interview B-cam.mov"), QStringLiteral("Voice-over.wav"),
        QStringLiteral("Thumbnail ideas.png")};
    for (qsizetype i = names.size() - 1; i >= 0; --i) {
        const QUuid id = state->addUploadStatus(names[i]);
        if (i == 0) {
            state->updateUploadStatus(id, 0.426);
        } else {
            state->finishUploadStatus(id, i != 1);
        }
    }

    StatusItem item(&context);
    item.setupStatusItem();
    if (!waitFor([&item] { return item.iconGeometry().isValid(); })) {
        return fail(QStringLiteral("the tray icon did not dock"));
    }
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect icon = item.iconGeometry();
    if (!saveScreen(QRect(screen.right() - 399, screen.top(), 400, 60),
                    QStringLiteral("tray-panel"))) {
        return false;
    }
    // The drop tile under the icon as a drag of files shows it, at rest and hovered.
    {
        DropZoneTilePanel tile;
        tile.setGeometry(DragSessionMonitor::tileGeometry(
            icon, QGuiApplication::primaryScreen()->availableGeometry()));
        tile.show();
        const QRect area(tile.geometry().left() - 60, screen.top(),
                         screen.right() + 1 - (tile.geometry().left() - 60),
                         tile.geometry().bottom() + 30);
        if (!waitFor([&tile] { return tile.isVisible(); }) || !pause(300) ||
            !saveScreen(area, QStringLiteral("drop-tile"))) {
            return fail(QStringLiteral("the drop tile did not show"));
        }
        tile.tileView()->setHovering(true);
        if (!pause(400) || !saveScreen(area, QStringLiteral("drop-tile-hover"))) {
            return false;
        }
    }
    // The popover under the icon, and the area from the panel down to its bottom.
    const auto popoverArea = [&item, &screen, &icon] {
        const QRect frame = item.popover()->frameGeometry().united(icon);
        return QRect(frame.left() - 40, screen.top(), screen.right() + 1 - (frame.left() - 40),
                     frame.bottom() + 20);
    };
    item.showPopover();
    if (!waitFor([&item] { return item.isPopoverShown(); }) ||
        !saveScreen(popoverArea(), QStringLiteral("tray-popover"))) {
        return fail(QStringLiteral("the popover did not show"));
    }
    // Drop mode as a drag over the tile brings it: the popover opens unless it is open already.
    item.closePopover();
    context.setDropMode(true);
    item.showPopoverIfHidden();
    if (!waitFor([&item] { return item.isPopoverShown(); }) ||
        !saveScreen(popoverArea(), QStringLiteral("tray-popover-drop-mode"))) {
        return fail(QStringLiteral("the popover did not show in drop mode"));
    }
    item.closePopover();

    QMenu *menu = item.statusItemMenu();
    menu->popup(icon.bottomLeft());
    if (!waitFor([menu] { return menu->isVisible(); }) ||
        !saveScreen(QRect(menu->geometry().left() - 40, screen.top(),
                          screen.right() + 1 - (menu->geometry().left() - 40),
                          menu->geometry().bottom() + 20),
                    QStringLiteral("tray-menu"))) {
        return fail(QStringLiteral("the menu did not show"));
    }
    menu->hide();

    // The About dialog is modal: its picture is taken from inside its own event loop.
    bool aboutSaved = false;
    QTimer::singleShot(0, [this, &aboutSaved] {
        QWidget *dialog = nullptr;
        waitFor([&dialog] {
            dialog = QApplication::activeModalWidget();
            return dialog && dialog->isVisible();
        });
        aboutSaved = dialog && save(dialog, QStringLiteral("about"));
        if (dialog) {
            dialog->close();
        }
    });
    item.showAbout();
    if (!aboutSaved) {
        return fail(QStringLiteral("the About dialog did not show"));
    }

    // An error while the popover is open comes up as an alert over it.
    item.showPopover();
    state->setErrorMessage(QStringLiteral("The upload of \"Drone pass.mp4\" failed: the service "
                                          "did not answer."));
    QMessageBox *alert = nullptr;
    if (!waitFor([&item, &alert] {
            alert = item.popover()->findChild<QMessageBox *>();
            return alert && alert->isVisible();
        }) ||
        !saveScreen(popoverArea().united(alert->frameGeometry().adjusted(-20, 0, 20, 20)),
                    QStringLiteral("tray-error-alert"))) {
        return fail(QStringLiteral("the error alert did not show"));
    }
    alert->accept();
    item.closePopover();
    return true;
}

bool ScreenshotTour::uninstallConfirmation()
{
    QStringList matches;
    for (const char *path :
         {"/Downloads/Vorlanta Creator", "/Documents/Vorlanta Creator Projects",
          "/Videos/2024/Summer trip/Exports for Vorlanta Creator/Final cut (portrait version)",
          "/Desktop/Vorlanta Creator notes.txt", "/Downloads/Vorlanta Creator (1).tar.gz",
          "/Documents/Old/Vorlanta Creator", "/Desktop/Vorlanta Creator backup"}) {
        matches.append(QDir::homePath() + QLatin1String(path));
    }
    QCoro::Task<bool> asking =
        UninstallConfirmation::ask(UninstallConfirmation::Application::moved, matches);
    QWidget *box = nullptr;
    const bool shown = waitFor([&box] {
        box = QApplication::activeModalWidget();
        return box && box->isVisible();
    });
    const bool saved = shown && pause(300) && save(box, QStringLiteral("uninstall-confirmation"));
    if (box) {
        box->close();
    }
    QCoro::waitFor(std::move(asking));
    return saved || fail(QStringLiteral("the uninstall confirmation did not show"));
}

bool ScreenshotTour::dashboard()
{
    // The profile goes into the private home that scripts/screenshots removes.
    const QString profile = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                            QStringLiteral("/vorlanta-screenshots-web");
    const WebLayer::Setup setup{
        profile + QStringLiteral("/storage"), profile + QStringLiteral("/cache"), {}};
    WebLayer *web = vorlanta_create_web_layer(&setup);
    const std::unique_ptr<QWidget> window(web->createDashboardWindow(QUrl(m_service), m_token));
    window->show();
    // The web application has asked the API who is signed in and listed the projects.
    auto *page = window->findChild<QWebEngineView *>()->page();
    // Answers may arrive after this function has returned.
    const auto state = std::make_shared<QString>();
    const auto settled = [page, state] {
        page->runJavaScript(QStringLiteral("document.body && document.body.dataset.state + ' ' + "
                                           "document.querySelectorAll('#projects li').length"),
                            [state](const QVariant &value) { *state = value.toString(); });
        return state->startsWith(QStringLiteral("signed-in ")) &&
               !state->endsWith(QStringLiteral(" 0"));
    };
    const bool shown = waitFor(settled);
    if (!shown || !save(window.get(), QStringLiteral("dashboard-signed-in"))) {
        return fail(QStringLiteral("the dashboard did not show the creator signed in"));
    }
    return true;
}

bool ScreenshotTour::setup()
{
    AuthStore::deleteAuthState();
    std::unique_ptr<AppState> state(QCoro::waitFor(AppState::create(m_service)));
    AppContext context;
    context.setAppState(state.get());
    SetupWindowManager *manager = context.setupWindowManager();
    manager->bind(state.get());
    if (!waitFor([manager] { return manager->window() && manager->window()->isVisible(); }) ||
        !save(manager->window(), QStringLiteral("setup-sign-in"))) {
        return fail(QStringLiteral("the setup window did not open signed out"));
    }
    // The popover while signed out.
    ServiceProvider provider(AuthState{m_token, std::nullopt});
    context.setServiceProvider(&provider);
    StatusItemPopoverView popover(&context, [] {});
    popover.resize(300, 400);
    popover.show();
    if (!waitFor(
            [&popover] { return popover.findChild<QWidget *>(QStringLiteral("setupPrompt")); }) ||
        !save(&popover, QStringLiteral("tray-popover-setup-prompt"))) {
        return fail(QStringLiteral("the popover showed no setup prompt"));
    }
    popover.hide();
    // The in-app login window on the service's login page, with the layer the dashboard
    // picture made (one per process).
    const WebLayer::Setup sameLayer{};
    WebLayer *web = vorlanta_create_web_layer(&sameLayer);
    // Signed out of the web application too, or the stored token would end the login at once.
    bool cleared = false;
    web->clearAll(QUrl(m_service), [&cleared] { cleared = true; });
    waitFor([&cleared] { return cleared; });
    bool answered = false;
    web->startWebAuthSession(QUrl(m_service).resolved(QUrl(QStringLiteral("login"))),
                             QUrl(m_service).host(),
                             [&answered](const WebLayer::LoginOutcome &) { answered = true; });
    QPointer<QWidget> login;
    const auto loaded = [&login] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (window->objectName() == QStringLiteral("login")) {
                login = window;
            }
        }
        auto *view = login ? login->findChild<QWebEngineView *>() : nullptr;
        return view && !view->page()->isLoading() &&
               view->page()->url().path() == QStringLiteral("/login");
    };
    if (!waitFor(loaded) || !pause(800) || !login || !save(login, QStringLiteral("login-window"))) {
        return fail(QStringLiteral("the login window did not show the login page"));
    }
    login->close();
    waitFor([&answered] { return answered; });
    // Signed in: the same window turns into the welcome page.
    QCoro::waitFor(state->login(m_token));
    QWidget *window = manager->window();
    if (!window || !waitFor([window] {
            return window->findChild<QWidget *>(QStringLiteral("setupWelcome"));
        }) ||
        !pause(900) || !save(window, QStringLiteral("setup-all-set"))) {
        return fail(QStringLiteral("the setup window did not turn into the welcome page"));
    }
    return true;
}

bool ScreenshotTour::saveScreen(const QRect &area, const QString &name)
{
    const QString path = m_out.filePath(name + QStringLiteral(".png"));
    QScreen *screen = QGuiApplication::primaryScreen();
    const QRect clipped = area.intersected(screen->geometry());
    if (!screen->grabWindow(0, clipped.x(), clipped.y(), clipped.width(), clipped.height())
             .save(path)) {
        return fail(QStringLiteral("cannot write ") + path);
    }
    std::fprintf(stdout, "%s\n", qPrintable(path));
    return true;
}

bool ScreenshotTour::pause(int ms)
{
    const QDeadlineTimer until(ms);
    return waitFor([&until] { return until.hasExpired(); }, ms + 1000);
}

bool ScreenshotTour::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    for (QDeadlineTimer deadline(timeoutMs); !condition(); QThread::msleep(10)) {
        if (deadline.hasExpired()) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    // Let pending layouts and paints settle before a picture is taken.
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
    return true;
}

bool ScreenshotTour::save(QWidget *window, const QString &name)
{
    const QString path = m_out.filePath(name + QStringLiteral(".png"));
    if (!window->grab().save(path)) {
        return fail(QStringLiteral("cannot write ") + path);
    }
    std::fprintf(stdout, "%s\n", qPrintable(path));
    return true;
}

bool ScreenshotTour::fail(const QString &what)
{
    std::fprintf(stderr, "vorlanta-screenshots: %s\n", qPrintable(what));
    return false;
}
