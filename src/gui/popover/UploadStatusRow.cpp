#include "gui/popover/UploadStatusRow.h"

#include "gui/popover/PopoverColors.h"

#include <QtCore/QEvent>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QVBoxLayout>

#include <algorithm>

namespace {
constexpr int kProgressSteps = 1000;
} // namespace

UploadStatusRow::UploadStatusRow(const UploadStatus &status, QWidget *parent)
    : QWidget(parent), m_name(new QLabel(this)), m_statusText(new QLabel(this)),
      m_progress(new QProgressBar(this))
{
    m_name->setObjectName(QStringLiteral("uploadFileName"));
    m_name->setTextFormat(Qt::PlainText);
    // A long name is cut to the row's width instead of widening the popover.
    m_name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_statusText->setObjectName(QStringLiteral("uploadStatusText"));
    m_statusText->setTextFormat(Qt::PlainText);
    QFont small = m_statusText->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    m_statusText->setFont(small);
    m_progress->setObjectName(QStringLiteral("uploadProgress"));
    m_progress->setRange(0, kProgressSteps);
    m_progress->setTextVisible(false);
    m_progress->setMaximumHeight(fontMetrics().height() / 2);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(2);
    layout->addWidget(m_name);
    layout->addWidget(m_statusText);
    layout->addWidget(m_progress);
    setStatus(status);
}

QString UploadStatusRow::statusText(const UploadStatus &status)
{
    switch (status.status) {
    case UploadStatus::UploadStatusEnum::uploading:
        return QStringLiteral("Uploading \u2022 ") +
               QString::number(static_cast<int>(status.progress * 100)) + QStringLiteral("%");
    case UploadStatus::UploadStatusEnum::failed:
        return QStringLiteral("Failed");
    case UploadStatus::UploadStatusEnum::completed:
        return QStringLiteral("Completed");
    }
    return {};
}

void UploadStatusRow::setStatus(const UploadStatus &status)
{
    m_status = status;
    m_name->setToolTip(status.fileName);
    m_name->setAccessibleName(status.fileName);
    showName();
    m_statusText->setText(statusText(status));
    const bool uploading = status.status == UploadStatus::UploadStatusEnum::uploading;
    m_progress->setVisible(uploading);
    m_progress->setValue(static_cast<int>(std::clamp(status.progress, 0.0, 1.0) * kProgressSteps));
    showStatus();
}

void UploadStatusRow::showName()
{
    m_name->setText(
        m_name->fontMetrics().elidedText(m_status.fileName, Qt::ElideMiddle, m_name->width()));
}

void UploadStatusRow::showStatus()
{
    QColor color;
    switch (m_status.status) {
    case UploadStatus::UploadStatusEnum::uploading:
        color = PopoverColors::accent(palette());
        break;
    case UploadStatus::UploadStatusEnum::failed:
        color = PopoverColors::red(palette());
        break;
    case UploadStatus::UploadStatusEnum::completed:
        color = PopoverColors::green(palette());
        break;
    }
    QPalette colored = m_statusText->palette();
    colored.setColor(QPalette::WindowText, color);
    m_statusText->setPalette(colored);
}

void UploadStatusRow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    showName();
}

void UploadStatusRow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    // The desktop switched between light and dark, or the font changed.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange) {
        showStatus();
        showName();
    }
}
