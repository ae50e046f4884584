#include "gui/popover/MainView.h"

#include "core/api/AppState.h"
#include "core/shell/Logger.h"
#include "gui/popover/DropBinView.h"
#include "gui/popover/DropBinsArea.h"
#include "gui/popover/PopoverColors.h"
#include "gui/popover/PopoverSymbols.h"
#include "gui/popover/RecentUploadsView.h"
#include "gui/shell/AppContext.h"
#include "gui/shell/NotificationCenter.h"

#include <QtWidgets/QApplication>
#include <QtWidgets/QFrame>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMenu>
#include <QtWidgets/QStyle>
#include <QtWidgets/QToolButton>
#include <QtWidgets/QVBoxLayout>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

using OpenWindow = void (AppContext::*)(const QList<QUrl> &);

QLabel *label(const QString &text, QWidget *parent, const char *name)
{
    auto *result = new QLabel(text, parent);
    result->setObjectName(QString::fromLatin1(name));
    result->setTextFormat(Qt::PlainText);
    result->setWordWrap(true);
    return result;
}

QFont scaled(QFont font, qreal factor, bool bold)
{
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setBold(bold);
    return font;
}

QFrame *separator(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// Why a dropped file cannot be used, or nothing when it can. One access() per file, so a drop of
// a thousand files stays quick.
QString loadError(const QUrl &url)
{
    const QByteArray path = url.toLocalFile().toLocal8Bit();
    if (::access(path.constData(), R_OK) == 0) {
        return {};
    }
    const int error = errno;
    return url.toString(QUrl::FullyEncoded) + QStringLiteral(": ") +
           QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

MainView::MainView(AppState *state, AppContext *context, std::function<void()> closePopover,
                   QWidget *parent)
    : QWidget(parent), m_state(state), m_context(context), m_closePopover(std::move(closePopover))
{
    setObjectName(QStringLiteral("mainView"));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(14, 14, 14, 14);
    m_layout->setSpacing(10);
    m_layout->addWidget(makeHeader());
    m_layout->addWidget(separator(this));
    m_layout->addWidget(separator(this));
    m_layout->addWidget(makeFooter());
    showDropMode();
    if (m_context) {
        connect(m_context, &AppContext::isDropModeChanged, this, &MainView::showDropMode);
    }
}

QWidget *MainView::makeHeader()
{
    auto *header = new QWidget(this);
    auto *title = label(QStringLiteral("Vorlanta Creator"), header, "title");
    title->setFont(scaled(title->font(), 1.25, true));
    m_subtitle = label(QString(), header, "subtitle");
    m_subtitle->setForegroundRole(QPalette::PlaceholderText);

    auto *gear = new QToolButton(header);
    gear->setObjectName(QStringLiteral("gearButton"));
    gear->setIcon(PopoverSymbols::icon(QStringLiteral("gear"),
                                       palette().color(QPalette::ButtonText),
                                       gear->iconSize().height(), devicePixelRatioF()));
    if (gear->icon().isNull()) {
        gear->setText(QStringLiteral("Menu"));
    }
    gear->setToolTip(QStringLiteral("Menu"));
    gear->setAccessibleName(QStringLiteral("Menu"));
    gear->setAutoRaise(true);
    gear->setPopupMode(QToolButton::InstantPopup);
    // The gear says "menu" by itself; the style's arrow would sit on top of it.
    gear->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    m_gearMenu = makeGearMenu();
    gear->setMenu(m_gearMenu);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(title);
    texts->addWidget(m_subtitle);
    auto *layout = new QHBoxLayout(header);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(texts, 1);
    layout->addWidget(gear, 0, Qt::AlignTop);
    return header;
}

QMenu *MainView::makeGearMenu()
{
    // Parented to this view, so the popover treats clicks in it as its own.
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("gearMenu"));
    const int iconSize = menu->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, menu);
    const auto add = [&](const QString &text, const char *symbol, const QColor &color,
                         std::function<void()> run) {
        QAction *action = menu->addAction(
            PopoverSymbols::icon(QString::fromLatin1(symbol), color, iconSize, devicePixelRatioF()),
            text);
        // Run after the menu has closed: the work may close the popover and with it the menu.
        connect(action, &QAction::triggered, this, std::move(run), Qt::QueuedConnection);
        return action;
    };
    const QColor text = menu->palette().color(QPalette::Text);
    add(QStringLiteral("Open Quick Project"), "film.stack", text, [this] {
        if (m_context) {
            m_context->openQuickProjectWindow({});
        }
        const auto close = m_closePopover;
        close();
    });
    add(QStringLiteral("Send Missing Files"), "doc.badge.plus", text, [this] {
        if (m_context) {
            m_context->openMissingFilesWindow({});
        }
        const auto close = m_closePopover;
        close();
    });
    add(QStringLiteral("Open Dashboard"), "globe", text, [this] {
        NotificationCenter::defaultCenter().post(
            QString::fromLatin1(NotificationCenter::kOpenDashboardRequested));
        const auto close = m_closePopover;
        close();
    });
    menu->addSeparator();
    // Signing out is destructive: drawn in red.
    add(QStringLiteral("Log Out"), "rectangle.portrait.and.arrow.right",
        PopoverColors::red(menu->palette()), [this] { logOut(); });
    return menu;
}

QWidget *MainView::makeFooter()
{
    auto *footer = new QWidget(this);
    m_footerTitle = label(QString(), footer, "footerTitle");
    m_footerTitle->setFont(scaled(m_footerTitle->font(), 0.9, true));
    m_footerText = label(QString(), footer, "footerText");
    m_footerText->setFont(scaled(m_footerText->font(), 0.9, false));
    m_footerText->setForegroundRole(QPalette::PlaceholderText);
    auto *layout = new QVBoxLayout(footer);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(m_footerTitle);
    layout->addWidget(m_footerText);
    return footer;
}

void MainView::showDropMode()
{
    const bool dropMode = m_context && m_context->isDropMode();
    m_subtitle->setText(
        dropMode ? QStringLiteral("Drop files to get started")
                 : QStringLiteral("Monitor recent uploads and jump into full dashboard when "
                                  "needed."));
    m_footerTitle->setText(dropMode ? QStringLiteral("Drag & Drop")
                                    : QStringLiteral("Need deeper insight?"));
    m_footerText->setText(
        dropMode ? QStringLiteral("Drop files into Quick Project to create a new project, or "
                                  "Missing Files to add to an existing one.")
                 : QStringLiteral("Use the gear menu to open the full Vorlanta dashboard in a "
                                  "separate window."));
    // The middle section is built anew; nothing hovers over the new one yet.
    delete m_middle;
    m_quickProjectHighlighted = m_missingFilesHighlighted = m_isDragOverDropArea = false;
    m_middle = dropMode ? makeDropBins() : new RecentUploadsView(m_state, this);
    m_layout->insertWidget(2, m_middle, 1);
}

QWidget *MainView::makeDropBins()
{
    auto *area = new DropBinsArea(this);
    connect(area, &DropBinsArea::dragOverChanged, this,
            [this](bool over) { m_isDragOverDropArea = over; });
    const auto connectBin = [this](DropBinView *bin, bool &highlighted, OpenWindow open) {
        connect(bin, &DropBinView::highlightedChanged, this,
                [&highlighted](bool on) { highlighted = on; });
        connect(bin, &DropBinView::dropped, this, [context = m_context, open](QList<QUrl> urls) {
            if (!context) {
                return;
            }
            // The drop has been reported as done; its URLs are looked at from the event loop.
            QMetaObject::invokeMethod(
                context.data(),
                [context, open, urls] {
                    handleDrop(urls, [context, open](const QList<QUrl> &files) {
                        if (context) {
                            (context.data()->*open)(files);
                        }
                    });
                },
                Qt::QueuedConnection);
        });
    };
    connectBin(area->quickProjectBin(), m_quickProjectHighlighted,
               &AppContext::openQuickProjectWindow);
    connectBin(area->missingFilesBin(), m_missingFilesHighlighted,
               &AppContext::openMissingFilesWindow);
    return area;
}

void MainView::handleDrop(const QList<QUrl> &providers,
                          const std::function<void(const QList<QUrl> &)> &action)
{
    Logger::info(QStringLiteral("[MainView] handleDrop called with ") +
                 QString::number(providers.size()) + QStringLiteral(" provider(s)"));
    QList<QUrl> collected;
    for (const QUrl &url : providers) {
        // Links to web pages and other non-file URLs are not for the bins.
        if (!url.isLocalFile()) {
            continue;
        }
        if (const QString error = loadError(url); !error.isEmpty()) {
            Logger::error(QStringLiteral("[MainView] Error loading URL: ") + error);
            continue;
        }
        collected.append(url);
        Logger::info(QStringLiteral("[MainView] Collected URL: ") +
                     url.toString(QUrl::FullyEncoded));
    }
    Logger::info(QStringLiteral("[MainView] Drop completed with ") +
                 QString::number(collected.size()) + QStringLiteral(" URL(s)"));
    if (!collected.isEmpty()) {
        action(collected);
    }
}

void MainView::logOut()
{
    // Dashboards first: none may stay open on a session that is gone.
    QList<QPointer<QWidget>> dashboards;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("dashboard")) {
            dashboards.append(widget);
        }
    }
    for (const QPointer<QWidget> &dashboard : dashboards) {
        if (dashboard) {
            dashboard->close();
        }
    }
    // Last: signing out replaces this view.
    if (m_state) {
        m_state->logout();
    }
}
