// The result page on a frame-sized window, and photo lists for the stand-in
// scan, shared by the result page's and the recovery's tests.
#pragma once

#include <QLabel>
#include <QTreeWidget>

#include "apptest.h"
#include "app/dlgscanresult.h"

class NullSink : public IEventSink {
public:
    int Notify(uint32_t, int32_t, void*, uint32_t) override { return 0; }
};

inline std::vector<PhotoItem> Photos(PhotoCategory category, int count, uint32_t size = 1000, const char* prefix = "P")
{
    std::vector<PhotoItem> photos;
    for (int i = 1; i <= count; ++i) {
        PhotoItem item;
        const std::string name = std::string(prefix) + std::to_string(i);
        item.name = std::u16string(name.begin(), name.end());
        item.category = category;
        item.size = size;
        item.runs = {PhotoRun{0, 100 + i, (size + 511) / 512}, PhotoRun{}};
        photos.push_back(std::move(item));
    }
    return photos;
}

inline std::vector<PhotoItem> operator+(std::vector<PhotoItem> a, const std::vector<PhotoItem>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The stand-in scan stores these photos.
inline void Store(FakeMachine& machine, std::vector<PhotoItem> photos)
{
    machine.tasks.SetPhotos(std::move(photos));
    machine.tasks.Finish();
    NullSink sink;
    machine.tasks.RecoverPhotos(nullptr, &sink);
}

struct ResultPage {
    ResultPage() : page(&frame)
    {
        frame.resize(DlgUnits().X(373), DlgUnits().Y(224));
        page.setGeometry(DlgUnits().Rect(6, 30, 360, 167));
        page.InitPage();
        frame.show();
        QCoreApplication::processEvents();
    }
    QTreeWidget* Tree() { return page.Tree(); }
    QString Label() { return page.SelectionLabel()->text(); }
    QTreeWidgetItem* Node(const QString& text)
    {
        const QList<QTreeWidgetItem*> found = Tree()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
        return found.isEmpty() ? nullptr : found.first();
    }
    QString Shown() { return page.ShownItems().empty() ? QString() : page.EntryText(0); }
    int Rows() { return page.List()->model()->rowCount(); }
    Qt::CheckState EntryCheck(int row)
    {
        const QAbstractItemModel* model = page.List()->model();
        return static_cast<Qt::CheckState>(model->data(model->index(row, 0), Qt::CheckStateRole).toInt());
    }
    // A click on the node's check box, as the user makes it.
    void ClickCheckBox(QTreeWidgetItem* node)
    {
        QStyleOptionViewItem option;
        option.initFrom(Tree());
        option.rect = Tree()->visualItemRect(node);
        option.features |= QStyleOptionViewItem::HasCheckIndicator;
        option.checkState = node->checkState(0);
        const QRect box = Tree()->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, Tree());
        QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, box.center());
    }
    void ClickListCheckBox(int row)
    {
        CPhotoListView* list = page.List();
        const QModelIndex index = list->model()->index(row, 0);
        const QRect picture = list->PictureRect(index);
        // The check box sits in the text line below the picture.
        QStyleOptionViewItem option;
        option.initFrom(list);
        option.rect = list->visualRect(index);
        option.features |= QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDecoration |
                           QStyleOptionViewItem::HasDisplay;
        option.decorationPosition = QStyleOptionViewItem::Top;
        option.decorationSize = list->iconSize();
        option.text = page.EntryText(row);
        const QRect box = list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
        QVERIFY(!box.intersects(picture));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, box.center());
    }

    QWidget frame;
    CDlgScanResult page;
};

inline QStringList Children(QTreeWidgetItem* node)
{
    QStringList texts;
    for (int i = 0; i < node->childCount(); ++i) texts << node->child(i)->text(0);
    return texts;
}

