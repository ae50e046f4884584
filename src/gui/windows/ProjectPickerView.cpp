#include "gui/windows/ProjectPickerView.h"

#include "gui/windows/ProjectCardView.h"

#include <QtCore/QFileInfo>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QToolButton>
#include <QtWidgets/QVBoxLayout>

ProjectPickerView::ProjectPickerView(MissingFilesViewModel *viewModel, QWidget *parent)
    : QWidget(parent), m_viewModel(viewModel), m_search(new QLineEdit(this)),
      m_status(new QLabel(this)), m_pending(new QLabel(this)), m_cardLayout(new QVBoxLayout),
      m_paging(new QWidget(this)), m_pageLabel(new QLabel(m_paging)),
      m_previous(new QToolButton(m_paging)), m_next(new QToolButton(m_paging))
{
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(10);

    auto *headline = new QLabel(QStringLiteral("Select a project to add missing files"), this);
    QFont headlineFont = headline->font();
    headlineFont.setPointSizeF(headlineFont.pointSizeF() * 1.35);
    headlineFont.setBold(true);
    headline->setFont(headlineFont);
    headline->setWordWrap(true);
    auto *subline = new QLabel(QStringLiteral("Add files to an existing project"), this);
    subline->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(headline);
    layout->addWidget(subline);

    m_search->setObjectName(QStringLiteral("searchField"));
    m_search->setPlaceholderText(QStringLiteral("Search"));
    m_search->setClearButtonEnabled(true);
    const QIcon find = QIcon::fromTheme(QStringLiteral("edit-find"),
                                        QIcon::fromTheme(QStringLiteral("edit-find-symbolic")));
    if (!find.isNull()) {
        m_search->addAction(find, QLineEdit::LeadingPosition);
    }
    m_search->setText(viewModel->searchQuery());
    layout->addWidget(m_search);
    connect(m_search, &QLineEdit::textEdited, viewModel, &MissingFilesViewModel::setSearchQuery);
    // The clear button empties the field without an edit signal.
    connect(m_search, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (text.isEmpty() && !m_viewModel->searchQuery().isEmpty()) {
            m_viewModel->setSearchQuery(text);
        }
    });

    m_pending->setObjectName(QStringLiteral("pendingLabel"));
    m_pending->setWordWrap(true);
    layout->addWidget(m_pending);

    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setWordWrap(true);
    m_status->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_status);

    m_cardLayout->setSpacing(6);
    layout->addLayout(m_cardLayout);
    layout->addStretch(1);

    auto *pagingLayout = new QHBoxLayout(m_paging);
    pagingLayout->setContentsMargins(0, 0, 0, 0);
    m_pageLabel->setObjectName(QStringLiteral("pageLabel"));
    m_previous->setObjectName(QStringLiteral("previousPageButton"));
    m_next->setObjectName(QStringLiteral("nextPageButton"));
    m_previous->setText(QStringLiteral("\u2190"));
    m_next->setText(QStringLiteral("\u2192"));
    m_previous->setAccessibleName(QStringLiteral("Previous Page"));
    m_next->setAccessibleName(QStringLiteral("Next Page"));
    m_previous->setAutoRaise(true);
    m_next->setAutoRaise(true);
    pagingLayout->addStretch(1);
    pagingLayout->addWidget(m_previous);
    pagingLayout->addWidget(m_pageLabel);
    pagingLayout->addWidget(m_next);
    pagingLayout->addStretch(1);
    layout->addWidget(m_paging);
    connect(m_previous, &QToolButton::clicked, this, [this] {
        if (m_viewModel->currentPage() >= 2) {
            m_viewModel->setCurrentPage(m_viewModel->currentPage() - 1);
        }
    });
    connect(m_next, &QToolButton::clicked, viewModel, &MissingFilesViewModel::nextPage);

    connect(viewModel, &MissingFilesViewModel::paginatedProjectsChanged, this,
            &ProjectPickerView::rebuildCards);
    connect(viewModel, &MissingFilesViewModel::filteredProjectsChanged, this,
            &ProjectPickerView::rebuildCards);
    connect(viewModel, &MissingFilesViewModel::currentPageChanged, this,
            &ProjectPickerView::rebuildCards);
    connect(viewModel, &MissingFilesViewModel::statusTextChanged, this,
            &ProjectPickerView::updateStatus);
    connect(viewModel, &MissingFilesViewModel::pendingFilesChanged, this,
            &ProjectPickerView::updatePending);
    connect(viewModel, &MissingFilesViewModel::searchQueryChanged, this, [this] {
        if (m_search->text() != m_viewModel->searchQuery()) {
            m_search->setText(m_viewModel->searchQuery());
        }
    });
    rebuildCards();
    updateStatus();
    updatePending();
}

QList<ProjectCardView *> ProjectPickerView::cards() const
{
    QList<ProjectCardView *> cards;
    for (const QPointer<ProjectCardView> &card : m_cards) {
        if (card) {
            cards.append(card);
        }
    }
    return cards;
}

QString ProjectPickerView::pageText() const
{
    return m_paging->isHidden() ? QString() : m_pageLabel->text();
}

void ProjectPickerView::rebuildCards()
{
    // Later, not now: the card that was clicked may still be inside its own event.
    for (const QPointer<ProjectCardView> &card : std::as_const(m_cards)) {
        if (card) {
            card->hide();
            card->deleteLater();
        }
    }
    m_cards.clear();
    setHoveredProjectId(std::nullopt);
    for (const MissingFilesViewModel::ProjectCard &project : m_viewModel->paginatedProjects()) {
        auto *card = new ProjectCardView(project, this);
        const qint64 id = project.id;
        connect(card, &ProjectCardView::hoverChanged, this, [this, id](bool hovered) {
            if (hovered) {
                setHoveredProjectId(id);
            } else if (m_hoveredProjectId == id) {
                setHoveredProjectId(std::nullopt);
            }
        });
        connect(card, &ProjectCardView::clicked, this,
                [this, project] { Q_EMIT projectSelected(project); });
        m_cardLayout->addWidget(card);
        m_cards.append(card);
    }
    updatePaging();
}

void ProjectPickerView::updateStatus()
{
    const QString &text = m_viewModel->statusText();
    m_status->setText(text);
    m_status->setVisible(!text.isEmpty());
}

void ProjectPickerView::updatePaging()
{
    const int pages = m_viewModel->pageCount();
    const int page = m_viewModel->currentPage();
    m_paging->setVisible(m_viewModel->filteredProjects().size() > MissingFilesViewModel::pageSize);
    m_pageLabel->setText(QStringLiteral("Page ") + QString::number(page) + QStringLiteral(" of ") +
                         QString::number(pages));
    m_previous->setEnabled(page >= 2);
    m_next->setEnabled(page < pages);
}

void ProjectPickerView::updatePending()
{
    // Files routed here before a project is chosen: say which ones will go to the choice.
    const QStringList &paths = m_viewModel->pendingFiles();
    QStringList names;
    for (const QString &path : paths.mid(0, 3)) {
        names.append(QFileInfo(path).fileName());
    }
    if (paths.size() > 3) {
        names.append(QStringLiteral("\u2026"));
    }
    const QString count = paths.size() == 1
                              ? QStringLiteral("1 file")
                              : QString::number(paths.size()) + QStringLiteral(" files");
    m_pending->setText(count + QStringLiteral(" to add: ") + names.join(QStringLiteral(", ")));
    m_pending->setToolTip(paths.join(QLatin1Char('\n')));
    m_pending->setVisible(!paths.isEmpty());
}

void ProjectPickerView::setHoveredProjectId(std::optional<qint64> id)
{
    m_hoveredProjectId = id;
    for (ProjectCardView *card : cards()) {
        card->setHovered(id && card->project().id == *id);
    }
}
