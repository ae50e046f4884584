#include "gui/setup/SetupPromptView.h"

#include "core/api/AppState.h"
#include "gui/setup/SetupWindowManager.h"
#include "gui/shell/AppContext.h"

#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

SetupPromptView::SetupPromptView(AppState *appState, AppContext *appContext, QWidget *parent)
    : QWidget(parent), m_appState(appState), m_appContext(appContext)
{
    setObjectName(QStringLiteral("setupPrompt"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(10);
    layout->addStretch(1);
    auto *heading = new QLabel(QStringLiteral("Complete setup to get started"), this);
    QFont font = heading->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() + 2);
    heading->setFont(font);
    heading->setAlignment(Qt::AlignCenter);
    heading->setWordWrap(true);
    layout->addWidget(heading);
    auto *line = new QLabel(QStringLiteral("Choose Auto-Login to log in through your browser or "
                                           "Manual Login to use your email and password."),
                            this);
    line->setForegroundRole(QPalette::PlaceholderText);
    line->setAlignment(Qt::AlignCenter);
    line->setWordWrap(true);
    layout->addWidget(line);
    layout->addSpacing(6);
    auto *openSetup = new QPushButton(QStringLiteral("Open Setup"), this);
    openSetup->setObjectName(QStringLiteral("openSetup"));
    openSetup->setDefault(true);
    openSetup->setMinimumHeight(34);
    connect(openSetup, &QPushButton::clicked, this, &SetupPromptView::openSetup);
    layout->addWidget(openSetup);
    if (appState && appState->authStatus() == AppState::AuthStatus::loggedOut) {
        auto *manual = new QPushButton(QStringLiteral("Manual Token Entry"), this);
        manual->setObjectName(QStringLiteral("manualTokenEntry"));
        connect(manual, &QPushButton::clicked, this, &SetupPromptView::openSetup);
        layout->addWidget(manual);
    }
    layout->addStretch(1);
}

void SetupPromptView::openSetup()
{
    if (m_appContext && m_appState) {
        m_appContext->setupWindowManager()->presentWindowIfNeeded(m_appState);
    }
}
