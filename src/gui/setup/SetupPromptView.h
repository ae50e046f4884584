#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

class AppContext;
class AppState;

// The popover's content while signed out: an invitation to open the setup window.
class SetupPromptView : public QWidget {
    Q_OBJECT
public:
    SetupPromptView(AppState *appState, AppContext *appContext, QWidget *parent = nullptr);

private:
    void openSetup();

    QPointer<AppState> m_appState;
    QPointer<AppContext> m_appContext;
};
