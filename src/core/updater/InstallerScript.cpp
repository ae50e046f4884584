#include "core/updater/InstallerScript.h"

#include "core/updater/BundleLocation.h"

namespace InstallerScript {

QString bashQuoted(const QString &value)
{
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString compose(const QString &logFile, const QString &downloadSite)
{
    const QString header =
        QStringLiteral("#!/bin/bash\n"
                       "APP_PATH=\"$1\"\n"
                       "NEW_APP=\"$2\"\n"
                       "PID=\"$3\"\n"
                       "OLD_APP=\"$1.old\"\n"
                       "SCRIPT_PATH=\"$0\"\n"
                       "LOG_FILE=") +
        bashQuoted(logFile) + QStringLiteral("\nDOWNLOAD_SITE=") + bashQuoted(downloadSite) +
        QStringLiteral("\nEXECUTABLE=") +
        bashQuoted(QStringLiteral("bin/") + QLatin1String(BundleLocation::kExecutableName)) +
        QStringLiteral("\n");
    static const QString body = QStringLiteral(R"SCRIPT(
log() {
    echo "$(date '+%Y-%m-%d %H:%M:%S') $1" >> "$LOG_FILE"
}

cleanup_and_fail() {
    log "ERROR: $1"
    if [ -d "$OLD_APP" ] && [ ! -e "$APP_PATH" ]; then
        log "Attempting to restore old app"
        mv -T "$OLD_APP" "$APP_PATH" 2>/dev/null || true
    fi
    if [ -d "$NEW_APP" ] && [ ! -e "$APP_PATH" ]; then
        log "Attempting to restore from staged app"
        mv -T "$NEW_APP" "$APP_PATH" 2>/dev/null || true
    fi
    xdg-open "$DOWNLOAD_SITE" >/dev/null 2>&1 &
    rm -f "$SCRIPT_PATH"
    exit 1
}

log "Starting update: PID=$PID, APP=$APP_PATH, NEW=$NEW_APP"

log "Waiting for app to terminate..."
while kill -0 "$PID" 2>/dev/null; do
    sleep 0.5
done
log "App terminated"
sleep 1

# The old bundle is only renamed aside until the new one is in place: a removal that stops
# half-way must never leave a half installation behind, and renames either happen or do not.
log "Removing old app..."
rm -rf "$OLD_APP" 2>/dev/null
if ! mv -T "$APP_PATH" "$OLD_APP"; then
    cleanup_and_fail "Failed to remove old app"
fi
log "Old app removed"

log "Installing new app..."
if ! mv -T "$NEW_APP" "$APP_PATH"; then
    cleanup_and_fail "Failed to install new app"
fi
log "New app installed"
if ! rm -rf "$OLD_APP"; then
    log "WARNING: Could not delete the old app at $OLD_APP"
fi

log "Launching updated app..."
if [ -x "$APP_PATH/$EXECUTABLE" ] && setsid -f "$APP_PATH/$EXECUTABLE" </dev/null >/dev/null 2>&1; then
    log "App launched successfully"
else
    log "WARNING: Failed to launch app automatically. User may need to launch manually."
fi

rm -f "$SCRIPT_PATH"
log "Update complete"
exit 0
)SCRIPT");
    return header + body;
}

} // namespace InstallerScript
