#pragma once

#include <QtCore/QMetaObject>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QSize>

class AppState;
class QWidget;

// The setup window: opens by itself whenever the authentication status asks for a sign-in,
// turns into the welcome page in place once signed in. One per app context; main thread only.
class SetupWindowManager : public QObject {
    Q_OBJECT
public:
    static constexpr QSize kContentSize{800, 780};

    explicit SetupWindowManager(QObject *parent = nullptr);
    ~SetupWindowManager() override;

    void bind(AppState *appState);
    // Creates the window, or gives the open one fresh content without bringing it forward.
    void presentWindowIfNeeded(AppState *appState);
    void windowWillClose(QWidget *window);

    // The setup window while it exists.
    QWidget *window() const { return m_window; }

private:
    QPointer<QWidget> m_window;
    QMetaObject::Connection m_cancellable;
    QPointer<AppState> m_observedAppState;
    QPointer<QWidget> m_hostingController; // the content inside the window
};
