#include "gui/setup/SetupWindowManager.h"

#include "core/api/AppState.h"
#include "gui/setup/SetupView.h"

#include <QtGui/QCloseEvent>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtWidgets/QVBoxLayout>

namespace {

// Titled and closable only; closing it by hand tells the manager.
class SetupWindow : public QWidget {
public:
    std::function<void()> onClose;

    SetupWindow()
        : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowCloseButtonHint)
    {}

protected:
    void closeEvent(QCloseEvent *event) override
    {
        QWidget::closeEvent(event);
        if (onClose) {
            onClose();
        }
    }
};

} // namespace

SetupWindowManager::SetupWindowManager(QObject *parent) : QObject(parent) {}

SetupWindowManager::~SetupWindowManager()
{
    delete m_window;
}

void SetupWindowManager::bind(AppState *appState)
{
    // 1.
    if (!appState || m_observedAppState == appState) {
        return;
    }
    // 2.
    m_observedAppState = appState;
    disconnect(m_cancellable);
    // 3. Every status from the event loop, the current one first.
    const auto deliver = [this](AppState::AuthStatus status) {
        if (!m_observedAppState) {
            return;
        }
        if (status == AppState::AuthStatus::loggedIn && !m_window) {
            return;
        }
        presentWindowIfNeeded(m_observedAppState);
    };
    m_cancellable =
        connect(appState, &AppState::authStatusChanged, this, deliver, Qt::QueuedConnection);
    QMetaObject::invokeMethod(
        this,
        [this, deliver] {
            if (m_observedAppState) {
                deliver(m_observedAppState->authStatus());
            }
        },
        Qt::QueuedConnection);
}

void SetupWindowManager::presentWindowIfNeeded(AppState *appState)
{
    if (!appState) {
        return;
    }
    const auto dismiss = [self = QPointer<SetupWindowManager>(this)] {
        if (self && self->m_window) {
            QWidget *window = std::exchange(self->m_window, nullptr);
            self->m_hostingController = nullptr;
            window->hide();
            window->deleteLater();
        }
    };
    // 1. An open window gets fresh content and stays where it is.
    if (m_window) {
        if (!m_hostingController) {
            return;
        }
        auto *layout = m_window->layout();
        auto *content = new SetupView(appState, dismiss, m_window);
        // The layout hands back the old content's item, which is the caller's to delete.
        delete layout->replaceWidget(m_hostingController, content);
        m_hostingController->deleteLater();
        m_hostingController = content;
        return;
    }
    // 2. A new window, centred and in front.
    auto *window = new SetupWindow;
    window->setWindowTitle(QStringLiteral("Vorlanta Setup"));
    window->setObjectName(QStringLiteral("setup"));
    window->setFixedSize(kContentSize);
    auto *layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    m_hostingController = new SetupView(appState, dismiss, window);
    layout->addWidget(m_hostingController);
    window->onClose = [self = QPointer<SetupWindowManager>(this), window] {
        if (self) {
            self->windowWillClose(window);
        }
    };
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        window->move(screen->availableGeometry().center() - window->rect().center());
    }
    m_window = window;
    window->show();
    window->raise();
    window->activateWindow();
}

void SetupWindowManager::windowWillClose(QWidget *window)
{
    if (window && window == m_window) {
        m_window = nullptr;
        m_hostingController = nullptr;
        window->deleteLater();
    }
}
