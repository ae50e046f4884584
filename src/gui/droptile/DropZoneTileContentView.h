#pragma once

#include <QtWidgets/QWidget>

#include <functional>

class DropZoneTileView;

// The tile's drag surface: a drag of files resting on it for 0.15 s asks for the popover; it
// never takes a drop.
class DropZoneTileContentView : public QWidget {
    Q_OBJECT
public:
    explicit DropZoneTileContentView(QWidget *parent = nullptr);

    std::function<void()> onExpand;
    std::function<void(bool)> onHoverChanged;
    std::function<void()> onDragEnded;
    bool isHovering() const { return m_isHovering; }

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void dragFinished();

    bool m_isHovering = false;
};
