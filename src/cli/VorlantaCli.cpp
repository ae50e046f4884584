#include "cli/VorlantaCli.h"

#include "BuildConfig.h"
#include "core/api/ApiRecords.h"
#include "core/api/AuthStore.h"
#include "core/api/VorlantaApiClient.h"
#include "core/shell/FileDescriptor.h"
#include "core/upload/MissingFilesViewModel.h"
#include "core/upload/QuickProjectService.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Takes "--name VALUE" out of the list; nothing when absent, an empty optional value when the
// option is last.
std::optional<QString> takeOption(QStringList &arguments, const QString &name, bool *missingValue)
{
    const qsizetype at = arguments.indexOf(name);
    if (at < 0) {
        return std::nullopt;
    }
    if (at + 1 >= arguments.size()) {
        *missingValue = true;
        arguments.removeAt(at);
        return QString();
    }
    const QString value = arguments.at(at + 1);
    arguments.remove(at, 2);
    return value;
}

// The first argument that looks like an option, or empty text.
QString firstOption(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument.startsWith(QLatin1String("--"))) {
            return argument;
        }
    }
    return {};
}

QStringList absolutePaths(const QStringList &files)
{
    QStringList paths;
    for (const QString &file : files) {
        paths.append(QFileInfo(file).absoluteFilePath());
    }
    return paths;
}

bool takeFlag(QStringList &arguments, const QString &name)
{
    return arguments.removeAll(name) > 0;
}

QString errnoText(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

// Why a file cannot be uploaded, or empty text: it must be a regular file this user can read.
QString uploadProblem(const QString &file)
{
    const QByteArray path = QFile::encodeName(file);
    struct stat info {};
    if (::stat(path.constData(), &info) != 0) {
        return errnoText(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return errnoText(EISDIR);
    }
    if (!S_ISREG(info.st_mode)) {
        return QStringLiteral("Not a regular file");
    }
    const FileDescriptor descriptor(::open(path.constData(), O_RDONLY | O_CLOEXEC));
    return descriptor.get() >= 0 ? QString() : errnoText(errno);
}

// The line that ends a failed workflow names the failure: the engine's failure line where it
// wrote one, else the error itself; never a progress text such as "Creating project...".
QString failureLine(const QString &statusText, const std::exception &error)
{
    const auto *own = dynamic_cast<const QuickProjectServiceError *>(&error);
    if (own != nullptr && own->code() == QuickProjectService::kCancelled) {
        return own->description();
    }
    if (statusText.startsWith(QLatin1String("Upload failed for ")) ||
        statusText.startsWith(QLatin1String("Error creating project: "))) {
        return statusText;
    }
    return own != nullptr ? own->description() : describeError(error);
}

} // namespace

QString VorlantaCli::usage()
{
    return QStringLiteral(
        "Usage: vorlanta [--service URL] COMMAND [OPTIONS]\n"
        "\n"
        "Commands:\n"
        "  login --token TOKEN   check the token with the service and save it\n"
        "  logout                forget the saved token\n"
        "  status [--json]       whether a saved token is accepted by the service\n"
        "  channels [--json]     the channels of the signed-in creator\n"
        "  projects [--search TEXT] [--page N] [--json]\n"
        "                        the creator's projects, seven a page\n"
        "  create --title T --channel ID [--notes T] [--due dd/MM/yyyy]\n"
        "         [--no-thumbnail] [--no-long-form] [--no-short] FILE...\n"
        "                        create a project and upload the files to it\n"
        "  send --project ID FILE...\n"
        "                        upload more files to an existing project\n"
        "\n"
        "Options:\n"
        "  --service URL         API base URL (default: the one this build was made for)\n"
        "  --verbose             diagnostic lines on standard error\n"
        "  --help                this text\n"
        "  --version             the version\n");
}

void VorlantaCli::print(const QString &text)
{
    const QByteArray bytes = (text + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
    std::fflush(m_out);
}

int VorlantaCli::fail(const QString &text, int status)
{
    const QByteArray bytes = (QStringLiteral("vorlanta: ") + text + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_err);
    std::fflush(m_err);
    return status;
}

QCoro::Task<int> VorlantaCli::run(const QStringList &argumentList)
{
    QStringList arguments = argumentList;
    if (arguments.isEmpty() || takeFlag(arguments, QStringLiteral("--help")) ||
        takeFlag(arguments, QStringLiteral("-h"))) {
        print(usage());
        co_return arguments.isEmpty() && argumentList.isEmpty() ? 2 : 0;
    }
    if (takeFlag(arguments, QStringLiteral("--version"))) {
        print(QStringLiteral("vorlanta ") + QString::fromUtf8(BuildConfig::kShortVersion) +
              QStringLiteral(" (build ") + QString::fromUtf8(BuildConfig::kBuildNumber) +
              QLatin1Char(')'));
        co_return 0;
    }
    Options options;
    bool missingValue = false;
    const std::optional<QString> service =
        takeOption(arguments, QStringLiteral("--service"), &missingValue);
    options.serviceGiven = service.has_value();
    options.service = service.value_or(QString::fromUtf8(BuildConfig::kApiBaseUrl));
    if (missingValue) {
        co_return fail(QStringLiteral("--service needs a URL"), 2);
    }
    options.json = takeFlag(arguments, QStringLiteral("--json"));
    if (arguments.isEmpty()) {
        co_return fail(QStringLiteral("no command given (try --help)"), 2);
    }
    options.command = arguments.takeFirst();
    options.rest = arguments;

    try {
        if (options.command == QLatin1String("login")) {
            co_return co_await login(options);
        }
        if (options.command == QLatin1String("logout")) {
            co_return logout();
        }
        if (options.command == QLatin1String("status")) {
            co_return co_await status(options);
        }
        if (options.command == QLatin1String("channels")) {
            co_return co_await channels(options);
        }
        if (options.command == QLatin1String("projects")) {
            co_return co_await projects(options);
        }
        if (options.command == QLatin1String("create")) {
            co_return co_await create(options);
        }
        if (options.command == QLatin1String("send")) {
            co_return co_await send(options);
        }
    } catch (const std::invalid_argument &error) {
        co_return fail(
            QStringLiteral("the service address %1 is not a valid URL").arg(options.service), 2);
    }
    co_return fail(QStringLiteral("unknown command \"%1\" (try --help)").arg(options.command), 2);
}

QCoro::Task<int> VorlantaCli::login(const Options &options)
{
    QStringList rest = options.rest;
    bool missingValue = false;
    const std::optional<QString> token = takeOption(rest, QStringLiteral("--token"), &missingValue);
    if (!token || token->isEmpty()) {
        co_return fail(QStringLiteral("login needs --token TOKEN"), 2);
    }
    if (!rest.isEmpty()) {
        co_return fail(QStringLiteral("unexpected arguments: ") + rest.join(QLatin1Char(' ')), 2);
    }
    // As a sign-in in the application: check first, save only an accepted token.
    const AuthState state{*token, std::nullopt};
    const std::shared_ptr<VorlantaApiClient> client =
        VorlantaApiClient::make(options.service, state);
    const VorlantaApiClient::TokenCheckResult check = co_await client->checkToken();
    switch (check.outcome) {
    case VorlantaApiClient::TokenCheck::accepted:
        AuthStore::save(state);
        if (AuthStore::load() != state) {
            co_return fail(QStringLiteral("the token is valid but could not be saved in the "
                                          "Secret Service (is a keyring running and unlocked?)"));
        }
        print(QStringLiteral("Signed in to ") + options.service);
        co_return 0;
    case VorlantaApiClient::TokenCheck::rejected:
        co_return fail(QStringLiteral("the service rejected this token; nothing was saved"));
    case VorlantaApiClient::TokenCheck::unreachable:
    case VorlantaApiClient::TokenCheck::refused:
        break;
    }
    co_return fail(QStringLiteral("cannot check the token with ") + options.service +
                   QStringLiteral(": ") + check.message + QStringLiteral(" Nothing was saved."));
}

int VorlantaCli::logout()
{
    AuthStore::deleteAuthState();
    print(QStringLiteral("Signed out."));
    return 0;
}

QCoro::Task<int> VorlantaCli::status(const Options &options)
{
    AuthStore::Availability availability = AuthStore::Availability::available;
    const std::optional<AuthState> saved = AuthStore::load(&availability);
    QString state;
    QString detail;
    int code = 0;
    if (availability == AuthStore::Availability::unavailable) {
        state = QStringLiteral("keyring-unavailable");
        detail = QStringLiteral("the Secret Service does not answer");
        code = 1;
    } else if (!saved) {
        state = QStringLiteral("signed-out");
        detail = QStringLiteral("no saved token");
        code = 1;
    } else {
        const std::shared_ptr<VorlantaApiClient> client =
            VorlantaApiClient::make(options.service, *saved);
        const VorlantaApiClient::TokenCheckResult check = co_await client->checkToken();
        switch (check.outcome) {
        case VorlantaApiClient::TokenCheck::accepted:
            state = QStringLiteral("signed-in");
            detail = QStringLiteral("the service accepts the saved token");
            break;
        case VorlantaApiClient::TokenCheck::rejected:
            state = QStringLiteral("rejected");
            detail = QStringLiteral("the service rejects the saved token");
            code = 1;
            break;
        case VorlantaApiClient::TokenCheck::unreachable:
        case VorlantaApiClient::TokenCheck::refused:
            state = check.outcome == VorlantaApiClient::TokenCheck::refused
                        ? QStringLiteral("refused")
                        : QStringLiteral("unreachable");
            detail = check.message;
            code = 1;
            break;
        }
    }
    if (options.json) {
        nlohmann::ordered_json json;
        json["status"] = state.toStdString();
        json["service"] = options.service.toStdString();
        json["tokenSaved"] = saved.has_value();
        json["detail"] = detail.toStdString();
        print(QString::fromStdString(json.dump()));
    } else {
        print(state + QStringLiteral(": ") + detail + QStringLiteral(" (") + options.service +
              QLatin1Char(')'));
    }
    co_return code;
}

QCoro::Task<int> VorlantaCli::channels(const Options &options)
{
    const std::optional<AuthState> saved = AuthStore::load();
    if (!saved || saved->accessToken.isEmpty()) {
        co_return fail(QStringLiteral("not signed in (run: vorlanta login --token TOKEN)"));
    }
    const std::shared_ptr<VorlantaApiClient> client =
        VorlantaApiClient::make(options.service, *saved);
    QByteArray body;
    QList<Channel> list;
    try {
        const QString path = QStringLiteral("api/v1/creator/channels/");
        body = co_await client->getRaw(path);
        list = Channel::listFromJson(JsonRead::parse(body));
    } catch (const std::exception &error) {
        co_return fail(QStringLiteral("cannot load the channels: ") + describeError(error));
    }
    if (options.json) {
        // The array as the service sent it.
        print(QString::fromUtf8(body).trimmed());
        co_return 0;
    }
    for (const Channel &channel : std::as_const(list)) {
        print(QString::number(channel.id) + QLatin1Char('\t') + channel.name);
    }
    co_return 0;
}

QCoro::Task<int> VorlantaCli::projects(const Options &options)
{
    QStringList rest = options.rest;
    bool missingValue = false;
    const QString search =
        takeOption(rest, QStringLiteral("--search"), &missingValue).value_or(QString());
    const std::optional<QString> pageText =
        takeOption(rest, QStringLiteral("--page"), &missingValue);
    bool pageIsNumber = true;
    const int page = pageText ? pageText->toInt(&pageIsNumber) : 1;
    if (missingValue || !pageIsNumber || page < 1) {
        co_return fail(QStringLiteral("projects takes --search TEXT and --page N (N from 1)"), 2);
    }
    if (!rest.isEmpty()) {
        co_return fail(QStringLiteral("unexpected arguments: ") + rest.join(QLatin1Char(' ')), 2);
    }
    // Without --service the catalogue keeps its own configuration.
    const std::unique_ptr<MissingFilesViewModel> model =
        options.serviceGiven ? std::make_unique<MissingFilesViewModel>(options.service)
                             : std::make_unique<MissingFilesViewModel>();
    MissingFilesViewModel &catalogue = *model;
    if (!catalogue.apiClient()) {
        co_return fail(catalogue.statusText());
    }
    co_await catalogue.loadProjectsAsync();
    if (catalogue.statusText().startsWith(QLatin1String("Error: "))) {
        co_return fail(catalogue.statusText());
    }
    catalogue.setSearchQuery(search);
    if (page > std::max(1, catalogue.pageCount())) {
        co_return fail(QStringLiteral("there are only %1 page(s)").arg(catalogue.pageCount()));
    }
    catalogue.setCurrentPage(page);
    const QList<MissingFilesViewModel::ProjectCard> cards = catalogue.paginatedProjects();
    if (options.json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const auto &card : cards) {
            nlohmann::ordered_json files = nlohmann::ordered_json::array();
            for (const auto &file : card.files) {
                files.push_back({{"id", file.id},
                                 {"name", file.name.toStdString()},
                                 {"size", file.size},
                                 {"url", file.url.toStdString()},
                                 {"locked", file.locked}});
            }
            nlohmann::ordered_json json;
            json["id"] = card.id;
            json["title"] = card.title.toStdString();
            json["channel"] =
                card.channel
                    ? nlohmann::ordered_json{{"id", card.channel->id},
                                             {"name", card.channel->name
                                                          ? nlohmann::ordered_json(
                                                                card.channel->name->toStdString())
                                                          : nullptr}}
                    : nullptr;
            json["dueDate"] = card.dueDate
                                  ? nlohmann::ordered_json(
                                        card.dueDate->toUTC().toString(Qt::ISODate).toStdString())
                                  : nullptr;
            json["hasThumbnailAddon"] = card.hasThumbnailAddon;
            json["hasReformattingAddon"] = card.hasReformattingAddon;
            json["hasLongForm"] = card.hasLongForm;
            json["files"] = std::move(files);
            list.push_back(std::move(json));
        }
        print(QString::fromStdString(list.dump()));
        co_return 0;
    }
    for (const auto &card : cards) {
        print(QString::number(card.id) + QLatin1Char('\t') + card.title + QLatin1Char('\t') +
              QStringLiteral("%1 file(s)").arg(card.files.size()) + QLatin1Char('\t') +
              (card.dueDate ? card.dueDate->toUTC().toString(QStringLiteral("yyyy-MM-dd"))
                            : QStringLiteral("no due date")));
    }
    print(QStringLiteral("page %1 of %2, %3 project(s)")
              .arg(page)
              .arg(std::max(1, catalogue.pageCount()))
              .arg(catalogue.filteredProjects().size()));
    co_return 0;
}

std::shared_ptr<VorlantaApiClient> VorlantaCli::signedInClient(const Options &options)
{
    const std::optional<AuthState> saved = AuthStore::load();
    if (!saved || saved->accessToken.isEmpty()) {
        fail(QStringLiteral("not signed in (run: vorlanta login --token TOKEN)"));
        return nullptr;
    }
    return VorlantaApiClient::make(options.service, *saved);
}

void VorlantaCli::followProgress(QuickProjectService &service, const QStringList &files)
{
    m_progressOnTerminal = ::isatty(::fileno(m_out)) == 1;
    if (m_progressOnTerminal) {
        // A live line: percent, bytes, rate and time left.
        qint64 total = 0;
        for (const QString &file : files) {
            total += std::max<qint64>(0, QFileInfo(file).size());
        }
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        // Parts report when they are through, and about every MiB while they are sent; a retried
        // part starts again, so the line never goes back.
        auto shown = std::make_shared<qint64>(0);
        const auto update = [this, &service, total, clock, shown](qint64 sentInFile, qint64) {
            const double mib = 1024.0 * 1024.0;
            const qint64 done =
                std::max(*shown, std::min(total, qint64(service.uploadProgress() * double(total)) +
                                                     sentInFile));
            *shown = done;
            const double seconds = std::max(0.001, double(clock->elapsed()) / 1000.0);
            const double rate = double(done) / seconds;
            const qint64 left = rate > 0 ? qint64(double(total - done) / rate) : 0;
            const QString line =
                QStringLiteral("%1%  %2 / %3 MiB  %4 MiB/s  ETA %5:%6")
                    .arg(total > 0 ? 100.0 * double(done) / double(total) : 100.0, 5, 'f', 1)
                    .arg(double(done) / mib, 0, 'f', 1)
                    .arg(double(total) / mib, 0, 'f', 1)
                    .arg(rate / mib, 0, 'f', 1)
                    .arg(left / 60)
                    .arg(left % 60, 2, 10, QLatin1Char('0'));
            const QByteArray bytes = QByteArray("\r\033[K") + line.toUtf8();
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
            std::fflush(m_out);
            m_progressLineOpen = true;
        };
        QObject::connect(&service, &QuickProjectService::partUploaded, &service, update);
        QObject::connect(&service, &QuickProjectService::uploadBytesSent, &service, update);
    }
    QObject::connect(&service, &QuickProjectService::statusTextChanged, &service,
                     [this](const QString &text) {
                         if (m_progressOnTerminal) {
                             const QByteArray line = QByteArray("\r\033[K") + text.toUtf8();
                             std::fwrite(line.constData(), 1, size_t(line.size()), m_out);
                             std::fflush(m_out);
                             m_progressLineOpen = true;
                         } else {
                             print(text);
                         }
                     });
}

void VorlantaCli::endProgress()
{
    if (m_progressLineOpen) {
        std::fputc('\n', m_out);
        std::fflush(m_out);
        m_progressLineOpen = false;
    }
}

QCoro::Task<int> VorlantaCli::create(const Options &options)
{
    QStringList rest = options.rest;
    bool missingValue = false;
    const std::optional<QString> title = takeOption(rest, QStringLiteral("--title"), &missingValue);
    const std::optional<QString> channelText =
        takeOption(rest, QStringLiteral("--channel"), &missingValue);
    const std::optional<QString> notes = takeOption(rest, QStringLiteral("--notes"), &missingValue);
    const std::optional<QString> due = takeOption(rest, QStringLiteral("--due"), &missingValue);
    const bool thumbnail = !takeFlag(rest, QStringLiteral("--no-thumbnail"));
    const bool longForm = !takeFlag(rest, QStringLiteral("--no-long-form"));
    const bool isShort = !takeFlag(rest, QStringLiteral("--no-short"));
    bool channelIsNumber = false;
    const qint64 channel = channelText ? channelText->toLongLong(&channelIsNumber) : 0;
    if (missingValue || !title || title->isEmpty() || !channelIsNumber) {
        co_return fail(QStringLiteral("create needs --title TEXT and --channel ID"), 2);
    }
    if (due && !QDate::fromString(*due, QStringLiteral("dd/MM/yyyy")).isValid()) {
        co_return fail(QStringLiteral("--due takes a date as dd/MM/yyyy"), 2);
    }
    const Workflow workflow = [=](QuickProjectService &service,
                                  const QStringList &files) -> QCoro::Task<QString> {
        const qint64 id = co_await service.createProject(*title, notes, channel, due, thumbnail,
                                                         longForm, isShort, files);
        co_return QStringLiteral("Project %1 created with %2 file(s).").arg(id).arg(files.size());
    };
    const int status = co_await runWorkflow(options, rest, workflow);
    co_return status;
}

QCoro::Task<int> VorlantaCli::send(const Options &options)
{
    QStringList rest = options.rest;
    bool missingValue = false;
    const std::optional<QString> projectText =
        takeOption(rest, QStringLiteral("--project"), &missingValue);
    bool projectIsNumber = false;
    const qint64 project = projectText ? projectText->toLongLong(&projectIsNumber) : 0;
    if (missingValue || !projectIsNumber || rest.isEmpty()) {
        co_return fail(QStringLiteral("send needs --project ID and at least one FILE"), 2);
    }
    const Workflow workflow = [=](QuickProjectService &service,
                                  const QStringList &files) -> QCoro::Task<QString> {
        co_await service.addFiles(project, files);
        co_return QStringLiteral("%1 file(s) sent to project %2.").arg(files.size()).arg(project);
    };
    const int status = co_await runWorkflow(options, rest, workflow);
    co_return status;
}

bool VorlantaCli::checkFiles(const QStringList &files)
{
    bool allUploadable = true;
    for (const QString &file : files) {
        const QString problem = uploadProblem(file);
        if (!problem.isEmpty()) {
            fail(file + QStringLiteral(": ") + problem);
            allUploadable = false;
        }
    }
    return allUploadable;
}

bool VorlantaCli::interrupt(int signalNumber)
{
    if (m_interruptedBy == 0 && m_running != nullptr && m_running->isUploading()) {
        m_interruptedBy = signalNumber;
        m_running->cancel();
        return true;
    }
    endProgress();
    return false;
}

QCoro::Task<int> VorlantaCli::runWorkflow(const Options &options, const QStringList &restRef,
                                          const Workflow &workflow)
{
    const QStringList rest = restRef;
    const QString unknown = firstOption(rest);
    if (!unknown.isEmpty()) {
        co_return fail(QStringLiteral("unknown option ") + unknown, 2);
    }
    // All files are checked before anything is sent: a bad one must not leave a project behind.
    if (!checkFiles(rest)) {
        co_return 2;
    }
    const QStringList files = absolutePaths(rest);
    const std::shared_ptr<VorlantaApiClient> client = signedInClient(options);
    if (!client) {
        co_return 1;
    }
    QuickProjectService service(client);
    followProgress(service, files);
    m_running = &service;
    try {
        const QString done = co_await workflow(service, files);
        m_running = nullptr;
        endProgress();
        print(done);
        co_return 0;
    } catch (const std::exception &error) {
        m_running = nullptr;
        endProgress();
        co_return fail(failureLine(service.statusText(), error),
                       m_interruptedBy > 0 ? 128 + m_interruptedBy : 1);
    }
}
