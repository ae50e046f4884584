#include "ScreenshotTour.h"

#include "core/api/AuthStore.h"
#include "core/api/VorlantaApiClient.h"
#include "gui/shell/WorkWindow.h"
#include "gui/windows/MissingFilesDetailView.h"
#include "gui/windows/MissingFilesView.h"
#include "gui/windows/ProjectCardView.h"
#include "gui/windows/ProjectPickerView.h"
#include "gui/windows/QuickProjectView.h"

#include <QtCore/QDeadlineTimer>
#include <QtCore/QFileInfo>
#include <QtCore/QThread>
#include <QtCore/QUrl>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
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
    return quickProject() && missingFiles();
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
