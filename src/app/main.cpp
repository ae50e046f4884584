#include "BuildConfig.h"
#include "core/shell/Logger.h"
#include "core/shell/UnixSignalWatcher.h"
#include "gui/shell/AppDelegate.h"
#include "gui/shell/Vorlanta_CreatorApp.h"

#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QApplication>

#include <csignal>

namespace {

// Custom-scheme URLs are the desktop's URL events, not command-line options.
QStringList takeLaunchUrls(QStringList &arguments)
{
    QStringList urls;
    for (auto it = arguments.begin() + (arguments.isEmpty() ? 0 : 1); it != arguments.end();) {
        const QUrl url(*it, QUrl::StrictMode);
        if (url.isValid() &&
            url.scheme().compare(QLatin1String("vorlanta-creator"), Qt::CaseInsensitive) == 0) {
            urls.append(*it);
            it = arguments.erase(it);
        } else {
            ++it;
        }
    }
    return urls;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(BuildConfig::kBundleName));
    QApplication::setOrganizationName(QStringLiteral("Vorlanta"));
    QApplication::setApplicationVersion(QString::fromUtf8(BuildConfig::kShortVersion));
    QGuiApplication::setDesktopFileName(QString::fromUtf8(BuildConfig::kBundleIdentifier));
    // A tray application: closing its last window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    UnixSignalWatcher signals_({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signals_, &UnixSignalWatcher::signalReceived, &application,
                     [] { QCoreApplication::quit(); });

    QStringList arguments = QCoreApplication::arguments();
    const QStringList launchUrls = takeLaunchUrls(arguments);

    arguments.removeFirst(); // the program path
    Vorlanta_CreatorApp app(arguments, launchUrls);
    AppDelegate &delegate = app.appDelegate();

    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    QObject::connect(&application, &QGuiApplication::applicationStateChanged, &delegate,
                     [&delegate](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive) {
                             delegate.applicationDidBecomeActive();
                         }
                     });
    // The platform reports the launch finished once the event loop runs.
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);

    const int status = QApplication::exec();
    Logger::flush();
    return status;
}
