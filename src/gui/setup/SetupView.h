#pragma once

#include <QtWidgets/QWidget>

#include <functional>

class AppState;

// The setup window's content: the welcome page when signed in, else the sign-in page.
class SetupView : public QWidget {
    Q_OBJECT
public:
    SetupView(AppState *appState, std::function<void()> onDismiss, QWidget *parent = nullptr);
};
