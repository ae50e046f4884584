#pragma once

#include <QtWidgets/QWidget>

#include <functional>

class DropZoneTileContentView;
class DropZoneTileView;

// The floating tile: a small frameless window above all others and on every desktop, which
// never takes the focus from the application the drag comes from.
class DropZoneTilePanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSize = 110;

    DropZoneTilePanel();

    void setOnExpand(std::function<void()> onExpand);
    void setOnDragEnded(std::function<void()> onDragEnded);
    DropZoneTileContentView *dragContentView() const { return m_dragContentView; }
    DropZoneTileView *tileView() const { return m_tileView; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    DropZoneTileContentView *m_dragContentView;
    DropZoneTileView *m_tileView;
};
