#include "gui/popover/ContentView.h"

#include "core/api/AppState.h"
#include "gui/popover/MainView.h"
#include "gui/setup/SetupPromptView.h"
#include "gui/shell/AppContext.h"

#include <QtWidgets/QMessageBox>
#include <QtWidgets/QVBoxLayout>

ContentView::ContentView(AppState *state, AppContext *context, std::function<void()> closePopover,
                         QWidget *parent)
    : QWidget(parent), m_state(state), m_context(context), m_closePopover(std::move(closePopover)),
      m_layout(new QVBoxLayout(this))
{
    m_layout->setContentsMargins(0, 0, 0, 0);
    showAuthStatus();
    if (state) {
        connect(state, &AppState::authStatusChanged, this, &ContentView::showAuthStatus);
        connect(state, &AppState::errorMessageChanged, this, &ContentView::showErrorMessage);
    }
    showErrorMessage();
}

ContentView::~ContentView()
{
    // The popover closing is no answer to the alert: the message stays for the next time.
    if (m_alert) {
        m_alert->disconnect(this);
    }
}

void ContentView::showAuthStatus()
{
    const bool signedIn = m_state && m_state->authStatus() == AppState::AuthStatus::loggedIn;
    if (m_content && signedIn == m_showsMainView) {
        return;
    }
    // The old view may be the one whose action signed out: it goes once that action is over.
    if (m_content) {
        m_content->hide();
        m_layout->removeWidget(m_content);
        m_content->deleteLater();
    }
    m_showsMainView = signedIn;
    m_content = signedIn
                    ? static_cast<QWidget *>(new MainView(m_state, m_context, m_closePopover, this))
                    : new SetupPromptView(m_state, m_context, this);
    m_layout->addWidget(m_content);
}

void ContentView::showErrorMessage()
{
    const std::optional<QString> message =
        m_state ? m_state->errorMessage() : std::optional<QString>();
    if (!message) {
        // Cleared elsewhere: the alert has nothing left to say.
        if (m_alert) {
            m_alert->disconnect(this);
            m_alert->close();
            m_alert->deleteLater();
            m_alert = nullptr;
        }
        return;
    }
    if (!m_alert) {
        // Parented to this view, so the popover treats clicks in it as its own.
        m_alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Error"), QString(),
                                  QMessageBox::Ok, this);
        m_alert->setObjectName(QStringLiteral("errorAlert"));
        // OK, Escape and the window's close button all end here.
        connect(m_alert, &QMessageBox::finished, this, [this, alert = m_alert.data()] {
            alert->deleteLater();
            m_alert = nullptr;
            if (m_state) {
                m_state->setErrorMessage(std::nullopt);
            }
        });
    }
    m_alert->setText(*message);
    m_alert->open();
}
