#include "gui/windows/MissingFilesView.h"

#include "core/api/VorlantaApiClient.h"
#include "core/shell/Logger.h"
#include "gui/shell/NotificationCenter.h"
#include "gui/windows/MissingFilesDetailView.h"
#include "gui/windows/ProjectPickerView.h"

#include <QtCore/QFileInfo>
#include <QtCore/QTimer>
#include <QtWidgets/QStackedLayout>

namespace {
const QString kTag = QStringLiteral("[MissingFilesView] ");

// The catalogue talks to the service the uploads go to, unless VORLANTA_API_BASE_URL names
// another one.
MissingFilesViewModel *makeViewModel(const MissingFilesView::ClientFactory &apiClient,
                                     QObject *parent)
{
    const std::shared_ptr<VorlantaApiClient> client =
        apiClient && !qEnvironmentVariableIsSet(MissingFilesViewModel::kEnvBaseUrl) ? apiClient()
                                                                                    : nullptr;
    return client ? new MissingFilesViewModel(client->baseURL().toString(), parent)
                  : new MissingFilesViewModel(parent);
}

} // namespace

MissingFilesView::MissingFilesView(const QList<QUrl> &initialFiles, ClientFactory apiClient,
                                   QWidget *parent)
    : QWidget(parent), m_viewModel(makeViewModel(apiClient, this)), m_initialFiles(initialFiles),
      m_apiClient(std::move(apiClient)), m_stack(new QStackedLayout(this)),
      m_picker(new ProjectPickerView(m_viewModel, this))
{
    setObjectName(QStringLiteral("missingFilesView"));
    for (const QUrl &url : initialFiles) {
        m_pendingFilesForSelection.append(url.toLocalFile());
    }
    m_stack->addWidget(m_picker);
    connect(m_picker, &ProjectPickerView::projectSelected, this, &MissingFilesView::selectProject);
    connect(&NotificationCenter::defaultCenter(), &NotificationCenter::posted, this,
            &MissingFilesView::received);
}

MissingFilesView::~MissingFilesView() = default;

bool MissingFilesView::isBusy() const
{
    return m_detail && m_detail->isUploading();
}

MissingFilesDetailView *MissingFilesView::detailView() const
{
    return m_detail;
}

void MissingFilesView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_shownOnce) {
        m_shownOnce = true;
        m_viewModel->setPendingFiles(m_pendingFilesForSelection);
        m_viewModel->loadProjects();
    }
}

void MissingFilesView::setPendingFilesForSelection(const QStringList &paths)
{
    m_pendingFilesForSelection = paths;
    if (!m_selectedProject) {
        m_viewModel->setPendingFiles(paths);
    }
}

void MissingFilesView::selectProject(const MissingFilesViewModel::ProjectCard &project)
{
    m_pendingFilesForSelection = m_viewModel->pendingFiles();
    m_viewModel->setPendingFiles({});
    m_selectedProject = project;
    auto *detail =
        new MissingFilesDetailView(project, m_pendingFilesForSelection, m_apiClient, this);
    m_detail = detail;
    connect(detail, &MissingFilesDetailView::backRequested, this,
            &MissingFilesView::returnToPicker);
    connect(detail, &MissingFilesDetailView::completeRequested, this,
            &MissingFilesView::returnToPicker);
    connect(detail, &MissingFilesDetailView::uploadingChanged, this, [this](bool uploading) {
        if (!uploading) {
            // After the workflow has returned, so a host that deletes the window on idle() does
            // not pull the service out from under it.
            QTimer::singleShot(0, this, [this] { Q_EMIT idle(); });
        }
    });
    m_stack->addWidget(detail);
    m_stack->setCurrentWidget(detail);
}

void MissingFilesView::returnToPicker()
{
    m_selectedProject.reset();
    if (m_detail) {
        m_stack->removeWidget(m_detail);
        m_detail->deleteLater();
        m_detail = nullptr;
    }
    setPendingFilesForSelection({});
    m_viewModel->setSearchQuery(QString());
    m_stack->setCurrentWidget(m_picker);
    m_viewModel->loadProjects();
}

void MissingFilesView::received(const QString &name, const QVariantMap &userInfo)
{
    if (name != QLatin1String(NotificationCenter::kAddFilesToMissingFiles) ||
        userInfo.value(QStringLiteral("forwarded")).toBool() || userInfo.isEmpty()) {
        return;
    }
    const QList<QUrl> files = MissingFilesDetailView::filesFromUserInfo(userInfo);
    Logger::info(kTag + QStringLiteral("Received notification to add ") +
                 QString::number(files.size()) + QStringLiteral(" file(s)"));
    QStringList existing;
    for (const QUrl &url : files) {
        if (url.isLocalFile() && QFileInfo::exists(url.toLocalFile())) {
            existing.append(url.toLocalFile());
        }
    }
    if (m_selectedProject) {
        Logger::info(kTag +
                     QStringLiteral("Project selected, forwarding notification to detail view"));
        NotificationCenter::defaultCenter().post(
            QLatin1String(NotificationCenter::kAddFilesToMissingFiles),
            {{QLatin1String(NotificationCenter::kFilesKey), QVariant::fromValue(files)},
             {QStringLiteral("forwarded"), true}});
        return;
    }
    Logger::info(kTag + QStringLiteral("No project selected, adding ") +
                 QString::number(existing.size()) + QStringLiteral(" to pending"));
    setPendingFilesForSelection(m_pendingFilesForSelection + existing);
}
