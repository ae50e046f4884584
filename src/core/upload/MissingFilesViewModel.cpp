#include "core/upload/MissingFilesViewModel.h"

#include "BuildConfig.h"
#include "core/api/ApiRecords.h"
#include "core/api/AuthStore.h"
#include "core/shell/Console.h"

#include <QtCore/QFileInfo>
#include <QtCore/QLocale>
#include <QtCore/QPointer>
#include <QtCore/QRegularExpression>
#include <QtCore/QStringDecoder>
#include <QtCore/QTimeZone>

#include <cmath>
#include <limits>

namespace {

using Json = nlohmann::json;
using Card = MissingFilesViewModel::ProjectCard;

constexpr qint64 kMax = std::numeric_limits<qint64>::max();
constexpr qint64 kMin = std::numeric_limits<qint64>::min();

QString text(const std::string &utf8)
{
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

const Json *memberOf(const Json &object, const char *key)
{
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

// Booleans count as numbers; a float counts only when it holds a whole number in range.
std::optional<qint64> integerValue(const Json *value)
{
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_boolean()) {
        return value->get<bool>() ? 1 : 0;
    }
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        return number <= std::uint64_t(kMax) ? std::optional<qint64>(qint64(number)) : std::nullopt;
    }
    if (value->is_number_integer()) {
        return value->get<std::int64_t>();
    }
    if (value->is_number_float()) {
        const double number = value->get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && number >= -0x1p63 &&
            number < 0x1p63) {
            return qint64(number);
        }
    }
    return std::nullopt;
}

qint64 integerOrZero(const Json &object, const char *key)
{
    return integerValue(memberOf(object, key)).value_or(0);
}

QString stringOrEmpty(const Json &object, const char *key)
{
    const Json *value = memberOf(object, key);
    return value != nullptr && value->is_string() ? text(value->get<std::string>()) : QString();
}

bool isArrayOfObjects(const Json &value)
{
    if (!value.is_array()) {
        return false;
    }
    for (const Json &element : value) {
        if (!element.is_object()) {
            return false;
        }
    }
    return true;
}

bool lockedOf(const Json &file)
{
    const Json *lock = memberOf(file, "lock");
    if (lock == nullptr || !lock->is_object()) {
        return false;
    }
    const Json *locked = memberOf(*lock, "locked");
    if (locked == nullptr) {
        return false;
    }
    if (locked->is_boolean()) {
        return locked->get<bool>();
    }
    if (locked->is_number()) {
        return locked->get<double>() != 0.0;
    }
    return false;
}

Card::File fileFromJson(const Json &json)
{
    Card::File file;
    file.id = integerOrZero(json, "id");
    file.name = stringOrEmpty(json, "name");
    const Json *size = memberOf(json, "size");
    file.size = size != nullptr ? MissingFilesViewModel::parseSize(*size) : 0;
    file.url = stringOrEmpty(json, "url");
    file.locked = lockedOf(json);
    return file;
}

bool hasAddon(const Json &project, const QString &type)
{
    const Json *addons = memberOf(project, "addons");
    const Json *detailed = addons != nullptr ? memberOf(*addons, "detailed") : nullptr;
    if (detailed == nullptr || !detailed->is_array()) {
        return false;
    }
    for (const Json &entry : *detailed) {
        if (stringOrEmpty(entry, "type").toLower() == type) {
            return true;
        }
    }
    return false;
}

// Date and time fields of one match, read from the numbered capture groups.
std::optional<QDateTime> dateTimeFrom(const QRegularExpressionMatch &match, int offsetSeconds,
                                      int milliseconds)
{
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(),
                     match.captured(3).toInt());
    const QTime time(match.captured(4).toInt(), match.captured(5).toInt(),
                     match.captured(6).toInt(), milliseconds);
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    return QDateTime(date, time, QTimeZone::utc()).addSecs(-offsetSeconds);
}

// "+02:00", "-0130" or "Z" as seconds east of UTC; nothing when out of range.
std::optional<int> zoneOffset(const QString &zone)
{
    if (zone == u"Z") {
        return 0;
    }
    const int sign = zone.startsWith(u'-') ? -1 : 1;
    QString digits = zone.mid(1);
    digits.remove(u':');
    const int hours = digits.left(2).toInt();
    const int minutes = digits.mid(2, 2).toInt();
    if (hours > 23 || minutes > 59) {
        return std::nullopt;
    }
    return sign * (hours * 3600 + minutes * 60);
}

int millisecondsOf(const QString &fraction)
{
    // Precision below a millisecond is dropped.
    return QString(fraction + QStringLiteral("00")).left(3).toInt();
}

std::optional<QDateTime> parseDateText(const QString &value)
{
    static const QString dateTime =
        QStringLiteral(R"(^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2}))");
    static const QRegularExpression micro(dateTime + QStringLiteral(R"(\.([0-9]{6})Z\z)"));
    static const QRegularExpression milli(dateTime + QStringLiteral(R"(\.([0-9]{3})Z\z)"));
    static const QRegularExpression isoFraction(
        dateTime + QStringLiteral(R"(\.([0-9]+)(Z|[+-][0-9]{2}:[0-9]{2})\z)"));
    static const QRegularExpression iso(dateTime +
                                        QStringLiteral(R"((Z|[+-][0-9]{2}:[0-9]{2})\z)"));
    static const QRegularExpression numericZone(dateTime + QStringLiteral(R"(([+-][0-9]{4})\z)"));
    static const QRegularExpression dayOnly(
        QStringLiteral(R"(^([0-9]{4})-([0-9]{2})-([0-9]{2})\z)"));
    static const QRegularExpression dayFirst(
        QStringLiteral(R"(^([0-9]{2})/([0-9]{2})/([0-9]{4})\z)"));

    for (const QRegularExpression *pattern : {&micro, &milli}) {
        const QRegularExpressionMatch match = pattern->match(value);
        if (match.hasMatch()) {
            if (auto parsed = dateTimeFrom(match, 0, millisecondsOf(match.captured(7)))) {
                return parsed;
            }
        }
    }
    if (const QRegularExpressionMatch match = isoFraction.match(value); match.hasMatch()) {
        if (const std::optional<int> offset = zoneOffset(match.captured(8))) {
            if (auto parsed = dateTimeFrom(match, *offset, millisecondsOf(match.captured(7)))) {
                return parsed;
            }
        }
    }
    for (const QRegularExpression *pattern : {&iso, &numericZone}) {
        const QRegularExpressionMatch match = pattern->match(value);
        if (match.hasMatch()) {
            if (const std::optional<int> offset = zoneOffset(match.captured(7))) {
                if (auto parsed = dateTimeFrom(match, *offset, 0)) {
                    return parsed;
                }
            }
        }
    }
    if (const QRegularExpressionMatch match = dayOnly.match(value); match.hasMatch()) {
        const QDate date(match.captured(1).toInt(), match.captured(2).toInt(),
                         match.captured(3).toInt());
        if (date.isValid()) {
            return QDateTime(date, QTime(0, 0), QTimeZone::utc());
        }
    }
    if (const QRegularExpressionMatch match = dayFirst.match(value); match.hasMatch()) {
        const QDate date(match.captured(3).toInt(), match.captured(2).toInt(),
                         match.captured(1).toInt());
        if (date.isValid()) {
            return QDateTime(date, QTime(0, 0), QTimeZone::utc());
        }
    }
    return std::nullopt;
}

bool isUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    return !decoder.hasError();
}

} // namespace

QString MissingFilesViewModel::defaultBaseURL()
{
    return qEnvironmentVariableIsSet(kEnvBaseUrl) ? qEnvironmentVariable(kEnvBaseUrl)
                                                  : QString::fromUtf8(BuildConfig::kApiBaseUrl);
}

MissingFilesViewModel::MissingFilesViewModel(QObject *parent)
    : MissingFilesViewModel(defaultBaseURL(), parent)
{}

MissingFilesViewModel::MissingFilesViewModel(const QString &baseURL, QObject *parent)
    : QObject(parent)
{
    const std::optional<AuthState> saved = AuthStore::load();
    if (!saved || saved->accessToken.isEmpty()) {
        m_statusText = QStringLiteral("Not logged in. Please sign in to load projects.");
        return;
    }
    try {
        m_apiClient = VorlantaApiClient::make(baseURL, *saved);
    } catch (const std::invalid_argument &) {
        m_statusText = QStringLiteral("Invalid API base URL: ") + baseURL;
    }
}

QList<MissingFilesViewModel::ProjectCard> MissingFilesViewModel::paginatedProjects() const
{
    const qsizetype start = qsizetype(m_currentPage - 1) * pageSize;
    if (start < 0 || start >= m_filteredProjects.size()) {
        return {};
    }
    return m_filteredProjects.mid(start, pageSize);
}

int MissingFilesViewModel::pageCount() const
{
    return int((m_filteredProjects.size() + pageSize - 1) / pageSize);
}

void MissingFilesViewModel::setCurrentPage(int page)
{
    if (page == m_currentPage) {
        return;
    }
    m_currentPage = page;
    Q_EMIT currentPageChanged();
    Q_EMIT paginatedProjectsChanged();
}

void MissingFilesViewModel::setSearchQuery(const QString &query)
{
    const bool changed = query != m_searchQuery;
    m_searchQuery = query;
    if (changed) {
        Q_EMIT searchQueryChanged();
    }
    updateFilteredProjects();
}

void MissingFilesViewModel::nextPage()
{
    if (m_currentPage < pageCount()) {
        setCurrentPage(m_currentPage + 1);
    }
}

void MissingFilesViewModel::setPendingFiles(const QStringList &paths)
{
    QStringList existing;
    for (const QString &path : paths) {
        if (QFileInfo::exists(path)) {
            existing.append(path);
        }
    }
    if (existing != m_pendingFiles) {
        m_pendingFiles = existing;
        Q_EMIT pendingFilesChanged();
    }
}

void MissingFilesViewModel::updateFilteredProjects()
{
    if (m_searchQuery.isEmpty()) {
        setFilteredProjects(m_allProjects);
    } else {
        // Upper-casing by the locale keeps its rules (Turkish i) and full mappings (ß as SS).
        const QLocale locale;
        const QString query = locale.toUpper(m_searchQuery);
        QList<ProjectCard> matching;
        for (const ProjectCard &card : std::as_const(m_allProjects)) {
            if (locale.toUpper(card.title).contains(query, Qt::CaseInsensitive)) {
                matching.append(card);
            }
        }
        setFilteredProjects(matching);
    }
    setCurrentPage(1);
}

void MissingFilesViewModel::setStatusText(const QString &text)
{
    if (text != m_statusText) {
        m_statusText = text;
        Q_EMIT statusTextChanged();
    }
}

void MissingFilesViewModel::setAllProjects(const QList<ProjectCard> &projects)
{
    m_allProjects = projects;
    Q_EMIT allProjectsChanged();
}

void MissingFilesViewModel::setFilteredProjects(const QList<ProjectCard> &projects)
{
    m_filteredProjects = projects;
    Q_EMIT filteredProjectsChanged();
    Q_EMIT paginatedProjectsChanged();
}

void MissingFilesViewModel::loadProjects()
{
    // The task keeps running on its own; it checks that the model still exists after its wait.
    loadProjectsAsync();
}

QCoro::Task<> MissingFilesViewModel::loadProjectsAsync()
{
    const QPointer<MissingFilesViewModel> self(this);
    const std::shared_ptr<VorlantaApiClient> client = m_apiClient;
    if (!client) {
        setStatusText(QStringLiteral("Authentication required before loading projects."));
        setAllProjects({});
        setFilteredProjects({});
        co_return;
    }
    setStatusText(QStringLiteral("Loading projects\u2026"));
    QList<ProjectCard> loaded;
    QString failure;
    bool failed = false;
    try {
        loaded = co_await fetchProjects(client);
    } catch (const std::exception &error) {
        failed = true;
        failure = describeError(error);
    }
    if (!self) {
        co_return;
    }
    if (failed) {
        setStatusText(QStringLiteral("Error: ") + failure);
        co_return;
    }
    setAllProjects(loaded);
    setFilteredProjects(loaded);
    setCurrentPage(1);
    setStatusText(loaded.isEmpty() ? QStringLiteral("No projects found or failed to load projects.")
                                   : QString());
}

QCoro::Task<QList<MissingFilesViewModel::ProjectCard>>
MissingFilesViewModel::fetchProjects(const std::shared_ptr<VorlantaApiClient> &client)
{
    // Copied before the wait: the caller's pointer may not outlive it.
    const std::shared_ptr<VorlantaApiClient> kept = client;
    const QString path = QStringLiteral("api/v1/creator/projects/");
    const QByteArray body = co_await kept->getRaw(path);
    co_return projectsFromBody(body);
}

QList<MissingFilesViewModel::ProjectCard>
MissingFilesViewModel::projectsFromBody(const QByteArray &body)
{
    if (isUtf8(body)) {
        Console::printLine(QStringLiteral("=== API Response for projects ==="));
        Console::printLine(QString::fromUtf8(body));
        Console::printLine(QStringLiteral("================================="));
    }
    const Json json = JsonRead::parse(body);
    const Json *list = nullptr;
    if (const Json *data = memberOf(json, "data"); data != nullptr && isArrayOfObjects(*data)) {
        list = data;
    } else if (isArrayOfObjects(json)) {
        list = &json;
    }
    if (list == nullptr) {
        throw MissingFilesViewModelError(QStringLiteral("Unexpected projects response format"));
    }
    QList<ProjectCard> cards;
    cards.reserve(qsizetype(list->size()));
    for (const Json &project : *list) {
        cards.append(cardFromJson(project));
    }
    return cards;
}

MissingFilesViewModel::ProjectCard MissingFilesViewModel::cardFromJson(const Json &project)
{
    ProjectCard card;
    card.id = integerOrZero(project, "id");
    card.title = stringOrEmpty(project, "title");
    if (const Json *files = memberOf(project, "files");
        files != nullptr && isArrayOfObjects(*files)) {
        for (const Json &file : *files) {
            card.files.append(fileFromJson(file));
        }
    }
    if (const Json *channel = memberOf(project, "channel");
        channel != nullptr && channel->is_object()) {
        ProjectCard::ChannelInfo info;
        info.id = integerOrZero(*channel, "id");
        if (const Json *name = memberOf(*channel, "name"); name != nullptr && name->is_string()) {
            info.name = text(name->get<std::string>());
        }
        card.channel = info;
    }
    card.hasThumbnailAddon = hasAddon(project, QStringLiteral("thumbnail"));
    card.hasReformattingAddon = hasAddon(project, QStringLiteral("reformatting"));
    const std::optional<qint64> noVideo = integerValue(memberOf(project, "no_video"));
    card.hasLongForm = !noVideo || *noVideo == 0;
    if (const Json *due = memberOf(project, "due_date")) {
        card.dueDate = parseDate(*due);
    }
    return card;
}

std::optional<QDateTime> MissingFilesViewModel::parseDate(const Json &value)
{
    if (!value.is_string()) {
        return std::nullopt;
    }
    return parseDateText(text(value.get<std::string>()));
}

qint64 MissingFilesViewModel::parseSize(const Json &value)
{
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (value.is_number_unsigned()) {
        // Beyond the signed range: the largest size rather than a wrapped negative one.
        const auto number = value.get<std::uint64_t>();
        return number <= std::uint64_t(kMax) ? qint64(number) : kMax;
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        // Not finite: 0; outside the signed range: clamped to it.
        if (!std::isfinite(number)) {
            return 0;
        }
        if (number >= 0x1p63) {
            return kMax;
        }
        if (number < -0x1p63) {
            return kMin;
        }
        return qint64(std::trunc(number));
    }
    if (value.is_string()) {
        static const QRegularExpression integer(QStringLiteral(R"(^[+-]?[0-9]+\z)"));
        const QString digits = text(value.get<std::string>());
        if (!integer.match(digits).hasMatch()) {
            return 0;
        }
        bool ok = false;
        const qint64 parsed = digits.toLongLong(&ok, 10);
        return ok ? parsed : 0;
    }
    return 0;
}
