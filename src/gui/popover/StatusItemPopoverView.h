#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

#include <functional>

class AppContext;
class AppState;
class QVBoxLayout;

// The tray popover's content: "Loading..." until the context has an app state and a services
// provider, then the signed-in panel or the setup prompt. Built anew each time the popover shows.
class StatusItemPopoverView : public QWidget {
    Q_OBJECT
public:
    // closePopover closes the popover that hosts this view (the gear menu's entries call it).
    StatusItemPopoverView(AppContext *context, std::function<void()> closePopover,
                          QWidget *parent = nullptr);

    QSize sizeHint() const override { return {300, 400}; }

private:
    void refresh();
    void replaceContent(QWidget *content);
    QWidget *makeLoadingView();

    QPointer<AppContext> m_context;
    std::function<void()> m_closePopover;
    QVBoxLayout *m_layout;
    QWidget *m_content = nullptr;
    bool m_showsLoading = false;
    // The state the shown content was built for.
    QPointer<AppState> m_shownState;
};
