#include "app/dlgscanresult.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QTreeWidget>
#include <QUrl>

#include <algorithm>
#include <new>

#include "app/backend.h"
#include "app/dlgphotofilter.h"
#include "app/dlgphotopreview.h"
#include "app/dlgrecoverprogress.h"
#include "app/drivetext.h"
#include "app/imageload.h"
#include "app/prompts.h"
#include "app/thumbnail.h"
#include "app/wizardevents.h"
#include "app/wizardstate.h"
#include "io/log.h"
#include "taskmgr/recoverfiles.h"

namespace {

constexpr int kBlockRole = Qt::UserRole;      // PhotoBlock*, as quintptr; none for root and categories
constexpr int kCheckRole = Qt::UserRole + 1;  // the check state the page last saw
constexpr int kDeletedRole = Qt::UserRole + 2;  // list entries: true for a deleted photo

const QString kSelectPhotos = QStringLiteral("Please select the photos you want to recover.");
const QString kChooseFolder = QStringLiteral("Please select a folder to save your recovered photos.");
const QString kValidFolder = QStringLiteral("Please select a valid folder.");
const QString kCreateFailed = QStringLiteral("Create folder failed, please retry.");
const QString kRecovered = QStringLiteral("Selected photos have been successfully recovered.");

ITaskBackend* Tasks()
{
    return Services().tasks;
}

}  // namespace

QString CategoryText(int category)
{
    static const char* const kTexts[kPhotoCategoryCount] = {"JPG", "PNG", "BMP", "GIF", "RAW", "HEIC", "TIFF", "WebP", "Other"};
    if (category < 0 || category >= kPhotoCategoryCount) return QString();
    return QString::fromLatin1(kTexts[category]);
}

// --- the tree, and the list's model, delegate and view ----------------------

QItemSelectionModel::SelectionFlags CCategoryTree::selectionCommand(const QModelIndex& index,
                                                                    const QEvent* event) const
{
    if (index.isValid() && !(model()->flags(index) & Qt::ItemIsSelectable)) return QItemSelectionModel::NoUpdate;
    return QTreeWidget::selectionCommand(index, event);
}

CPhotoListModel::CPhotoListModel(CDlgScanResult* page) : QAbstractListModel(page), m_page(page) {}

int CPhotoListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_count;
}

QVariant CPhotoListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_count) return QVariant();
    switch (role) {
    case Qt::DisplayRole:
        return m_page->EntryText(index.row());
    case Qt::ToolTipRole:
        return m_page->EntryToolTip(index.row());
    case Qt::DecorationRole:
        return m_page->EntryPicture(index.row());
    case Qt::CheckStateRole:
        return m_page->EntryTicked(index.row()) ? Qt::Checked : Qt::Unchecked;
    case kDeletedRole:
        return m_page->EntryDeleted(index.row());
    default:
        return QVariant();
    }
}

bool CPhotoListModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (role != Qt::CheckStateRole || !index.isValid() || index.row() >= m_count) return false;
    const bool tick = value.toInt() == Qt::Checked;
    if (tick != m_page->EntryTicked(index.row())) m_page->ToggleEntry(index.row());
    return true;
}

Qt::ItemFlags CPhotoListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
}

void CPhotoListModel::Reset(int count)
{
    beginResetModel();
    m_count = std::max(count, 0);
    endResetModel();
}

void CPhotoListModel::Redraw(int first, int last)
{
    first = std::max(first, 0);
    last = std::min(last, m_count - 1);
    if (first > last) return;
    emit dataChanged(index(first), index(last), {Qt::DecorationRole, Qt::CheckStateRole});
}

QSize CPhotoDelegate::CellSize()
{
    const QFontMetrics metrics(QApplication::font());
    return QSize(kThumbnailWidth + 16, kThumbnailHeight + std::max(metrics.height(), 16) + 12);
}

QSize CPhotoDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    // Asking the entry would make its thumbnail: every cell is alike anyway.
    return CellSize();
}

void CPhotoDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    if (!index.data(kDeletedRole).toBool()) return;
    // A small red tag in the picture's lower left corner.
    const QRect picture = DecorationRect(option, index);
    if (picture.isEmpty()) return;
    painter->save();
    QFont font = option.font;
    font.setBold(true);
    font.setPixelSize(std::max(QFontMetrics(option.font).height() * 3 / 4, 8));
    painter->setFont(font);
    const QString text = QStringLiteral("Deleted");
    const QFontMetrics metrics(font);
    const QRect tag(picture.left() + 2, picture.bottom() - metrics.height() - 3, metrics.horizontalAdvance(text) + 8,
                    metrics.height() + 2);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(QColor(0xC0, 0x20, 0x20, 0xE0));
    painter->drawRoundedRect(tag, 3, 3);
    painter->setPen(Qt::white);
    painter->drawText(tag, Qt::AlignCenter, text);
    painter->restore();
}

QRect CPhotoDelegate::DecorationRect(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = opt.widget;
    const QStyle* style = widget ? widget->style() : QApplication::style();
    return style->subElementRect(QStyle::SE_ItemViewItemDecoration, &opt, widget);
}

CPhotoListView::CPhotoListView(QWidget* parent) : QListView(parent) {}

QRect CPhotoListView::PictureRect(const QModelIndex& index) const
{
    auto* delegate = qobject_cast<CPhotoDelegate*>(itemDelegateForIndex(index));
    if (!delegate || !index.isValid()) return QRect();
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    return delegate->DecorationRect(option, index);
}

void CPhotoListView::mousePressEvent(QMouseEvent* event)
{
    m_pressed = indexAt(event->position().toPoint());
    QListView::mousePressEvent(event);
}

void CPhotoListView::mouseReleaseEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    const QModelIndex pressed = m_pressed;
    m_pressed = QPersistentModelIndex();
    QListView::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton) return;
    if (m_afterDoubleClick) {
        m_afterDoubleClick = false;
        return;
    }
    const QModelIndex index = indexAt(pos);
    if (index.isValid() && index == pressed && PictureRect(index).contains(pos)) {
        m_lastTickRow = index.row();
        m_lastTickTime = event->timestamp();
        emit pictureClicked(index.row());
    }
}

// The first click of a double click on the picture ticked or unticked the
// photo: the double click takes that back and opens the preview.
void CPhotoListView::mouseDoubleClickEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    const QModelIndex index = indexAt(pos);
    if (event->button() != Qt::LeftButton || !index.isValid()) {
        QListView::mouseDoubleClickEvent(event);
        return;
    }
    if (m_lastTickRow == index.row() &&
        event->timestamp() - m_lastTickTime <= static_cast<quint64>(QApplication::doubleClickInterval()))
        emit pictureClicked(index.row());
    m_lastTickRow = -1;
    m_afterDoubleClick = true;
    m_pressed = QPersistentModelIndex();
    event->accept();
    emit previewRequested(index.row());
}

void CPhotoListView::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentIndex().isValid()) {
        event->accept();
        emit previewRequested(currentIndex().row());
        return;
    }
    QListView::keyPressEvent(event);
}

// --- the page ------------------------------------------------------------------

CDlgScanResult::CDlgScanResult(QWidget* parent) : CWizardPage(IDD_RESULT_PAGE, parent)
{
    QLabel* prompt = AddStatic(0, QStringLiteral("Please preview and select photos to recover."), 7, 6, 196, 10);
    prompt->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_label = AddStatic(1036, QStringLiteral("%d files selected in %d KB"), 243, 7, 112, 10, ANCHOR_RIGHT);
    m_label->setWordWrap(false);

    m_tree = new CCategoryTree(this);
    Place(m_tree, 1025, 7, 17, 98, 118, ANCHOR_GROW_HEIGHT);
    m_tree->setHeaderHidden(true);
    m_tree->setRootIsDecorated(true);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tree->setFrameShape(QFrame::StyledPanel);
    m_tree->setMouseTracking(true);

    m_list = new CPhotoListView(this);
    Place(m_list, 1026, 114, 17, 241, 132, ANCHOR_GROW_WIDTH | ANCHOR_GROW_HEIGHT);
    m_list->setViewMode(QListView::IconMode);
    m_list->setMovement(QListView::Static);
    m_list->setResizeMode(QListView::Adjust);
    m_list->setWrapping(true);
    m_list->setUniformItemSizes(true);
    m_list->setIconSize(QSize(kThumbnailWidth, kThumbnailHeight));
    m_list->setGridSize(CPhotoDelegate::CellSize());
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setTextElideMode(Qt::ElideMiddle);
    m_list->setWordWrap(false);
    m_list->setFrameShape(QFrame::StyledPanel);
    m_list->setItemDelegate(new CPhotoDelegate(m_list));
    m_model = new CPhotoListModel(this);
    m_list->setModel(m_model);

    m_pairsBox = new QCheckBox(QStringLiteral("RAW + JPEG together"), this);
    Place(m_pairsBox, 1043, 7, 137, 98, 12, ANCHOR_BOTTOM);
    m_pairsBox->setToolTip(QStringLiteral("A camera's RAW photo and the JPEG it saved beside it (same name, same "
                                          "folder) are ticked and unticked together."));
    m_pairsBox->setChecked(true);
    m_pairsBox->setVisible(false);

    m_keepFolders = new QCheckBox(QStringLiteral("Keep the folders the photos were in"), this);
    Place(m_keepFolders, 1040, 7, 153, 150, 12, ANCHOR_BOTTOM);

    // Sorting and narrowing down what the tree and the list show.
    m_sortBox = new QComboBox(this);
    Place(m_sortBox, 1041, 162, 152, 86, 13, ANCHOR_BOTTOM | ANCHOR_RIGHT);
    for (PhotoView::Sort sort : {PhotoView::FoundOrder, PhotoView::ByName, PhotoView::BySize, PhotoView::ByDate})
        m_sortBox->addItem(SortText(sort), static_cast<int>(sort));
    m_sortBox->setToolTip(QStringLiteral("The order of the photos in each block: as found, by name, by size "
                                         "(largest first) or by date (newest first)."));
    m_filterButton = new QPushButton(QStringLiteral("Filter..."), this);
    Place(m_filterButton, 1042, 252, 152, 103, 13, ANCHOR_BOTTOM | ANCHOR_RIGHT);
    m_filterButton->setAutoDefault(false);
    m_filterButton->setToolTip(QStringLiteral("Show only some types, photos larger than a size, or deleted photos."));
    m_keepFolders->setToolTip(QStringLiteral("Recovered photos go into their folders (such as DCIM/100CANON) "
                                             "inside the new folder, instead of all side by side."));
    m_keepFolders->setChecked(false);

    QImage blank(kThumbnailWidth, kThumbnailHeight, QImage::Format_RGB32);
    blank.fill(Qt::white);
    m_blank = QPixmap::fromImage(blank);

    connect(m_tree, &QTreeWidget::itemChanged, this, &CDlgScanResult::OnTreeItemChanged);
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &CDlgScanResult::OnTreeSelectionChanged);
    connect(m_list, &CPhotoListView::pictureClicked, this, &CDlgScanResult::ToggleEntry);
    connect(m_list, &CPhotoListView::previewRequested, this, &CDlgScanResult::PreviewEntry);
    connect(m_sortBox, &QComboBox::activated, this, [this](int row) {
        PhotoView view = m_wanted;
        view.sort = static_cast<PhotoView::Sort>(m_sortBox->itemData(row).toInt());
        SetView(view);
    });
    connect(m_filterButton, &QPushButton::clicked, this, &CDlgScanResult::OnFilter);
}

CDlgScanResult::~CDlgScanResult()
{
    m_sorter.Stop();  // its thread is waited for as the page goes
    // The views go before the blocks and entries they point to.
    delete m_list;
    m_list = nullptr;
    delete m_tree;
    m_tree = nullptr;
}

PhotoBlock* CDlgScanResult::BlockOf(const QTreeWidgetItem* node)
{
    if (!node) return nullptr;
    return reinterpret_cast<PhotoBlock*>(node->data(0, kBlockRole).value<quintptr>());
}

void CDlgScanResult::InitPage()
{
    // A scan may have found more photos since the page was last shown.
    m_pairsStale = true;
    ShowView(m_wanted);
    // Many photos: the order by name, the sort most asked for, is made
    // meanwhile, so that choosing it shows it at once.
    CPhotoSorter::Items items = StoreItems();
    if (CPhotoSorter::Count(items) >= m_sortInWorkerFrom && m_sorter.Running() == PhotoView::FoundOrder &&
        !m_sorter.Ready(PhotoView::ByName, items))
        SortInWorker(PhotoView::ByName, std::move(items));
}

void CDlgScanResult::SetView(const PhotoView& view)
{
    const int row = m_sortBox->findData(static_cast<int>(view.sort));
    if (row >= 0) m_sortBox->setCurrentIndex(row);
    ShowView(view);
}

CPhotoSorter::Items CDlgScanResult::StoreItems() const
{
    CPhotoSorter::Items byCategory(kPhotoCategoryCount);
    ITaskBackend* tasks = Tasks();
    if (!tasks) return byCategory;
    for (int category = 0; category < kPhotoCategoryCount; ++category) {
        const int n = tasks->GetPhotoItems(category, -1, -1, nullptr);
        if (n <= 0) continue;
        std::vector<PhotoItem*>& items = byCategory[static_cast<size_t>(category)];
        items.assign(static_cast<size_t>(n), nullptr);
        items.resize(static_cast<size_t>(std::clamp(tasks->GetPhotoItems(category, 0, n, items.data()), 0, n)));
    }
    return byCategory;
}

void CDlgScanResult::ShowView(const PhotoView& view)
{
    m_wanted = view;
    if (view.sort != PhotoView::FoundOrder) {
        CPhotoSorter::Items items = StoreItems();
        if (!m_sorter.Ready(view.sort, items)) {
            if (CPhotoSorter::Count(items) >= m_sortInWorkerFrom) {
                // The tree stays as it is, usable, until the sort is made.
                if (SortInWorker(view.sort, items)) {
                    if (!m_viewPending) setCursor(Qt::BusyCursor);
                    m_viewPending = true;
                    return;
                }
            }
            m_sorter.Make(view.sort, items);
        }
    }
    if (m_viewPending) unsetCursor();
    m_viewPending = false;
    m_view = view;
    BuildTree();
}

// One worker at a time: a worker making another sort than the one wanted
// is stopped, and its end starts the one wanted.
bool CDlgScanResult::SortInWorker(PhotoView::Sort sort, CPhotoSorter::Items items)
{
    const PhotoView::Sort running = m_sorter.Running();
    if (running == sort) return true;
    if (running != PhotoView::FoundOrder) {
        m_sorter.Stop();
        return true;
    }
    return m_sorter.Start(sort, std::move(items), [this] {
        QMetaObject::invokeMethod(this, &CDlgScanResult::OnSorted, Qt::QueuedConnection);
    });
}

void CDlgScanResult::OnSorted()
{
    m_sorter.Collect();
    if (m_viewPending) ShowView(m_wanted);
}

void CDlgScanResult::OnFilter()
{
    uint32_t present = 0;
    if (ITaskBackend* tasks = Tasks())
        for (int category = 0; category < kPhotoCategoryCount; ++category)
            if (tasks->GetPhotoItems(category, -1, -1, nullptr) > 0) present |= 1u << category;
    CDlgPhotoFilter dialog(m_wanted, present, this);
    if (dialog.exec() == QDialog::Accepted) SetView(dialog.Result());
}

void CDlgScanResult::BuildTree()
{
    // The list first: it points into the blocks about to go.
    m_shown.clear();
    m_thumbnailMade.clear();
    m_thumbnails.clear();
    m_shownNode = nullptr;
    m_model->Reset(0);
    m_settingChecks = true;
    m_tree->clear();
    m_blocks.clear();
    m_viewShown = 0;
    m_viewFound = 0;

    auto* root = new QTreeWidgetItem(m_tree, {QStringLiteral("Photos")});
    root->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);

    ITaskBackend* tasks = Tasks();
    const bool arranged = m_view.Filters() || m_view.sort != PhotoView::FoundOrder;
    // Every category's photos, for the ticks they carry, the pairs and the view.
    std::vector<std::vector<PhotoItem*>> byCategory(kPhotoCategoryCount);
    std::vector<PhotoItem*> named;
    for (int category = 0; category < kPhotoCategoryCount; ++category) {
        const int n = tasks ? tasks->GetPhotoItems(category, -1, -1, nullptr) : 0;
        if (n <= 0) continue;
        std::vector<PhotoItem*>& items = byCategory[static_cast<size_t>(category)];
        items.assign(static_cast<size_t>(n), nullptr);
        items.resize(static_cast<size_t>(std::clamp(tasks->GetPhotoItems(category, 0, n, items.data()), 0, n)));
        if (m_pairsStale)
            for (PhotoItem* item : items)
                if (item && item->origin != RawScan) named.push_back(item);
    }
    // Sorting and filtering change the view, not the photos: the pairs stay.
    if (m_pairsStale) m_pairs.Build(named);
    m_pairsStale = false;
    named = {};
    m_pairBlocks.clear();
    m_pairsBox->setVisible(m_pairs.GroupCount() > 0);

    for (int category = 0; category < kPhotoCategoryCount; ++category) {
        const std::vector<PhotoItem*>& items = byCategory[static_cast<size_t>(category)];
        const int n = static_cast<int>(items.size());
        if (n <= 0) continue;
        m_viewFound += n;
        if (!m_view.ShowsCategory(category)) continue;
        std::vector<int32_t> order;
        if (arranged) {
            const std::vector<int32_t>* made = m_sorter.Order(static_cast<size_t>(category), m_view.sort, items);
            order = made ? m_view.Arrange(items, *made) : m_view.Arrange(items);
            if (order.empty()) continue;
        }
        const int shown = arranged ? static_cast<int>(order.size()) : static_cast<int>(items.size());
        m_viewShown += shown;

        auto* categoryNode = new QTreeWidgetItem(root, {CategoryText(category)});
        categoryNode->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        auto addBlock = [&](int first, int last) {
            auto block = std::make_unique<PhotoBlock>(PhotoBlock{category, first, last, 0, {}});
            for (int k = first - 1; k < last; ++k) {
                const int32_t index = arranged ? order[static_cast<size_t>(k)] : k;
                if (arranged) block->members.push_back(index);
                const PhotoItem* item = items[static_cast<size_t>(index)];
                if (item->selected) ++block->ticked;
                if (m_pairs.GroupCount() > 0 && m_pairs.GroupOf(item)) m_pairBlocks[item] = block.get();
            }
            auto* node = new QTreeWidgetItem(
                categoryNode, {QString::asprintf("%s(%03d-%03d)", qPrintable(CategoryText(category)), first, last)});
            node->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
                           Qt::ItemNeverHasChildren);
            node->setData(0, kBlockRole, QVariant::fromValue(reinterpret_cast<quintptr>(block.get())));
            m_blocks.push_back(std::move(block));
        };
        for (int b = 0; b < shown / kPhotosPerBlock; ++b)
            addBlock(kPhotosPerBlock * b + 1, kPhotosPerBlock * (b + 1));
        if (shown % kPhotosPerBlock != 0) addBlock(kPhotosPerBlock * (shown / kPhotosPerBlock) + 1, shown);
        categoryNode->setExpanded(true);
    }
    root->setExpanded(true);
    ShowAllChecks(root);
    m_settingChecks = false;

    m_filterButton->setText(m_view.Filters()
                                ? QStringLiteral("Filter: %1 of %2 shown").arg(m_viewShown).arg(m_viewFound)
                                : QStringLiteral("Filter..."));
    if (root->childCount() > 0 && root->child(0)->childCount() > 0) m_tree->setCurrentItem(root->child(0)->child(0));
    UpdateSelectionText();
}

bool CDlgScanResult::event(QEvent* event)
{
    switch (static_cast<int>(event->type())) {
    case WM_RECOVER_SELECTED:
        OnRecoverSelected();
        return true;
    case WM_TREE_CHECK_CHANGED: {
        auto* node = reinterpret_cast<QTreeWidgetItem*>(static_cast<CWizardEvent*>(event)->LParam());
        if (node && node->treeWidget() == m_tree) {
            ApplyCheckState(node, node->checkState(0) == Qt::Unchecked ? Qt::Unchecked : Qt::Checked);
            for (int k = 0; k < m_tree->topLevelItemCount(); ++k) ShowAllChecks(m_tree->topLevelItem(k));
            m_model->Redraw(0, kPhotosPerBlock);
            UpdateSelectionText();
        }
        return true;
    }
    default:
        return CWizardPage::event(event);
    }
}

void CDlgScanResult::OnTreeSelectionChanged()
{
    const QList<QTreeWidgetItem*> selected = m_tree->selectedItems();
    if (selected.isEmpty() || !BlockOf(selected.first())) return;
    ShowBlock(selected.first());
    m_list->setFocus();
}

// The user changed a check box, by mouse or space bar: the new state is
// applied once the tree is done with the event.
void CDlgScanResult::OnTreeItemChanged(QTreeWidgetItem* node, int column)
{
    if (m_settingChecks || column != 0) return;
    const int state = node->checkState(0);
    if (node->data(0, kCheckRole).toInt() == state) return;  // some other change
    m_settingChecks = true;
    node->setData(0, kCheckRole, state);
    m_settingChecks = false;
    PostWizardMessage(this, WM_TREE_CHECK_CHANGED, 0, reinterpret_cast<intptr_t>(node));
}

void CDlgScanResult::SetNodeCheck(QTreeWidgetItem* node, Qt::CheckState state)
{
    const bool was = m_settingChecks;
    m_settingChecks = true;
    node->setCheckState(0, state);
    node->setData(0, kCheckRole, static_cast<int>(state));
    m_settingChecks = was;
}

std::vector<PhotoItem*> CDlgScanResult::BlockItems(const PhotoBlock& block) const
{
    std::vector<PhotoItem*> items;
    ITaskBackend* tasks = Tasks();
    const int n = block.Size();
    if (!tasks || n <= 0) return items;
    if (!block.members.empty()) {
        items.reserve(block.members.size());
        for (int32_t index : block.members) {
            PhotoItem* item = nullptr;
            if (tasks->GetPhotoItems(block.category, index, 1, &item) == 1 && item) items.push_back(item);
        }
        return items;
    }
    items.resize(static_cast<size_t>(n), nullptr);
    const int got = tasks->GetPhotoItems(block.category, block.first - 1, n, items.data());
    items.resize(static_cast<size_t>(std::clamp(got, 0, n)));
    return items;
}

void CDlgScanResult::ShowBlock(QTreeWidgetItem* node)
{
    const PhotoBlock* block = BlockOf(node);
    if (!block) return;
    std::vector<PhotoItem*> items = BlockItems(*block);

    m_list->setUpdatesEnabled(false);
    m_shown = std::move(items);
    m_thumbnailMade.assign(m_shown.size(), false);
    m_thumbnails.assign(m_shown.size(), m_blank);
    m_shownNode = node;
    m_model->Reset(static_cast<int>(m_shown.size()));
    m_list->setUpdatesEnabled(true);
    m_list->viewport()->update();
}

QString CDlgScanResult::EntryText(int i) const
{
    if (i < 0 || static_cast<size_t>(i) >= m_shown.size()) return QString();
    return QString::fromStdString(Utf16ToUtf8(m_shown[static_cast<size_t>(i)]->name));
}

QString CDlgScanResult::EntryToolTip(int i) const
{
    if (i < 0 || static_cast<size_t>(i) >= m_shown.size()) return QString();
    const PhotoItem& item = *m_shown[static_cast<size_t>(i)];
    QStringList lines;
    lines << QString::fromStdString(Utf16ToUtf8(item.name));
    if (item.origin != RawScan)
        lines << QStringLiteral("Folder: /%1").arg(QString::fromStdString(Utf16ToUtf8(item.folder)));
    if (item.mtime != 0 || item.mtimeNsec != 0)
        lines << QStringLiteral("Modified: %1")
                     .arg(QLocale().toString(QDateTime::fromSecsSinceEpoch(item.mtime), QLocale::ShortFormat));
    if (item.origin == DeletedRecord) lines << QStringLiteral("Deleted; found with its name");
    else if (item.origin == RawScan) lines << QStringLiteral("Deleted; found without its name");
    else lines << QStringLiteral("Still on the drive");
    lines << QStringLiteral("Double-click or press Enter for a large preview");
    return lines.join(QLatin1Char('\n'));
}

QPixmap CDlgScanResult::EntryPicture(int i)
{
    if (i < 0 || static_cast<size_t>(i) >= m_shown.size()) return QPixmap();
    MakeThumbnail(i);
    return m_thumbnails[static_cast<size_t>(i)];
}

bool CDlgScanResult::EntryDeleted(int i) const
{
    if (i < 0 || static_cast<size_t>(i) >= m_shown.size()) return false;
    return IsDeletedPhoto(*m_shown[static_cast<size_t>(i)]);
}

void CDlgScanResult::PreviewEntry(int i)
{
    if (i < 0 || static_cast<size_t>(i) >= m_shown.size() || m_recovering) return;
    CDlgPhotoPreview preview(m_shown, i, g_pSelectedPartition, this);
    preview.exec();
    // Back on the list where the preview ended.
    m_list->setCurrentIndex(m_model->index(preview.Index(), 0));
    m_list->scrollTo(m_model->index(preview.Index(), 0));
}

bool CDlgScanResult::EntryTicked(int i) const
{
    if (i < 0 || static_cast<size_t>(i) >= m_shown.size()) return false;
    return m_shown[static_cast<size_t>(i)]->selected != 0;
}

void CDlgScanResult::MakeThumbnail(int i)
{
    const size_t slot = static_cast<size_t>(i);
    // While the recovery thread reads the disk, nothing else may: the
    // thumbnail waits for the next time the entry is drawn.
    if (m_thumbnailMade[slot] || m_recovering) return;
    m_thumbnailMade[slot] = true;  // a failure is not retried while the block is shown

    PhotoItem* item = m_shown[slot];
    ITaskBackend* tasks = Tasks();
    const uint64_t length = PhotoBufferSize(*item);
    if (!tasks || length == 0 || length > kMaxRecoveredPhotoBytes) return;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length]());
    if (!buffer) return;
    if (tasks->ReadPhotoData(item, g_pSelectedPartition, buffer.get(), static_cast<uint32_t>(length)) < 0) return;

    // As many pixels as the screen shows in the thumbnail's place.
    const double ratio = m_list->devicePixelRatioF();
    QSize full;
    QImage picture = DecodeForThumbnail(buffer.get(), item->size, &full, ratio);
    buffer.reset();
    if (picture.isNull()) {
        item->previewWidth = 0;
        const std::unique_ptr<QImage> placeholder = LoadPngResource(150);
        if (!placeholder || placeholder->isNull()) return;
        picture = TypeIcon(*placeholder, CategoryText(item->category));
        full = picture.size();
    } else {
        item->previewWidth = full.width();
    }
    m_thumbnails[slot] = QPixmap::fromImage(FitIntoThumbnail(picture, full, ratio));
}

void CDlgScanResult::Tick(PhotoItem* item, bool tick, PhotoBlock* block)
{
    if ((item->selected != 0) == tick) return;
    item->selected = tick ? 1 : 0;
    if (block) block->ticked += tick ? 1 : -1;
}

void CDlgScanResult::ToggleEntry(int i)
{
    if (i < 0 || static_cast<size_t>(i) >= m_shown.size()) return;
    PhotoItem* item = m_shown[static_cast<size_t>(i)];
    const bool tick = !item->selected;
    Tick(item, tick, BlockOf(m_shownNode));
    const std::vector<PhotoItem*>* pair = m_pairsBox->isChecked() ? m_pairs.GroupOf(item) : nullptr;
    if (pair) {
        // The other photos of the pair may be in other blocks, or hidden
        // by the filter (then in none).
        for (PhotoItem* other : *pair) {
            if (other == item) continue;
            const auto found = m_pairBlocks.find(other);
            Tick(other, tick, found == m_pairBlocks.end() ? nullptr : found->second);
        }
        for (int k = 0; k < m_tree->topLevelItemCount(); ++k) ShowAllChecks(m_tree->topLevelItem(k));
        m_model->Redraw(0, static_cast<int>(m_shown.size()) - 1);
    } else {
        if (m_shownNode) ShowChecks(m_shownNode);
        m_model->Redraw(i, i);
    }
    UpdateSelectionText();
}

// A partly checked node clicked by the user arrives as checked: everything
// under it is ticked.
void CDlgScanResult::ApplyCheckState(QTreeWidgetItem* node, Qt::CheckState state)
{
    if (node->childCount() > 0) {
        for (int k = 0; k < node->childCount(); ++k) ApplyCheckState(node->child(k), state);
        return;
    }
    PhotoBlock* block = BlockOf(node);
    if (!block) return;
    const bool tick = state == Qt::Checked;
    if ((!tick && block->ticked <= 0) || (tick && block->ticked == block->Size())) return;
    for (PhotoItem* item : BlockItems(*block)) item->selected = tick ? 1 : 0;
    block->ticked = tick ? block->Size() : 0;
}

Qt::CheckState CDlgScanResult::CheckStateOf(const QTreeWidgetItem* node)
{
    if (const PhotoBlock* block = BlockOf(node)) {
        if (block->ticked <= 0) return Qt::Unchecked;
        return block->ticked >= block->Size() ? Qt::Checked : Qt::PartiallyChecked;
    }
    bool any = false;
    bool all = node->childCount() > 0;
    for (int k = 0; k < node->childCount(); ++k) {
        const Qt::CheckState child = CheckStateOf(node->child(k));
        any = any || child != Qt::Unchecked;
        all = all && child == Qt::Checked;
    }
    return all ? Qt::Checked : any ? Qt::PartiallyChecked : Qt::Unchecked;
}

void CDlgScanResult::ShowChecks(QTreeWidgetItem* node)
{
    // From the node up to the root: each box shows what lies under it.
    for (QTreeWidgetItem* n = node; n; n = n->parent()) SetNodeCheck(n, CheckStateOf(n));
}

void CDlgScanResult::ShowAllChecks(QTreeWidgetItem* node)
{
    for (int k = 0; k < node->childCount(); ++k) ShowAllChecks(node->child(k));
    SetNodeCheck(node, CheckStateOf(node));
}

// Every ticked photo counts, also those the filter hides: they are
// recovered too.
void CDlgScanResult::UpdateSelectionText()
{
    m_tickedCount = 0;
    m_tickedBytes = 0;
    int hidden = 0;
    if (ITaskBackend* tasks = Tasks()) {
        std::vector<PhotoItem*> page(4096, nullptr);
        for (int category = 0; category < kPhotoCategoryCount; ++category) {
            const int n = tasks->GetPhotoItems(category, -1, -1, nullptr);
            for (int first = 0; first < n; first += static_cast<int>(page.size())) {
                const int got = tasks->GetPhotoItems(category, first,
                                                     std::min(n - first, static_cast<int>(page.size())), page.data());
                for (int k = 0; k < got; ++k) {
                    const PhotoItem* item = page[static_cast<size_t>(k)];
                    if (!item || !item->selected) continue;
                    ++m_tickedCount;
                    m_tickedBytes += item->size;
                    if (!m_view.ShowsCategory(category) || !m_view.Shows(*item)) ++hidden;
                }
            }
        }
    }
    m_label->setText(QStringLiteral("%1 %2 selected in %3")
                         .arg(m_tickedCount)
                         .arg(m_tickedCount < 2 ? QStringLiteral("file") : QStringLiteral("files"))
                         .arg(FormatSizeText(m_tickedBytes)));
    m_label->setToolTip(hidden > 0 ? QStringLiteral("%1 of them hidden by the filter; they are recovered too.")
                                         .arg(hidden)
                                   : QString());
}

// --- recovering the ticked photos --------------------------------------------

void CDlgScanResult::OnRecoverSelected()
{
    if (m_tickedCount <= 0) {
        MsgBox(this, kSelectPhotos, QMessageBox::Warning);
        return;
    }
    IPartition* partition = g_pSelectedPartition;
    const QString drive = ScannedDeviceName(partition);

    QString chosen;
    for (;;) {
        QString title = kChooseFolder;
        if (!drive.isEmpty())
            title += QStringLiteral("\n \r") +
                     QStringLiteral("Warning: You are recovering photos from %1 drive, do not save photos to this drive.")
                         .arg(drive);
        chosen = Prompts().ChooseFolder(this, title);
        if (chosen.isNull()) return;
        if (chosen.isEmpty() || !QFileInfo(chosen).isDir()) {
            MsgBox(this, kValidFolder, QMessageBox::Critical);
            return;
        }
        if (drive.isEmpty() || FolderIsOnPartition(chosen.toStdString(), partition) != 1) break;
        const QString reselect = QStringLiteral(
                                     "You are recovering photos from %1 drive, we do not recommend you to save "
                                     "recovered photos to this drive. Do you want to reselect save folder?")
                                     .arg(drive);
        if (!AskYesNo(this, reselect)) break;
    }

    // A folder nothing can be written to is refused for what it is, not for
    // its free space.
    if (std::string reason; CheckFolderForPhotos(chosen.toStdString(), reason) != 0) {
        LOG_E("cannot write into %s: %s\n", chosen.toUtf8().constData(), reason.c_str());
        MsgBox(this,
               QStringLiteral("Cannot save photos in \"%1\": %2. Please select another folder.")
                   .arg(chosen, QString::fromStdString(reason)),
               QMessageBox::Critical);
        return;
    }

    const FreeSpace free = QueryFreeSpace(chosen.toStdString());
    if (free.known && !(free.bytes > m_tickedBytes)) {
        MsgBox(this,
               QStringLiteral("The drive of selected folder doesnot have enough free space (only %1 available), "
                              "please select another folder or dis-select some photos.")
                   .arg(FormatSizeText(free.bytes)),
               QMessageBox::Critical);
        return;
    }

    std::string folder;
    std::string error;
    if (CreateRecoveryFolder(chosen.toStdString(), CurrentTime(), folder, error) != 0) {
        LOG_E("%s\n", error.c_str());
        MsgBox(this, kCreateFailed + QStringLiteral("\n\nReason: %1.").arg(QString::fromStdString(error)),
               QMessageBox::Critical);
        return;
    }

    RecoveryRequest request;
    request.tickedCount = m_tickedCount;
    request.tickedBytes = m_tickedBytes;
    request.folder = folder;
    request.keepFolders = m_keepFolders->isChecked();
    CDlgRecoverProgress dialog(request, partition, this);
    m_recovering = true;
    const int result = dialog.exec();
    m_recovering = false;
    m_list->viewport()->update();
    // The user closed the program meanwhile: it ends now, without messages.
    if (dialog.EndsProgram()) return;
    const QString where = QString::fromStdString(folder);
    if (result != QDialog::Accepted) {
        // Stopped by the user: what was saved stays, and they are told where.
        if (dialog.UserCancelled())
            MsgBox(this, RecoveryCancelledText(dialog.SavedCount(), m_tickedCount, where), QMessageBox::Information);
        return;
    }

    if (dialog.FailedCount() == 0) {
        MsgBox(this, RecoveredText(where), QMessageBox::Information);
    } else {
        MsgBox(this,
               QStringLiteral("%1 of the %2 selected photos have been recovered. %3 could not be read from the drive "
                              "or written to the folder; please check that the folder's drive has room for them. "
                              "The recovered photos are in \"%4\".")
                   .arg(dialog.SavedCount())
                   .arg(dialog.SavedCount() + dialog.FailedCount())
                   .arg(dialog.FailedCount())
                   .arg(where),
               QMessageBox::Warning);
    }
    if (dialog.SavedCount() > 0 && !OpenWithDesktop(QUrl::fromLocalFile(where)))
        MsgBox(this, FolderNotShownText(where), QMessageBox::Warning);
}

QString RecoveredText(const QString& folder)
{
    return kRecovered + QStringLiteral(" They are in \"%1\".").arg(folder);
}

QString RecoveryCancelledText(int saved, int ticked, const QString& folder)
{
    return QStringLiteral("The recovery was cancelled. %1 of the %2 selected photos %3 been saved in \"%4\".")
        .arg(saved)
        .arg(ticked)
        .arg(saved == 1 ? QStringLiteral("has") : QStringLiteral("have"))
        .arg(folder);
}

QString FolderNotShownText(const QString& folder)
{
    return QStringLiteral("The folder \"%1\" could not be shown: no file manager is set up on this system. Please "
                          "open it yourself.")
        .arg(folder);
}
