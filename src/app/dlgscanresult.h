// The scan-result page: a tree of the found photos by category in blocks of
// 500, a list of the selected block's photos with thumbnails, and ticks on
// photos, blocks, categories or everything. Next ("Recover") writes the
// ticked photos into a new folder.
#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <QTreeWidget>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "app/photosorter.h"
#include "app/photoview.h"
#include "app/wizardpage.h"
#include "volphotorev/photoitems.h"
#include "volphotorev/photopairs.h"

class CDlgScanResult;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTreeWidgetItem;

constexpr int kPhotosPerBlock = 500;

// The photos of one block node: numbers within the category, from 1; with a
// filter or a sort, positions within the category's shown photos, and the
// photos themselves in `members`.
struct PhotoBlock {
    int category = 0;
    int first = 0;
    int last = 0;
    int ticked = 0;  // how many of them are ticked
    // The photos' indices in the category's store (from 0), in list order;
    // empty when the block is photos first..last of the store as found.
    std::vector<int32_t> members;
    int Size() const { return members.empty() ? last - first + 1 : static_cast<int>(members.size()); }
};

// The category tree's texts, in tree order: JPG, PNG, BMP, GIF, Other.
QString CategoryText(int category);

// What the user is told after a recovery into `folder`: all went well; the
// user cancelled after `saved` of the `ticked` photos; the folder could not
// be shown.
QString RecoveredText(const QString& folder);
QString RecoveryCancelledText(int saved, int ticked, const QString& folder);
QString FolderNotShownText(const QString& folder);

// The category tree: only block nodes can be selected; a click on the root
// or a category leaves the selection, and so the list, as it was.
class CCategoryTree : public QTreeWidget {
    Q_OBJECT
public:
    using QTreeWidget::QTreeWidget;

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override;
};

// The list's entries, made on request: name, thumbnail and tick come from the
// page each time the view asks.
class CPhotoListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit CPhotoListModel(CDlgScanResult* page);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    void Reset(int count);
    void Redraw(int first, int last);

private:
    CDlgScanResult* m_page;
    int m_count = 0;
};

// Lays entries out on a fixed grid without asking for their pictures, and
// tells where an entry's picture lies.
class CPhotoDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The entry as the style draws it, and a "Deleted" mark on the picture
    // of a photo the drive no longer lists.
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QRect DecorationRect(const QStyleOptionViewItem& option, const QModelIndex& index) const;
    static QSize CellSize();
};

// The icon list: a click on an entry's picture toggles its tick, as does its
// check box (through the model).
class CPhotoListView : public QListView {
    Q_OBJECT
public:
    explicit CPhotoListView(QWidget* parent);
    // Where the entry's picture is drawn, in viewport coordinates.
    QRect PictureRect(const QModelIndex& index) const;

signals:
    void pictureClicked(int row);
    // A double click on an entry, or Enter on the current one.
    void previewRequested(int row);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPersistentModelIndex m_pressed;
    bool m_afterDoubleClick = false;  // the release that ends a double click ticks nothing
    int m_lastTickRow = -1;           // the entry the last click on a picture ticked or unticked
    quint64 m_lastTickTime = 0;       // and when (event time, ms)
};

class CDlgScanResult : public CWizardPage {
    Q_OBJECT
public:
    explicit CDlgScanResult(QWidget* parent);
    ~CDlgScanResult() override;
    void InitPage() override;

    CCategoryTree* Tree() const { return m_tree; }
    CPhotoListView* List() const { return m_list; }
    QLabel* SelectionLabel() const { return m_label; }
    int TickedCount() const { return m_tickedCount; }
    int64_t TickedBytes() const { return m_tickedBytes; }
    // The block node of a block's tree entry, or null for the root and the
    // category nodes.
    static PhotoBlock* BlockOf(const QTreeWidgetItem* node);
    // The photos of the block shown in the list, in list order.
    const std::vector<PhotoItem*>& ShownItems() const { return m_shown; }

    // What the list asks for.
    QString EntryText(int i) const;
    // The name, folder, time and origin of entry i.
    QString EntryToolTip(int i) const;
    // "Keep the folders the photos were in": off until the user ticks it.
    QCheckBox* KeepFoldersBox() const { return m_keepFolders; }
    // "RAW + JPEG together": shown when the store holds a RAW photo and the
    // JPEG (or HEIC, TIFF) saved beside it under the same name; while it is
    // ticked, ticking or unticking one photo of such a pair in the list does
    // the same to the others.
    QCheckBox* PairsBox() const { return m_pairsBox; }
    QPixmap EntryPicture(int i);
    bool EntryTicked(int i) const;
    // Flips the tick of entry i of the list (and of its pair's other photos
    // with PairsBox ticked).
    void ToggleEntry(int i);
    // Whether entry i is a photo the drive no longer lists.
    bool EntryDeleted(int i) const;

    // The filter and the sort; setting one builds the tree again, ticks kept.
    // From SortInWorkerFrom() photos on, a sort not made before is made in
    // a worker thread and the tree built again once it is ready (the page
    // stays usable meanwhile; the last view asked for is the one shown).
    const PhotoView& View() const { return m_view; }
    void SetView(const PhotoView& view);
    // Whether the tree waits for a sort the worker makes.
    bool Sorting() const { return m_viewPending; }
    // Whether the worker makes a sort (asked for, or made ahead).
    bool SortWorkerBusy() const { return m_sorter.Running() != PhotoView::FoundOrder; }
    size_t SortInWorkerFrom() const { return m_sortInWorkerFrom; }
    void SetSortInWorkerFrom(size_t photos) { m_sortInWorkerFrom = photos; }
    QComboBox* SortBox() const { return m_sortBox; }
    QPushButton* FilterButton() const { return m_filterButton; }
    // How many photos the view shows, of how many found.
    int ShownPhotoCount() const { return m_viewShown; }
    int FoundPhotoCount() const { return m_viewFound; }
    // Opens the large preview at entry i of the list; returns when it closes.
    void PreviewEntry(int i);

protected:
    bool event(QEvent* event) override;

private:
    // Fills the tree from the store through the view, keeping the ticks.
    void BuildTree();
    // Each category's photos in the store.
    CPhotoSorter::Items StoreItems() const;
    // Shows `view` at once when its sort is made (or quick to make), else
    // once the worker has made it.
    void ShowView(const PhotoView& view);
    // Has the worker make `sort` (false: no thread could be started).
    bool SortInWorker(PhotoView::Sort sort, CPhotoSorter::Items items);
    void OnSorted();
    void OnFilter();
    void ShowBlock(QTreeWidgetItem* node);
    void MakeThumbnail(int i);
    void OnTreeItemChanged(QTreeWidgetItem* node, int column);
    void OnTreeSelectionChanged();
    void ApplyCheckState(QTreeWidgetItem* node, Qt::CheckState state);
    // Checked when every photo under the node is ticked, unchecked when none
    // is, partly checked otherwise.
    static Qt::CheckState CheckStateOf(const QTreeWidgetItem* node);
    void ShowChecks(QTreeWidgetItem* node);     // the node and its ancestors
    void ShowAllChecks(QTreeWidgetItem* node);  // the node and everything under it
    void SetNodeCheck(QTreeWidgetItem* node, Qt::CheckState state);
    // Ticks or unticks a photo, counted in `block` (null: in no block shown).
    static void Tick(PhotoItem* item, bool tick, PhotoBlock* block);
    std::vector<PhotoItem*> BlockItems(const PhotoBlock& block) const;
    void UpdateSelectionText();
    void OnRecoverSelected();

    QLabel* m_label = nullptr;         // 1036
    CCategoryTree* m_tree = nullptr;   // 1025
    CPhotoListView* m_list = nullptr;  // 1026
    CPhotoListModel* m_model = nullptr;
    QCheckBox* m_keepFolders = nullptr;  // 1040
    QCheckBox* m_pairsBox = nullptr;     // 1043
    QComboBox* m_sortBox = nullptr;      // 1041
    QPushButton* m_filterButton = nullptr;  // 1042
    PhotoView m_view;          // the view the tree shows
    PhotoView m_wanted;        // the view last asked for
    bool m_viewPending = false;  // m_wanted waits for the worker's sort
    CPhotoSorter m_sorter;
    size_t m_sortInWorkerFrom = 20000;
    int m_viewShown = 0;
    int m_viewFound = 0;

    std::vector<PhotoItem*> m_shown;
    std::vector<bool> m_thumbnailMade;
    std::vector<QPixmap> m_thumbnails;  // the image list, one slot per shown entry
    QPixmap m_blank;
    std::vector<std::unique_ptr<PhotoBlock>> m_blocks;
    QTreeWidgetItem* m_shownNode = nullptr;
    CPhotoPairs m_pairs;
    bool m_pairsStale = true;  // built again when the page is shown
    std::unordered_map<const PhotoItem*, PhotoBlock*> m_pairBlocks;  // the block of each paired photo shown
    int m_tickedCount = 0;
    int64_t m_tickedBytes = 0;
    bool m_settingChecks = false;  // check boxes the page sets itself
    bool m_recovering = false;     // the recovery thread reads the disk
};
