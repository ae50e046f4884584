#pragma once

#include <QtCore/QList>
#include <QtCore/QPointer>
#include <QtCore/QUrl>
#include <QtWidgets/QWidget>

#include <functional>

class AppContext;
class AppState;
class DropBinsArea;
class QLabel;
class QMenu;
class QVBoxLayout;

// The signed-in popover: a header with the gear menu, the drop bins (drop mode) or the recent
// uploads, and a hint at the bottom. Follows drop mode and the upload list while shown.
class MainView : public QWidget {
    Q_OBJECT
public:
    MainView(AppState *state, AppContext *context, std::function<void()> closePopover,
             QWidget *parent = nullptr);

    bool quickProjectHighlighted() const { return m_quickProjectHighlighted; }
    bool missingFilesHighlighted() const { return m_missingFilesHighlighted; }
    bool isDragOverDropArea() const { return m_isDragOverDropArea; }
    QMenu *gearMenu() const { return m_gearMenu; }

    // Collects the file URLs of a drop that can be read, in the order given, and hands them to
    // the action (not called when none is left). Other URLs are left out silently.
    static void handleDrop(const QList<QUrl> &providers,
                           const std::function<void(const QList<QUrl> &)> &action);

private:
    QWidget *makeHeader();
    QMenu *makeGearMenu();
    QWidget *makeFooter();
    void showDropMode();
    QWidget *makeDropBins();
    // Closes the dashboard windows, then signs out.
    void logOut();

    QPointer<AppState> m_state;
    QPointer<AppContext> m_context;
    std::function<void()> m_closePopover;
    bool m_quickProjectHighlighted = false;
    bool m_missingFilesHighlighted = false;
    bool m_isDragOverDropArea = false;
    QLabel *m_subtitle = nullptr;
    QLabel *m_footerTitle = nullptr;
    QLabel *m_footerText = nullptr;
    QMenu *m_gearMenu = nullptr;
    QVBoxLayout *m_layout = nullptr;
    QWidget *m_middle = nullptr;
};
