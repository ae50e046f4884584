#include "gui/popover/SetupPromptPlaceholder.h"

#include "core/api/AppState.h"

#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

SetupPromptPlaceholder::SetupPromptPlaceholder(AppState *state, QWidget *parent)
    : QWidget(parent), m_state(state)
{
    setObjectName(QStringLiteral("setupPrompt"));
    auto *text = new QLabel(QStringLiteral("Sign in to Vorlanta to start sending files."), this);
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignCenter);
    auto *signIn = new QPushButton(QStringLiteral("Sign In\u2026"), this);
    signIn->setObjectName(QStringLiteral("signIn"));
    signIn->setDefault(true);
    connect(signIn, &QPushButton::clicked, this, [this] {
        if (m_state) {
            m_state->startExternalAutoLoginFlow();
        }
    });
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->addStretch(1);
    layout->addWidget(text);
    layout->addSpacing(8);
    layout->addWidget(signIn, 0, Qt::AlignHCenter);
    layout->addStretch(1);
}
