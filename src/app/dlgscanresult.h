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
#include <vector>

#include "app/wizardpage.h"
#include "volphotorev/photoitems.h"

class CDlgScanResult;
class QCheckBox;
class QLabel;
class QTreeWidgetItem;

constexpr int kPhotosPerBlock = 500;

// The photos of one block node: numbers within the category, from 1.
struct PhotoBlock {
    int category = 0;
    int first = 0;
    int last = 0;
    int ticked = 0;  // how many of them are ticked
    int Size() const { return last - first + 1; }
};

// The category tree's texts, in tree order: JPG, PNG, BMP, GIF, Other.
QString CategoryText(int category);

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

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPersistentModelIndex m_pressed;
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
    QPixmap EntryPicture(int i);
    bool EntryTicked(int i) const;
    // Flips the tick of entry i of the list.
    void ToggleEntry(int i);

protected:
    bool event(QEvent* event) override;

private:
    void ShowBlock(QTreeWidgetItem* node);
    void MakeThumbnail(int i);
    void OnTreeItemChanged(QTreeWidgetItem* node, int column);
    void OnTreeSelectionChanged();
    void ApplyCheckState(QTreeWidgetItem* node, Qt::CheckState state);
    void SetNodeCheck(QTreeWidgetItem* node, Qt::CheckState state);
    std::vector<PhotoItem*> BlockItems(const PhotoBlock& block) const;
    void UpdateSelectionText();
    void OnRecoverSelected();

    QLabel* m_label = nullptr;         // 1036
    CCategoryTree* m_tree = nullptr;   // 1025
    CPhotoListView* m_list = nullptr;  // 1026
    CPhotoListModel* m_model = nullptr;
    QCheckBox* m_keepFolders = nullptr;  // 1040

    std::vector<PhotoItem*> m_shown;
    std::vector<bool> m_thumbnailMade;
    std::vector<QPixmap> m_thumbnails;  // the image list, one slot per shown entry
    QPixmap m_blank;
    std::vector<std::unique_ptr<PhotoBlock>> m_blocks;
    QTreeWidgetItem* m_shownNode = nullptr;
    int m_tickedCount = 0;
    int64_t m_tickedBytes = 0;
    bool m_settingChecks = false;  // check boxes the page sets itself
    bool m_recovering = false;     // the recovery thread reads the disk
};
