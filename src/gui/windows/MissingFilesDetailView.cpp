#include "gui/windows/MissingFilesDetailView.h"

#include "core/api/VorlantaApiClient.h"
#include "core/shell/Logger.h"
#include "core/upload/QuickProjectService.h"
#include "gui/shell/NotificationCenter.h"
#include "gui/shell/UploadFailedModal.h"
#include "gui/windows/FileRowWidget.h"
#include "gui/windows/MissingFilesDropArea.h"
#include "gui/windows/QuickProjectView.h"
#include "gui/windows/Thumbnailer.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QMimeData>
#include <QtCore/QPointer>
#include <QtCore/QSet>
#include <QtGui/QDragEnterEvent>
#include <QtGui/QDropEvent>
#include <QtGui/QPainter>
#include <QtGui/QPixmap>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QFormLayout>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStyle>
#include <QtWidgets/QToolButton>
#include <QtWidgets/QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

const QString kTag = QStringLiteral("[SendMissingDetailView] ");

bool existsOnDisk(const QUrl &url)
{
    return url.isLocalFile() && QFileInfo::exists(url.toLocalFile());
}

QString fileNameOf(const QUrl &url)
{
    return QFileInfo(url.toLocalFile()).fileName();
}

// The first of the names the desktop's icon theme has; null when it has none of them.
QIcon themeIcon(std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        const QIcon icon = QIcon::fromTheme(QLatin1String(name));
        if (!icon.isNull()) {
            return icon;
        }
    }
    return {};
}

// A padlock in the text colour, for desktops whose icon theme has none.
QIcon paintedLock(const QColor &colour, int size, qreal ratio)
{
    QPixmap pixmap(QSize(size, size) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 16.0;
    painter.setPen(QPen(colour, 1.6 * unit));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(4.5 * unit, 1.5 * unit, 7 * unit, 9 * unit), 0, 180 * 16);
    painter.drawLine(QPointF(4.5 * unit, 6 * unit), QPointF(4.5 * unit, 7.5 * unit));
    painter.drawLine(QPointF(11.5 * unit, 6 * unit), QPointF(11.5 * unit, 7.5 * unit));
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawRoundedRect(QRectF(2.5 * unit, 7 * unit, 11 * unit, 8 * unit), unit, unit);
    painter.end();
    return QIcon(pixmap);
}

// A read-only fact of the project, with the theme's icon in front when it has one.
QWidget *factRow(const QIcon &icon, QLabel *text, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    if (!icon.isNull()) {
        auto *iconLabel = new QLabel(row);
        const int size = text->fontMetrics().height();
        iconLabel->setPixmap(icon.pixmap(QSize(size, size), parent->devicePixelRatioF()));
        layout->addWidget(iconLabel);
    }
    layout->addWidget(text, 1);
    return row;
}

} // namespace

MissingFilesDetailView::MissingFilesDetailView(const ProjectCard &project,
                                               const QStringList &initialFiles,
                                               ClientFactory apiClient, QWidget *parent)
    : QWidget(parent), m_project(project), m_initialFiles(initialFiles),
      m_apiClient(std::move(apiClient)), m_service(new QuickProjectService(nullptr, this)),
      m_thumbnailer(new Thumbnailer(this))
{
    setAcceptDrops(true);
    buildForm();
    connect(m_thumbnailer, &Thumbnailer::ready, this,
            [this](const QString &path, const QImage &image) {
                const QUrl url = QUrl::fromLocalFile(path);
                m_thumbnailCache.insert(url, image);
                for (FileRowWidget *row : m_fileList->findChildren<FileRowWidget *>()) {
                    if (row->url() == url) {
                        row->setThumbnail(image);
                    }
                }
            });
    connect(m_service, &QuickProjectService::statusTextChanged, this,
            &MissingFilesDetailView::setStatusText);
    connect(m_service, &QuickProjectService::uploadProgressChanged, this,
            [this](double progress) { m_progress->setValue(int(progress * 1000)); });
    // The bytes of the part on its way, so that a large part does not look stuck.
    connect(
        m_service, &QuickProjectService::uploadBytesSent, this, [this](qint64 sentInFile, qint64) {
            // The service counts whole files, by bytes, out of the batch's bytes.
            const double within = m_batchBytes > 0 ? double(sentInFile) / double(m_batchBytes) : 0;
            const double shown = m_service->uploadProgress() + within;
            m_progress->setValue(std::max(m_progress->value(), int(std::min(shown, 1.0) * 1000)));
        });
    connect(m_service, &QuickProjectService::isUploadingChanged, this, [this](bool uploading) {
        m_progress->setVisible(uploading);
        updateSubmit();
        Q_EMIT uploadingChanged(uploading);
    });
    connect(&NotificationCenter::defaultCenter(), &NotificationCenter::posted, this,
            [this](const QString &name, const QVariantMap &userInfo) {
                if (name != QLatin1String(NotificationCenter::kAddFilesToMissingFiles) ||
                    userInfo.isEmpty()) {
                    return;
                }
                const QList<QUrl> files = filesFromUserInfo(userInfo);
                Logger::info(kTag + QStringLiteral("Received notification to add ") +
                             QString::number(files.size()) + QStringLiteral(" file(s)"));
                appendFiles(files);
            });
}

MissingFilesDetailView::~MissingFilesDetailView() = default;

bool MissingFilesDetailView::isUploading() const
{
    return m_service->isUploading();
}

QString MissingFilesDetailView::statusText() const
{
    return m_statusText;
}

void MissingFilesDetailView::buildForm()
{
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(10);

    auto *back = new QToolButton(this);
    back->setObjectName(QStringLiteral("backButton"));
    back->setText(QStringLiteral("Back"));
    back->setIcon(QIcon::fromTheme(QStringLiteral("go-previous"),
                                   style()->standardIcon(QStyle::SP_ArrowBack)));
    back->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    back->setAutoRaise(true);
    connect(back, &QToolButton::clicked, this, [this] {
        if (!m_service->isUploading()) {
            Q_EMIT backRequested();
        }
    });
    connect(m_service, &QuickProjectService::isUploadingChanged, back,
            [back](bool uploading) { back->setEnabled(!uploading); });
    layout->addWidget(back, 0, Qt::AlignLeft);

    // The project's facts, read-only: the title with a lock, the channel, the delivery day.
    auto *title = new QLineEdit(m_project.title, this);
    title->setObjectName(QStringLiteral("projectTitle"));
    title->setReadOnly(true);
    title->setCursorPosition(0);
    QIcon lock = themeIcon({"object-locked", "changes-prevent", "changes-prevent-symbolic"});
    if (lock.isNull()) {
        lock = paintedLock(palette().color(QPalette::PlaceholderText), fontMetrics().height(),
                           devicePixelRatioF());
    }
    title->addAction(lock, QLineEdit::TrailingPosition);
    title->setToolTip(QStringLiteral("The project's title cannot be changed here"));
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
    title->setFont(titleFont);
    layout->addWidget(title);

    const bool named =
        m_project.channel && m_project.channel->name && !m_project.channel->name->isEmpty();
    auto *channel = new QLabel(named ? *m_project.channel->name : QStringLiteral("Channel"), this);
    channel->setObjectName(QStringLiteral("channelLabel"));
    layout->addWidget(
        factRow(themeIcon({"video-display", "video-display-symbolic"}), channel, this));
    auto *delivery = new QLabel(deliveryDaysText(m_project.dueDate), this);
    delivery->setObjectName(QStringLiteral("deliveryLabel"));
    if (m_project.dueDate) {
        delivery->setToolTip(
            QLocale().toString(m_project.dueDate->toLocalTime().date(), QLocale::LongFormat));
    }
    layout->addWidget(
        factRow(themeIcon({"x-office-calendar", "x-office-calendar-symbolic"}), delivery, this));

    auto *addons = new QHBoxLayout;
    const auto addon = [this, addons](const QString &label, bool on) {
        auto *box = new QCheckBox(label, this);
        box->setChecked(on);
        // Chosen when the project was made: shown, not editable.
        box->setAttribute(Qt::WA_TransparentForMouseEvents);
        box->setFocusPolicy(Qt::NoFocus);
        addons->addWidget(box);
    };
    addon(QStringLiteral("Long Form"), m_project.hasLongForm);
    addon(QStringLiteral("Thumbnail"), m_project.hasThumbnailAddon);
    addon(QStringLiteral("Short"), m_project.hasReformattingAddon);
    addons->addStretch(1);
    layout->addLayout(addons);

    m_dropArea = new MissingFilesDropArea(this);
    connect(m_dropArea, &MissingFilesDropArea::clicked, this, &MissingFilesDetailView::chooseFiles);
    layout->addWidget(m_dropArea);

    m_fileList = new QListWidget(this);
    m_fileList->setObjectName(QStringLiteral("fileList"));
    m_fileList->setSelectionMode(QAbstractItemView::NoSelection);
    m_fileList->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(m_fileList, 1);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setWordWrap(true);
    m_status->setAlignment(Qt::AlignCenter);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_status->hide();
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 1000);
    m_progress->setTextVisible(false);
    m_progress->hide();
    layout->addWidget(m_progress);
    layout->addWidget(m_status);

    m_submit = new QPushButton(QStringLiteral("Upload && Submit"), this);
    m_submit->setObjectName(QStringLiteral("submitButton"));
    m_submit->setDefault(true);
    m_submit->setMinimumHeight(m_submit->sizeHint().height() * 5 / 4);
    connect(m_submit, &QPushButton::clicked, this, &MissingFilesDetailView::submitPressed);
    layout->addWidget(m_submit);
    updateSubmit();
}

void MissingFilesDetailView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_service->setApiClient(m_apiClient ? m_apiClient() : nullptr);
    if (m_shownOnce) {
        return;
    }
    m_shownOnce = true;
    // The files chosen before the project go in as they are, apart from the ones now gone.
    if (m_selectedFiles.isEmpty()) {
        for (const QString &path : std::as_const(m_initialFiles)) {
            for (const QUrl &url : expandFolder(QUrl::fromLocalFile(path))) {
                if (existsOnDisk(url)) {
                    m_selectedFiles.append(url);
                    addRow(url);
                }
            }
        }
        updateSubmit();
    }
}

QString MissingFilesDetailView::deliveryDaysText(const std::optional<QDateTime> &dueDate,
                                                 const QDate &today)
{
    if (!dueDate) {
        return QStringLiteral("No Due Date");
    }
    const QDate dueDay = dueDate->toLocalTime().date();
    const qint64 days = today.isValid() && dueDay.isValid() ? today.daysTo(dueDay) : 0;
    if (days < 0) {
        return QStringLiteral("Overdue");
    }
    if (days == 0) {
        return QStringLiteral("Due Today");
    }
    if (days == 1) {
        return QStringLiteral("Delivery In 1 Day");
    }
    return QStringLiteral("Delivery In ") + QString::number(days) + QStringLiteral(" Days");
}

QList<QUrl> MissingFilesDetailView::filesFromUserInfo(const QVariantMap &userInfo)
{
    const QVariant files = userInfo.value(QLatin1String(NotificationCenter::kFilesKey));
    if (files.metaType() == QMetaType::fromType<QList<QUrl>>()) {
        return files.value<QList<QUrl>>();
    }
    if (files.metaType() == QMetaType::fromType<QVariantList>()) {
        const QVariantList items = files.toList();
        const bool allUrls = std::all_of(items.begin(), items.end(), [](const QVariant &item) {
            return item.metaType() == QMetaType::fromType<QUrl>();
        });
        if (allUrls) {
            QList<QUrl> urls;
            for (const QVariant &item : items) {
                urls.append(item.toUrl());
            }
            return urls;
        }
        const bool allPaths = std::all_of(items.begin(), items.end(), [](const QVariant &item) {
            return item.metaType() == QMetaType::fromType<QString>();
        });
        if (!allPaths) {
            return {};
        }
    } else if (files.metaType() != QMetaType::fromType<QStringList>()) {
        return {};
    }
    QList<QUrl> urls;
    for (const QString &path : files.toStringList()) {
        urls.append(QUrl::fromLocalFile(path));
    }
    return urls;
}

QList<QUrl> MissingFilesDetailView::expandFolder(const QUrl &url)
{
    // The upload engine sends files only: a folder stands for its visible files, as in the
    // quick-project window.
    return url.isLocalFile() ? QuickProjectView::droppedFiles(url) : QList<QUrl>{url};
}

void MissingFilesDetailView::appendFiles(const QList<QUrl> &incoming)
{
    Logger::info(kTag + QStringLiteral("appendFiles called with ") +
                 QString::number(incoming.size()) + QStringLiteral(" URL(s)"));
    QSet<QString> projectNames;
    for (const ProjectCard::File &file : std::as_const(m_project.files)) {
        projectNames.insert(QFileInfo(file.name).fileName().toLower());
    }
    QSet<QString> selectedPaths;
    for (const QUrl &url : std::as_const(m_selectedFiles)) {
        selectedPaths.insert(url.toLocalFile().toLower());
    }
    QList<QUrl> urls;
    for (const QUrl &url : incoming) {
        urls.append(expandFolder(url));
    }
    int added = 0;
    for (const QUrl &url : std::as_const(urls)) {
        const QString path = url.toLocalFile();
        const QString name = fileNameOf(url);
        if (!existsOnDisk(url)) {
            Logger::warn(kTag + QStringLiteral("File does not exist: ") +
                         (url.isLocalFile() ? path : url.toString()));
        } else if (projectNames.contains(name.toLower())) {
            setStatusText(QStringLiteral("File ") + name +
                          QStringLiteral(" already exists in this project."));
            Logger::info(kTag + QStringLiteral("Skipping file already in project: ") + name);
        } else if (selectedPaths.contains(path.toLower())) {
            Logger::info(kTag + QStringLiteral("Skipping duplicate file: ") + name);
        } else {
            m_selectedFiles.append(url);
            addRow(url);
            ++added;
            Logger::info(kTag + QStringLiteral("Added file: ") + name);
        }
    }
    if (added > 0) {
        // A new batch after a finished one: the list shows what the next press sends.
        if (m_submissionCompleted) {
            dropSentFiles();
        }
        m_submissionCompleted = false;
        Logger::info(kTag + QStringLiteral("Added ") + QString::number(added) +
                     QStringLiteral(" file(s), total count now: ") +
                     QString::number(m_selectedFiles.size()));
    }
    updateSubmit();
}

void MissingFilesDetailView::addRow(const QUrl &url)
{
    auto *row = new FileRowWidget(url, nullptr, QStringLiteral("Unknown"));
    auto *item = new QListWidgetItem(m_fileList);
    item->setSizeHint(row->sizeHint());
    m_fileList->setItemWidget(item, row);
    connect(row, &FileRowWidget::removeRequested, this, &MissingFilesDetailView::removeFile);
    const auto cached = m_thumbnailCache.constFind(url);
    if (cached != m_thumbnailCache.constEnd()) {
        row->setThumbnail(*cached);
    } else {
        m_thumbnailer->request(url.toLocalFile());
    }
}

void MissingFilesDetailView::removeFile(const QUrl &url)
{
    if (m_service->isUploading()) {
        return;
    }
    m_selectedFiles.removeAll(url);
    m_thumbnailCache.remove(url);
    for (int index = m_fileList->count() - 1; index >= 0; --index) {
        auto *row = qobject_cast<FileRowWidget *>(m_fileList->itemWidget(m_fileList->item(index)));
        if (row != nullptr && row->url() == url) {
            delete m_fileList->takeItem(index);
        }
    }
    updateSubmit();
}

void MissingFilesDetailView::setStatusText(const QString &text)
{
    m_statusText = text;
    m_status->setText(text);
    // "Ready" is the service's resting line: nothing to tell the user yet.
    m_status->setVisible(!text.isEmpty() && text != QLatin1String("Ready"));
}

void MissingFilesDetailView::setDragTargeted(bool targeted)
{
    m_isDragTargeted = targeted;
    m_dropArea->setTargeted(targeted);
}

void MissingFilesDetailView::updateSubmit()
{
    m_submit->setText(m_submissionCompleted ? QStringLiteral("100% Done!")
                                            : QStringLiteral("Upload && Submit"));
    m_submit->setEnabled(m_submissionCompleted ||
                         (!m_selectedFiles.isEmpty() && !m_service->isUploading()));
}

void MissingFilesDetailView::submitPressed()
{
    if (m_submissionCompleted) {
        Q_EMIT completeRequested();
        return;
    }
    if (!m_selectedFiles.isEmpty() && !m_service->isUploading()) {
        upload();
    }
}

QCoro::Task<> MissingFilesDetailView::upload()
{
    const QPointer<MissingFilesDetailView> self(this);
    const QList<QUrl> sent = m_selectedFiles;
    QStringList paths;
    m_batchBytes = 0;
    for (const QUrl &url : sent) {
        paths.append(url.toLocalFile());
        m_batchBytes += std::max<qint64>(QFileInfo(url.toLocalFile()).size(), 0);
    }
    Logger::info(kTag + QStringLiteral("Starting file upload to project ") +
                 QString::number(m_project.id));
    Logger::info(kTag + QStringLiteral("Files to upload: ") + paths.join(QStringLiteral(", ")));
    m_progress->setValue(0);
    QString failure;
    try {
        co_await m_service->addFiles(m_project.id, paths);
    } catch (const std::exception &error) {
        failure = describeError(error);
    }
    if (failure.isNull()) {
        Logger::info(kTag + QStringLiteral("Files uploaded successfully"));
        if (self) {
            finishBatch(sent);
        }
        co_return;
    }
    Logger::error(kTag + QStringLiteral("File upload failed: ") + failure);
    // The window may have been closed during the upload; the dialog stands on its own.
    Logger::showUploadFailedModal(failure);
}

void MissingFilesDetailView::finishBatch(const QList<QUrl> &sent)
{
    // The project now holds these: adding one of them again is refused by name.
    for (const QUrl &url : sent) {
        ProjectCard::File file;
        file.name = fileNameOf(url);
        m_project.files.append(file);
    }
    m_lastSent = sent;
    // Files that arrived during the upload were not part of it: they stay, alone, for the next
    // press, instead of being dropped by "100% Done!".
    const bool late = std::any_of(m_selectedFiles.begin(), m_selectedFiles.end(),
                                  [&sent](const QUrl &url) { return !sent.contains(url); });
    m_submissionCompleted = !late;
    if (late) {
        dropSentFiles();
    }
    updateSubmit();
}

void MissingFilesDetailView::dropSentFiles()
{
    const QList<QUrl> sent = std::exchange(m_lastSent, {});
    for (const QUrl &url : sent) {
        removeFile(url);
    }
}

void MissingFilesDetailView::chooseFiles()
{
    const QList<QUrl> urls = QFileDialog::getOpenFileUrls(this, QStringLiteral("Add Files"));
    if (!urls.isEmpty()) {
        appendFiles(urls);
    }
}

void MissingFilesDetailView::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls()) {
        setDragTargeted(true);
        event->acceptProposedAction();
    }
}

void MissingFilesDetailView::dragLeaveEvent(QDragLeaveEvent *event)
{
    setDragTargeted(false);
    QWidget::dragLeaveEvent(event);
}

void MissingFilesDetailView::dropEvent(QDropEvent *event)
{
    setDragTargeted(false);
    // One append per dropped item, so the same file twice in one drop is added once.
    for (const QUrl &url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            appendFiles({url});
        }
    }
    event->acceptProposedAction();
}
