// The wizard frame: header (logo, title, Help), a page area showing one page
// at a time, and the footer (Home, Back, Next, and the web link on the home
// page). It owns the page order, the buttons' captions and confirmations,
// the scan-running flag and the background release of old results.
#pragma once

#include <QDialog>
#include <QFont>

#include "app/wizardpage.h"

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

class CIconButton;
class CStaticLine;
class CTransparentStatic;
class CWizardPage;
class IPartition;
class QLabel;
class QMenu;
class QPushButton;

// Command id of the about item.
constexpr int IDM_ABOUTBOX = 16;

class CLumivistaDlg : public QDialog {
    Q_OBJECT
public:
    explicit CLumivistaDlg(QWidget* parent = nullptr);
    // Waits for a release of old results still running, then drops the page.
    ~CLumivistaDlg() override;

    int CurrentPageIndex() const { return m_nCurPage; }
    CWizardPage* CurrentPage() const { return m_pCurPage.get(); }
    bool IsScanRunning() const { return m_bScanning; }
    // The header's context menu, which carries the about item.
    QMenu* HeaderMenu() const { return m_headerMenu; }

    // The footer's and header's commands.
    void OnNext();
    void OnBack();
    void OnHome();
    void OnHelp();
    void OnLink();
    void OnSysCommand(int command);

    // Close box and Alt+F4 (Escape asks first on every page).
    void reject() override;

protected:
    bool event(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Where the wizard goes once a scan the user stopped has returned.
    enum class AfterScan { Results, Home, Drives, Exit };

    void OnInitDialog();
    void ShowPage(int templateId);
    void Advance();
    // When the selected drive has a saved scan, asks whether to go on with it
    // or start afresh; a finished one the user takes opens the result page.
    // Whether the scan is to start.
    bool AskAboutSavedScan();
    void StartScan();
    // Opens the selected drive through the drive source, which may ask for
    // a password; the scan starts when it answers.
    void OpenSelectedDrive();
    void SetOpening(bool opening);
    void StartClearThread();
    void WaitForClearThread();
    // A Yes/No question; the frame knows one is open, so that the end of a
    // scan can close a question that has lost its point.
    bool Ask(const QString& text);
    // Asks the running scan to stop and notes where to go once it has.
    void StopScan(AfterScan then);
    void OnScanFinished(intptr_t result);
    // Back to the drive page with `partition` selected again when listed.
    void ShowDrivePage(IPartition* partition);

    std::vector<int> m_pageList;
    int m_nCurPage = 0;
    std::unique_ptr<CWizardPage> m_pCurPage;
    bool m_bScanning = false;
    AfterScan m_afterScan = AfterScan::Results;
    int m_questions = 0;  // questions open now
    bool m_scanEndPending = false;  // the scan ended while one was open
    intptr_t m_pendingScanResult = 0;
    bool m_opening = false;  // a drive is being opened for the scan
    int m_openRequest = 0;   // a newer request, or a page change, makes older answers stale

    CIconButton* m_logo = nullptr;           // 1009
    CTransparentStatic* m_title = nullptr;   // 1010
    QPushButton* m_placeholder = nullptr;    // 1002, the page area
    CStaticLine* m_line = nullptr;           // 1008
    QPushButton* m_home = nullptr;           // 1005
    QPushButton* m_back = nullptr;           // 1006
    QPushButton* m_next = nullptr;           // 1007
    QLabel* m_link = nullptr;                // 1016
    CIconButton* m_help = nullptr;           // 1004
    QMenu* m_headerMenu = nullptr;
    QFont m_titleFont;
    CAnchorLayout m_layout;
    std::thread m_clearThread;  // ClearResultsThread, while one runs
};
