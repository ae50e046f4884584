#include "gui/windows/QuickProjectView.h"

#include "core/api/VorlantaApiClient.h"
#include "core/shell/Console.h"
#include "core/shell/Logger.h"
#include "core/upload/QuickProjectService.h"
#include "gui/shell/NotificationCenter.h"
#include "gui/shell/UploadFailedModal.h"
#include "gui/windows/FileRowWidget.h"
#include "gui/windows/Thumbnailer.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QMimeData>
#include <QtCore/QPointer>
#include <QtCore/QPropertyAnimation>
#include <QtGui/QActionGroup>
#include <QtGui/QDragEnterEvent>
#include <QtGui/QDropEvent>
#include <QtWidgets/QCalendarWidget>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollArea>
#include <QtWidgets/QStyle>
#include <QtWidgets/QVBoxLayout>

namespace {

const QString kLogPrefix = QStringLiteral("[QuickProjectView] ");
const QColor kAccentBlue(66, 133, 244);
constexpr int kProgressSteps = 1000;

void logInfo(const QString &message)
{
    Logger::info(kLogPrefix + message);
}

// Button and menu texts take "&" as a shortcut marker; names are shown as they are.
QString escapeMnemonic(QString text)
{
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QString pathOf(const QUrl &url)
{
    return url.isLocalFile() ? url.toLocalFile() : url.path();
}

} // namespace

QuickProjectView::QuickProjectView(const QList<QUrl> &initialFiles, ClientFactory apiClient,
                                   QWidget *parent)
    : QWidget(parent), m_apiClient(std::move(apiClient)),
      m_service(std::make_shared<QuickProjectService>(nullptr)),
      m_thumbnailer(new Thumbnailer(this)), m_selectedDate(QDate::currentDate().addDays(3)),
      m_selectedFiles(initialFiles)
{
    setAcceptDrops(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    layout->addWidget(buildDetails());
    layout->addWidget(buildFileArea(), 1);
    layout->addWidget(buildFooter());

    connect(m_thumbnailer, &Thumbnailer::ready, this, &QuickProjectView::showThumbnail);
    QuickProjectService *service = m_service.get();
    connect(service, &QuickProjectService::statusTextChanged, m_status, &QLabel::setText);
    connect(service, &QuickProjectService::uploadProgressChanged, this,
            [this] { showUploadProgress(0); });
    // A big part takes long: its bytes move the bar too.
    for (auto signal :
         {&QuickProjectService::uploadBytesSent, &QuickProjectService::partUploaded}) {
        connect(service, signal, this, [this](qint64 sent, qint64) { showUploadProgress(sent); });
    }
    connect(service, &QuickProjectService::isUploadingChanged, this,
            &QuickProjectView::updateState);
    connect(&NotificationCenter::defaultCenter(), &NotificationCenter::posted, this,
            &QuickProjectView::onNotification);

    setSelectedDate(m_selectedDate);
    rebuildRows();
    updateState();
}

QuickProjectView::~QuickProjectView()
{
    // The workflow holds the service; stop it rather than upload for a form that is gone.
    if (m_service->isUploading()) {
        m_service->cancel();
    }
}

// --- Building ---------------------------------------------------------------------------------

QWidget *QuickProjectView::buildDetails()
{
    auto *details = new QWidget(this);
    auto *layout = new QVBoxLayout(details);
    layout->setContentsMargins(0, 0, 0, 0);

    m_title = new QLineEdit(details);
    m_title->setObjectName(QStringLiteral("title"));
    m_title->setPlaceholderText(QStringLiteral("Type Project Title"));
    m_title->setTextMargins(4, 2, 4, 2); // some styles draw the text against the frame
    connect(m_title, &QLineEdit::textChanged, this, &QuickProjectView::updateState);
    layout->addWidget(m_title);

    m_notesToggle = new QPushButton(QStringLiteral("Add notes"), details);
    m_notesToggle->setObjectName(QStringLiteral("notesToggle"));
    m_notesToggle->setCheckable(true);
    m_notes = new QPlainTextEdit(details);
    m_notes->setObjectName(QStringLiteral("notes"));
    m_notes->setPlaceholderText(QStringLiteral("Notes for the editor"));
    m_notes->setFixedHeight(90);
    m_notes->hide();
    // Hiding the editor keeps its text; it is still sent.
    connect(m_notesToggle, &QPushButton::toggled, m_notes, &QWidget::setVisible);

    m_channelButton = new QPushButton(details);
    m_channelButton->setObjectName(QStringLiteral("channel"));
    m_channelButton->setMenu(new QMenu(m_channelButton));

    m_deliveryButton = new QPushButton(details);
    m_deliveryButton->setObjectName(QStringLiteral("delivery"));
    connect(m_deliveryButton, &QPushButton::clicked, this, &QuickProjectView::toggleDatePicker);

    auto *row = new QHBoxLayout;
    row->addWidget(m_notesToggle);
    row->addWidget(m_channelButton);
    row->addWidget(m_deliveryButton);
    row->addStretch();
    layout->addLayout(row);
    layout->addWidget(m_notes);

    m_calendar = new QCalendarWidget(details);
    m_calendar->setObjectName(QStringLiteral("dueDate"));
    m_calendar->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    m_calendar->setMaximumHeight(0);
    m_calendar->hide();
    connect(m_calendar, &QCalendarWidget::clicked, this, &QuickProjectView::setSelectedDate);
    connect(m_calendar, &QCalendarWidget::activated, this, &QuickProjectView::setSelectedDate);
    layout->addWidget(m_calendar);

    m_longForm = new QCheckBox(QStringLiteral("Long Form"), details);
    m_thumbnail = new QCheckBox(QStringLiteral("Thumbnail"), details);
    m_short = new QCheckBox(QStringLiteral("Short"), details);
    auto *addOns = new QHBoxLayout;
    addOns->addWidget(new QLabel(QStringLiteral("Services:"), details));
    for (QCheckBox *box : {m_longForm, m_thumbnail, m_short}) {
        box->setChecked(true);
        addOns->addWidget(box);
    }
    addOns->addStretch();
    layout->addLayout(addOns);
    updateChannelButton();
    return details;
}

QWidget *QuickProjectView::buildFileArea()
{
    auto *area = new QWidget(this);
    auto *layout = new QVBoxLayout(area);
    layout->setContentsMargins(0, 0, 0, 0);

    m_dropArea = new QPushButton(QStringLiteral("\u2192 Drag && Drop Files \u2190"), area);
    m_dropArea->setObjectName(QStringLiteral("dropArea"));
    m_dropArea->setMinimumHeight(72);
    m_dropArea->setToolTip(QStringLiteral("Click to choose files"));
    m_dropArea->setStyleSheet(
        QStringLiteral("QPushButton#dropArea { border: 2px dashed %1; border-radius: 8px;"
                       " padding: 12px; }"
                       "QPushButton#dropArea[targeted=\"true\"] { background: %2; }")
            .arg(kAccentBlue.name(),
                 QColor(kAccentBlue.red(), kAccentBlue.green(), kAccentBlue.blue(), 50)
                     .name(QColor::HexArgb)));
    connect(m_dropArea, &QPushButton::clicked, this, &QuickProjectView::pickFiles);
    layout->addWidget(m_dropArea);

    m_rowsContainer = new QWidget;
    m_rowsLayout = new QVBoxLayout(m_rowsContainer);
    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    m_rowsLayout->setSpacing(2);
    m_rowsLayout->addStretch();
    auto *scroll = new QScrollArea(area);
    scroll->setObjectName(QStringLiteral("fileList"));
    scroll->setWidgetResizable(true);
    scroll->setWidget(m_rowsContainer);
    layout->addWidget(scroll, 1);
    return area;
}

QWidget *QuickProjectView::buildFooter()
{
    auto *footer = new QWidget(this);
    auto *layout = new QVBoxLayout(footer);
    layout->setContentsMargins(0, 0, 0, 0);
    m_progress = new QProgressBar(footer);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, kProgressSteps);
    m_progress->setTextVisible(false);
    m_status = new QLabel(m_service->statusText(), footer);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setWordWrap(true);
    m_submit = new QPushButton(footer);
    m_submit->setObjectName(QStringLiteral("submit"));
    m_submit->setMinimumHeight(36);
    m_submit->setStyleSheet(
        QStringLiteral("QPushButton#submit { background: %1; color: white; border: none;"
                       " border-radius: 6px; padding: 6px 16px; font-weight: bold; }"
                       "QPushButton#submit:disabled { background: palette(mid);"
                       " color: palette(window); }")
            .arg(kAccentBlue.name()));
    connect(m_submit, &QPushButton::clicked, this, &QuickProjectView::submitPressed);
    layout->addWidget(m_progress);
    layout->addWidget(m_status);
    layout->addWidget(m_submit);
    return footer;
}

// --- Channels ---------------------------------------------------------------------------------

void QuickProjectView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    setSelectedDate(m_selectedDate); // the day may have turned since
    if (m_shownOnce) {
        return;
    }
    m_shownOnce = true;
    m_service->setApiClient(m_apiClient ? m_apiClient() : nullptr);
    // Until the list arrives there is nothing to choose from.
    m_channelButton->setEnabled(false);
    loadChannels();
}

QCoro::Task<> QuickProjectView::loadChannels()
{
    const QPointer<QuickProjectView> self(this);
    const std::shared_ptr<VorlantaApiClient> client = m_service->apiClient();
    QList<Channel> channels;
    QString failure;
    if (!client) {
        failure = QStringLiteral("Not signed in");
    } else {
        try {
            const QByteArray body =
                co_await client->getRaw(QStringLiteral("api/v1/creator/channels/"));
            channels = Channel::listFromJson(JsonRead::parse(body));
        } catch (const std::exception &error) {
            failure = describeError(error);
        }
    }
    if (!self) {
        co_return;
    }
    if (!failure.isEmpty()) {
        Console::printLine(QStringLiteral("Error loading channels: ") + failure);
    }
    applyChannels(channels);
}

void QuickProjectView::applyChannels(const QList<Channel> &channels)
{
    m_channels = channels;
    // The first channel is the default; a choice already made stays.
    if (!m_selectedChannelId && !m_channels.isEmpty()) {
        m_selectedChannelId = m_channels.first().id;
    }
    QMenu *menu = m_channelButton->menu();
    menu->clear();
    auto *group = new QActionGroup(menu);
    for (const Channel &channel : std::as_const(m_channels)) {
        QAction *action = menu->addAction(escapeMnemonic(channel.name));
        action->setCheckable(true);
        action->setChecked(m_selectedChannelId == channel.id);
        group->addAction(action);
        const qint64 id = channel.id;
        connect(action, &QAction::triggered, this, [this, id] { selectChannel(id); });
    }
    updateChannelButton();
    m_channelButton->setEnabled(true);
    updateState();
}

void QuickProjectView::selectChannel(qint64 id)
{
    m_selectedChannelId = id;
    updateChannelButton();
    updateState();
}

void QuickProjectView::updateChannelButton()
{
    QString label = QStringLiteral("Channel Name");
    for (const Channel &channel : std::as_const(m_channels)) {
        if (m_selectedChannelId == channel.id) {
            label = channel.name;
            break;
        }
    }
    m_channelButton->setText(escapeMnemonic(label));
}

// --- Delivery ---------------------------------------------------------------------------------

qint64 QuickProjectView::daysUntil(const QDate &day)
{
    const qint64 days = QDate::currentDate().daysTo(day);
    return day.isValid() ? days : 0;
}

QString QuickProjectView::dueDateText(const QDate &day)
{
    // The chosen calendar day itself: converting local midnight to UTC would move it a day
    // back east of Greenwich.
    return day.toString(QStringLiteral("dd/MM/yyyy"));
}

void QuickProjectView::setSelectedDate(const QDate &day)
{
    const bool changed = day != m_selectedDate;
    m_selectedDate = day;
    m_deliveryButton->setText(QStringLiteral("Delivery In ") + QString::number(daysUntil(day)) +
                              QStringLiteral(" Days"));
    if (changed && m_calendar->isVisible()) {
        toggleDatePicker();
    }
}

void QuickProjectView::toggleDatePicker()
{
    const bool opening = !m_calendar->isVisible() || m_calendar->maximumHeight() == 0;
    if (opening) {
        m_calendar->setSelectedDate(m_selectedDate);
        m_calendar->show();
    }
    auto *animation = new QPropertyAnimation(m_calendar, "maximumHeight", m_calendar);
    animation->setDuration(200);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    animation->setStartValue(m_calendar->maximumHeight());
    animation->setEndValue(opening ? m_calendar->sizeHint().height() : 0);
    if (!opening) {
        connect(animation, &QPropertyAnimation::finished, m_calendar, &QWidget::hide);
    }
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

// --- Files ------------------------------------------------------------------------------------

void QuickProjectView::appendFiles(const QList<QUrl> &urls)
{
    logInfo(QStringLiteral("appendFiles called with ") + QString::number(urls.size()) +
            QStringLiteral(" URL(s)"));
    // Compared with the list as it stood before this call.
    QSet<QString> known;
    for (const QUrl &file : std::as_const(m_selectedFiles)) {
        known.insert(pathOf(file).toLower());
    }
    bool added = false;
    for (const QUrl &url : urls) {
        const QString path = pathOf(url);
        const QString name = QFileInfo(path).fileName();
        if (!url.isLocalFile() || !QFileInfo::exists(path)) {
            Logger::warn(kLogPrefix + QStringLiteral("File does not exist: ") + path);
        } else if (known.contains(path.toLower())) {
            logInfo(QStringLiteral("Skipping duplicate file: ") + name);
        } else {
            m_selectedFiles.append(url);
            added = true;
            logInfo(QStringLiteral("Added file: ") + name);
        }
    }
    if (added) {
        m_submissionCompleted = false;
        logInfo(QStringLiteral("Files added, total count now: ") +
                QString::number(m_selectedFiles.size()));
        rebuildRows();
        updateState();
    }
}

QList<QUrl> QuickProjectView::droppedFiles(const QUrl &url)
{
    if (!url.isLocalFile()) {
        return {};
    }
    const QFileInfo info(url.toLocalFile());
    if (!info.isDir()) {
        return {url};
    }
    // A folder stands for its visible files, one level deep.
    QList<QUrl> files;
    const QFileInfoList entries =
        QDir(info.filePath()).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        files.append(QUrl::fromLocalFile(entry.filePath()));
    }
    return files;
}

void QuickProjectView::onNotification(const QString &name, const QVariantMap &userInfo)
{
    if (name != QLatin1String(NotificationCenter::kAddFilesToQuickProject)) {
        return;
    }
    const QVariant files = userInfo.value(QLatin1String(NotificationCenter::kFilesKey));
    QList<QUrl> urls;
    QString unit = QStringLiteral(" file(s)");
    if (files.metaType() == QMetaType::fromType<QList<QUrl>>()) {
        urls = files.value<QList<QUrl>>();
    } else if (files.metaType() == QMetaType::fromType<QVariantList>()) {
        for (const QVariant &item : files.toList()) {
            if (item.metaType() != QMetaType::fromType<QUrl>()) {
                return;
            }
            urls.append(item.toUrl());
        }
        unit = QStringLiteral(" file(s) as NSURL");
    } else {
        return;
    }
    logInfo(QStringLiteral("Received notification to add ") + QString::number(urls.size()) + unit);
    appendFiles(urls);
}

void QuickProjectView::pickFiles()
{
    const QList<QUrl> urls = QFileDialog::getOpenFileUrls(this, QStringLiteral("Add Files"));
    if (!urls.isEmpty()) {
        appendFiles(urls);
    }
}

void QuickProjectView::dragEnterEvent(QDragEnterEvent *event)
{
    if (!event->mimeData()->hasUrls()) {
        return;
    }
    event->acceptProposedAction();
    setDragTargeted(true);
}

void QuickProjectView::dragLeaveEvent(QDragLeaveEvent *event)
{
    QWidget::dragLeaveEvent(event);
    setDragTargeted(false);
}

void QuickProjectView::setDragTargeted(bool targeted)
{
    // The style sheet reads the property only when the widget is polished again.
    m_dropArea->setProperty("targeted", targeted);
    m_dropArea->style()->unpolish(m_dropArea);
    m_dropArea->style()->polish(m_dropArea);
}

void QuickProjectView::dropEvent(QDropEvent *event)
{
    setDragTargeted(false);
    // One append per dropped item, so the same file twice in one drop is added once.
    for (const QUrl &url : event->mimeData()->urls()) {
        const QList<QUrl> files = droppedFiles(url);
        if (!files.isEmpty()) {
            appendFiles(files);
        }
    }
    event->acceptProposedAction();
}

void QuickProjectView::removeFile(const QUrl &url)
{
    m_selectedFiles.removeAll(url);
    m_thumbnailCache.remove(url);
    rebuildRows();
    updateState();
}

void QuickProjectView::rebuildRows()
{
    qDeleteAll(m_rows);
    m_rows.clear();
    for (const QUrl &url : std::as_const(m_selectedFiles)) {
        auto *row = new FileRowWidget(url, m_rowsContainer);
        // Queued: the row's own button is the sender, and removing deletes the row.
        connect(row, &FileRowWidget::removeRequested, this, &QuickProjectView::removeFile,
                Qt::QueuedConnection);
        m_rowsLayout->insertWidget(m_rowsLayout->count() - 1, row);
        m_rows.append(row);
        const auto cached = m_thumbnailCache.constFind(url);
        if (cached != m_thumbnailCache.cend()) {
            row->setThumbnail(*cached);
        } else if (!m_thumbnailsPending.contains(url.toLocalFile())) {
            m_thumbnailsPending.insert(url.toLocalFile());
            m_thumbnailer->request(url.toLocalFile());
        }
    }
}

void QuickProjectView::showThumbnail(const QString &path, const QImage &image)
{
    m_thumbnailsPending.remove(path);
    const QUrl url = QUrl::fromLocalFile(path);
    if (!m_selectedFiles.contains(url)) {
        return; // removed meanwhile
    }
    m_thumbnailCache.insert(url, image);
    for (FileRowWidget *row : std::as_const(m_rows)) {
        if (row->url() == url) {
            row->setThumbnail(image);
        }
    }
}

// --- Submission -------------------------------------------------------------------------------

void QuickProjectView::submitPressed()
{
    if (m_submissionCompleted) {
        Q_EMIT finishRequested();
        return;
    }
    submitProject();
}

QCoro::Task<> QuickProjectView::submitProject()
{
    const QPointer<QuickProjectView> self(this);
    // Kept alive by the workflow even if the form goes away meanwhile.
    const std::shared_ptr<QuickProjectService> service = m_service;
    const QString title = m_title->text();
    const QString notes = m_notes->toPlainText();
    QStringList paths;
    m_uploadTotalBytes = 0;
    for (const QUrl &url : std::as_const(m_selectedFiles)) {
        paths.append(url.toLocalFile());
        m_uploadTotalBytes += QFileInfo(url.toLocalFile()).size();
    }
    logInfo(QStringLiteral("Starting project submission: ") + title);
    logInfo(QStringLiteral("Files to upload: ") + paths.join(QStringLiteral(", ")));
    // A client made now carries the current sign-in.
    if (std::shared_ptr<VorlantaApiClient> client = m_apiClient ? m_apiClient() : nullptr) {
        service->setApiClient(std::move(client));
    }

    m_busy = true;
    updateState();
    std::exception_ptr failure;
    qint64 projectId = 0;
    if (!service->apiClient()) {
        failure =
            std::make_exception_ptr(std::runtime_error("Not signed in. Sign in again and retry."));
    } else {
        // Arguments as named locals: GCC 12 mishandles temporaries inside a co_await.
        const std::optional<QString> sentNotes =
            notes.isEmpty() ? std::nullopt : std::optional<QString>(notes);
        const std::optional<QString> dueDate = dueDateText(m_selectedDate);
        const qint64 channelId = m_selectedChannelId.value_or(0);
        const bool thumbnail = m_thumbnail->isChecked();
        const bool longForm = m_longForm->isChecked();
        const bool shortForm = m_short->isChecked();
        try {
            projectId = co_await service->createProject(title, sentNotes, channelId, dueDate,
                                                        thumbnail, longForm, shortForm, paths);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (!self) {
        co_return;
    }
    if (failure) {
        const QString description = QuickProjectService::describe(failure);
        Logger::error(kLogPrefix + QStringLiteral("Project creation failed: ") + description);
        Logger::showUploadFailedModal(description);
        if (!self) {
            co_return;
        }
    } else {
        logInfo(QStringLiteral("Project created successfully with ID: ") +
                QString::number(projectId));
        m_submissionCompleted = true;
        m_status->setText(QStringLiteral("Upload complete"));
        m_progress->setValue(kProgressSteps);
        // A window closed during the upload still leads to the dashboard.
        if (!isVisible()) {
            Q_EMIT finishRequested();
        }
    }
    m_busy = false;
    updateState();
    Q_EMIT idle();
}

void QuickProjectView::showUploadProgress(qint64 fileBytesSent)
{
    const double done = m_service->uploadProgress();
    double value = done;
    if (m_uploadTotalBytes > 0 && fileBytesSent > 0) {
        value = qMin(1.0, done + double(fileBytesSent) / double(m_uploadTotalBytes));
    }
    m_progress->setValue(int(value * kProgressSteps));
}

void QuickProjectView::updateState()
{
    const bool uploading = m_service->isUploading();
    m_submit->setText(m_submissionCompleted
                          ? QStringLiteral("100% Done!")
                          : QStringLiteral("Upload && Submit")); // "&&" shows one "&"
    m_submit->setEnabled(m_submissionCompleted ||
                         (!uploading && !m_busy && !m_title->text().isEmpty() &&
                          m_selectedChannelId.has_value() && !m_selectedFiles.isEmpty()));
    m_progress->setVisible(uploading);
    m_status->setVisible(uploading);
}
