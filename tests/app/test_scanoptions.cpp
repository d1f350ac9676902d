#include <QCheckBox>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>

#include "apptest.h"
#include "app/scanoptions.h"
#include "testutil.h"

class TestScanOptions : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Settings go to a folder of this run, not the user's.
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_dir.path()));
        QSettings().clear();
    }

    void everythingUntilAChoiceIsSaved()
    {
        const PhotoChoice c = LoadPhotoChoice();
        QCOMPARE(c.categories, (1u << kPhotoCategoryCount) - 1);
        QCOMPARE(c.minSize, uint64_t{0});
    }

    // The dialog shows the saved choice; OK saves what its boxes say, and the
    // next run reads it back.
    void theDialogSavesWhatItShows()
    {
        {
            CDlgScanOptions dlg(nullptr);
            for (int c = 0; c < kPhotoCategoryCount; ++c) QVERIFY(dlg.TypeBox(c)->isChecked());
            dlg.TypeBox(Png)->setChecked(false);
            dlg.TypeBox(Other)->setChecked(false);
            dlg.MinSizeBox()->setValue(16);
            dlg.reject();  // Cancel: nothing saved
        }
        QCOMPARE(LoadPhotoChoice().categories, (1u << kPhotoCategoryCount) - 1);
        {
            CDlgScanOptions dlg(nullptr);
            dlg.TypeBox(Png)->setChecked(false);
            dlg.TypeBox(Other)->setChecked(false);
            dlg.MinSizeBox()->setValue(16);
            const PhotoChoice shown = dlg.Choice();
            QVERIFY(!shown.Keeps(Png, 1u << 20));
            QVERIFY(shown.Keeps(Raw, 16 * 1024));
            QVERIFY(!shown.Keeps(Jpg, 16 * 1024 - 1));
            SavePhotoChoice(shown);
        }
        QSettings().sync();
        const PhotoChoice loaded = LoadPhotoChoice();
        QCOMPARE(loaded.categories, ((1u << kPhotoCategoryCount) - 1) & ~(1u << Png) & ~(1u << Other));
        QCOMPARE(loaded.minSize, uint64_t{16 * 1024});
        CDlgScanOptions again(nullptr);
        QVERIFY(!again.TypeBox(Png)->isChecked());
        QVERIFY(again.TypeBox(Heic)->isChecked());
        QCOMPARE(again.MinSizeBox()->value(), 16);
        QCOMPARE(CategoryLabel(Heic), QStringLiteral("HEIC"));
    }

private:
    testutil::TempDir m_dir;
};

LUMIVISTA_TEST_MAIN(TestScanOptions)
#include "test_scanoptions.moc"
