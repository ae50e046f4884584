#pragma once

#include "core/api/VorlantaApiClient.h"

#include <QCoro/QCoroTask>
#include <QtCore/QByteArray>
#include <QtCore/QDateTime>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

// A projects answer of a shape the model does not read: domain "MissingFilesViewModel", code -1.
class MissingFilesViewModelError : public std::runtime_error {
public:
    explicit MissingFilesViewModelError(const QString &description)
        : std::runtime_error(description.toStdString()), m_description(description)
    {}
    static constexpr const char *domain = "MissingFilesViewModel";
    int code() const { return -1; }
    const QString &description() const { return m_description; }

private:
    QString m_description;
};

// The model behind the missing-files window: the creator's projects, filtered by a search text
// and cut into pages of seven, and the files waiting to be sent to one of them.
class MissingFilesViewModel : public QObject {
    Q_OBJECT
public:
    struct ProjectCard {
        struct File {
            qint64 id = 0;
            QString name;
            qint64 size = 0;
            QString url;
            bool locked = false;
            bool operator==(const File &) const = default;
        };
        struct ChannelInfo {
            qint64 id = 0;
            std::optional<QString> name;
            bool operator==(const ChannelInfo &) const = default;
        };

        qint64 id = 0;
        QString title;
        QList<File> files;
        std::optional<ChannelInfo> channel;
        bool hasThumbnailAddon = false;
        bool hasReformattingAddon = false;
        bool hasLongForm = true;
        std::optional<QDateTime> dueDate;
        bool operator==(const ProjectCard &) const = default;
    };

    Q_PROPERTY(QList<ProjectCard> allProjects READ allProjects NOTIFY allProjectsChanged)
    Q_PROPERTY(
        QList<ProjectCard> filteredProjects READ filteredProjects NOTIFY filteredProjectsChanged)
    Q_PROPERTY(int currentPage READ currentPage WRITE setCurrentPage NOTIFY currentPageChanged)
    Q_PROPERTY(QString searchQuery READ searchQuery WRITE setSearchQuery NOTIFY searchQueryChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
    Q_PROPERTY(QStringList pendingFiles READ pendingFiles NOTIFY pendingFilesChanged)
    Q_PROPERTY(
        QList<ProjectCard> paginatedProjects READ paginatedProjects NOTIFY paginatedProjectsChanged)

    static constexpr int pageSize = 7;
    static constexpr char kEnvBaseUrl[] = "VORLANTA_API_BASE_URL";

    // The catalogue's own base URL: VORLANTA_API_BASE_URL verbatim when set, else the build's.
    static QString defaultBaseURL();

    // Reads the saved credentials; the client talks to baseURL, used verbatim. A base URL that
    // does not parse leaves no client and a status naming the URL.
    explicit MissingFilesViewModel(QObject *parent = nullptr);
    explicit MissingFilesViewModel(const QString &baseURL, QObject *parent = nullptr);

    const QList<ProjectCard> &allProjects() const { return m_allProjects; }
    const QList<ProjectCard> &filteredProjects() const { return m_filteredProjects; }
    int currentPage() const { return m_currentPage; }
    const QString &searchQuery() const { return m_searchQuery; }
    const QString &statusText() const { return m_statusText; }
    const QStringList &pendingFiles() const { return m_pendingFiles; }
    const std::shared_ptr<VorlantaApiClient> &apiClient() const { return m_apiClient; }

    // The records of the current page.
    QList<ProjectCard> paginatedProjects() const;
    // ceil(filtered / 7); 0 for none.
    int pageCount() const;

    void setCurrentPage(int page);
    // Stores the text and refilters (back to page 1), on every assignment.
    void setSearchQuery(const QString &query);
    void nextPage();
    // Keeps, in order, the paths that exist on disk.
    void setPendingFiles(const QStringList &paths);

    // Starts loadProjectsAsync and returns at once.
    void loadProjects();
    QCoro::Task<> loadProjectsAsync();

    // GET of the projects list; throws the client's errors, a JSON error or
    // MissingFilesViewModelError.
    static QCoro::Task<QList<ProjectCard>>
    fetchProjects(const std::shared_ptr<VorlantaApiClient> &client);

    // The body of a projects answer as cards (prints the body to standard output when it is
    // UTF-8). Throws JsonDecodingError or MissingFilesViewModelError.
    static QList<ProjectCard> projectsFromBody(const QByteArray &body);
    // One project object as a card; never throws, anything unreadable gives the default.
    static ProjectCard cardFromJson(const nlohmann::json &project);
    static std::optional<QDateTime> parseDate(const nlohmann::json &value);
    static qint64 parseSize(const nlohmann::json &value);

Q_SIGNALS:
    void allProjectsChanged();
    void filteredProjectsChanged();
    void currentPageChanged();
    void searchQueryChanged();
    void statusTextChanged();
    void pendingFilesChanged();
    void paginatedProjectsChanged();

private:
    void updateFilteredProjects();
    void setStatusText(const QString &text);
    void setAllProjects(const QList<ProjectCard> &projects);
    void setFilteredProjects(const QList<ProjectCard> &projects);

    QList<ProjectCard> m_allProjects;
    QList<ProjectCard> m_filteredProjects;
    int m_currentPage = 1;
    QString m_searchQuery;
    QString m_statusText;
    QStringList m_pendingFiles;
    std::shared_ptr<VorlantaApiClient> m_apiClient;
};
