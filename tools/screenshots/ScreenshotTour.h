#pragma once

#include <QtCore/QDir>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <functional>

class QWidget;

// Opens the work windows against a running service, brings each into the states people should
// see and saves one PNG per state.
class ScreenshotTour {
public:
    ScreenshotTour(QDir out, QString service, QString token, QStringList media);

    // False (with a message on standard error) when a state could not be reached.
    bool run();

private:
    bool quickProject();
    bool missingFiles();
    // The tray: panel, drop tile, popover signed in with recent uploads, drop mode, menu, About,
    // an error.
    bool tray();
    // The question before the uninstall, with items the name sweep would move to the trash.
    bool uninstallConfirmation();
    // The dashboard window, signed in with the token.
    bool dashboard();
    // Signed out: the setup window, the login window on the service's page, the popover's
    // setup prompt; then signed in: the welcome page.
    bool setup();
    // The screen's area around the tray and whatever the app shows there, other clients' windows
    // included (the panel).
    bool saveScreen(const QRect &area, const QString &name);
    // Runs the event loop until the condition holds; false after the timeout.
    static bool waitFor(const std::function<bool()> &condition, int timeoutMs = 20000);
    // Lets animations and pages settle; always true.
    static bool pause(int ms);
    bool save(QWidget *window, const QString &name);
    bool fail(const QString &what);

    QDir m_out;
    QString m_service;
    QString m_token;
    QStringList m_media;
};
