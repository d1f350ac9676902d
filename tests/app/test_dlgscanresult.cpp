#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <random>

#include "apptest.h"
#include "realdisk.h"
#include "resultpage.h"
#include "app/dlgphotofilter.h"
#include "app/dlgphotopreview.h"
#include "app/dlgscanresult.h"
#include "app/imageload.h"
#include "app/thumbnail.h"

class TestDlgScanResult : public QObject {
    Q_OBJECT
private slots:
    // The tooltip tells the folder, the time and how the photo was found.
    void toolTipShowsFolderTimeAndOrigin()
    {
        FakeMachine machine;
        std::vector<PhotoItem> photos = Photos(Jpg, 3);
        photos[0].folder = u"DCIM/100CANON";
        photos[0].mtime = 1700000000;
        photos[1].origin = DeletedRecord;
        photos[1].folder = u"Caf\u00e9";
        photos[2].origin = RawScan;
        Store(machine, photos);
        ResultPage p;
        QCOMPARE(p.Rows(), 3);
        const QAbstractItemModel* model = p.page.List()->model();
        auto tip = [&](int row) { return model->data(model->index(row, 0), Qt::ToolTipRole).toString(); };
        QVERIFY2(tip(0).startsWith("P1\nFolder: /DCIM/100CANON\nModified: "), qPrintable(tip(0)));
        const QString preview("\nDouble-click or press Enter for a large preview");
        QCOMPARE(tip(1), QString("P2\nFolder: /Caf\u00e9\nDeleted; found with its name") + preview);
        QCOMPARE(tip(2), QString("P3\nDeleted; found without its name") + preview);
        QCOMPARE(model->data(model->index(0, 0), Qt::DisplayRole).toString(), QString("P1"));
    }

    void blocksOfFiveHundred()
    {
        FakeMachine machine;
        Store(machine, Photos(Jpg, 1234) + Photos(Gif, 7) + Photos(Png, 500) + Photos(Other, 1000));
        ResultPage p;
        QCOMPARE(p.Tree()->topLevelItemCount(), 1);
        QTreeWidgetItem* root = p.Tree()->topLevelItem(0);
        QCOMPARE(root->text(0), QString("Photos"));
        QCOMPARE(Children(root), QStringList({"JPG", "PNG", "GIF", "Other"}));
        QCOMPARE(Children(root->child(0)), QStringList({"JPG(001-500)", "JPG(501-1000)", "JPG(1001-1234)"}));
        QCOMPARE(Children(root->child(1)), QStringList({"PNG(001-500)"}));
        QCOMPARE(Children(root->child(2)), QStringList({"GIF(001-007)"}));
        QCOMPARE(Children(root->child(3)), QStringList({"Other(001-500)", "Other(501-1000)"}));
        QVERIFY(root->isExpanded() && root->child(0)->isExpanded());
        for (QTreeWidgetItemIterator it(p.Tree()); *it; ++it) QCOMPARE((*it)->checkState(0), Qt::Unchecked);

        const PhotoBlock* last = CDlgScanResult::BlockOf(p.Node("JPG(1001-1234)"));
        QVERIFY(last);
        QCOMPARE(last->category, int(Jpg));
        QCOMPARE(last->first, 1001);
        QCOMPARE(last->last, 1234);
        QCOMPARE(last->ticked, 0);
        QVERIFY(!CDlgScanResult::BlockOf(root));
        QVERIFY(!CDlgScanResult::BlockOf(root->child(0)));

        // The first block of the first category is shown.
        QCOMPARE(p.Tree()->selectedItems(), QList<QTreeWidgetItem*>({p.Node("JPG(001-500)")}));
        QCOMPARE(p.Rows(), 500);
        QCOMPARE(p.Shown(), QString("P1"));
        QCOMPARE(p.Label(), QString("0 file selected in 0.00 byte"));
        QVERIFY(!p.page.PairsBox()->isVisible());  // no RAW + JPEG pairs
    }

    void noPhotosLeavesOnlyTheRoot()
    {
        FakeMachine machine;
        Store(machine, {});
        ResultPage p;
        QCOMPARE(p.Tree()->topLevelItemCount(), 1);
        QCOMPARE(p.Tree()->topLevelItem(0)->childCount(), 0);
        QVERIFY(p.Tree()->selectedItems().isEmpty());
        QCOMPARE(p.Rows(), 0);
        QCOMPARE(p.Label(), QString("0 file selected in 0.00 byte"));
    }

    void rootAndCategoriesCannotBeSelected()
    {
        FakeMachine machine;
        Store(machine, Photos(Jpg, 700) + Photos(Bmp, 3, 1000, "B"));
        ResultPage p;
        QTreeWidgetItem* first = p.Node("JPG(001-500)");
        for (QTreeWidgetItem* node : {p.Node("Photos"), p.Node("JPG"), p.Node("BMP")}) {
            const QRect text = p.Tree()->visualItemRect(node);
            QTest::mouseClick(p.Tree()->viewport(), Qt::LeftButton, {}, QPoint(text.right() - 4, text.center().y()));
            p.Tree()->setCurrentItem(node);
            QCOMPARE(p.Tree()->selectedItems(), QList<QTreeWidgetItem*>({first}));
            QCOMPARE(p.Rows(), 500);
            QCOMPARE(p.Shown(), QString("P1"));
        }
        // A block node can be chosen, and its photos are listed.
        p.Tree()->setCurrentItem(p.Node("JPG(501-700)"));
        QCOMPARE(p.Rows(), 200);
        QCOMPARE(p.Shown(), QString("P501"));
        p.Tree()->setCurrentItem(p.Node("BMP(001-003)"));
        QCOMPARE(p.Rows(), 3);
        QCOMPARE(p.Shown(), QString("B1"));
    }

    // Each box shows what lies under it: checked when every photo is
    // ticked, unchecked when none is, partly checked otherwise.
    void blockCheckFollowsTheTicks()
    {
        FakeMachine machine;
        Store(machine, Photos(Jpg, 503, 1000));
        ResultPage p;
        p.Tree()->setCurrentItem(p.Node("JPG(501-503)"));
        QTreeWidgetItem* block = p.Node("JPG(501-503)");
        p.page.ToggleEntry(0);
        p.page.ToggleEntry(1);
        QCOMPARE(block->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(p.Node("JPG")->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(p.Node("JPG(001-500)")->checkState(0), Qt::Unchecked);
        QCOMPARE(p.Label(), QString("2 files selected in 1.95 KB"));
        p.page.ToggleEntry(2);
        QCOMPARE(block->checkState(0), Qt::Checked);
        QCOMPARE(p.Node("JPG")->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(CDlgScanResult::BlockOf(block)->ticked, 3);
        QCOMPARE(p.EntryCheck(2), Qt::Checked);

        p.page.ToggleEntry(1);
        QCOMPARE(block->checkState(0), Qt::PartiallyChecked);
        p.page.ToggleEntry(0);
        QCOMPARE(block->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(p.Label(), QString("1 file selected in 1000.00 byte"));
        p.page.ToggleEntry(2);
        QCOMPARE(block->checkState(0), Qt::Unchecked);
        QCOMPARE(CDlgScanResult::BlockOf(block)->ticked, 0);
        QCOMPARE(p.Label(), QString("0 file selected in 0.00 byte"));
        QCOMPARE(p.Node("JPG")->checkState(0), Qt::Unchecked);
        QCOMPARE(p.Node("Photos")->checkState(0), Qt::Unchecked);
        QCOMPARE(machine.prompts.asked.size(), size_t(0));
    }

    // Tick everything, then untick one kind and one photo: the boxes above
    // show it, and a click on a partly checked box ticks all under it.
    void partlyCheckedParents()
    {
        FakeMachine machine;
        Store(machine, Photos(Jpg, 600, 1000) + Photos(Png, 2, 100, "S"));
        ResultPage p;
        p.ClickCheckBox(p.Node("Photos"));
        QTRY_COMPARE(p.page.TickedCount(), 602);
        for (QTreeWidgetItemIterator it(p.Tree()); *it; ++it) QCOMPARE((*it)->checkState(0), Qt::Checked);

        p.ClickCheckBox(p.Node("PNG(001-002)"));
        QTRY_COMPARE(p.page.TickedCount(), 600);
        QCOMPARE(p.Node("PNG(001-002)")->checkState(0), Qt::Unchecked);
        QCOMPARE(p.Node("PNG")->checkState(0), Qt::Unchecked);
        QCOMPARE(p.Node("Photos")->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(p.Node("JPG")->checkState(0), Qt::Checked);

        p.page.ToggleEntry(3);  // one photo of JPG(001-500)
        QCOMPARE(p.Node("JPG(001-500)")->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(p.Node("JPG(501-600)")->checkState(0), Qt::Checked);
        QCOMPARE(p.Node("JPG")->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(p.Label(), QString("599 files selected in 584.96 KB"));

        p.ClickCheckBox(p.Node("JPG"));
        QTRY_COMPARE(p.page.TickedCount(), 600);
        QCOMPARE(p.Node("JPG(001-500)")->checkState(0), Qt::Checked);
        QCOMPARE(p.Node("JPG")->checkState(0), Qt::Checked);
        QCOMPARE(p.EntryCheck(3), Qt::Checked);
        QCOMPARE(p.Node("Photos")->checkState(0), Qt::PartiallyChecked);
        p.ClickCheckBox(p.Node("Photos"));
        QTRY_COMPARE(p.page.TickedCount(), 602);
        QCOMPARE(p.Node("Photos")->checkState(0), Qt::Checked);
    }

    void listTicksByPictureCheckBoxAndSpaceBar()
    {
        FakeMachine machine;
        Store(machine, Photos(Jpg, 4, 1536));
        ResultPage p;
        CPhotoListView* list = p.page.List();
        QTRY_VERIFY(list->visualRect(list->model()->index(0, 0)).isValid());

        // A click on the picture.
        const QRect picture = list->PictureRect(list->model()->index(0, 0));
        QVERIFY(!picture.isEmpty());
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, picture.center());
        QCOMPARE(p.EntryCheck(0), Qt::Checked);
        QCOMPARE(p.Label(), QString("1 file selected in 1.50 KB"));
        // A click beside the picture (on the name) changes nothing.
        const QRect cell = list->visualRect(list->model()->index(0, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(cell.right() - 2, cell.bottom() - 2));
        QCOMPARE(p.EntryCheck(0), Qt::Checked);

        // The check box of the second entry.
        p.ClickListCheckBox(1);
        QCOMPARE(p.EntryCheck(1), Qt::Checked);
        QCOMPARE(p.Label(), QString("2 files selected in 3.00 KB"));

        // The space bar on the current entry.
        list->setFocus();
        list->setCurrentIndex(list->model()->index(3, 0));
        QTest::keyClick(list, Qt::Key_Space);
        QCOMPARE(p.EntryCheck(3), Qt::Checked);
        QTest::keyClick(list, Qt::Key_Space);
        QCOMPARE(p.EntryCheck(3), Qt::Unchecked);
        QCOMPARE(p.page.TickedCount(), 2);
        QCOMPARE(p.page.TickedBytes(), int64_t(3072));
    }

    void checkingACategoryTicksAllItsBlocks()
    {
        FakeMachine machine;
        Store(machine, Photos(Jpg, 1234, 2048) + Photos(Png, 2, 100, "S"));
        ResultPage p;
        QTreeWidgetItem* jpg = p.Node("JPG");
        p.ClickCheckBox(jpg);
        QTRY_COMPARE(p.page.TickedCount(), 1234);
        QCOMPARE(p.Label(), QString("1234 files selected in 2.41 MB"));
        for (const char* name : {"JPG", "JPG(001-500)", "JPG(501-1000)", "JPG(1001-1234)"})
            QCOMPARE(p.Node(name)->checkState(0), Qt::Checked);
        QCOMPARE(p.Node("PNG(001-002)")->checkState(0), Qt::Unchecked);
        QCOMPARE(p.Node("Photos")->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(CDlgScanResult::BlockOf(p.Node("JPG(1001-1234)"))->ticked, 234);
        QCOMPARE(p.EntryCheck(0), Qt::Checked);  // the list shows the ticks at once
        QCOMPARE(p.EntryCheck(499), Qt::Checked);

        // The space bar on the category unchecks everything again.
        p.Tree()->setFocus();
        p.Tree()->setCurrentItem(jpg);
        QTest::keyClick(p.Tree(), Qt::Key_Space);
        QTRY_COMPARE(p.page.TickedCount(), 0);
        QCOMPARE(p.Label(), QString("0 file selected in 0.00 byte"));
        QCOMPARE(p.Node("JPG(501-1000)")->checkState(0), Qt::Unchecked);
        QCOMPARE(p.EntryCheck(0), Qt::Unchecked);

        // The root ticks everything.
        p.ClickCheckBox(p.Node("Photos"));
        QTRY_COMPARE(p.page.TickedCount(), 1236);
        QCOMPARE(p.page.TickedBytes(), int64_t(1234) * 2048 + 200);
        QCOMPARE(p.Node("PNG(001-002)")->checkState(0), Qt::Checked);
    }

    void switchingBlocksKeepsTicksAndRemakesThumbnails()
    {
        FakeMachine machine;
        Store(machine, Photos(Jpg, 520, 600));
        ResultPage p;
        p.page.ToggleEntry(0);
        p.page.ToggleEntry(7);
        QTRY_VERIFY(machine.tasks.reads.load() > 0);
        // Only entries the list draws get a thumbnail.
        const int drawn = machine.tasks.reads.load();
        QVERIFY2(drawn < 100, qPrintable(QString::number(drawn)));

        p.Tree()->setCurrentItem(p.Node("JPG(501-520)"));
        p.page.ToggleEntry(19);
        p.Tree()->setCurrentItem(p.Node("JPG(001-500)"));
        const int before = machine.tasks.reads.load();
        QCOMPARE(p.EntryCheck(0), Qt::Checked);
        QCOMPARE(p.EntryCheck(7), Qt::Checked);
        QCOMPARE(p.EntryCheck(1), Qt::Unchecked);
        p.page.EntryPicture(0);
        QCOMPARE(machine.tasks.reads.load(), before + 1);  // made again for the new view
        p.page.EntryPicture(0);
        QCOMPARE(machine.tasks.reads.load(), before + 1);  // once per view
        QCOMPARE(p.page.TickedCount(), 3);
        QCOMPARE(p.Label(), QString("3 files selected in 1.76 KB"));
    }

    // Sort a block by name (as people read numbers), size or date, and
    // narrow the photos down by type, size and state; ticks stay with the
    // photos through every view.
    void sortAndFilter()
    {
        FakeMachine machine;
        auto photo = [](const char16_t* name, uint32_t size, PhotoOrigin origin, int64_t time) {
            std::vector<PhotoItem> one = Photos(Jpg, 1, size);
            one[0].name = name;
            one[0].origin = origin;
            one[0].mtime = time;
            return one;
        };
        Store(machine, photo(u"IMG_10.JPG", 5000, FileSystem, 300) + photo(u"IMG_2.JPG", 1000, RawScan, 0) +
                           photo(u"img_1.jpg", 20000, DeletedRecord, 100) +
                           photo(u"IMG_3.JPG", 3000, FileSystem, 200) + Photos(Png, 2, 800, "S"));
        ResultPage p;
        auto names = [&] {
            QStringList shown;
            for (int i = 0; i < p.Rows(); ++i) shown << p.page.EntryText(i);
            return shown;
        };
        QCOMPARE(names(), QStringList({"IMG_10.JPG", "IMG_2.JPG", "img_1.jpg", "IMG_3.JPG"}));
        // The state of each photo, as the list marks it.
        QCOMPARE(QList<bool>({p.page.EntryDeleted(0), p.page.EntryDeleted(1), p.page.EntryDeleted(2),
                              p.page.EntryDeleted(3)}),
                 QList<bool>({false, true, true, false}));
        p.page.ToggleEntry(1);  // IMG_2.JPG

        PhotoView view;
        view.sort = PhotoView::ByName;
        p.page.SetView(view);
        QCOMPARE(p.page.SortBox()->currentText(), QString("Sort by name"));
        QCOMPARE(names(), QStringList({"img_1.jpg", "IMG_2.JPG", "IMG_3.JPG", "IMG_10.JPG"}));
        QCOMPARE(p.EntryCheck(1), Qt::Checked);
        view.sort = PhotoView::BySize;
        p.page.SetView(view);
        QCOMPARE(names(), QStringList({"img_1.jpg", "IMG_10.JPG", "IMG_3.JPG", "IMG_2.JPG"}));
        view.sort = PhotoView::ByDate;  // newest first, unknown last
        p.page.SetView(view);
        QCOMPARE(names(), QStringList({"IMG_10.JPG", "IMG_3.JPG", "img_1.jpg", "IMG_2.JPG"}));

        // Deleted photos only: the PNGs (still on the drive) go too.
        view.deletedOnly = true;
        p.page.SetView(view);
        QCOMPARE(Children(p.Node("Photos")), QStringList({"JPG"}));
        QCOMPARE(Children(p.Node("JPG")), QStringList({"JPG(001-002)"}));
        QCOMPARE(names(), QStringList({"img_1.jpg", "IMG_2.JPG"}));
        QCOMPARE(p.page.FilterButton()->text(), QString("Filter: 2 of 6 shown"));
        QCOMPARE(p.Node("JPG(001-002)")->checkState(0), Qt::PartiallyChecked);
        // Ticking everything shown ticks the two, nothing hidden.
        p.ClickCheckBox(p.Node("Photos"));
        QTRY_COMPARE(p.page.TickedCount(), 2);
        QCOMPARE(p.Label(), QString("2 files selected in 20.51 KB"));

        // Larger than 4 KB, of any state.
        view.deletedOnly = false;
        view.minBytes = 4000;
        p.page.SetView(view);
        QCOMPARE(names(), QStringList({"IMG_10.JPG", "img_1.jpg"}));
        QCOMPARE(p.EntryCheck(1), Qt::Checked);
        // A ticked photo the filter hides still counts: it is recovered too.
        QCOMPARE(p.page.TickedCount(), 2);
        QVERIFY(p.page.SelectionLabel()->toolTip().startsWith("1 of them hidden"));

        // Only PNG.
        view = PhotoView();
        view.categories = 1u << Png;
        p.page.SetView(view);
        QCOMPARE(Children(p.Node("Photos")), QStringList({"PNG"}));
        QCOMPARE(p.page.ShownPhotoCount(), 2);
        QCOMPARE(p.page.FoundPhotoCount(), 6);

        // Everything again, as found: the JPG block shows its two ticks.
        p.page.SetView(PhotoView());
        QCOMPARE(p.page.FilterButton()->text(), QString("Filter..."));
        QCOMPARE(names(), QStringList({"IMG_10.JPG", "IMG_2.JPG", "img_1.jpg", "IMG_3.JPG"}));
        QCOMPARE(p.Node("JPG(001-004)")->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(p.page.TickedCount(), 2);
    }

    // A RAW and the JPEG beside it under its name are ticked and unticked
    // together from the list while "RAW + JPEG together" is ticked, also
    // when the JPEG is in another block or hidden by the filter; photos of
    // other folders, other names or without names stay as they are.
    void rawAndJpegPairsTickTogether()
    {
        FakeMachine machine;
        auto photo = [](PhotoCategory category, const char16_t* name, const char16_t* folder, PhotoOrigin origin) {
            std::vector<PhotoItem> one = Photos(category, 1, 1024);
            one[0].name = name;
            one[0].folder = folder;
            one[0].origin = origin;
            return one;
        };
        Store(machine, Photos(Jpg, 500, 1024) + photo(Jpg, u"dsc_0001.jpg", u"DCIM/100NIKON", DeletedRecord) +
                           photo(Jpg, u"DSC_0002.JPG", u"DCIM/100NIKON", FileSystem) +
                           photo(Raw, u"DSC_0001.NEF", u"DCIM/100NIKON", FileSystem) +
                           photo(Raw, u"DSC_0002.NEF", u"DCIM/101NIKON", FileSystem) +
                           photo(Raw, u"DSC_0001.NEF", u"", RawScan));
        ResultPage p;
        QVERIFY(p.page.PairsBox()->isVisible());
        QVERIFY(p.page.PairsBox()->isChecked());
        p.Tree()->setCurrentItem(p.Node("RAW(001-003)"));
        QCOMPARE(p.Shown(), QString("DSC_0001.NEF"));

        // The RAW's JPEG is number 501 of JPG: the second block.
        p.ClickListCheckBox(0);
        QCOMPARE(p.page.TickedCount(), 2);
        QCOMPARE(p.Label(), QString("2 files selected in 2.00 KB"));
        QCOMPARE(p.Node("JPG(501-502)")->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(CDlgScanResult::BlockOf(p.Node("JPG(501-502)"))->ticked, 1);
        QCOMPARE(p.Node("JPG(001-500)")->checkState(0), Qt::Unchecked);
        p.Tree()->setCurrentItem(p.Node("JPG(501-502)"));
        QCOMPARE(p.EntryCheck(0), Qt::Checked);   // dsc_0001.jpg
        QCOMPARE(p.EntryCheck(1), Qt::Unchecked);  // DSC_0002.JPG: its RAW is in another folder
        p.page.ToggleEntry(1);
        QCOMPARE(p.page.TickedCount(), 3);
        // Unticking the JPEG unticks its RAW.
        p.page.ToggleEntry(0);
        QCOMPARE(p.page.TickedCount(), 1);
        QCOMPARE(p.Node("RAW(001-003)")->checkState(0), Qt::Unchecked);

        // With the JPG type hidden, the JPEG still follows (and counts).
        PhotoView view;
        view.categories = 1u << Raw;
        p.page.SetView(view);
        p.page.ToggleEntry(0);
        QCOMPARE(p.page.TickedCount(), 3);
        QVERIFY(p.page.SelectionLabel()->toolTip().startsWith("2 of them hidden"));
        p.page.ToggleEntry(2);  // the nameless RAW from the raw scan has no pair
        QCOMPARE(p.page.TickedCount(), 4);
        p.page.SetView(PhotoView());
        p.Tree()->setCurrentItem(p.Node("RAW(001-003)"));
        QCOMPARE(p.Node("JPG(501-502)")->checkState(0), Qt::Checked);

        // Box unticked: each photo on its own.
        p.page.PairsBox()->setChecked(false);
        p.page.ToggleEntry(0);
        QCOMPARE(p.page.TickedCount(), 3);
        QCOMPARE(p.Node("JPG(501-502)")->checkState(0), Qt::Checked);
    }

    void namesAsPeopleReadThem()
    {
        QVERIFY(CompareNames(u"IMG_2.JPG", u"IMG_10.JPG") < 0);
        QVERIFY(CompareNames(u"img_2.jpg", u"IMG_10.JPG") < 0);
        QVERIFY(CompareNames(u"IMG_0010.JPG", u"IMG_9.JPG") > 0);
        QVERIFY(CompareNames(u"a", u"ab") < 0);
        QVERIFY(CompareNames(u"DSC1", u"dsc1") != 0);  // a fixed order all the same
        QCOMPARE(CompareNames(u"x", u"x"), 0);
        QVERIFY(CompareNames(u"IMG_99999999999999999999.JPG", u"IMG_100000000000000000000.JPG") < 0);

        // The sort keys give CompareNames's order (names that differ only
        // in case or zeros have equal keys), over random names of digits,
        // zeros, letters of both cases and characters on both sides of the
        // digits.
        std::mt19937 rng(12);
        const std::u16string alphabet = u"0001239aAbB_-. \u00e9\u00c9\u6e0b";
        auto randomName = [&] {
            std::u16string name;
            for (int n = static_cast<int>(rng() % 9); n > 0; --n) name.push_back(alphabet[rng() % alphabet.size()]);
            return name;
        };
        for (int k = 0; k < 20000; ++k) {
            const std::u16string a = randomName(), b = randomName();
            const int keys = NameSortKey(a).compare(NameSortKey(b));
            const int names = CompareNames(a, b);
            if (keys == 0) {
                QVERIFY(names != 0 || a == b);
                QCOMPARE(names < 0, a < b);
            } else {
                QCOMPARE(keys < 0, names < 0);
            }
        }
    }

    // Every sort, with and without a filter, over random photos (names of
    // digits, zeros, letters of both cases; few sizes and dates, so many
    // ties; some unknown dates), gives what a plain stable sort of the shown
    // photos with the comparison of names as people read them (largest
    // first, newest first and unknown last) gives.
    void everySortMatchesItsComparison()
    {
        std::mt19937 rng(7);
        const std::u16string alphabet = u"00012389aAbB_.\u00e9";
        std::vector<PhotoItem> photos(3001);
        std::vector<PhotoItem*> items;
        for (PhotoItem& photo : photos) {
            for (int n = 1 + static_cast<int>(rng() % 8); n > 0; --n)
                photo.name.push_back(alphabet[rng() % alphabet.size()]);
            photo.size = 1000 * (rng() % 7);
            photo.mtime = rng() % 4 == 0 ? 0 : static_cast<int64_t>(rng() % 9) - 3;
            photo.origin = static_cast<PhotoOrigin>(rng() % 3);
            items.push_back(rng() % 50 == 0 ? nullptr : &photo);
        }
        using Less = std::function<bool(const PhotoItem*, const PhotoItem*)>;
        const std::pair<PhotoView::Sort, Less> sorts[] = {
            {PhotoView::FoundOrder, [](const PhotoItem*, const PhotoItem*) { return false; }},
            {PhotoView::ByName,
             [](const PhotoItem* a, const PhotoItem* b) { return CompareNames(a->name, b->name) < 0; }},
            {PhotoView::BySize, [](const PhotoItem* a, const PhotoItem* b) { return a->size > b->size; }},
            {PhotoView::ByDate,
             [](const PhotoItem* a, const PhotoItem* b) {
                 if ((a->mtime == 0) != (b->mtime == 0)) return b->mtime == 0;
                 return a->mtime > b->mtime;
             }},
        };
        for (const auto& [sort, less] : sorts) {
            for (const bool filtered : {false, true}) {
                PhotoView view;
                view.sort = sort;
                view.deletedOnly = filtered;
                view.minBytes = filtered ? 2000 : 0;
                std::vector<int32_t> expected;
                for (size_t i = 0; i < items.size(); ++i)
                    if (items[i] && view.Shows(*items[i])) expected.push_back(static_cast<int32_t>(i));
                std::stable_sort(expected.begin(), expected.end(),
                                 [&](int32_t a, int32_t b) { return less(items[a], items[b]); });
                QCOMPARE(view.Arrange(items), expected);
                QCOMPARE(view.Arrange(items, PhotoOrder(items, sort)), expected);
            }
        }
    }

    // From SortInWorkerFrom() photos on, a sort is made in a worker thread:
    // meanwhile the tree stays usable and ticks made on it stay; a sort
    // asked for before the last one was ready gives way to it; an order made
    // before is shown at once.
    void theSortAskedForLastIsTheOneShown()
    {
        FakeMachine machine;
        std::mt19937 rng(3);
        std::vector<PhotoItem> photos = Photos(Jpg, 1200);
        for (PhotoItem& photo : photos) {
            const std::string name = "IMG_" + std::to_string(rng() % 5000) + ".JPG";
            photo.name = std::u16string(name.begin(), name.end());
            photo.size = 1000 + 100 * (rng() % 20);
        }
        Store(machine, photos);
        ResultPage p;
        p.page.SetSortInWorkerFrom(1);
        p.page.InitPage();  // shown again
        QVERIFY(p.page.SortWorkerBusy());
        QTRY_VERIFY(!p.page.SortWorkerBusy());  // the order by name, made ahead
        auto shown = [&] {
            QStringList names;
            for (int i = 0; i < p.Rows(); ++i) names << p.page.EntryText(i);
            return names;
        };
        auto expected = [&](PhotoView::Sort sort) {
            std::vector<const PhotoItem*> sorted;
            for (const PhotoItem& photo : photos) sorted.push_back(&photo);
            std::stable_sort(sorted.begin(), sorted.end(), [&](const PhotoItem* a, const PhotoItem* b) {
                return sort == PhotoView::ByName ? CompareNames(a->name, b->name) < 0 : a->size > b->size;
            });
            QStringList names;
            for (int i = 0; i < kPhotosPerBlock; ++i)
                names << QString::fromStdU16String(sorted[static_cast<size_t>(i)]->name);
            return names;
        };

        PhotoView view;
        view.sort = PhotoView::BySize;
        p.page.SetView(view);
        QVERIFY(p.page.Sorting());
        QCOMPARE(p.page.View().sort, PhotoView::FoundOrder);
        p.page.ToggleEntry(0);  // on the tree as found
        view.sort = PhotoView::ByDate;
        p.page.SetView(view);
        view.sort = PhotoView::BySize;  // asked again before the date is made
        p.page.SetView(view);
        QVERIFY(p.page.Sorting());
        QTRY_VERIFY(!p.page.Sorting());
        QCOMPARE(p.page.View().sort, PhotoView::BySize);
        QCOMPARE(p.page.SortBox()->currentText(), QString("Sort by size"));
        QCOMPARE(shown(), expected(PhotoView::BySize));
        QCOMPARE(p.page.TickedCount(), 1);
        QCOMPARE(p.Node("JPG")->checkState(0), Qt::PartiallyChecked);

        // By name: made ahead as the page was shown.
        view.sort = PhotoView::ByName;
        p.page.SetView(view);
        QVERIFY(!p.page.Sorting());
        QCOMPARE(shown(), expected(PhotoView::ByName));
        // The date's worker was stopped for the size, which is kept.
        view.sort = PhotoView::ByDate;
        p.page.SetView(view);
        QVERIFY(p.page.Sorting());
        view.sort = PhotoView::BySize;
        p.page.SetView(view);
        QVERIFY(!p.page.Sorting());
        QCOMPARE(shown(), expected(PhotoView::BySize));
        // The date, made after all, changes nothing shown.
        QTRY_VERIFY(!p.page.SortWorkerBusy());
        QCOMPARE(p.page.View().sort, PhotoView::BySize);
        QCOMPARE(shown(), expected(PhotoView::BySize));

        // A page left while its worker sorts stops it, and the worker's
        // word that it is done finds no page.
        {
            ResultPage q;
            q.page.SetSortInWorkerFrom(1);
            q.page.SetView(view);
            QVERIFY(q.page.Sorting());
        }
        QCoreApplication::processEvents();
    }

    // The filter dialog offers the types found and gives the view back.
    void filterDialog()
    {
        PhotoView view;
        view.sort = PhotoView::BySize;
        CDlgPhotoFilter dialog(view, (1u << Jpg) | (1u << Gif), nullptr);
        QVERIFY(!dialog.TypeBox(Jpg)->isHidden());
        QVERIFY(dialog.TypeBox(Png)->isHidden());
        QVERIFY(dialog.TypeBox(Jpg)->isChecked());
        QVERIFY(!dialog.KilobytesBox()->isEnabled());
        dialog.TypeBox(Gif)->setChecked(false);
        dialog.LargerBox()->setChecked(true);
        QVERIFY(dialog.KilobytesBox()->isEnabled());
        dialog.KilobytesBox()->setValue(250);
        dialog.DeletedBox()->setChecked(true);
        PhotoView result = dialog.Result();
        QCOMPARE(result.sort, PhotoView::BySize);
        QVERIFY(result.ShowsCategory(Jpg));
        QVERIFY(!result.ShowsCategory(Gif));
        QVERIFY(result.ShowsCategory(Png));  // not offered: not hidden
        QCOMPARE(result.minBytes, uint64_t(250 * 1024));
        QVERIFY(result.deletedOnly);
        QVERIFY(result.Filters());
        dialog.ShowAllButton()->click();
        QVERIFY(!dialog.Result().Filters());
    }

    // Deleted photos carry a red "Deleted" mark on their picture; photos
    // still on the drive none.
    void deletedMarkOnThePicture()
    {
        FakeMachine machine;
        std::vector<PhotoItem> photos = Photos(Jpg, 2, 1000);
        photos[1].origin = RawScan;
        Store(machine, photos);
        ResultPage p;
        CPhotoListView* list = p.page.List();
        QTRY_VERIFY(list->visualRect(list->model()->index(1, 0)).isValid());
        const QImage shot = list->viewport()->grab().toImage();
        auto reddish = [&](int row) {
            const QRect picture = list->PictureRect(list->model()->index(row, 0));
            int count = 0;
            for (int y = picture.top(); y <= picture.bottom(); ++y)
                for (int x = picture.left(); x <= picture.right(); ++x) {
                    const QColor c = shot.pixelColor(QPoint(x, y) * shot.devicePixelRatio());
                    if (c.red() > 150 && c.green() < 90 && c.blue() < 90) ++count;
                }
            return count;
        };
        QCOMPARE(reddish(0), 0);
        QVERIFY2(reddish(1) > 30, qPrintable(QString::number(reddish(1))));
        QVERIFY(list->model()->index(1, 0).data(Qt::ToolTipRole).toString().contains("Deleted"));
        QVERIFY(list->model()->index(0, 0).data(Qt::ToolTipRole).toString().contains("Still on the drive"));
    }

    // A double click on a thumbnail (or Enter) opens the photo large, read
    // from the card; the arrow keys go through the block; nothing is
    // recovered and no tick changes.
    void previewOfARealCard()
    {
        REQUIRE_CARD();
        RealMachine machine;
        IPartition* partition = machine.Open(Card().image);
        QVERIFY(partition);
        g_pSelectedPartition = partition;
        NullSink sink;
        QCOMPARE(Services().tasks->RecoverPhotos(partition, &sink), 0);
        ResultPage p;
        CPhotoListView* list = p.page.List();
        QTRY_VERIFY(list->visualRect(list->model()->index(0, 0)).isValid());
        int first = -1;
        for (int i = 0; i < p.Rows() && first < 0; ++i)
            if (Card().originals.count(NameOf(p.page.ShownItems()[static_cast<size_t>(i)])) &&
                NameOf(p.page.ShownItems()[static_cast<size_t>(i)]) != Card().brokenJpeg)
                first = i;
        QVERIFY(first >= 0 && first + 1 < p.Rows());
        const std::string name = NameOf(p.page.ShownItems()[static_cast<size_t>(first)]);

        QStringList captions;
        int shown = -1;
        double difference = 255;
        QTimer::singleShot(0, [&] {
            auto* preview = qobject_cast<CDlgPhotoPreview*>(QApplication::activeModalWidget());
            if (!preview) return;
            captions << preview->Caption();
            const QImage original(QString::fromStdString(Card().originals.at(name)));
            const QImage picture = preview->Picture();
            if (!picture.isNull())
                difference = std::abs(double(picture.width()) / picture.height() -
                                      double(original.width()) / original.height());
            QTest::keyClick(preview, Qt::Key_Right);
            captions << preview->Caption();
            QTest::keyClick(preview, Qt::Key_Left);
            QTest::keyClick(preview, Qt::Key_End);
            shown = preview->Index();
            QTest::keyClick(preview, Qt::Key_Escape);
        });
        // A double click as the window system delivers it: press, release,
        // press and double click, release, within the double-click time.
        const QPoint at = list->PictureRect(list->model()->index(first, 0)).center();
        ulong time = 5000;
        auto send = [&](QEvent::Type type, Qt::MouseButtons buttons, ulong after) {
            QMouseEvent event(type, at, list->viewport()->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier,
                              QPointingDevice::primaryPointingDevice());
            time += after;
            event.setTimestamp(time);
            QApplication::sendEvent(list->viewport(), &event);
        };
        send(QEvent::MouseButtonPress, Qt::LeftButton, 0);
        send(QEvent::MouseButtonRelease, Qt::NoButton, 40);
        QCOMPARE(p.page.TickedCount(), 1);  // a click on a picture ticks it
        send(QEvent::MouseButtonPress, Qt::LeftButton, 60);
        send(QEvent::MouseButtonDblClick, Qt::LeftButton, 0);
        send(QEvent::MouseButtonRelease, Qt::NoButton, 40);
        QCOMPARE(captions.size(), 2);
        QVERIFY2(captions[0].startsWith(QString::fromStdString(name) + "  |  "), qPrintable(captions[0]));
        QVERIFY2(captions[0].contains("still on the drive"), qPrintable(captions[0]));
        QVERIFY2(captions[0].endsWith(QString("%1 of %2").arg(first + 1).arg(p.Rows())), qPrintable(captions[0]));
        QVERIFY2(captions[1].endsWith(QString("%1 of %2").arg(first + 2).arg(p.Rows())), qPrintable(captions[1]));
        QVERIFY2(difference < 0.02, qPrintable(QString::number(difference)));
        QCOMPARE(shown, p.Rows() - 1);
        QCOMPARE(p.page.TickedCount(), 0);  // the double click ticked nothing
        QCOMPARE(list->currentIndex().row(), p.Rows() - 1);  // back where the preview ended

        // Enter on the current entry.
        bool opened = false;
        QTimer::singleShot(0, [&] {
            if (auto* preview = qobject_cast<CDlgPhotoPreview*>(QApplication::activeModalWidget())) {
                opened = preview->Index() == p.Rows() - 1;
                preview->reject();
            }
        });
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
        QVERIFY(opened);
    }

    // Thumbnails of the photos of a real card: pictures that decode show
    // themselves with their width recorded, bytes that do not show the
    // no-preview picture with their type and get previewWidth 0.
    void thumbnailsOfARealCard()
    {
        REQUIRE_CARD();
        RealMachine machine;
        IPartition* partition = machine.Open(Card().image);
        QVERIFY(partition);
        g_pSelectedPartition = partition;
        NullSink sink;
        QCOMPARE(Services().tasks->RecoverPhotos(partition, &sink), 0);
        ResultPage p;
        QCOMPARE(p.Node("JPG")->childCount(), 1);

        int broken = 0;
        int checked = 0;
        for (int i = 0; i < p.Rows(); ++i) {
            PhotoItem* item = p.page.ShownItems()[static_cast<size_t>(i)];
            const QImage thumb = p.page.EntryPicture(i).toImage();
            QCOMPARE(thumb.size(), QSize(120, 90));
            const std::string name = NameOf(item);
            if (name == Card().brokenJpeg) {
                ++broken;
                QCOMPARE(item->previewWidth, 0);
                const std::unique_ptr<QImage> placeholder = LoadPngResource(150);
                QVERIFY(placeholder);
                // The no-preview picture, with the photo's type written on it.
                const QImage icon = TypeIcon(*placeholder, QStringLiteral("JPG"));
                QCOMPARE(thumb.convertToFormat(QImage::Format_RGB32),
                         FitIntoThumbnail(icon, icon.size()).convertToFormat(QImage::Format_RGB32));
                QVERIFY(thumb.convertToFormat(QImage::Format_RGB32) !=
                        FitIntoThumbnail(*placeholder, placeholder->size()).convertToFormat(QImage::Format_RGB32));
                continue;
            }
            auto original = Card().originals.find(name);
            if (original == Card().originals.end()) continue;  // found by the raw scan
            const QImage source(QString::fromStdString(original->second));
            QCOMPARE(item->previewWidth, source.width());
            const QImage expected = FitIntoThumbnail(source, source.size()).convertToFormat(QImage::Format_RGB32);
            const QImage got = thumb.convertToFormat(QImage::Format_RGB32);
            double sum = 0;
            for (int y = 0; y < 90; ++y)
                for (int x = 0; x < 120; ++x)
                    sum += std::abs(qGray(got.pixel(x, y)) - qGray(expected.pixel(x, y)));
            QVERIFY2(sum / (120 * 90) < 1.5, name.c_str());
            ++checked;
        }
        QCOMPARE(broken, 1);
        QVERIFY(checked >= 5);
    }
};

LUMIVISTA_TEST_MAIN(TestDlgScanResult)
#include "test_dlgscanresult.moc"
