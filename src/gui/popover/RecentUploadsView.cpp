#include "gui/popover/RecentUploadsView.h"

#include "core/api/AppState.h"
#include "gui/popover/UploadStatusRow.h"

#include <QtWidgets/QLabel>
#include <QtWidgets/QVBoxLayout>

RecentUploadsView::RecentUploadsView(AppState *state, QWidget *parent)
    : QWidget(parent), m_state(state),
      m_heading(new QLabel(QStringLiteral("Recent Uploads"), this)), m_rowsLayout(new QVBoxLayout),
      m_more(new QLabel(this)),
      m_emptyHint(new QLabel(QStringLiteral("Right click on a file to create a Quick Project or "
                                            "drag and drop it here."),
                             this))
{
    setObjectName(QStringLiteral("recentUploads"));
    m_heading->setObjectName(QStringLiteral("recentUploadsHeading"));
    QFont bold = m_heading->font();
    bold.setBold(true);
    m_heading->setFont(bold);
    m_more->setObjectName(QStringLiteral("moreUploads"));
    m_more->setForegroundRole(QPalette::PlaceholderText);
    m_emptyHint->setObjectName(QStringLiteral("noUploadsHint"));
    m_emptyHint->setWordWrap(true);
    m_emptyHint->setAlignment(Qt::AlignCenter);
    m_emptyHint->setForegroundRole(QPalette::PlaceholderText);

    m_rowsLayout->setSpacing(6);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_heading);
    layout->addLayout(m_rowsLayout);
    layout->addWidget(m_more);
    layout->addWidget(m_emptyHint);
    layout->addStretch(1);
    if (m_state) {
        connect(m_state, &AppState::uploadStatusesChanged, this, &RecentUploadsView::refresh);
    }
    refresh();
}

void RecentUploadsView::refresh()
{
    const QList<UploadStatus> statuses =
        m_state ? m_state->uploadStatuses() : QList<UploadStatus>();
    const qsizetype shown = std::min<qsizetype>(statuses.size(), kShownRows);
    // Rows are reused: progress reports arrive many times a second while a file uploads.
    while (m_rows.size() > shown) {
        delete m_rows.takeLast();
    }
    for (qsizetype i = 0; i < shown; ++i) {
        if (i < m_rows.size()) {
            m_rows[i]->setStatus(statuses[i]);
        } else {
            m_rows.append(new UploadStatusRow(statuses[i], this));
            m_rowsLayout->addWidget(m_rows.last());
        }
    }
    const qsizetype further = statuses.size() - shown;
    m_more->setText(further > 0 ? QStringLiteral("+") + QString::number(further) +
                                      QStringLiteral(" more\u2026")
                                : QString());
    m_more->setVisible(further > 0);
    m_heading->setVisible(shown > 0);
    m_emptyHint->setVisible(shown == 0);
}
