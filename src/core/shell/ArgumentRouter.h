#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>

#include <optional>

// Turns the application's command line into a queued job or a request to open a window.
namespace ArgumentRouter {

struct RouteResult {
    enum class Kind {
        openQuickProject, // paths: the files to show in the quick-project window
        openMissingFiles, // paths: the files to show in the missing-files window
        none,             // nothing to do
        handled,          // a job command; its job (if any) has been written to the queue
    };
    Kind kind = Kind::none;
    QStringList paths;
    // For handled: the job file was written to the queue.
    bool jobWritten = false;
};

// Routes the arguments (without the program path); logs what it decided.
RouteResult route(const QStringList &args);

// Nothing when no argument equals flag (ignoring case); otherwise every argument after the first
// such one, quote-trimmed, empty ones dropped.
std::optional<QStringList> extractFiles(const QString &flag, const QStringList &args);

// The option that opens the window of an open kind, as route() recognises it; empty otherwise.
QString openOption(RouteResult::Kind kind);

// True when route() would write a job and end the process: such a start needs no display.
bool isJobCommand(const QStringList &args);

// A link of the application's own URL scheme, by its prefix in any case however malformed the
// rest is (a token with "|" fails QUrl's strict check): such links are the desktop's URL events,
// never options or paths.
bool isSchemeLink(const QString &arg);

// The options, for --help.
QString usage();

} // namespace ArgumentRouter
