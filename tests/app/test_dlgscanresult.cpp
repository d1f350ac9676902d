#include <QLabel>
#include <QTreeWidget>

#include "apptest.h"
#include "realdisk.h"
#include "resultpage.h"
#include "app/dlgscanresult.h"
#include "app/imageload.h"
#include "app/thumbnail.h"

class TestDlgScanResult : public QObject {
    Q_OBJECT
private slots:
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

    // Ticking the last unticked photo of a block checks it; unticking leaves
    // the box until no photo of the block is ticked.
    void blockCheckFollowsTheTicks()
    {
        FakeMachine machine;
        Store(machine, Photos(Jpg, 503, 1000));
        ResultPage p;
        p.Tree()->setCurrentItem(p.Node("JPG(501-503)"));
        QTreeWidgetItem* block = p.Node("JPG(501-503)");
        p.page.ToggleEntry(0);
        p.page.ToggleEntry(1);
        QCOMPARE(block->checkState(0), Qt::Unchecked);
        QCOMPARE(p.Label(), QString("2 files selected in 1.95 KB"));
        p.page.ToggleEntry(2);
        QCOMPARE(block->checkState(0), Qt::Checked);
        QCOMPARE(CDlgScanResult::BlockOf(block)->ticked, 3);
        QCOMPARE(p.EntryCheck(2), Qt::Checked);

        p.page.ToggleEntry(1);
        QCOMPARE(block->checkState(0), Qt::Checked);
        p.page.ToggleEntry(0);
        QCOMPARE(block->checkState(0), Qt::Checked);
        QCOMPARE(p.Label(), QString("1 file selected in 1000.00 byte"));
        p.page.ToggleEntry(2);
        QCOMPARE(block->checkState(0), Qt::Unchecked);
        QCOMPARE(CDlgScanResult::BlockOf(block)->ticked, 0);
        QCOMPARE(p.Label(), QString("0 file selected in 0.00 byte"));
        // The parent's box never follows its children.
        QCOMPARE(p.Node("JPG")->checkState(0), Qt::Unchecked);
        QCOMPARE(machine.prompts.asked.size(), size_t(0));
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
        QCOMPARE(p.Node("Photos")->checkState(0), Qt::Unchecked);
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
