#include "app/views/RecoveredFilesPanel.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "app/views/SmallPillButtonStyle.h"
#include "app/views/Symbols.h"
#include "app/views/Theme.h"
#include "app/views/Widgets.h"

namespace vf {

namespace {

// Rows beyond this many are not looked at when finding what is on screen.
constexpr int kMaxVisible = 600;
// Loads start when scrolling rests this long, so a fling across 100,000
// files does not queue a read for every file it passes.
constexpr int kPublishDelayMs = 60;

}  // namespace

RecoveredFilesView::RecoveredFilesView(RecoveredFileRow* delegate, ThumbnailLoader* loader, QWidget* parent)
    : QListView(parent), delegate_(delegate), loader_(loader), publishTimer_(new QTimer(this)) {
    setItemDelegate(delegate_);
    setUniformItemSizes(true);
    setLayoutMode(QListView::Batched);
    setBatchSize(2000);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setMouseTracking(true);
    setFrameShape(QFrame::NoFrame);
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QListView { background: transparent; outline: none; }"));
    publishTimer_->setSingleShot(true);
    publishTimer_->setInterval(kPublishDelayMs);
    connect(publishTimer_, &QTimer::timeout, this, &RecoveredFilesView::publishVisible);
    connect(loader_, &ThumbnailLoader::thumbnailLoaded, viewport(), qOverload<>(&QWidget::update));
    connect(this, &QListView::activated, this, [this](const QModelIndex& index) { emit previewRequested(fileAt(index)); });
    setRowLayout(delegate_->layout());
}

void RecoveredFilesView::setRowLayout(RecoveredFileRow::Layout layout) {
    delegate_->setLayout(layout);
    if (layout == RecoveredFileRow::Layout::grid) {
        setFlow(QListView::LeftToRight);
        setWrapping(true);
        setResizeMode(QListView::Adjust);
        fitGrid();
    } else {
        setFlow(QListView::TopToBottom);
        setWrapping(false);
        setResizeMode(QListView::Adjust);
        setGridSize(QSize());
        loader_->setDisplaySize(RecoveredFileRow::kRowThumbnail * std::max<qreal>(1.0, devicePixelRatioF()));
    }
    scheduleDelayedItemsLayout();
    schedulePublish();
}

const RecoveredFileInfo& RecoveredFilesView::fileAt(const QModelIndex& index) const {
    return static_cast<const RecoveredFileFilter*>(model())->file(index);
}

std::vector<RecoveredFileInfo> RecoveredFilesView::visibleFiles() const {
    std::vector<RecoveredFileInfo> files;
    if (!model() || model()->rowCount() == 0) return files;
    const QRect area = viewport()->rect();
    QModelIndex first = indexAt(QPoint(4, 4));
    if (!first.isValid()) first = indexAt(QPoint(area.width() / 2, RecoveredFileRow::kRowHeight / 2));
    int row = first.isValid() ? first.row() : 0;
    // A grid's first visible cell may sit left of the probe; step back over the line.
    while (row > 0 && visualRect(model()->index(row - 1, 0)).intersects(area)) --row;
    for (int n = 0; row < model()->rowCount() && n < kMaxVisible; ++row, ++n) {
        const QRect r = visualRect(model()->index(row, 0));
        if (r.top() > area.bottom()) break;
        if (r.intersects(area)) files.push_back(fileAt(model()->index(row, 0)));
    }
    return files;
}

void RecoveredFilesView::publishVisible() {
    publishTimer_->stop();
    loader_->setVisible(visibleFiles());
}

void RecoveredFilesView::schedulePublish() {
    if (!publishTimer_->isActive()) publishTimer_->start();
}

void RecoveredFilesView::mouseReleaseEvent(QMouseEvent* e) {
    const QModelIndex index = indexAt(e->pos());
    if (index.isValid() && e->button() == Qt::LeftButton && e->modifiers() == Qt::NoModifier &&
        delegate_->previewSignRect(visualRect(index)).contains(e->pos())) {
        QListView::mouseReleaseEvent(e);
        emit previewRequested(fileAt(index));
        return;
    }
    QListView::mouseReleaseEvent(e);
}

// The width counts the scroll bar as always there, so that its coming and going
// never changes the number of columns, and keeps a few pixels spare: the list
// breaks a line a little before the viewport's edge.
void RecoveredFilesView::fitGrid() {
    const int width = this->width() - 2 * frameWidth() - verticalScrollBar()->sizeHint().width();
    const QSize cell = delegate_->setGridWidth(width - 8);
    if (gridSize() != cell) setGridSize(cell);
    loader_->setDisplaySize(cell * std::max<qreal>(1.0, devicePixelRatioF()));
}

void RecoveredFilesView::resizeEvent(QResizeEvent* e) {
    if (rowLayout() == RecoveredFileRow::Layout::grid) fitGrid();
    QListView::resizeEvent(e);
    schedulePublish();
}

void RecoveredFilesView::scrollContentsBy(int dx, int dy) {
    QListView::scrollContentsBy(dx, dy);
    schedulePublish();
}

void RecoveredFilesView::rowsInserted(const QModelIndex& parent, int start, int end) {
    QListView::rowsInserted(parent, start, end);
    schedulePublish();
}

void RecoveredFilesView::reset() {
    QListView::reset();
    schedulePublish();
}

RecoveredFilesPanel::RecoveredFilesPanel(ThumbnailLoader::ReadImage read, QWidget* parent)
    : QWidget(parent),
      loader_(new ThumbnailLoader(std::move(read), this)),
      model_(new RecoveredFileModel(this)),
      filter_(new RecoveredFileFilter(this)),
      delegate_(new RecoveredFileRow(loader_, this)) {
    filter_->setSourceModel(model_);
    view_ = new RecoveredFilesView(delegate_, loader_);
    view_->setModel(filter_);
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RecoveredFilesPanel::selectionChanged);
    connect(view_, &RecoveredFilesView::previewRequested, this, &RecoveredFilesPanel::previewRequested);
    connect(filter_, &QAbstractItemModel::modelReset, this, &RecoveredFilesPanel::updateState);
    connect(filter_, &QAbstractItemModel::rowsInserted, this, &RecoveredFilesPanel::updateState);
    connect(filter_, &QAbstractItemModel::rowsRemoved, this, &RecoveredFilesPanel::updateState);
    connect(filter_, &QAbstractItemModel::layoutChanged, view_, &RecoveredFilesView::publishVisible);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    auto* title = new QLabel(QStringLiteral("Recovered Files"));
    title->setFont(theme::font(12, QFont::DemiBold));
    header->addWidget(title);
    count_ = ui::caption(QString(), 0.5);
    header->addWidget(count_);
    header->addStretch();

    tools_ = new QWidget;
    auto* tools = new QHBoxLayout(tools_);
    tools->setContentsMargins(0, 0, 0, 0);
    tools->setSpacing(6);
    const std::pair<const char*, std::optional<FileKind>> kinds[] = {
        {"All", std::nullopt}, {"Photos", FileKind::photo}, {"Raw", FileKind::raw}, {"Videos", FileKind::video}};
    for (const auto& [text, kind] : kinds) {
        auto* b = new SmallPillButton(QString::fromLatin1(text));
        b->setActive(!kind);
        connect(b, &QAbstractButton::clicked, this, [this, kind = kind] { setKindFilter(kind); });
        kindButtons_.push_back(b);
        tools->addWidget(b);
    }
    tools->addSpacing(4);
    search_ = new QLineEdit;
    search_->setPlaceholderText(QStringLiteral("Name"));
    search_->setToolTip(QStringLiteral("Show only files whose name contains this"));
    search_->setClearButtonEnabled(true);
    search_->setFixedWidth(140);
    search_->addAction(symbolIcon(u"magnifyingglass", theme::white(0.45)), QLineEdit::LeadingPosition);
    connect(search_, &QLineEdit::textChanged, filter_, &RecoveredFileFilter::setNameFilter);
    tools->addWidget(search_);
    header->addWidget(tools_);
    layout->addLayout(header);

    // The view's own controls sit under it, beside whatever the window adds there.
    viewTools_ = new QWidget;
    auto* viewTools = new QHBoxLayout(viewTools_);
    viewTools->setContentsMargins(0, 0, 0, 0);
    viewTools->setSpacing(4);
    gridButton_ = ui::symbolButton(QStringLiteral("square.grid.2x2.fill"), 16, theme::white(0.8));
    gridButton_->setToolTip(QStringLiteral("Show as a grid"));
    rowsButton_ = ui::symbolButton(QStringLiteral("list.bullet"), 16, theme::white(0.8));
    rowsButton_->setToolTip(QStringLiteral("Show as rows"));
    for (auto* b : {gridButton_, rowsButton_}) {
        b->setCheckable(true);
        viewTools->addWidget(b);
    }
    connect(gridButton_, &QToolButton::clicked, this, [this] { setRowLayout(RecoveredFileRow::Layout::grid); });
    connect(rowsButton_, &QToolButton::clicked, this, [this] { setRowLayout(RecoveredFileRow::Layout::rows); });
    viewTools->addSpacing(6);
    sort_ = new QComboBox;
    sort_->addItem(QStringLiteral("Order found"), static_cast<int>(RecoveredFileFilter::SortKey::orderFound));
    sort_->addItem(QStringLiteral("Date taken"), static_cast<int>(RecoveredFileFilter::SortKey::dateTaken));
    sort_->addItem(QStringLiteral("Name"), static_cast<int>(RecoveredFileFilter::SortKey::name));
    sort_->addItem(QStringLiteral("Size"), static_cast<int>(RecoveredFileFilter::SortKey::size));
    sort_->setToolTip(QStringLiteral("Sort by"));
    sort_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(sort_, &QComboBox::activated, this, [this](int i) {
        setSortKey(static_cast<RecoveredFileFilter::SortKey>(sort_->itemData(i).toInt()));
    });
    viewTools->addWidget(sort_);
    footer_ = new QHBoxLayout;
    footer_->setSpacing(8);
    footer_->addWidget(viewTools_);
    footer_->addStretch();

    stack_ = new QStackedWidget;
    auto* empty = new QWidget;
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->addStretch();
    auto* emptyIcon = ui::symbolLabel(QStringLiteral("photo.on.rectangle.angled"), 44, theme::white(0.3));
    emptyLayout->addWidget(emptyIcon, 0, Qt::AlignHCenter);
    emptyLayout->addSpacing(6);
    emptyTitle_ = new QLabel;
    emptyTitle_->setFont(theme::font(11, QFont::DemiBold));
    emptyTitle_->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.75)"));
    emptyLayout->addWidget(emptyTitle_, 0, Qt::AlignHCenter);
    emptySubtitle_ = ui::caption(QString(), 0.5);
    emptyLayout->addWidget(emptySubtitle_, 0, Qt::AlignHCenter);
    emptyLayout->addStretch();
    stack_->addWidget(empty);
    stack_->addWidget(view_);
    noMatch_ = ui::caption(QStringLiteral("No recovered file matches the filter"), 0.5);
    noMatch_->setAlignment(Qt::AlignCenter);
    stack_->addWidget(noMatch_);
    layout->addWidget(stack_, 1);
    layout->addLayout(footer_);

    setRowLayout(RecoveredFileRow::Layout::grid);
    updateState();
}

void RecoveredFilesPanel::setFiles(const std::vector<RecoveredFileInfo>* files) {
    model_->setFiles(files);
    updateState();
}

void RecoveredFilesPanel::filesAppended(qsizetype first, qsizetype count) { model_->filesAppended(first, count); }
void RecoveredFilesPanel::filesReset() { model_->filesReset(); }

void RecoveredFilesPanel::setOutputDirectory(const QString& dir) {
    loader_->setOutputDirectory(dir);
    view_->publishVisible();
}

void RecoveredFilesPanel::setScanning(bool scanning) {
    scanning_ = scanning;
    updateState();
}

void RecoveredFilesPanel::setRowLayout(RecoveredFileRow::Layout layout) {
    view_->setRowLayout(layout);
    gridButton_->setChecked(layout == RecoveredFileRow::Layout::grid);
    rowsButton_->setChecked(layout == RecoveredFileRow::Layout::rows);
}

void RecoveredFilesPanel::setKindFilter(std::optional<FileKind> kind) {
    filter_->setKind(kind);
    static constexpr std::optional<FileKind> order[] = {std::nullopt, FileKind::photo, FileKind::raw, FileKind::video};
    for (std::size_t i = 0; i < kindButtons_.size(); ++i) kindButtons_[i]->setActive(order[i] == kind);
    updateState();
}

void RecoveredFilesPanel::setNameFilter(const QString& text) { search_->setText(text); }

void RecoveredFilesPanel::setSortKey(RecoveredFileFilter::SortKey key) {
    filter_->setSortKey(key);
    sort_->setCurrentIndex(sort_->findData(static_cast<int>(key)));
    view_->publishVisible();
}

std::vector<RecoveredFileInfo> RecoveredFilesPanel::selectedFiles() const {
    std::vector<int> rows;
    for (const QModelIndex& i : view_->selectionModel()->selectedIndexes()) rows.push_back(filter_->mapToSource(i).row());
    std::sort(rows.begin(), rows.end());
    std::vector<RecoveredFileInfo> files;
    files.reserve(rows.size());
    for (int r : rows) files.push_back(model_->file(r));
    return files;
}

int RecoveredFilesPanel::selectedCount() const {
    int n = 0;
    for (const QItemSelectionRange& r : view_->selectionModel()->selection()) n += r.height();
    return n;
}

void RecoveredFilesPanel::updateState() {
    const int total = model_->rowCount();
    const int shown = filter_->rowCount();
    tools_->setVisible(total > 0);
    viewTools_->setVisible(total > 0);
    if (total == 0) {
        count_->clear();
        emptyTitle_->setText(scanning_ ? QStringLiteral("Scanning disk for photos & videos\u2026")
                                       : QStringLiteral("No files recovered yet"));
        emptySubtitle_->setText(scanning_ ? QStringLiteral("Files will appear here as they're found")
                                          : QStringLiteral("Select a disk and start scanning"));
        stack_->setCurrentIndex(0);
        return;
    }
    count_->setText(shown == total ? QString::number(total) : QStringLiteral("%1 of %2").arg(shown).arg(total));
    stack_->setCurrentIndex(shown == 0 ? 2 : 1);
}

}  // namespace vf
