#include "app/dlgscan.h"

#include <QLabel>

#include <exception>
#include <system_error>

#include "app/analyzeeventsink.h"
#include "app/backend.h"
#include "app/drivetext.h"
#include "app/lumivistaapp.h"
#include "app/wizardevents.h"
#include "app/wizardstate.h"
#include "io/log.h"

CDlgScan::CDlgScan(QWidget* parent) : CWizardPage(IDD_SCAN_PAGE, parent)
{
    m_heading = AddStatic(1022, QStringLiteral("Scanning Drive %s"), 7, 7, 188, 8);
    m_heading->setWordWrap(false);
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
    m_heading->setText(QStringLiteral("Scanning drive ") + FormatDriveText(g_pSelectedPartition) +
                       QStringLiteral(" ..."));
    m_sink = std::make_unique<CAnalyzeEventSink>(this);
    try {
        m_thread = std::thread(&CDlgScan::ScanThread, Services().tasks, g_pSelectedPartition, m_sink.get());
    } catch (const std::system_error& e) {
        // Without a thread no completion would ever come: finish at once.
        LOG_E("cannot start the scan thread: %s\n", e.what());
        PostWizardMessage(CLumivistaApp::MainWnd(), WM_SCAN_FINISHED, -1, 0);
    }
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
