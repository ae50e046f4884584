#include "BuildConfig.h"
#include "core/shell/ArgumentRouter.h"
#include "core/shell/Logger.h"
#include "core/shell/UnixSignalWatcher.h"
#include "gui/shell/AppDelegate.h"
#include "gui/shell/Vorlanta_CreatorApp.h"

#include <QtCore/QTimer>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QApplication>

#include <csignal>
#include <cstdio>

namespace {

// Custom-scheme URLs are the desktop's URL events, not command-line options.
QStringList takeLaunchUrls(QStringList &arguments)
{
    QStringList urls;
    for (auto it = arguments.begin(); it != arguments.end();) {
        if (ArgumentRouter::isSchemeLink(*it)) {
            urls.append(*it);
            it = arguments.erase(it);
        } else {
            ++it;
        }
    }
    return urls;
}

bool hasOption(const QStringList &arguments, const char *option)
{
    return arguments.contains(QString::fromLatin1(option), Qt::CaseInsensitive);
}

// X11, Wayland, or a platform named explicitly; without one Qt's platform plugin aborts.
bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char *argv[])
{
    // Answered before anything needs a display.
    QStringList options;
    for (int i = 1; i < argc; ++i) {
        options.append(QString::fromLocal8Bit(argv[i]));
    }
    if (hasOption(options, "--help") || hasOption(options, "--version")) {
        const QString text = hasOption(options, "--help")
                                 ? ArgumentRouter::usage()
                                 : QString::fromUtf8(BuildConfig::kBundleName) + u' ' +
                                       QString::fromUtf8(BuildConfig::kShortVersion) + u'\n';
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!hasDisplay()) {
        if (!ArgumentRouter::isJobCommand(options)) {
            std::fputs("vorlanta-creator: needs a desktop session (no X11 or Wayland display); "
                       "see --help for the options that work without one\n",
                       stderr);
            return 1;
        }
        // A job command only writes its job file: no window ever opens.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

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
    arguments.removeFirst(); // the program path
    const QStringList launchUrls = takeLaunchUrls(arguments);
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
