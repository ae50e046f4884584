#pragma once

#include <QtWidgets/QWidget>

class DropBinView;

// The middle of the popover in drop mode: "Drop files into a bin" over the two bins side by
// side. The area itself only notes that a drag hovers over it; a drop beside the bins is refused.
class DropBinsArea : public QWidget {
    Q_OBJECT
public:
    explicit DropBinsArea(QWidget *parent = nullptr);

    DropBinView *quickProjectBin() const { return m_quickProject; }
    DropBinView *missingFilesBin() const { return m_missingFiles; }

Q_SIGNALS:
    void dragOverChanged(bool over);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    DropBinView *m_quickProject;
    DropBinView *m_missingFiles;
};
