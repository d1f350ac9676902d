// The result page on a million photos (bench/photostore's made-up store),
// on whatever Qt platform is set (offscreen when none): the time to build
// and show the page, to open the last block, to tick everything with the
// root's check box, to sort by name, size and date (the sorts made in a
// worker thread: the user's thread's longest stretch is shown too) and go
// back to the found order, and the process's memory after each step and at
// its peak.
// Usage: resultpage_bench [PHOTOS]   (default 1000000)
#include <QApplication>
#include <QLabel>
#include <QTreeWidget>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/backend.h"
#include "app/dlgscanresult.h"
#include "app/photoview.h"
#include "app/uifont.h"
#include "synthstore.h"

namespace {

// A scan that is over: the made-up store, nothing to read.
class StoreBackend : public ITaskBackend {
public:
    explicit StoreBackend(size_t count) { MakeSyntheticPhotos(m_store, count); }
    int RecoverPhotos(IPartition*, IEventSink*) override { return 0; }
    int GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override
    {
        return m_store.GetItems(category, first, count, out);
    }
    int ReadPhotoData(PhotoItem*, IPartition*, void*, uint32_t) override { return -1; }
    void Clear() override {}

private:
    CPhotoItemsMgr m_store;
};

// A figure of /proc/self/status in MiB ("VmRSS", "VmHWM").
double StatusMiB(const char* key)
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + std::char_traits<char>::length(key) + 1) / 1024.0;
    return -1;
}

// The process's CPU time so far, in ms: on a busy machine the steadier
// figure than the wall time.
double CpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The calling thread's CPU time so far, in ms.
double ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

using Clock = std::chrono::steady_clock;
struct Since {
    Clock::time_point wall = Clock::now();
    double cpu = CpuMs();
    double thread = ThreadCpuMs();
};

// CPU of the whole process and of the user's thread alone.
void Report(const char* what, const Since& since)
{
    std::printf("%-36s %7.0f ms CPU (%5.0f ms user's thread) %7.0f ms wall   RSS %4.0f MiB\n", what,
                CpuMs() - since.cpu, ThreadCpuMs() - since.thread,
                std::chrono::duration<double, std::milli>(Clock::now() - since.wall).count(), StatusMiB("VmRSS:"));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setFont(DialogFont());
    const size_t count = argc > 1 ? static_cast<size_t>(std::atoll(argv[1])) : 1000000;

    std::printf("Qt platform %s; %zu photos\n", qPrintable(QGuiApplication::platformName()), count);
    Report("the program, before the store", Since());
    Since t;
    StoreBackend tasks(count);
    AppServices services;
    services.tasks = &tasks;
    Services() = services;
    Report("store filled", t);

    QWidget frame;
    frame.resize(DlgUnits().X(373), DlgUnits().Y(224));
    t = Since();
    {
        CDlgScanResult page(&frame);
        page.setGeometry(DlgUnits().Rect(6, 30, 360, 167));
        page.InitPage();
        frame.show();
        QCoreApplication::processEvents();
        Report("page built and shown", t);
        std::printf("  %d photos shown, first block: %zu entries\n", page.ShownPhotoCount(), page.ShownItems().size());

        QTreeWidget* tree = page.Tree();
        QTreeWidgetItem* root = tree->topLevelItem(0);
        QTreeWidgetItem* jpg = root->child(0);
        t = Since();
        tree->setCurrentItem(jpg->child(jpg->childCount() - 1));
        tree->scrollToItem(tree->currentItem());
        QCoreApplication::processEvents();
        Report("last JPG block opened", t);

        t = Since();
        root->setCheckState(0, Qt::Checked);
        QCoreApplication::processEvents();
        Report("everything ticked (root check box)", t);
        std::printf("  %s\n", qPrintable(page.SelectionLabel()->text()));

        t = Since();
        tree->setCurrentItem(jpg->child(0));
        root = tree->topLevelItem(0);
        root->setCheckState(0, Qt::Unchecked);
        QCoreApplication::processEvents();
        Report("everything unticked", t);

        // Each sort: how long the user's thread is busy at a stretch (asking,
        // then building the tree once the worker is done) and in all, and
        // when the sorted tree is there. The second round finds the orders
        // made; the last step filters as well.
        struct Step {
            const char* what;
            PhotoView::Sort sort;
            bool deletedOnly;
        };
        const Step steps[] = {{"sorted by name", PhotoView::ByName, false},
                              {"sorted by size", PhotoView::BySize, false},
                              {"sorted by date", PhotoView::ByDate, false},
                              {"as found", PhotoView::FoundOrder, false},
                              {"by name again", PhotoView::ByName, false},
                              {"by size again", PhotoView::BySize, false},
                              {"by name, deleted only", PhotoView::ByName, true}};
        for (const Step& step : steps) {
            PhotoView view;
            view.sort = step.sort;
            view.deletedOnly = step.deletedOnly;
            t = Since();
            page.SetView(view);
            double longest = ThreadCpuMs() - t.thread;
            while (page.Sorting()) {
                const double before = ThreadCpuMs();
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                longest = std::max(longest, ThreadCpuMs() - before);
            }
            const double before = ThreadCpuMs();
            QCoreApplication::processEvents();
            longest = std::max(longest, ThreadCpuMs() - before);
            Report(step.what, t);
            std::printf("  user's thread: longest stretch %.0f ms CPU\n", longest);
        }
    }
    t = Since();
    QCoreApplication::processEvents();
    Report("page closed", t);
    std::printf("peak RSS %.0f MiB\n", StatusMiB("VmHWM:"));
    Services() = AppServices();
    return 0;
}
