#pragma once

#include "core/upload/MissingFilesViewModel.h"

#include <QtCore/QList>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtCore/QUrl>
#include <QtCore/QVariantMap>
#include <QtWidgets/QWidget>

#include <functional>
#include <memory>
#include <optional>

class QStackedLayout;
class VorlantaApiClient;
class MissingFilesDetailView;
class ProjectPickerView;

// The "Send Missing Files" window's root: a project picker, then the detail form of the chosen
// project. Files that arrive before a project is chosen wait as pending paths.
class MissingFilesView : public QWidget {
    Q_OBJECT
public:
    using ClientFactory = std::function<std::shared_ptr<VorlantaApiClient>()>;

    MissingFilesView(const QList<QUrl> &initialFiles, ClientFactory apiClient,
                     QWidget *parent = nullptr);
    ~MissingFilesView() override;

    // An upload is running.
    bool isBusy() const;

    MissingFilesViewModel *viewModel() const { return m_viewModel; }
    ProjectPickerView *pickerView() const { return m_picker; }
    // The detail form while a project is chosen, else null.
    MissingFilesDetailView *detailView() const;
    const QStringList &pendingFilesForSelection() const { return m_pendingFilesForSelection; }

Q_SIGNALS:
    // The upload that made the view busy has ended, either way.
    void idle();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void selectProject(const MissingFilesViewModel::ProjectCard &project);
    void returnToPicker();
    void setPendingFilesForSelection(const QStringList &paths);
    void received(const QString &name, const QVariantMap &userInfo);

    MissingFilesViewModel *m_viewModel;
    std::optional<MissingFilesViewModel::ProjectCard> m_selectedProject;
    QStringList m_pendingFilesForSelection;
    QList<QUrl> m_initialFiles;
    ClientFactory m_apiClient;
    QStackedLayout *m_stack;
    ProjectPickerView *m_picker;
    QPointer<MissingFilesDetailView> m_detail;
    bool m_shownOnce = false;
};
