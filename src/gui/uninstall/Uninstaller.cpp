#include "gui/uninstall/Uninstaller.h"

#include "core/api/AuthStore.h"
#include "core/queue/MissingFilesWatcher.h"
#include "core/shell/Console.h"
#include "core/shell/LaunchAgent.h"
#include "core/shell/Logger.h"
#include "core/shell/Paths.h"
#include "core/uninstall/MimeAppsList.h"
#include "core/updater/BundleLocation.h"
#include "gui/shell/NautilusScripts.h"
#include "gui/web/WebLayer.h"
#include "gui/web/WebSession.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroProcess>
#include <QCoro/QCoroSignal>
#include <QtConcurrent/QtConcurrentRun>
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QPointer>
#include <QtCore/QProcess>
#include <QtCore/QPromise>
#include <QtCore/QSettings>
#include <QtCore/QStandardPaths>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include <unistd.h>

namespace {

using Fate = UninstallConfirmation::Application;

QString dataHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

// A file, a link or a whole folder; what is missing or refused stays as it is.
void removePath(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        QDir(path).removeRecursively();
    } else if (info.exists() || info.isSymLink()) {
        QFile::remove(path);
    }
}

// A folder made for this application's folders, once nothing else is in it.
void removeIfEmpty(const QString &path)
{
    QDir().rmdir(path);
}

bool sameFile(const QString &a, const QString &b)
{
    const QString canonicalA = QFileInfo(a).canonicalFilePath();
    return !canonicalA.isEmpty() && canonicalA == QFileInfo(b).canonicalFilePath();
}

bool canMove(const QString &path)
{
    const QFileInfo info(path);
    const QByteArray parent = QFile::encodeName(info.absolutePath());
    const bool folderWritable =
        !info.isDir() || ::access(QFile::encodeName(path).constData(), W_OK) == 0;
    return ::access(parent.constData(), W_OK) == 0 && folderWritable;
}

} // namespace

Uninstaller::Installation Uninstaller::Installation::running()
{
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    QString path = QFileInfo::exists(appImage) ? appImage : BundleLocation::runningBundle();
    const bool installed = !path.isEmpty();
    if (!installed) {
        path = QCoreApplication::applicationFilePath();
    }
    if (!canMove(path)) {
        return {Fate::keptByPackageManager, path};
    }
    return {installed ? Fate::moved : Fate::keptDevelopmentBuild, path};
}

const QList<QByteArray> &Uninstaller::desktopIds()
{
    static const QList<QByteArray> ids = {"com.vorlanta.creator.desktop",
                                          "com.vorlanta.creator.quick-project.desktop"};
    return ids;
}

Uninstaller::Uninstaller(Hooks hooks, Installation installation)
    : m_hooks(std::move(hooks)), m_installation(std::move(installation))
{}

QCoro::Task<> Uninstaller::run(Hooks hooks)
{
    Uninstaller uninstaller(std::move(hooks));
    QCoro::Task<> flow = uninstaller.showUninstallConfirmation();
    co_await flow;
}

NameSweep Uninstaller::nameSweep() const
{
    QStringList kept{m_installation.path};
    // A development build's folder (the build tree) is as much the running program.
    if (m_installation.fate == Fate::keptDevelopmentBuild) {
        kept.append(QFileInfo(m_installation.path).absolutePath());
    }
    return NameSweep(NameSweep::defaultRoots(), kept);
}

QCoro::Task<> Uninstaller::showUninstallConfirmation()
{
    const NameSweep sweep = nameSweep();
    QFuture<QStringList> scanning = QtConcurrent::run([sweep] { return sweep.findMatches(); });
    QStringList matches = co_await scanning;
    // What the earlier steps remove anyway is not the sweep's to list.
    const QStringList own = ownPaths();
    matches.removeIf([&own](const QString &match) {
        return std::any_of(own.cbegin(), own.cend(), [&match](const QString &path) {
            return match == path || match.startsWith(path + u'/');
        });
    });
    // Awaited tasks as named locals: GCC 12 mishandles temporaries inside a co_await.
    QCoro::Task<bool> asking = UninstallConfirmation::ask(m_installation.fate, matches);
    const bool confirmed = co_await asking;
    if (!confirmed) {
        co_return;
    }
    if (m_hooks.closePopover) {
        m_hooks.closePopover();
    }
    QCoro::Task<> steps = performUninstallSteps();
    co_await steps;
}

QCoro::Task<> Uninstaller::performUninstallSteps()
{
    // Stop the workers and the drag-session monitor: nothing may write while the files go.
    if (m_hooks.stopWorkers) {
        m_hooks.stopWorkers();
    }
    if (m_hooks.stopDragMonitor) {
        m_hooks.stopDragMonitor();
    }
    // Start at login.
    removePath(LaunchAgent::installedFile());
    // File-manager actions, desktop entries and the link handler's default.
    removeFileManagerEntries();
    removeOtherCopies();
    // The private data. From here on lines go to standard output only: a line in the day log
    // would create the folder again.
    Logger::stopFileOutput();
    QFuture<void> removing = QtConcurrent::run(&Uninstaller::removeAppData);
    co_await removing;
    // The saved credentials; the deletion has finished when this returns.
    AuthStore::deleteAuthState();
    // Caches, settings and the web profile.
    removeCachesAndSettings();
    QCoro::Task<> webProfile = removeWebProfile();
    co_await webProfile;
    // What carries the application's name goes to the trash, where it can be got back.
    const NameSweep sweep = nameSweep();
    QFuture<NameSweep::Result> sweeping = QtConcurrent::run([sweep] { return sweep.sweep(); });
    m_sweep = co_await sweeping;
    for (const QString &path : std::as_const(m_sweep.moved)) {
        Console::printLine(QStringLiteral("[Uninstall] Moved to the trash: ") + path);
    }
    for (const QString &failure : std::as_const(m_sweep.failed)) {
        Console::printLine(QStringLiteral("[Uninstall] Left in place: ") + failure);
    }
    QCoro::Task<> refresh = refreshDesktopDatabase();
    co_await refresh;
    // The application itself, then the word to the user.
    const QString applicationNote = moveApplicationToTrash();
    QCoro::Task<> completion = showCompletion(applicationNote);
    co_await completion;
    if (m_hooks.quit) {
        m_hooks.quit();
    }
}

QStringList Uninstaller::fileManagerEntries()
{
    QStringList paths;
    // The Nautilus scripts by the names the application writes them under.
    for (const QString &name : QDir(QStringLiteral(":/nautilus-scripts")).entryList(QDir::Files)) {
        paths.append(NautilusScripts::directory() + u'/' + name);
    }
    // What an installation into the home's prefix puts there.
    const QString data = dataHome();
    for (const char *relative :
         {"/applications/com.vorlanta.creator.desktop",
          "/applications/com.vorlanta.creator.quick-project.desktop",
          "/kio/servicemenus/vorlanta-creator-servicemenu.desktop",
          "/nemo/actions/vorlanta-quick-project.nemo_action",
          "/nemo/actions/vorlanta-send-missing-files.nemo_action",
          "/icons/hicolor/scalable/apps/com.vorlanta.creator.tray-symbolic.svg"}) {
        paths.append(data + QLatin1String(relative));
    }
    return paths;
}

void Uninstaller::removeFileManagerEntries()
{
    for (const QString &path : fileManagerEntries()) {
        removePath(path);
    }
    for (const QString &file : MimeAppsList::userFiles()) {
        for (const QByteArray &id : desktopIds()) {
            MimeAppsList::removeDesktopId(file, id);
        }
    }
}

QStringList Uninstaller::otherCopies()
{
    const QString home = QDir::homePath();
    return {home + QStringLiteral("/Applications/Vorlanta Creator.app"),
            home + QStringLiteral("/.local/opt/Vorlanta Creator.app"),
            home + QStringLiteral("/opt/Vorlanta Creator.app")};
}

void Uninstaller::removeOtherCopies()
{
    for (const QString &copy : otherCopies()) {
        if (QFileInfo::exists(copy) && !sameFile(copy, m_installation.path)) {
            QString error;
            if (!Trash().moveToTrash(copy, &error)) {
                Console::printLine(QStringLiteral("[Uninstall] Left in place: ") + copy +
                                   QStringLiteral(": ") + error);
            }
        }
    }
}

QStringList Uninstaller::appDataPaths()
{
    // The missing-files inbox other programs write to lives in the Documents folder.
    return {Paths::baseDir(), MissingFilesWatcher::defaultInboxDir()};
}

QStringList Uninstaller::settingsAndCachePaths()
{
    return {QSettings().fileName(), QStandardPaths::writableLocation(QStandardPaths::CacheLocation),
            QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)};
}

QStringList Uninstaller::ownPaths()
{
    return QStringList{LaunchAgent::installedFile()} + fileManagerEntries() + otherCopies() +
           appDataPaths() + settingsAndCachePaths();
}

void Uninstaller::removeAppData()
{
    for (const QString &path : appDataPaths()) {
        removePath(path);
    }
    // The inbox's own parent, once nothing else is in it.
    removeIfEmpty(QFileInfo(MissingFilesWatcher::defaultInboxDir()).absolutePath());
}

void Uninstaller::removeCachesAndSettings()
{
    for (const QString &path : settingsAndCachePaths()) {
        removePath(path);
        // The organisation's folder, unless another of its programs keeps files there.
        removeIfEmpty(QFileInfo(path).absolutePath());
    }
}

QCoro::Task<> Uninstaller::removeWebProfile()
{
    // A running engine would write its profile back: it clears it first.
    if (WebLayer *web = WebLayer::loaded()) {
        auto cleared = std::make_shared<QPromise<void>>();
        QFuture<void> done = cleared->future();
        cleared->start();
        web->clearAll(WebSession::webRoot(), [cleared] { cleared->finish(); });
        co_await done;
    }
    const WebLayer::Setup profile = WebSession::setup();
    removePath(profile.storagePath);
    removePath(profile.cachePath);
    removePath(Paths::baseDir());
}

QCoro::Task<> Uninstaller::refreshDesktopDatabase()
{
    const QString applications = dataHome() + QStringLiteral("/applications");
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("update-desktop-database"));
    if (tool.isEmpty() || !QFileInfo(applications).isDir()) {
        co_return;
    }
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const QStringList arguments{applications};
    QCoro::Task<bool> starting = qCoro(process).start(tool, arguments);
    if (co_await starting) {
        QCoro::Task<bool> finishing = qCoro(process).waitForFinished(60'000);
        co_await finishing;
    }
}

QString Uninstaller::moveApplicationToTrash()
{
    switch (m_installation.fate) {
    case Fate::keptByPackageManager:
        return QStringLiteral("The application itself was installed by the system's package "
                              "manager and stays in place. To remove it, run:\n") +
               QLatin1String(kPackageRemoval);
    case Fate::keptDevelopmentBuild:
        return QStringLiteral("The application itself is a development build and stays in "
                              "place: ") +
               m_installation.path;
    case Fate::moved:
        break;
    }
    QString error;
    if (!Trash().moveToTrash(m_installation.path, &error)) {
        return QStringLiteral("The application could not be moved to the trash (") + error +
               QStringLiteral("); remove it yourself: ") + m_installation.path;
    }
    Console::printLine(QStringLiteral("[Uninstall] Moved to the trash: ") + m_installation.path);
    return {};
}

QCoro::Task<> Uninstaller::showCompletion(const QString &applicationNote)
{
    QString removed = applicationNote.isEmpty()
                          ? QStringLiteral("• Application (moved to the trash)\n")
                          : QString();
    removed += QStringLiteral("• Start at login entry\n• File manager actions\n"
                              "• Desktop entries\n• App data\n"
                              "• Saved credentials (Secret Service)\n• Caches and preferences\n");
    if (!m_sweep.moved.isEmpty()) {
        removed += QStringLiteral("• %1 named after the app (moved to the trash)\n")
                       .arg(m_sweep.moved.size() == 1
                                ? QStringLiteral("1 item")
                                : QStringLiteral("%1 items").arg(m_sweep.moved.size()));
    }
    QString text = QStringLiteral("Vorlanta Creator has been removed from your system.\n\n"
                                  "The following were removed:\n") +
                   removed;
    if (!applicationNote.isEmpty()) {
        text += u'\n' + applicationNote + u'\n';
    }
    text += QStringLiteral("\nNote: You may need to log out and back in for all changes to take "
                           "effect.");
    auto *box = new QMessageBox(QMessageBox::Information, QStringLiteral("Vorlanta Creator"),
                                QStringLiteral("Uninstall Complete"));
    box->setObjectName(QStringLiteral("uninstallComplete"));
    box->setWindowModality(Qt::ApplicationModal);
    box->setInformativeText(text);
    QPushButton *quit = box->addButton(QStringLiteral("Quit"), QMessageBox::AcceptRole);
    box->setDefaultButton(quit);
    box->setEscapeButton(quit);
    box->show();
    // Deleted after the answer, not on close, which would drop this coroutine's wake-up.
    co_await qCoro(box, &QMessageBox::finished);
    box->deleteLater();
}
