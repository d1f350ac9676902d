#include "app/dlgscanresult.h"

#include <QApplication>
#include <QCheckBox>
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
    const QModelIndex index = indexAt(pos);
    if (index.isValid() && index == pressed && PictureRect(index).contains(pos)) emit pictureClicked(index.row());
}

// --- the page ------------------------------------------------------------------

CDlgScanResult::CDlgScanResult(QWidget* parent) : CWizardPage(IDD_RESULT_PAGE, parent)
{
    QLabel* prompt = AddStatic(0, QStringLiteral("Please preview and select photos to recover."), 7, 6, 196, 10);
    prompt->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_label = AddStatic(1036, QStringLiteral("%d files selected in %d KB"), 243, 7, 112, 10);
    m_label->setWordWrap(false);

    m_tree = new CCategoryTree(this);
    Place(m_tree, 1025, 7, 17, 98, 133);
    m_tree->setHeaderHidden(true);
    m_tree->setRootIsDecorated(true);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tree->setFrameShape(QFrame::StyledPanel);
    m_tree->setMouseTracking(true);

    m_list = new CPhotoListView(this);
    Place(m_list, 1026, 114, 17, 241, 133);
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

    m_keepFolders = new QCheckBox(QStringLiteral("Keep the folders the photos were in"), this);
    Place(m_keepFolders, 1040, 7, 153, 348, 10);
    m_keepFolders->setToolTip(QStringLiteral("Recovered photos go into their folders (such as DCIM/100CANON) "
                                             "inside the new folder, instead of all side by side."));
    m_keepFolders->setChecked(false);

    QImage blank(kThumbnailWidth, kThumbnailHeight, QImage::Format_RGB32);
    blank.fill(Qt::white);
    m_blank = QPixmap::fromImage(blank);

    connect(m_tree, &QTreeWidget::itemChanged, this, &CDlgScanResult::OnTreeItemChanged);
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &CDlgScanResult::OnTreeSelectionChanged);
    connect(m_list, &CPhotoListView::pictureClicked, this, &CDlgScanResult::ToggleEntry);
}

CDlgScanResult::~CDlgScanResult()
{
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
    m_settingChecks = true;
    auto* root = new QTreeWidgetItem(m_tree, {QStringLiteral("Photos")});
    root->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    SetNodeCheck(root, Qt::Unchecked);

    ITaskBackend* tasks = Tasks();
    for (int category = 0; category < kPhotoCategoryCount; ++category) {
        const int n = tasks ? tasks->GetPhotoItems(category, -1, -1, nullptr) : 0;
        if (n <= 0) continue;
        auto* categoryNode = new QTreeWidgetItem(root, {CategoryText(category)});
        categoryNode->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        SetNodeCheck(categoryNode, Qt::Unchecked);
        auto addBlock = [&](int first, int last) {
            auto block = std::make_unique<PhotoBlock>(PhotoBlock{category, first, last, 0});
            auto* node = new QTreeWidgetItem(
                categoryNode, {QString::asprintf("%s(%03d-%03d)", qPrintable(CategoryText(category)), first, last)});
            node->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
                           Qt::ItemNeverHasChildren);
            node->setData(0, kBlockRole, QVariant::fromValue(reinterpret_cast<quintptr>(block.get())));
            SetNodeCheck(node, Qt::Unchecked);
            m_blocks.push_back(std::move(block));
        };
        for (int b = 0; b < n / kPhotosPerBlock; ++b) addBlock(kPhotosPerBlock * b + 1, kPhotosPerBlock * (b + 1));
        if (n % kPhotosPerBlock != 0) addBlock(kPhotosPerBlock * (n / kPhotosPerBlock) + 1, n);
        categoryNode->setExpanded(true);
    }
    root->setExpanded(true);
    m_settingChecks = false;

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
            ApplyCheckState(node, node->checkState(0));
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
    return lines.join(QLatin1Char('\n'));
}

QPixmap CDlgScanResult::EntryPicture(int i)
{
    if (i < 0 || static_cast<size_t>(i) >= m_shown.size()) return QPixmap();
    MakeThumbnail(i);
    return m_thumbnails[static_cast<size_t>(i)];
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

    QSize full;
    QImage picture = DecodeForThumbnail(buffer.get(), item->size, &full);
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
    m_thumbnails[slot] = QPixmap::fromImage(FitIntoThumbnail(picture, full));
}

void CDlgScanResult::ToggleEntry(int i)
{
    if (i < 0 || static_cast<size_t>(i) >= m_shown.size()) return;
    PhotoItem* item = m_shown[static_cast<size_t>(i)];
    item->selected = item->selected ? 0 : 1;
    if (PhotoBlock* block = BlockOf(m_shownNode)) {
        block->ticked += item->selected ? 1 : -1;
        if (block->ticked == 0)
            SetNodeCheck(m_shownNode, Qt::Unchecked);
        else if (block->ticked == block->Size())
            SetNodeCheck(m_shownNode, Qt::Checked);
    }
    m_model->Redraw(i, i);
    UpdateSelectionText();
}

void CDlgScanResult::ApplyCheckState(QTreeWidgetItem* node, Qt::CheckState state)
{
    if (node->childCount() > 0) {
        for (int k = 0; k < node->childCount(); ++k) ApplyCheckState(node->child(k), state);
        SetNodeCheck(node, state);
        return;
    }
    PhotoBlock* block = BlockOf(node);
    if (!block) return;
    const bool tick = state == Qt::Checked;
    if ((!tick && block->ticked <= 0) || (tick && block->ticked == block->Size())) return;
    for (PhotoItem* item : BlockItems(*block)) item->selected = tick ? 1 : 0;
    block->ticked = tick ? block->Size() : 0;
    SetNodeCheck(node, state);
}

void CDlgScanResult::UpdateSelectionText()
{
    m_tickedCount = 0;
    m_tickedBytes = 0;
    std::vector<QTreeWidgetItem*> pending;
    for (int k = 0; k < m_tree->topLevelItemCount(); ++k) pending.push_back(m_tree->topLevelItem(k));
    while (!pending.empty()) {
        QTreeWidgetItem* node = pending.back();
        pending.pop_back();
        if (node->childCount() > 0) {
            for (int k = 0; k < node->childCount(); ++k) pending.push_back(node->child(k));
            continue;
        }
        const PhotoBlock* block = BlockOf(node);
        if (!block) continue;
        m_tickedCount += block->ticked;
        for (const PhotoItem* item : BlockItems(*block))
            if (item->selected) m_tickedBytes += item->size;
    }
    m_label->setText(QStringLiteral("%1 %2 selected in %3")
                         .arg(m_tickedCount)
                         .arg(m_tickedCount < 2 ? QStringLiteral("file") : QStringLiteral("files"))
                         .arg(FormatSizeText(m_tickedBytes)));
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
        MsgBox(this, kCreateFailed, QMessageBox::Critical);
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
    if (result != QDialog::Accepted) return;

    if (dialog.FailedCount() == 0) {
        MsgBox(this, kRecovered, QMessageBox::Information);
    } else {
        MsgBox(this,
               QStringLiteral("%1 of the %2 selected photos have been recovered. %3 could not be read from the drive "
                              "or written to the folder; please check that the folder's drive has room for them.")
                   .arg(dialog.SavedCount())
                   .arg(dialog.SavedCount() + dialog.FailedCount())
                   .arg(dialog.FailedCount()),
               QMessageBox::Warning);
    }
    if (dialog.SavedCount() > 0) QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
}
