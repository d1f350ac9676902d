#include <QLabel>
#include <QProgressBar>

#include <thread>

#include "apptest.h"
#include "app/analyzeeventsink.h"
#include "app/dlgscan.h"
#include "io/log.h"
#include "testutil.h"

namespace {

// A scan page that is never opened: its sink can be driven by hand.
struct Page {
    Page() : page(&frame) { frame.resize(800, 500); }
    QWidget frame;
    CDlgScan page;
    QProgressBar* Bar() { return page.ProgressBar(); }
    QString Text(const char* id) { return page.findChild<QLabel*>(id)->text(); }
};

int Update(CAnalyzeEventSink& sink, int64_t units)
{
    return sink.Notify(UPDATE_CURRENT_PROGRESS, 0, &units, 0);
}

int Init(CAnalyzeEventSink& sink, int64_t total)
{
    return sink.Notify(INIT_CURRENT_PROGRESS, 0, &total, 0);
}

}  // namespace

class TestAnalyzeEventSink : public QObject {
    Q_OBJECT
private slots:
    void percentages()
    {
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(0, 1000), 2);     // just started
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(19, 1000), 2);    // 1.9 %
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(30, 1000), 3);
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(505, 1000), 50);  // truncated
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(999, 1000), 99);
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(1000, 1000), 99);  // only the step's end shows 100
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(5000, 1000), 99);  // past the total
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(10, 0), 2);        // no total
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(0, 0), 2);
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(-5, 100), 2);
        QCOMPARE(CAnalyzeEventSink::ProgressPercent(INT64_MAX, INT64_MAX / 2), 99);
    }

    void barFollowsTheSteps()
    {
        Page p;
        CAnalyzeEventSink sink(&p.page);
        QCOMPARE(p.Bar()->value(), 0);
        QCOMPARE(sink.Notify(INIT_TASK_COUNT, 2, nullptr, 0), 0);
        QCOMPARE(p.Bar()->value(), 0);  // nothing visible

        QCOMPARE(Init(sink, 400), 0);
        QCOMPARE(sink.TotalUnits(), int64_t(400));
        QCOMPARE(p.Bar()->value(), 2);
        Update(sink, 100);
        QCOMPARE(sink.DoneUnits(), int64_t(100));
        QCOMPARE(p.Bar()->value(), 25);
        Update(sink, 250);
        QCOMPARE(p.Bar()->value(), 87);
        Update(sink, 500);  // more than announced
        QCOMPARE(p.Bar()->value(), 99);

        // A new step starts again at 2 and forgets the units done.
        Init(sink, 1000);
        QCOMPARE(sink.DoneUnits(), int64_t(0));
        QCOMPARE(p.Bar()->value(), 2);
        Update(sink, 10);
        QCOMPARE(p.Bar()->value(), 2);

        // A step without a total stays at 2 however far it gets.
        Init(sink, 0);
        for (int i = 0; i < 3; ++i) Update(sink, 1000000);
        QCOMPARE(p.Bar()->value(), 2);
        // A missing figure counts as nothing.
        QCOMPARE(sink.Notify(UPDATE_CURRENT_PROGRESS, 0, nullptr, 0), 0);
        QCOMPARE(sink.Notify(INIT_CURRENT_PROGRESS, 0, nullptr, 0), 0);
        QCOMPARE(p.Bar()->value(), 2);

        // 100 only through the end of a step or of the scan.
        Init(sink, 10);
        sink.Notify(CURRENT_TASK_FINISHED, 0, nullptr, 0);
        QCOMPARE(p.Bar()->value(), 100);
        Init(sink, 10);
        sink.Notify(ALL_TASKS_FINISHED, 0, nullptr, 0);
        QCOMPARE(p.Bar()->value(), 100);
    }

    void stepEndIsLoggedAsWarning()
    {
        testutil::TempDir dir;
        const std::string path = dir / "Lumivista.log";
        QCOMPARE(OpenLogFile(path.c_str()), 0);
        Page p;
        CAnalyzeEventSink sink(&p.page);
        sink.Notify(CURRENT_TASK_FINISHED, 0, nullptr, 0);
        const auto bytes = testutil::ReadFileBytes(path);
        const QString log = QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const QStringList lines = log.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains("Current Task Finish!"), qPrintable(log));
        QVERIFY2(lines[0].contains("CAnalyzeEventSink::Notify"), qPrintable(log));
        QVERIFY2(lines[0].contains("WARNING: "), qPrintable(log));
    }

    void stepStartShowsTheDrive()
    {
        Page p;
        CAnalyzeEventSink sink(&p.page);
        QCOMPARE(sink.Notify(CURRENT_TASK_START, 0, nullptr, 0), 0);
        QCOMPARE(p.Text("1030"), QString("Capacity:"));  // no partition: no change

        CPartition partition;
        ParInfor infor;
        infor.Len = 3906250;      // 1.86 GB
        infor.FreeSec = 3072;     // 1.50 MB
        infor.Fs = FS_FAT32;
        infor.DriveRoot = "/media/card";  // mounted: the system's figure
        partition.SetInfor(infor);
        sink.Notify(CURRENT_TASK_START, 0, &partition, 0);
        QCOMPARE(p.Text("1030"), QString("Capacity: 1.86 GB"));
        QCOMPARE(p.Text("1031"), QString("File System: FAT32"));
        QCOMPARE(p.Text("1032"), QString("Free Space: 1.50 MB"));
    }

    // Not mounted (an image, a card nobody mounted): the file system's own
    // count, once the walk has read it, for this step and the next.
    void freeSpaceOfAVolumeNotMounted()
    {
        Page p;
        CAnalyzeEventSink sink(&p.page);
        CPartition partition;
        ParInfor infor;
        infor.Len = 134217728;  // 64 GB
        infor.Fs = FS_FAT32;
        partition.SetInfor(infor);
        sink.Notify(CURRENT_TASK_START, 0, &partition, 0);
        QCOMPARE(p.Text("1032"), QString("Free Space: Unknown"));
        int64_t freeSectors = 125829120;  // 60 GB
        QCOMPARE(sink.Notify(FREE_SECTORS_KNOWN, 0, &freeSectors, 0), 0);
        QCOMPARE(p.Text("1032"), QString("Free Space: 60.00 GB"));
        sink.Notify(CURRENT_TASK_START, 0, &partition, 0);  // the raw scan
        QCOMPARE(p.Text("1032"), QString("Free Space: 60.00 GB"));
    }

    void foundPhotosAreCountedAndShownByTheTimer()
    {
        Page p;
        CAnalyzeEventSink sink(&p.page);
        for (int i = 0; i < 3; ++i) sink.Notify(PHOTO_FOUND, 1, nullptr, 0);
        sink.Notify(PHOTO_FOUND, 2, nullptr, 0);
        QCOMPARE(sink.FoundTotal(), 5);
        QCOMPARE(p.Text("1033"), QString("Found Photos: 0"));  // until the next tick
        p.page.OnTimer();
        QCOMPARE(p.Text("1033"), QString("Found Photos: 5"));
    }

    void stopAnswersEveryCode()
    {
        Page p;
        CAnalyzeEventSink sink(&p.page);
        const char16_t name[] = u"DCIM";
        int64_t units = 5;
        QCOMPARE(sink.Notify(CURRENT_FILE_NAME, 0, const_cast<char16_t*>(name), 0), 0);
        QVERIFY(!sink.IsStopped());
        sink.SetStop();
        for (uint32_t code : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u, 11u, 12u, 13u, 14u, 15u, 77u}) {
            void* data = (code == 5 || code == 6) ? static_cast<void*>(&units)
                         : (code == 8 || code == 9) ? const_cast<char16_t*>(name) : nullptr;
            QCOMPARE(sink.Notify(code, 1, data, 0), -1);
        }
        // The code's action still happened: 5 units of 5 done.
        QCOMPARE(p.Bar()->value(), 99);
        QCOMPARE(sink.FoundTotal(), 1);
    }

    // From the scan thread the page is changed later, by the user-interface
    // thread, and the thread never waits for it.
    void eventsFromAnotherThreadReachThePage()
    {
        Page p;
        CAnalyzeEventSink sink(&p.page);
        std::thread scan([&] {
            Init(sink, 200);
            Update(sink, 100);
        });
        scan.join();  // would hang if the sink waited for this thread
        QTRY_COMPARE(p.Bar()->value(), 50);
    }
};

LUMIVISTA_TEST_MAIN(TestAnalyzeEventSink)
#include "test_analyzeeventsink.moc"
