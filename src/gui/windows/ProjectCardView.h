#pragma once

#include "core/upload/MissingFilesViewModel.h"

#include <QtWidgets/QAbstractButton>

// One project in the picker: its title on one line and its file count. A button, so it takes
// clicks, keyboard focus and the space bar like any other.
class ProjectCardView : public QAbstractButton {
    Q_OBJECT
public:
    explicit ProjectCardView(const MissingFilesViewModel::ProjectCard &project,
                             QWidget *parent = nullptr);

    const MissingFilesViewModel::ProjectCard &project() const { return m_project; }
    bool isHovered() const { return m_isHovered; }
    void setHovered(bool hovered);

    // "N Files", the plural for every N.
    static QString filesText(qsizetype count);

    QSize sizeHint() const override;

Q_SIGNALS:
    void hoverChanged(bool hovered);

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    MissingFilesViewModel::ProjectCard m_project;
    bool m_isHovered = false;
};
