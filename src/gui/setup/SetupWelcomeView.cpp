#include "gui/setup/SetupWelcomeView.h"

#include "gui/popover/PopoverSymbols.h"
#include "gui/setup/SetupLabel.h"
#include "gui/shell/NotificationCenter.h"

#include <QtCore/QDir>
#include <QtCore/QPropertyAnimation>
#include <QtCore/QStandardPaths>
#include <QtCore/QUrl>
#include <QtGui/QDesktopServices>
#include <QtGui/QMovie>
#include <QtWidgets/QGraphicsOpacityEffect>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

SetupWelcomeView::SetupWelcomeView(std::function<void()> onClose, QWidget *parent)
    : QWidget(parent), m_onClose(std::move(onClose))
{
    setObjectName(QStringLiteral("setupWelcome"));
    const QColor green(0x2b, 0x8a, 0x3e);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(70, 48, 70, 40);
    layout->setSpacing(12);
    // The badge, fading in.
    auto *badge = new QWidget(this);
    auto *badgeRow = new QHBoxLayout(badge);
    badgeRow->setContentsMargins(0, 0, 0, 0);
    auto *check = new QLabel(badge);
    check->setPixmap(PopoverSymbols::pixmap(QStringLiteral("checkmark.circle.fill"), green, 28,
                                            devicePixelRatioF()));
    QLabel *allSet = setupLabel(QStringLiteral("You're all set!"), badge, 6, true);
    allSet->setObjectName(QStringLiteral("allSet"));
    allSet->setWordWrap(false);
    allSet->setStyleSheet(QStringLiteral("color: %1;").arg(green.name()));
    badgeRow->addStretch(1);
    badgeRow->addWidget(check);
    badgeRow->addWidget(allSet);
    badgeRow->addStretch(1);
    auto *fade = new QGraphicsOpacityEffect(badge);
    badge->setGraphicsEffect(fade);
    auto *animateIn = new QPropertyAnimation(fade, "opacity", badge);
    animateIn->setStartValue(0.0);
    animateIn->setEndValue(1.0);
    animateIn->setDuration(600);
    animateIn->start();
    layout->addWidget(badge);
    QLabel *heading =
        setupLabel(QStringLiteral("Create orders instantly by right-clicking your video files"),
                   this, 4, true);
    heading->setAlignment(Qt::AlignCenter);
    layout->addWidget(heading);
    QLabel *how = setupLabel(QStringLiteral("Here's how it works"), this);
    how->setForegroundRole(QPalette::PlaceholderText);
    how->setAlignment(Qt::AlignCenter);
    layout->addWidget(how);
    layout->addSpacing(12);
    // The steps beside the looping how-to.
    auto *stepsRow = new QHBoxLayout;
    auto *steps = new QVBoxLayout;
    steps->setSpacing(14);
    const QStringList titles{QStringLiteral("Select files"), QStringLiteral("Right-click"),
                             QStringLiteral("Send to Vorlanta")};
    for (int i = 0; i < titles.size(); ++i) {
        auto *step = new QHBoxLayout;
        QLabel *number = setupLabel(QString::number(i + 1), this, 2, true);
        number->setFixedSize(30, 30);
        number->setAlignment(Qt::AlignCenter);
        number->setStyleSheet(
            QStringLiteral("border-radius: 15px; color: palette(highlighted-text);"
                           " background: palette(highlight);"));
        step->addWidget(number);
        step->addWidget(setupLabel(titles[i], this, 2));
        steps->addLayout(step);
    }
    steps->addStretch(1);
    stepsRow->addLayout(steps, 1);
    auto *animation = new QLabel(this);
    animation->setObjectName(QStringLiteral("howToCreate"));
    auto *movie = new QMovie(QStringLiteral(":/setup/HowToCreate.gif"), QByteArray(), animation);
    if (movie->isValid()) {
        animation->setMovie(movie);
        movie->start();
    }
    stepsRow->addWidget(animation);
    layout->addLayout(stepsRow);
    layout->addStretch(1);
    // The two ways on.
    auto *trySending = new QPushButton(QStringLiteral("Try sending a file"), this);
    trySending->setObjectName(QStringLiteral("trySending"));
    trySending->setIcon(PopoverSymbols::icon(QStringLiteral("folder.badge.plus"),
                                             palette().color(QPalette::ButtonText), 16,
                                             devicePixelRatioF()));
    trySending->setDefault(true);
    trySending->setMinimumHeight(38);
    connect(trySending, &QPushButton::clicked, this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(moviesFolder()));
        if (m_onClose) {
            m_onClose();
        }
    });
    layout->addWidget(trySending);
    auto *explore = new QPushButton(QStringLiteral("Or explore the dashboard"), this);
    explore->setObjectName(QStringLiteral("exploreDashboard"));
    explore->setFlat(true);
    connect(explore, &QPushButton::clicked, this, [this] {
        NotificationCenter::defaultCenter().post(
            QString::fromLatin1(NotificationCenter::kOpenDashboardRequested));
        if (m_onClose) {
            m_onClose();
        }
    });
    layout->addWidget(explore);
}

QString SetupWelcomeView::moviesFolder()
{
    const QString movies = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    return !movies.isEmpty() && QDir(movies).exists() ? movies : QDir::homePath();
}
