#pragma once

#include "core/uninstall/NameSweep.h"
#include "gui/uninstall/UninstallConfirmation.h"

#include <QCoro/QCoroTask>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <functional>

// Removes the application for this user: stops its workers, then takes away the start at login
// entry, the file-manager actions and desktop entries, the data, the saved credentials, caches
// and settings, moves what carries its name and the application itself to the trash, says what
// it did and quits. Every step ignores its own failure. Main thread.
class Uninstaller {
public:
    struct Hooks {
        // The workers and the popover's click monitors, stopped as at termination.
        std::function<void()> stopWorkers;
        // The drag-session monitor; empty when there is none.
        std::function<void()> stopDragMonitor;
        std::function<void()> closePopover;
        // Ends the application once the final alert is dismissed.
        std::function<void()> quit;
    };

    // The program this process runs from and what the uninstall may do with it.
    struct Installation {
        UninstallConfirmation::Application fate;
        QString path; // the bundle, the AppImage or the executable
        // The bundle, or $APPIMAGE; a place the user cannot write to belongs to the system's
        // package manager.
        static Installation running();
    };

    static constexpr char kPackageRemoval[] = "sudo apt remove vorlanta-creator";
    // The desktop ids this application's entries are known by.
    static const QList<QByteArray> &desktopIds();

    explicit Uninstaller(Hooks hooks, Installation installation = Installation::running());

    // Runs the whole flow in a coroutine that owns its uninstaller; the task may be dropped.
    static QCoro::Task<> run(Hooks hooks);

    // Looks for what the name sweep would take (off the UI thread), asks, and on "Uninstall"
    // closes the popover and performs the steps.
    QCoro::Task<> showUninstallConfirmation();
    // Every step in order, then "Uninstall Complete"; quits when the alert is dismissed.
    QCoro::Task<> performUninstallSteps();

    // The per-user file-manager actions and desktop entries this application installs.
    static QStringList fileManagerEntries();
    // Per-user copies of the application besides the running one.
    static QStringList otherCopies();
    // The data folder and the missing-files inbox.
    static QStringList appDataPaths();
    // The settings file and the application's cache, data and config folders.
    static QStringList settingsAndCachePaths();
    // Everything the steps before the name sweep remove by name.
    static QStringList ownPaths();
    // The sweep as the uninstall runs it: default roots, the running application kept.
    NameSweep nameSweep() const;

private:
    void removeFileManagerEntries();
    void removeOtherCopies();
    static void removeAppData();
    static void removeCachesAndSettings();
    static QCoro::Task<> removeWebProfile();
    static QCoro::Task<> refreshDesktopDatabase();
    // What became of the application, for the final alert.
    QString moveApplicationToTrash();
    QCoro::Task<> showCompletion(const QString &applicationNote);

    Hooks m_hooks;
    Installation m_installation;
    NameSweep::Result m_sweep;
};
