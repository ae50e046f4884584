#include "cli/VorlantaCli.h"
#include "core/shell/Console.h"
#include "core/shell/UnixSignalWatcher.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// Pointers, not references or captures: the coroutine outlives the call that starts it.
QCoro::Task<> runCommand(VorlantaCli *cli, const QStringList *arguments, int *status)
{
    *status = co_await cli->run(*arguments);
    QCoreApplication::exit(*status);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorlanta"));
    QCoreApplication::setOrganizationName(QStringLiteral("Vorlanta"));

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    // Standard output carries results only; the library's diagnostics go to standard error with
    // --verbose and nowhere otherwise.
    Console::setDiagnosticStream(arguments.removeAll(QStringLiteral("--verbose")) > 0 ? stderr
                                                                                      : nullptr);
    VorlantaCli cli(stdout, stderr);
    // The first Ctrl+C (or SIGTERM) stops the upload, which reports what did not finish; a second
    // one, or one while nothing is being sent, ends the process at once.
    UnixSignalWatcher signalWatcher({SIGINT, SIGTERM});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::signalReceived, &application,
                     [&cli](int signalNumber) {
                         if (!cli.interrupt(signalNumber)) {
                             std::fflush(stdout);
                             std::_Exit(128 + signalNumber);
                         }
                     });
    int status = 1;
    // The command runs inside the event loop; its end ends the loop.
    QTimer::singleShot(0, &application, [&] { runCommand(&cli, &arguments, &status); });
    QCoreApplication::exec();
    return status;
}
