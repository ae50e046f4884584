#pragma once

#include "core/upload/MissingFilesViewModel.h"
#include "gui/windows/ProjectCardView.h"

#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

#include <optional>

class QLabel;
class QLineEdit;
class QToolButton;
class QVBoxLayout;

// The picker stage of the missing-files window: search, a page of seven project cards and the
// paging line. Draws the shared catalogue; picking a card emits projectSelected.
class ProjectPickerView : public QWidget {
    Q_OBJECT
public:
    explicit ProjectPickerView(MissingFilesViewModel *viewModel, QWidget *parent = nullptr);

    std::optional<qint64> hoveredProjectId() const { return m_hoveredProjectId; }
    QList<ProjectCardView *> cards() const;
    // "Page N of M", empty while the paging line is hidden.
    QString pageText() const;

Q_SIGNALS:
    void projectSelected(const MissingFilesViewModel::ProjectCard &project);

private:
    void rebuildCards();
    void updateStatus();
    void updatePaging();
    void updatePending();
    void setHoveredProjectId(std::optional<qint64> id);

    MissingFilesViewModel *m_viewModel;
    std::optional<qint64> m_hoveredProjectId;
    QLineEdit *m_search;
    QLabel *m_status;
    QLabel *m_pending;
    QVBoxLayout *m_cardLayout;
    QWidget *m_paging;
    QLabel *m_pageLabel;
    QToolButton *m_previous;
    QToolButton *m_next;
    QList<QPointer<ProjectCardView>> m_cards;
};
