#include "gui/setup/SetupPageView.h"

#include "core/api/AppState.h"
#include "gui/popover/PopoverSymbols.h"
#include "gui/setup/SetupLabel.h"

#include <QCoro/QCoroTask>
#include <QtCore/QEvent>
#include <QtCore/QTimer>
#include <QtGui/QIcon>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

namespace {

QLabel *secondary(const QString &text, QWidget *parent)
{
    QLabel *made = setupLabel(text, parent);
    made->setForegroundRole(QPalette::PlaceholderText);
    return made;
}

} // namespace

SetupPageView::SetupPageView(AppState *appState, QWidget *parent)
    : QWidget(parent), m_appState(appState)
{
    setObjectName(QStringLiteral("setupPage"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(80, 48, 80, 36);
    layout->setSpacing(10);
    // Header.
    auto *logo = new QLabel(this);
    logo->setPixmap(QIcon(QStringLiteral(":/setup/VorlantaLogo.svg")).pixmap(QSize(72, 72)));
    layout->addWidget(logo, 0, Qt::AlignHCenter);
    QLabel *title = setupLabel(QStringLiteral("Welcome to Vorlanta"), this, 10, true);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);
    QLabel *subtitle = secondary(QStringLiteral("Connect your account to get started"), this);
    subtitle->setAlignment(Qt::AlignCenter);
    layout->addWidget(subtitle);
    layout->addSpacing(24);
    // The two ways to sign in, the first one primary.
    QAbstractButton *browser = optionCard(
        0, QStringLiteral("Auto-Login via Browser"), QStringLiteral("Recommended"),
        QStringLiteral("Opens your browser to securely authenticate"), QStringLiteral("globe"));
    connect(browser, &QAbstractButton::clicked, this, &SetupPageView::autoLogin);
    layout->addWidget(browser);
    QAbstractButton *manual =
        optionCard(1, QStringLiteral("Manual Login"), QStringLiteral("In-app WebView"),
                   QStringLiteral("Sign in with email and password"),
                   QStringLiteral("rectangle.and.pencil.and.ellipsis"));
    connect(manual, &QAbstractButton::clicked, this, &SetupPageView::manualLogin);
    layout->addWidget(manual);
    layout->addStretch(1);
    // Footer.
    auto *secure = new QWidget(this);
    auto *secureRow = new QHBoxLayout(secure);
    secureRow->setContentsMargins(0, 0, 0, 0);
    auto *shield = new QLabel(secure);
    shield->setPixmap(PopoverSymbols::pixmap(QStringLiteral("lock.shield.fill"),
                                             palette().color(QPalette::PlaceholderText), 14,
                                             devicePixelRatioF()));
    secureRow->addStretch(1);
    secureRow->addWidget(shield);
    QLabel *handled = secondary(QStringLiteral("Your credentials are securely handled"), secure);
    handled->setWordWrap(false);
    secureRow->addWidget(handled);
    secureRow->addStretch(1);
    layout->addWidget(secure);
    QLabel *terms =
        secondary(QStringLiteral("By continuing, you agree to Vorlanta's Terms of Service"), this);
    terms->setAlignment(Qt::AlignCenter);
    layout->addWidget(terms);
    // The overlay while a sign-in is being started.
    m_overlay = new QWidget(this);
    m_overlay->setObjectName(QStringLiteral("connectingOverlay"));
    m_overlay->setAutoFillBackground(true);
    QPalette dim = m_overlay->palette();
    QColor shade = dim.color(QPalette::Window);
    shade.setAlpha(215);
    dim.setColor(QPalette::Window, shade);
    m_overlay->setPalette(dim);
    auto *overlayLayout = new QVBoxLayout(m_overlay);
    overlayLayout->addStretch(1);
    auto *spinner = new QProgressBar(m_overlay);
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedWidth(160);
    overlayLayout->addWidget(spinner, 0, Qt::AlignHCenter);
    QLabel *connecting = setupLabel(QStringLiteral("Connecting..."), m_overlay);
    connecting->setAlignment(Qt::AlignCenter);
    overlayLayout->addWidget(connecting);
    overlayLayout->addStretch(1);
    m_overlay->hide();
}

SetupPageView::~SetupPageView() = default;

QAbstractButton *SetupPageView::optionCard(int index, const QString &title, const QString &badge,
                                           const QString &description, const QString &symbol)
{
    auto *card = new QPushButton(this);
    card->setObjectName(index == 0 ? QStringLiteral("autoLogin") : QStringLiteral("manualLogin"));
    card->setCursor(Qt::PointingHandCursor);
    card->setMinimumHeight(84);
    card->setProperty("cardIndex", index);
    card->installEventFilter(this);
    const QColor accent = palette().color(QPalette::Highlight);
    // Primary: the accent's border; every card: a slightly heavier border while hovered.
    card->setStyleSheet(
        QStringLiteral("QPushButton { text-align: left; border-radius: 10px; padding: 10px;"
                       " border: %1px solid %2; background: palette(base); }"
                       " QPushButton:hover { border-width: %3px; }")
            .arg(index == 0 ? 2 : 1)
            .arg(index == 0 ? accent.name() : palette().color(QPalette::Mid).name())
            .arg(index == 0 ? 3 : 2));
    auto *row = new QHBoxLayout(card);
    row->setContentsMargins(18, 10, 18, 10);
    row->setSpacing(14);
    auto *icon = new QLabel(card);
    icon->setPixmap(PopoverSymbols::pixmap(symbol, accent, 28, devicePixelRatioF()));
    row->addWidget(icon);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto *heading = new QHBoxLayout;
    QLabel *name = setupLabel(title, card, 2, true);
    name->setWordWrap(false);
    heading->addWidget(name);
    heading->addSpacing(6);
    QLabel *tag = setupLabel(badge, card, -1);
    tag->setWordWrap(false);
    tag->setStyleSheet(QStringLiteral("color: %1; border: 1px solid %1; border-radius: 8px;"
                                      " padding: 1px 8px;")
                           .arg(accent.name()));
    heading->addWidget(tag);
    heading->addStretch(1);
    texts->addLayout(heading);
    texts->addWidget(secondary(description, card));
    row->addLayout(texts, 1);
    for (QLabel *child : card->findChildren<QLabel *>()) {
        child->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    return card;
}

bool SetupPageView::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Enter) {
        m_hoveredButton = watched->property("cardIndex").toInt();
    } else if (event->type() == QEvent::Leave) {
        m_hoveredButton.reset();
    }
    return QWidget::eventFilter(watched, event);
}

void SetupPageView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_overlay->setGeometry(rect());
}

void SetupPageView::setLoading(bool loading)
{
    m_isLoading = loading;
    m_overlay->setVisible(loading);
    m_overlay->raise();
}

void SetupPageView::autoLogin()
{
    setLoading(true);
    QTimer::singleShot(0, this, [this] {
        if (m_appState) {
            m_appState->startExternalAutoLoginFlow();
        }
        setLoading(false);
    });
}

void SetupPageView::manualLogin()
{
    setLoading(true);
    // The page may be gone when the login ends; the state decides what follows.
    [](QPointer<SetupPageView> self, QPointer<AppState> state) -> QCoro::Task<> {
        if (state) {
            co_await state->performAutoLogin();
        }
        if (self) {
            self->setLoading(false);
        }
    }(this, m_appState);
}
