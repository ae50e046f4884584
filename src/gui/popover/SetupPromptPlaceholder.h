#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

class AppState;

// What the popover shows while the user is signed out: a line and a button that opens the web
// sign-in in the browser.
class SetupPromptPlaceholder : public QWidget {
    Q_OBJECT
public:
    explicit SetupPromptPlaceholder(AppState *state, QWidget *parent = nullptr);

private:
    QPointer<AppState> m_state;
};
