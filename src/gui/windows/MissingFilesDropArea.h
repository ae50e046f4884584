#pragma once

#include <QtWidgets/QAbstractButton>

// The "→ Drag & Drop Files ←" area: a dashed frame that opens the file picker when clicked and
// shows the accent colour while a drag hovers over the form.
class MissingFilesDropArea : public QAbstractButton {
    Q_OBJECT
public:
    explicit MissingFilesDropArea(QWidget *parent = nullptr);

    void setTargeted(bool targeted);
    bool isTargeted() const { return m_targeted; }
    QSize sizeHint() const override;

    // sRGB 66/133/244, shared with the quick-project window.
    static QColor accentBlue();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_targeted = false;
};
