// Renders every page of the wizard, and the message boxes it shows on the
// way, into PNG files: the drive pages on a demonstration machine of
// stand-in disks, the scan, the results and the recovery with a real scan of
// a camera card image through the program's own disk and task managers.
// Usage: lumivista-render-pages [OUTPUT_DIR [CARD_IMAGE]]
//        (default docs/screenshots; without an image no scan is rendered)
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <QDesktopServices>
#include <QTemporaryDir>
#include <QLabel>
#include <QUrl>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>

#include "app/aboutdlg.h"
#include "app/backend.h"
#include "app/dlgphotofilter.h"
#include "app/dlgphotopreview.h"
#include "app/dlgrecoverprogress.h"
#include "app/dlgscan.h"
#include "app/dlgscanresult.h"
#include "app/dlgseldrive.h"
#include "app/dlgseloperation.h"
#include "app/fakes/fakebackend.h"
#include "app/imageload.h"
#include "app/lumivistadlg.h"
#include "app/prompts.h"
#include "app/uifont.h"
#include "app/wizardpage.h"
#include "io/diskmgr.h"
#include "io/platform/platform.h"
#include "taskmgr/taskmgr.h"

namespace {

QDir g_out;
int g_failures = 0;

void Save(QWidget* widget, const QString& name)
{
    QCoreApplication::processEvents();
    const QString path = g_out.filePath(name + QStringLiteral(".png"));
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++g_failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

// Shows each message box as the program would, saves it under the name set
// for it, and answers Yes (or OK).
class CRenderingPrompts : public IPromptService {
public:
    QString nextName;

    QMessageBox::StandardButton MessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                           QMessageBox::StandardButtons buttons) override
    {
        const std::unique_ptr<QMessageBox> box = CreateMessageBox(parent, text, icon, buttons);
        box->show();
        if (!nextName.isEmpty()) Save(box.get(), nextName);
        nextName.clear();
        box->close();
        if (!(buttons & QMessageBox::Yes)) return QMessageBox::Ok;
        return answerNo ? QMessageBox::No : QMessageBox::Yes;
    }
    bool answerNo = false;
    QString ChooseImageFile(QWidget*) override { return QString(); }
    QString ChooseFolder(QWidget*, const QString&) override { return folder; }
    QString folder;
};

void Click(QWidget* frame, const char* id)
{
    if (auto* button = frame->findChild<QPushButton*>(QLatin1String(id))) button->click();
    QCoreApplication::processEvents();
}

bool WaitFor(const std::function<bool()>& done, int seconds = 120)
{
    const std::time_t end = std::time(nullptr) + seconds;
    while (!done()) {
        if (std::time(nullptr) > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Holds a worker thread at one point until the renderer has drawn.
class Gate {
public:
    void Hold()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_reached = true;
        m_wake.wait(lock, [this] { return m_open; });
    }
    bool Reached()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reached;
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_wake.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_reached = false;
    bool m_open = false;
};

// The real task backend, stopping once in the middle of the raw scan and
// once during the recovery, so that those moments can be drawn.
class CPausingTasks : public ITaskBackend, public IEventSink {
public:
    explicit CPausingTasks(ITaskBackend* inner) : m_inner(inner) {}
    Gate midScan;
    Gate midRecovery;

    int RecoverPhotos(IPartition* partition, IEventSink* sink) override
    {
        m_sink = sink;
        return m_inner->RecoverPhotos(partition, this);
    }
    int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override
    {
        if (code == INIT_CURRENT_PROGRESS && data) {
            m_total = *static_cast<int64_t*>(data);
            m_done = 0;
            ++m_steps;
        }
        const int answer = m_sink->Notify(code, value, data, reserved);
        if (code == UPDATE_CURRENT_PROGRESS && data) {
            m_done += *static_cast<int64_t*>(data);
            // Half way through the last step, the raw scan.
            if (!m_paused && m_steps >= 2 && m_total > 0 && m_done * 100 / m_total >= 45) {
                m_paused = true;
                midScan.Hold();
            }
        }
        return answer;
    }
    int GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override
    {
        return m_inner->GetPhotoItems(category, first, count, out);
    }
    int ReadPhotoData(PhotoItem* item, IPartition* partition, void* buffer, uint32_t size) override
    {
        if (m_recovering && ++m_reads == 4) midRecovery.Hold();
        return m_inner->ReadPhotoData(item, partition, buffer, size);
    }
    void Clear() override { m_inner->Clear(); }

    std::atomic<bool> m_recovering{false};

private:
    ITaskBackend* m_inner;
    IEventSink* m_sink = nullptr;
    int64_t m_total = 0;
    int64_t m_done = 0;
    int m_steps = 0;
    bool m_paused = false;
    int m_reads = 0;
};

// Draws the recovery dialog while its thread waits half way.
class CRecoveryDrawer : public QObject {
public:
    CRecoveryDrawer(QObject* page, CPausingTasks* tasks) : m_tasks(tasks) { page->installEventFilter(this); }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() != QEvent::ChildPolished) return false;
        auto* dialog = qobject_cast<CDlgRecoverProgress*>(static_cast<QChildEvent*>(event)->child());
        if (!dialog) return false;
        QTimer::singleShot(0, dialog, [this, dialog] {
            WaitFor([this] { return m_tasks->midRecovery.Reached(); });
            for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            Save(dialog, QStringLiteral("recover-progress"));
            m_tasks->midRecovery.Open();
        });
        return false;
    }

private:
    CPausingTasks* m_tasks;
};

// Swallows the folder the wizard opens at the end.
class CUrlSink : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl&) {}
};

// The scan of a real card, its results and the recovery of a few photos.
void RenderRealScan(const QString& image, CRenderingPrompts& prompts)
{
    SetDiskSources(false, {});
    CDiskMgr::Instance().ReleaseAllDisk();
    AppServices real;
    InstallSystemBackends(real);
    CPausingTasks tasks(real.tasks);
    AppServices& services = Services();
    services.drives = real.drives;
    services.tasks = &tasks;
    const int disk = services.drives->AddImage(image.toStdString());
    if (disk < 0) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(image));
        ++g_failures;
        return;
    }
    CUrlSink urls;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &urls, "open");
    QTemporaryDir target;
    prompts.folder = target.path();

    {
        CLumivistaDlg frame;
        frame.show();
        Click(frame.CurrentPage(), "1000");
        auto* drivePage = qobject_cast<CDlgSelDrive*>(frame.CurrentPage());
        QTreeWidget* list = drivePage->DriveList();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->data(0, ROLE_DISK).toInt() == disk &&
                CDlgSelDrive::PartitionOf(list->topLevelItem(i))->GetPartNo() == 1)
                list->setCurrentItem(list->topLevelItem(i));
        Click(&frame, "1007");

        if (!WaitFor([&] { return tasks.midScan.Reached(); })) {
            std::fprintf(stderr, "the scan did not get half way\n");
            ++g_failures;
            tasks.midScan.Open();
            return;
        }
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (auto* scan = qobject_cast<CDlgScan*>(frame.CurrentPage())) {
            scan->SetStartTime(scan->StartTime() - 14);  // as if it had been running a while
            scan->OnTimer();
        }
        Save(&frame, QStringLiteral("scan"));
        prompts.answerNo = true;
        prompts.nextName = QStringLiteral("message-cancel-scan");
        Click(&frame, "1007");
        prompts.answerNo = false;
        tasks.midScan.Open();
        WaitFor([&] { return !frame.IsScanRunning(); });

        auto* results = qobject_cast<CDlgScanResult*>(frame.CurrentPage());
        if (!results) {
            ++g_failures;
            return;
        }
        WaitFor([] { return false; }, 1);  // let the thumbnails come
        for (int i : {0, 2, 3, 6}) results->ToggleEntry(i);
        Save(&frame, QStringLiteral("result"));

        // The large preview of a photo, read from the card.
        QTimer::singleShot(0, [] {
            if (auto* preview = qobject_cast<CDlgPhotoPreview*>(QApplication::activeModalWidget())) {
                preview->resize(720, 540);
                for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                Save(preview, QStringLiteral("preview"));
                preview->accept();
            }
        });
        results->PreviewEntry(1);

        // The filter: deleted photos only.
        QTimer::singleShot(0, [] {
            if (auto* filter = qobject_cast<CDlgPhotoFilter*>(QApplication::activeModalWidget())) {
                filter->DeletedBox()->setChecked(true);
                Save(filter, QStringLiteral("filter"));
                filter->accept();
            }
        });
        results->FilterButton()->click();
        WaitFor([] { return false; }, 1);
        Save(&frame, QStringLiteral("result-filtered"));
        results->SetView(PhotoView());

        // A larger window gives the photos the room.
        frame.resize(frame.width() * 3 / 2, frame.height() * 3 / 2);
        WaitFor([] { return false; }, 1);
        Save(&frame, QStringLiteral("result-large"));
        frame.resize(frame.minimumSize());
        WaitFor([] { return false; }, 1);

        CRecoveryDrawer drawer(results, &tasks);
        tasks.m_recovering = true;
        prompts.nextName = QStringLiteral("message-recovered");
        Click(&frame, "1007");
        WaitFor([&] { return prompts.nextName.isEmpty(); });
        tasks.m_recovering = false;

        prompts.nextName = QStringLiteral("message-return-home");
        Click(&frame, "1005");
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    GetTaskMgr()->Clear();
    CDiskMgr::Instance().ReleaseAllDisk();
    SetDiskSources(true, {});
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setFont(DialogFont());
    g_out = QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots"));
    if (!g_out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(g_out.path()));
        return 1;
    }

    CFakeDriveSource drives(AddDemoDisks);
    drives.AllowImage("/home/user/card.img", [](CFakeDisk& disk) {
        disk.AddPartition(FS_FAT32, 3906250, "CAMERA", 1);
    });
    CFakeTaskBackend tasks;
    CRenderingPrompts prompts;
    AppServices& services = Services();
    services.drives = &drives;
    services.tasks = &tasks;
    services.prompts = &prompts;

    {
        CLumivistaDlg frame;
        frame.show();
        Save(&frame, QStringLiteral("home"));

        if (auto* about = frame.HeaderMenu()->actions().value(0)) {
            QTimer::singleShot(0, [] {
                if (QWidget* box = QApplication::activeModalWidget()) {
                    Save(box, QStringLiteral("about"));
                    box->close();
                }
            });
            about->trigger();
        }

        Click(frame.CurrentPage(), "1000");
        Save(&frame, QStringLiteral("drives"));

        auto* drivePage = qobject_cast<CDlgSelDrive*>(frame.CurrentPage());
        drivePage->OpenImage(QStringLiteral("/home/user/card.img"));
        Save(&frame, QStringLiteral("drives-image"));

        Click(drivePage, "1007");
        Save(&frame, QStringLiteral("drives-flash-only"));
        Click(drivePage, "1007");

        drivePage->DriveList()->clearSelection();
        prompts.nextName = QStringLiteral("message-select-drive");
        Click(&frame, "1007");
    }

    {
        CFakeDriveSource none;
        services.drives = &none;
        CLumivistaDlg frame;
        frame.show();
        prompts.nextName = QStringLiteral("message-no-drives");
        Click(frame.CurrentPage(), "1000");
        none.SetDeniedDiskCount(2);
        none.unopened = {{"/dev/sda", "permission denied", true}, {"/dev/sdb", "permission denied", true}};
        services.diskRights = [] { return false; };
        prompts.nextName = QStringLiteral("message-no-permission");
        Click(frame.CurrentPage(), "1008");
    }

    if (argc > 2) RenderRealScan(QString::fromLocal8Bit(argv[2]), prompts);

    services = AppServices();
    return g_failures == 0 ? 0 : 1;
}

#include "render_pages.moc"
