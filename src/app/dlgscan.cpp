#include "app/dlgscan.h"

#include <QDateTime>
#include <QGroupBox>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QThread>
#include <QTimer>

#include <exception>
#include <system_error>

#include "app/analyzeeventsink.h"
#include "app/backend.h"
#include "app/driveevents.h"
#include "app/drivetext.h"
#include "app/lumivistaapp.h"
#include "app/scanoptions.h"
#include "app/wizardevents.h"
#include "app/wizardstate.h"
#include "io/log.h"

namespace {

CDlgScan::ThreadFactory& Factory()
{
    static CDlgScan::ThreadFactory factory;
    return factory;
}

}  // namespace

const QString kDriveFailingText = QStringLiteral(
    "Many reads of this drive fail: it seems to be failing, and every read may make it worse. Cancel the scan, "
    "copy the drive with \"Save Image...\" on the drive page, and scan the image instead.");

void CDlgScan::SetThreadFactory(ThreadFactory factory)
{
    Factory() = std::move(factory);
}

CDlgScan::CDlgScan(QWidget* parent) : CWizardPage(IDD_SCAN_PAGE, parent)
{
    m_startTime = QDateTime::currentSecsSinceEpoch();

    m_heading = AddStatic(1022, QStringLiteral("Scanning Drive %s"), 7, 7, 188, 8, ANCHOR_GROW_WIDTH);
    m_heading->setWordWrap(false);
    // Group boxes first, so that the texts placed over them stay on top.
    auto* driveInfo = new QGroupBox(QStringLiteral("Drive Info "), this);
    Place(driveInfo, 0, 20, 22, 320, 45, ANCHOR_GROW_WIDTH);
    auto* result = new QGroupBox(QStringLiteral("Scanning Result "), this);
    Place(result, 0, 20, 78, 320, 45, ANCHOR_GROW_WIDTH);
    m_capacity = AddStatic(1030, QStringLiteral("Capacity:"), 30, 36, 96, 13);
    m_freeSpace = AddStatic(1032, QStringLiteral("Free Space:"), 197, 36, 120, 13, ANCHOR_CENTRE_X);
    m_fileSystem = AddStatic(1031, QStringLiteral("File System:"), 30, 50, 113, 15);
    m_found = AddStatic(1033, QStringLiteral("Found Photos: 0"), 31, 92, 133, 8);
    m_elapsed = AddStatic(1034, QStringLiteral("Elapsed Time: 00:00:00"), 31, 105, 119, 10);
    m_remaining = AddStatic(1035, QStringLiteral("Remaining Time: Calcuating..."), 199, 105, 131, 13, ANCHOR_CENTRE_X);
    m_step = AddStatic(1038, QStringLiteral("Step 1 of 1"), 160, 132, 38, 11);
    for (QLabel* label : {m_found, m_elapsed, m_remaining}) label->setWordWrap(false);
    m_failing = AddStatic(1039, kDriveFailingText, 7, 124, 346, 19);
    m_failing->setWordWrap(true);
    m_failing->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold;"));
    m_failing->hide();

    m_progress = new QProgressBar(this);
    Place(m_progress, 1020, 7, 144, 346, 13, ANCHOR_GROW_WIDTH | ANCHOR_BOTTOM);
    m_progress->setTextVisible(false);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);

    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::CoarseTimer);
    connect(m_timer, &QTimer::timeout, this, &CDlgScan::OnTimer);

    // A drive pulled out mid-scan ends the scan; what was found is kept.
    connect(&DriveEvents(), &CDriveEvents::driveGone, this, [this](const QString& device) {
        if (device.isEmpty() || device != m_device || !m_started || !m_sink || m_sink->IsStopped()) return;
        LOG_W("%s went away during the scan: the scan stops\n", device.toUtf8().constData());
        m_driveGone = true;
        m_sink->SetStop();
    });
}

CDlgScan::~CDlgScan()
{
    if (m_thread.joinable()) {
        m_sink->SetStop();
        m_thread.join();
    }
}

void CDlgScan::InitPage()
{
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_step->hide();
    m_heading->setText(QStringLiteral("Scanning drive ") + FormatDriveText(g_pSelectedPartition) +
                       QStringLiteral(" ..."));
    m_timer->start(1000);
    m_sink = std::make_unique<CAnalyzeEventSink>(this);

    ITaskBackend* tasks = Services().tasks;
    if (tasks) tasks->SetPhotoChoice(LoadPhotoChoice());
    IPartition* partition = g_pSelectedPartition;
    if (CDisk* disk = partition ? partition->GetDisk() : nullptr) m_device = QString::fromStdString(disk->GetDevicePath());
    CAnalyzeEventSink* sink = m_sink.get();
    std::function<void()> run = [tasks, partition, sink] { ScanThread(tasks, partition, sink); };
    try {
        m_thread = Factory() ? Factory()(std::move(run)) : std::thread(std::move(run));
        m_started = m_thread.joinable();
    } catch (const std::system_error& e) {
        LOG_E("cannot start the scan thread: %s\n", e.what());
        m_started = false;
    }
    if (!m_started) m_timer->stop();
}

int CDlgScan::ScanThread(ITaskBackend* tasks, IPartition* partition, CAnalyzeEventSink* sink)
{
    int result = -1;
    try {
        result = tasks ? tasks->RecoverPhotos(partition, sink) : -1;
    } catch (const std::exception& e) {
        LOG_E("the scan failed: %s\n", e.what());
        result = -1;
    }
    PostWizardMessage(CLumivistaApp::MainWnd(), WM_SCAN_FINISHED, result, 0);
    return result;
}

// The scan thread never waits for the user-interface thread: its updates are
// queued, and die with the page if it goes first.
void CDlgScan::SetProgress(int position)
{
    if (QThread::currentThread() == thread()) {
        m_progress->setValue(position);
        return;
    }
    QMetaObject::invokeMethod(this, [this, position] { m_progress->setValue(position); }, Qt::QueuedConnection);
}

void CDlgScan::SetDriveInfo(const QString& capacity, const QString& fileSystem, const QString& freeSpace)
{
    auto apply = [this, capacity, fileSystem, freeSpace] {
        m_capacity->setText(capacity);
        m_fileSystem->setText(fileSystem);
        m_freeSpace->setText(freeSpace);
    };
    if (QThread::currentThread() == thread())
        apply();
    else
        QMetaObject::invokeMethod(this, apply, Qt::QueuedConnection);
}

void CDlgScan::SetFreeSpace(const QString& freeSpace)
{
    if (QThread::currentThread() == thread())
        m_freeSpace->setText(freeSpace);
    else
        QMetaObject::invokeMethod(this, [this, freeSpace] { m_freeSpace->setText(freeSpace); }, Qt::QueuedConnection);
}

void CDlgScan::ShowDriveFailing()
{
    if (QThread::currentThread() == thread()) {
        m_failing->show();
        return;
    }
    QMetaObject::invokeMethod(this, [this] { m_failing->show(); }, Qt::QueuedConnection);
}

QString CDlgScan::FormatHms(int64_t seconds)
{
    const int64_t hours = seconds / 3600 - (seconds / 86400) * 24;
    const int64_t minutes = seconds / 60 - (seconds / 3600) * 60;
    const int64_t rest = seconds - (seconds / 60) * 60;
    return QString::asprintf("%02d:%02d:%02d", static_cast<int>(hours), static_cast<int>(minutes),
                             static_cast<int>(rest));
}

void CDlgScan::OnTimer()
{
    // A clock set back must not make the times negative.
    m_elapsedSeconds = std::max<int64_t>(QDateTime::currentSecsSinceEpoch() - m_startTime, 0);
    m_elapsed->setText(QStringLiteral("Elapsed Time: ") + FormatHms(m_elapsedSeconds));
    // The speed of the last half minute of the current step, followed
    // smoothly; until a step has run a few seconds there is nothing to
    // estimate from and the label reads "Calcuating...".
    const double fraction = m_sink ? m_sink->StepFraction() : std::max(m_progress->value(), 0) / 100.0;
    m_estimate.Add(static_cast<double>(m_elapsedSeconds), fraction);
    const int64_t remaining = m_estimate.Seconds();
    m_remaining->setText(remaining < 0 ? QStringLiteral("Remaining Time: Calcuating...")
                                       : QStringLiteral("Remaining Time: ") + FormatHms(remaining));
    m_found->setText(QStringLiteral("Found Photos: %1").arg(m_foundCount.load()));
}

void CDlgScan::ScanEnded()
{
    m_timer->stop();
    m_elapsedSeconds = std::max<int64_t>(QDateTime::currentSecsSinceEpoch() - m_startTime, 0);
    m_elapsed->setText(QStringLiteral("Elapsed Time: ") + FormatHms(m_elapsedSeconds));
    m_remaining->setText(QStringLiteral("Remaining Time: ") + FormatHms(0));
    m_found->setText(QStringLiteral("Found Photos: %1").arg(m_foundCount.load()));
}
