#pragma once

#include <QtCore/QList>
#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

class AppState;
class QLabel;
class QVBoxLayout;
class UploadStatusRow;

// The middle of the popover outside drop mode: the newest uploads under "Recent Uploads" and how
// many more there are, or a hint while there are none. Follows the app state's list while shown.
class RecentUploadsView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kShownRows = 4;

    explicit RecentUploadsView(AppState *state, QWidget *parent = nullptr);

    QList<UploadStatusRow *> rows() const { return m_rows; }

private:
    void refresh();

    QPointer<AppState> m_state;
    QLabel *m_heading;
    QVBoxLayout *m_rowsLayout;
    QList<UploadStatusRow *> m_rows;
    QLabel *m_more;
    QLabel *m_emptyHint;
};
