// The application delegate's uninstall entry point, kept beside the flow it starts.
#include "gui/droptile/DragSessionMonitor.h"
#include "gui/shell/AppDelegate.h"
#include "gui/shell/StatusItem.h"
#include "gui/uninstall/Uninstaller.h"

#include <QtCore/QCoreApplication>

void AppDelegate::showUninstallConfirmation()
{
    const QPointer<AppDelegate> self(this);
    Uninstaller::Hooks hooks;
    // The same stops as at termination: the workers and the popover's click monitors.
    hooks.stopWorkers = [self] {
        if (self) {
            self->applicationWillTerminate();
        }
    };
    hooks.stopDragMonitor = [] { DragSessionMonitor::shared().stopMonitoring(); };
    hooks.closePopover = [self] {
        if (self && self->m_statusItem) {
            self->m_statusItem->closePopover();
        }
    };
    hooks.quit = [] { QCoreApplication::quit(); };
    // Runs on its own; the flow ends the application.
    Uninstaller::run(std::move(hooks));
}
