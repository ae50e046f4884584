#include "gui/setup/SetupView.h"

#include "core/api/AppState.h"
#include "gui/setup/SetupPageView.h"
#include "gui/setup/SetupWelcomeView.h"

#include <QtWidgets/QVBoxLayout>

SetupView::SetupView(AppState *appState, std::function<void()> onDismiss, QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (appState->authStatus() == AppState::AuthStatus::loggedIn) {
        layout->addWidget(new SetupWelcomeView(std::move(onDismiss), this));
    } else {
        layout->addWidget(new SetupPageView(appState, this));
    }
}
