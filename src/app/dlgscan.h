// The scan page: opening it starts the scan of the selected partition on a
// worker thread; the thread posts WM_SCAN_FINISHED to the frame when the
// scan has returned.
#pragma once

#include <memory>
#include <thread>

#include "app/wizardpage.h"

class CAnalyzeEventSink;
class IPartition;
class ITaskBackend;
class QLabel;

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

private:
    static int ScanThread(ITaskBackend* tasks, IPartition* partition, CAnalyzeEventSink* sink);

    QLabel* m_heading = nullptr;  // 1022
    std::unique_ptr<CAnalyzeEventSink> m_sink;
    std::thread m_thread;
};
