// The scan page: opening it starts the scan of the selected partition on a
// worker thread and shows its progress; the thread posts WM_SCAN_FINISHED to
// the frame when the scan has returned.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "app/remainingtime.h"
#include "app/wizardpage.h"

class CAnalyzeEventSink;
class IPartition;
class ITaskBackend;
class QLabel;
class QProgressBar;
class QTimer;

// The scan page's warning about a drive that seems to be failing.
extern const QString kDriveFailingText;

class CDlgScan : public CWizardPage {
    Q_OBJECT
public:
    explicit CDlgScan(QWidget* parent);
    // Stops a scan still running and waits for its thread; the frame only
    // destroys the page after the scan has ended.
    ~CDlgScan() override;
    void InitPage() override;

    // The frame cancels a scan through the sink's stop flag.
    CAnalyzeEventSink* GetSink() const { return m_sink.get(); }
    // False when the scan thread could not be created: no scan runs and no
    // WM_SCAN_FINISHED will come.
    bool ScanStarted() const { return m_started; }
    // True when the scan was stopped because the drive being scanned went
    // away (pulled out, or its card taken out).
    bool DriveGone() const { return m_driveGone; }

    // From the sink, on any thread; shown by the user-interface thread.
    void SetProgress(int position);
    void SetDriveInfo(const QString& capacity, const QString& fileSystem, const QString& freeSpace);
    void SetFreeSpace(const QString& freeSpace);
    void SetFoundCount(int count) { m_foundCount.store(count); }
    // The scan's reads fail so often that the drive seems to be dying: the
    // page says so and suggests copying it first.
    void ShowDriveFailing();
    // The warning shown then (hidden until then).
    QLabel* FailingLabel() const { return m_failing; }

    // The timer's work, once a second: elapsed and remaining time and the
    // found count.
    void OnTimer();
    // The scan has returned: the figures are final, nothing remains.
    void ScanEnded();
    // Seconds since the epoch at which the page was made; the times shown
    // count from here.
    int64_t StartTime() const { return m_startTime; }
    void SetStartTime(int64_t seconds) { m_startTime = seconds; }

    QProgressBar* ProgressBar() const { return m_progress; }

    // "hh:mm:ss" of a count of seconds, the hours counted within the day.
    static QString FormatHms(int64_t seconds);

    // How scan threads are made; tests put in one that fails.
    using ThreadFactory = std::function<std::thread(std::function<void()>)>;
    static void SetThreadFactory(ThreadFactory factory);

private:
    static int ScanThread(ITaskBackend* tasks, IPartition* partition, CAnalyzeEventSink* sink);

    QLabel* m_heading = nullptr;     // 1022
    QLabel* m_capacity = nullptr;    // 1030
    QLabel* m_freeSpace = nullptr;   // 1032
    QLabel* m_fileSystem = nullptr;  // 1031
    QLabel* m_found = nullptr;       // 1033
    QLabel* m_elapsed = nullptr;     // 1034
    QLabel* m_remaining = nullptr;   // 1035
    QLabel* m_step = nullptr;        // 1038
    QLabel* m_failing = nullptr;     // 1039
    QProgressBar* m_progress = nullptr;  // 1020
    QTimer* m_timer = nullptr;

    int64_t m_startTime = 0;
    int64_t m_elapsedSeconds = 0;
    CRemainingTime m_estimate;
    std::atomic<int> m_foundCount{0};
    std::unique_ptr<CAnalyzeEventSink> m_sink;
    std::thread m_thread;
    bool m_started = false;
    QString m_device;  // device path of the disk being scanned
    bool m_driveGone = false;
};
