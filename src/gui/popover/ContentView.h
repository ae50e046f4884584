#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QWidget>

#include <functional>

class AppContext;
class AppState;
class QVBoxLayout;

// The popover once the app state exists: the main view while signed in, the sign-in prompt
// otherwise, and the "Error" alert whenever the app state carries an error message.
class ContentView : public QWidget {
    Q_OBJECT
public:
    ContentView(AppState *state, AppContext *context, std::function<void()> closePopover,
                QWidget *parent = nullptr);
    ~ContentView() override;

    QMessageBox *errorAlert() const { return m_alert; }

private:
    void showAuthStatus();
    void showErrorMessage();

    QPointer<AppState> m_state;
    QPointer<AppContext> m_context;
    std::function<void()> m_closePopover;
    QVBoxLayout *m_layout;
    QWidget *m_content = nullptr;
    bool m_showsMainView = false;
    QPointer<QMessageBox> m_alert;
};
