#include "gui/popover/StatusItemPopoverView.h"

#include "core/api/AppState.h"
#include "gui/popover/ContentView.h"
#include "gui/shell/AppContext.h"

#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QVBoxLayout>

StatusItemPopoverView::StatusItemPopoverView(AppContext *context,
                                             std::function<void()> closePopover, QWidget *parent)
    : QWidget(parent), m_context(context), m_closePopover(std::move(closePopover)),
      m_layout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("statusItemPopoverView"));
    m_layout->setContentsMargins(0, 0, 0, 0);
    refresh();
    if (context) {
        connect(context, &AppContext::appStateChanged, this, &StatusItemPopoverView::refresh);
        connect(context, &AppContext::serviceProviderChanged, this,
                &StatusItemPopoverView::refresh);
    }
}

void StatusItemPopoverView::refresh()
{
    auto *state = m_context ? dynamic_cast<AppState *>(m_context->appState()) : nullptr;
    const bool ready = state && m_context->serviceProvider();
    if (m_content && (ready ? !m_showsLoading && state == m_shownState : m_showsLoading)) {
        return;
    }
    m_shownState = state;
    m_showsLoading = !ready;
    replaceContent(ready ? new ContentView(state, m_context, m_closePopover, this)
                         : makeLoadingView());
}

void StatusItemPopoverView::replaceContent(QWidget *content)
{
    // Later, not now: the old content may be inside one of its own signals.
    if (m_content) {
        m_content->hide();
        m_layout->removeWidget(m_content);
        m_content->deleteLater();
    }
    m_content = content;
    m_layout->addWidget(m_content);
}

QWidget *StatusItemPopoverView::makeLoadingView()
{
    auto *loading = new QWidget(this);
    loading->setObjectName(QStringLiteral("loadingView"));
    auto *spinner = new QProgressBar(loading);
    spinner->setRange(0, 0); // busy, without a known end
    spinner->setTextVisible(false);
    spinner->setMaximumWidth(fontMetrics().averageCharWidth() * 16);
    auto *text = new QLabel(QStringLiteral("Loading..."), loading);
    text->setObjectName(QStringLiteral("loadingText"));
    text->setAlignment(Qt::AlignCenter);
    auto *layout = new QVBoxLayout(loading);
    layout->addStretch(1);
    layout->addWidget(spinner, 0, Qt::AlignHCenter);
    layout->addWidget(text);
    layout->addStretch(1);
    return loading;
}
