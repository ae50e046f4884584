#include "core/shell/ArgumentRouter.h"

#include "core/queue/JobEnvelope.h"
#include "core/queue/QueueWriter.h"
#include "core/shell/Logger.h"

#include <QtCore/QFileInfo>
#include <QtCore/QSet>

namespace ArgumentRouter {
namespace {

bool isQuote(QChar c)
{
    return c == QLatin1Char('"') || c == QLatin1Char('\'');
}

// Shells and launchers sometimes pass quotes through literally.
QString trimQuotes(const QString &arg)
{
    qsizetype begin = 0;
    qsizetype end = arg.size();
    while (begin < end && isQuote(arg.at(begin))) {
        ++begin;
    }
    while (end > begin && isQuote(arg.at(end - 1))) {
        --end;
    }
    return arg.mid(begin, end - begin);
}

QSet<QString> optionsOf(const QStringList &args)
{
    QSet<QString> options;
    for (const QString &arg : args) {
        if (arg.startsWith(QStringLiteral("--"))) {
            options.insert(arg.toLower());
        }
    }
    return options;
}

// The dash is checked before trimming, so a quoted "-x" still counts as a path.
QStringList positionalOf(const QStringList &args)
{
    QStringList result;
    for (const QString &arg : args) {
        if (!arg.startsWith(QLatin1Char('-'))) {
            result.append(trimQuotes(arg));
        }
    }
    return result;
}

bool exists(const QString &path)
{
    return QFileInfo::exists(path);
}

QStringList existingOnly(const QStringList &paths)
{
    QStringList result;
    for (const QString &path : paths) {
        if (exists(path)) {
            result.append(path);
        }
    }
    return result;
}

QStringList dedupIgnoringCase(const QStringList &paths)
{
    QStringList kept;
    for (const QString &path : paths) {
        if (!kept.contains(path, Qt::CaseInsensitive)) {
            kept.append(path);
        }
    }
    return kept;
}

template <typename Record> bool enqueue(JobType type, const Record &record)
{
    // A failed write is already logged by the writer; the command still counts as handled.
    return !QueueWriter::write(JobEnvelope::makeNew(type, QueueWriter::convertToAnyCodable(record)))
                .isEmpty();
}

QString count(qsizetype n)
{
    return QString::number(n);
}

bool uploadFiles(const QStringList &args)
{
    QStringList files;
    for (const QString &path : positionalOf(args)) {
        const bool found = exists(path);
        Logger::info(QStringLiteral("--upload candidate: ") + path + QStringLiteral(" (exists=") +
                     (found ? QStringLiteral("true") : QStringLiteral("false")) + QLatin1Char(')'));
        if (found) {
            files.append(path);
        }
    }
    if (files.isEmpty()) {
        Logger::warn(QStringLiteral("Upload command had 0 valid files (none existed)."));
        return false;
    }
    Logger::info(QStringLiteral("Upload command received with ") + count(files.size()) +
                 QStringLiteral(" file(s)."));
    return enqueue(JobType::uploadFiles, UploadFilesJob{files});
}

bool quickProject(const QStringList &args)
{
    const QStringList files = dedupIgnoringCase(existingOnly(positionalOf(args)));
    Logger::info(QStringLiteral("Quick-project command received with ") + count(files.size()) +
                 QStringLiteral(" file(s)."));
    if (files.isEmpty()) {
        Logger::warn(QStringLiteral("Quick-project command had 0 valid files (none existed)."));
        return false;
    }
    QuickProjectPayload payload;
    payload.title = QStringLiteral("Quick Project");
    payload.longForm = false;
    payload.thumbnail = true;
    payload.isShort = false;
    payload.files = files;
    return enqueue(JobType::quickProject, payload);
}

bool missingFiles(const QStringList &args)
{
    const QStringList files = dedupIgnoringCase(existingOnly(positionalOf(args)));
    Logger::info(QStringLiteral("Missing files command received with ") + count(files.size()) +
                 QStringLiteral(" file(s)."));
    if (files.isEmpty()) {
        Logger::warn(QStringLiteral("Missing-files command had 0 valid files (none existed)."));
        return false;
    }
    return enqueue(JobType::missing, MissingFilesJob{files});
}

bool uploadFolder(const QStringList &args)
{
    QStringList directories;
    for (const QString &path : positionalOf(args)) {
        const QFileInfo info(path);
        if (info.exists() && info.isDir()) {
            directories.append(path);
        }
    }
    if (directories.isEmpty()) {
        Logger::warn(QStringLiteral("Upload-folder command missing/invalid directory."));
        return false;
    }
    const QString folder = directories.last();
    Logger::info(QStringLiteral("Upload-folder command for: ") + folder);
    return enqueue(JobType::uploadFolder, UploadFolderJob{folder});
}

bool quickCreate(const QStringList &args)
{
    std::optional<QString> target;
    // "--path" as the very last argument has no value and is ignored.
    for (qsizetype i = 0; i + 1 < args.size(); ++i) {
        if (args.at(i).compare(QStringLiteral("--path"), Qt::CaseInsensitive) == 0) {
            target = trimQuotes(args.at(i + 1));
            break;
        }
    }
    Logger::info(QStringLiteral("Quick-create command. Path=") +
                 target.value_or(QStringLiteral("(none)")));
    return enqueue(JobType::quickCreate, QuickCreateJob{target});
}

// The job commands, in the order they win over each other.
struct JobCommand {
    const char *options[2];               // the second may be absent
    bool (*run)(const QStringList &args); // true once the job file is written
};
const JobCommand kJobCommands[] = {
    {{"--upload"}, uploadFiles},
    {{"--quick-project", "--quickproject"}, quickProject},
    {{"--missing-files", "--missing"}, missingFiles},
    {{"--upload-folder"}, uploadFolder},
    {{"--quick-create"}, quickCreate},
};

const JobCommand *jobCommandOf(const QStringList &args)
{
    const QSet<QString> options = optionsOf(args);
    for (const JobCommand &command : kJobCommands) {
        for (const char *option : command.options) {
            if (option && options.contains(QString::fromLatin1(option))) {
                return &command;
            }
        }
    }
    return nullptr;
}

// The arguments as the log may show them: a link or anything else that may carry a token is
// left out, whatever it looks like.
QString loggable(const QStringList &args)
{
    QStringList shown;
    for (const QString &arg : args) {
        const bool secret = isSchemeLink(trimQuotes(arg)) ||
                            arg.contains(QLatin1String("token"), Qt::CaseInsensitive);
        shown.append(secret ? QStringLiteral("(hidden)") : arg);
    }
    return shown.join(QLatin1Char(' '));
}

} // namespace

bool isJobCommand(const QStringList &args)
{
    return jobCommandOf(args) != nullptr;
}

bool isSchemeLink(const QString &arg)
{
    return arg.startsWith(QLatin1String("vorlanta-creator:"), Qt::CaseInsensitive);
}

QString usage()
{
    return QStringLiteral(
        "Usage: vorlanta-creator [OPTION] [PATH...]\n"
        "Sends video files to Vorlanta from the tray.\n\n"
        "These options queue a job and quit; they need no display:\n"
        "  --upload PATH...              upload the files\n"
        "  --quick-project PATH...       make a quick project of the files\n"
        "  --missing-files PATH...       add the files to a project that misses them\n"
        "  --upload-folder FOLDER        upload the folder\n"
        "  --quick-create [--path PATH]  ask for a quick project, for PATH if given\n"
        "The running app, or the next one started, sends the job.\n\n"
        "  --open-quick-project PATH...  open the quick-project window with the files\n"
        "  --open-missing-files PATH...  open the missing-files window with the files\n"
        "  --help                        show this help\n"
        "  --version                     show the version\n");
}

std::optional<QStringList> extractFiles(const QString &flag, const QStringList &args)
{
    qsizetype index = -1;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args.at(i).compare(flag, Qt::CaseInsensitive) == 0) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        return std::nullopt;
    }
    QStringList files;
    for (qsizetype i = index + 1; i < args.size(); ++i) {
        const QString trimmed = trimQuotes(args.at(i));
        if (!trimmed.isEmpty()) {
            files.append(trimmed);
        }
    }
    return files;
}

QString openOption(RouteResult::Kind kind)
{
    switch (kind) {
    case RouteResult::Kind::openQuickProject:
        return QStringLiteral("--open-quick-project");
    case RouteResult::Kind::openMissingFiles:
        return QStringLiteral("--open-missing-files");
    case RouteResult::Kind::none:
    case RouteResult::Kind::handled:
        break;
    }
    return {};
}

RouteResult route(const QStringList &args)
{
    using Kind = RouteResult::Kind;
    if (args.isEmpty()) {
        Logger::info(QStringLiteral("No args provided."));
        return {Kind::none, {}};
    }
    if (const JobCommand *command = jobCommandOf(args)) {
        const bool written = command->run(args);
        return {Kind::handled, {}, written};
    }
    if (auto files = extractFiles(openOption(Kind::openQuickProject), args)) {
        Logger::info(QStringLiteral("Open-quick-project command with ") + count(files->size()) +
                     QStringLiteral(" files"));
        return {Kind::openQuickProject, *files};
    }
    if (auto files = extractFiles(openOption(Kind::openMissingFiles), args)) {
        Logger::info(QStringLiteral("Open-missing-files command with ") + count(files->size()) +
                     QStringLiteral(" files"));
        return {Kind::openMissingFiles, *files};
    }
    Logger::warn(QStringLiteral("Unknown args: ") + loggable(args));
    return {Kind::none, {}};
}

} // namespace ArgumentRouter
