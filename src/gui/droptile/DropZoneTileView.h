#pragma once

#include <QtCore/QVariantAnimation>
#include <QtWidgets/QWidget>

// Draws the tile: a rounded card with a document-and-arrow symbol above "Drop here", grown a
// little and with a stronger border while a drag hovers it.
class DropZoneTileView : public QWidget {
    Q_OBJECT
public:
    explicit DropZoneTileView(QWidget *parent = nullptr);

    bool isHovering() const { return m_isHovering; }
    void setHovering(bool hovering);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_isHovering = false;
    // 0 at rest, 1 hovering; eased over 0.15 s.
    QVariantAnimation m_hover;
};
