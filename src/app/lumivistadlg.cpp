#include "app/lumivistadlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>

#include <system_error>

#include "app/aboutdlg.h"
#include "app/analyzeeventsink.h"
#include "app/appconfig.h"
#include "app/backend.h"
#include "app/dlgscan.h"
#include "app/dlgscanresult.h"
#include "app/dlgseldrive.h"
#include "app/dlgseloperation.h"
#include "app/driveopen.h"
#include "app/imageload.h"
#include "app/lumivistaapp.h"
#include "app/pngbutton.h"
#include "app/prompts.h"
#include "app/transparentstatic.h"
#include "app/uifont.h"
#include "app/wizardevents.h"
#include "app/wizardstate.h"
#include "io/log.h"

namespace {

const QString kAboutItem = QStringLiteral("&About Lumivista...");
const QString kScanNotStarted = QStringLiteral(
    "The scan could not be started: the system refused to run it. Please close some programs and try again.");
const QString kDriveGone = QStringLiteral(
    "The drive was removed during the scan, so the scan ended early. The photos found until then are shown; "
    "attach the drive again and scan it once more to look for the rest.");

std::unique_ptr<CWizardPage> CreatePage(int templateId, QWidget* parent)
{
    switch (templateId) {
    case IDD_HOME_PAGE:
        return std::make_unique<CDlgSelOperation>(parent);
    case IDD_DRIVE_PAGE:
        return std::make_unique<CDlgSelDrive>(parent);
    case IDD_SCAN_PAGE:
        return std::make_unique<CDlgScan>(parent);
    case IDD_RESULT_PAGE:
        return std::make_unique<CDlgScanResult>(parent);
    default:
        return nullptr;
    }
}

template <typename Control>
Control* Place(Control* control, int id, int x, int y, int width, int height)
{
    control->setObjectName(QString::number(id));
    control->setGeometry(DlgUnits().Rect(x, y, width, height));
    return control;
}

void ClearResultsThread(ITaskBackend* tasks)
{
    if (tasks) tasks->Clear();
}

}  // namespace

CLumivistaDlg::CLumivistaDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("102"));
    setWindowTitle(QStringLiteral("Lumivista"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    const DialogUnits& du = DlgUnits();
    setFixedSize(du.X(373), du.Y(224));

    m_logo = Place(new CIconButton(this), 1009, 12, 7, 32, 22);
    m_title = Place(new CTransparentStatic(QStringLiteral("Lumivista"), this), 1010, 45, 12, 152, 13);
    m_help = Place(new CIconButton(this), 1004, 352, 7, 14, 11);
    m_help->setText(QStringLiteral("Help"));
    m_help->setToolTip(QStringLiteral("Help"));
    m_placeholder = Place(new QPushButton(QStringLiteral("POS"), this), 1002, 6, 30, 360, 167);
    m_placeholder->hide();
    m_placeholder->setEnabled(false);
    m_line = Place(new CStaticLine(this), 1008, 40, 195, 292, 8);
    m_home = Place(new QPushButton(QStringLiteral("Home"), this), 1005, 72, 204, 58, 15);
    m_back = Place(new QPushButton(QStringLiteral("Back"), this), 1006, 154, 204, 58, 15);
    m_next = Place(new QPushButton(QStringLiteral("Next"), this), 1007, 236, 204, 58, 15);
    m_link = Place(new QLabel(this), 1016, 145, 211, 84, 8);
    m_link->setTextFormat(Qt::RichText);
    m_link->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                        .arg(HomeUrl().toString().toHtmlEscaped(), HomeLinkText().toHtmlEscaped()));
    m_link->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    m_link->setOpenExternalLinks(false);

    for (QPushButton* button : {m_home, m_back, m_next}) button->setAutoDefault(false);
    connect(m_next, &QPushButton::clicked, this, &CLumivistaDlg::OnNext);
    connect(m_back, &QPushButton::clicked, this, &CLumivistaDlg::OnBack);
    connect(m_home, &QPushButton::clicked, this, &CLumivistaDlg::OnHome);
    connect(m_help, &QPushButton::clicked, this, &CLumivistaDlg::OnHelp);
    connect(m_link, &QLabel::linkActivated, this, &CLumivistaDlg::OnLink);

    CLumivistaApp::SetMainWnd(this);
    OnInitDialog();
}

CLumivistaDlg::~CLumivistaDlg()
{
    WaitForClearThread();
    if (m_pCurPage) {
        m_pCurPage->hide();
        m_pCurPage.reset();
    }
    if (CLumivistaApp::MainWnd() == this) CLumivistaApp::SetMainWnd(nullptr);
}

void CLumivistaDlg::OnInitDialog()
{
    // No window manager hands the program its system menu: the about item
    // lives in the header's context menu.
    m_headerMenu = new QMenu(this);
    m_headerMenu->setObjectName(QStringLiteral("headerMenu"));
    if (!kAboutItem.isEmpty()) {
        QAction* about = m_headerMenu->addAction(kAboutItem);
        about->setData(IDM_ABOUTBOX);
        connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    }

    setWindowIcon(QIcon(LoadAppIcon()));

    m_logo->SetImage(LoadPngResource(141));
    m_logo->SizeToImage();
    m_logo->setEnabled(false);

    m_help->SetImage(LoadPngResource(144));
    m_help->SizeToImage();
    m_help->setEnabled(false);
    m_help->setEnabled(true);

    m_titleFont = CreateBoldFont(14);
    m_title->setFont(m_titleFont);

    m_pageList = {IDD_HOME_PAGE, IDD_DRIVE_PAGE, IDD_SCAN_PAGE, IDD_RESULT_PAGE};
    m_nCurPage = 0;
    ShowPage(IDD_HOME_PAGE);
}

void CLumivistaDlg::ShowPage(int templateId)
{
    std::unique_ptr<CWizardPage> page = CreatePage(templateId, this);
    if (!page) return;
    page->setGeometry(m_placeholder->geometry());
    page->InitPage();

    if (m_pCurPage) {
        m_pCurPage->hide();
        m_pCurPage.reset();
    }
    // An answer about a drive still being opened is for the page just left.
    ++m_openRequest;
    SetOpening(false);
    page->show();
    m_pCurPage = std::move(page);

    const bool home = templateId == IDD_HOME_PAGE;
    for (QWidget* footer : {static_cast<QWidget*>(m_line), static_cast<QWidget*>(m_home),
                            static_cast<QWidget*>(m_next), static_cast<QWidget*>(m_back)})
        footer->setVisible(!home);
    m_link->setVisible(home);
    m_back->setEnabled(templateId != IDD_RESULT_PAGE);
}

void CLumivistaDlg::Advance()
{
    if (m_nCurPage < static_cast<int>(m_pageList.size()) - 1) {
        ++m_nCurPage;
        ShowPage(m_pageList[m_nCurPage]);
    }
}

void CLumivistaDlg::OnNext()
{
    switch (m_nCurPage) {
    case 1:
        WaitForClearThread();
        if (m_opening) return;
        if (!g_pSelectedPartition) {
            MsgBox(this, QStringLiteral("Please select a drive."), QMessageBox::Warning, QMessageBox::Ok);
            return;
        }
        if (Services().drives && Services().drives->NeedsOpening(g_pSelectedPartition)) {
            OpenSelectedDrive();
            return;
        }
        StartScan();
        break;
    case 2:
        if (m_bScanning) {
            QPointer<CDlgScan> scan = dynamic_cast<CDlgScan*>(m_pCurPage.get());
            if (!scan) return;
            const bool yes = AskYesNo(this, QStringLiteral("Are are sure to cancel scan?"));
            // The scan may have ended, and its page gone, while the question
            // was open.
            if (yes && scan && m_bScanning && scan->GetSink()) scan->GetSink()->SetStop();
        } else {
            m_next->setText(QStringLiteral("Recover"));
            Advance();
        }
        break;
    case 3:
        PostWizardMessage(m_pCurPage.get(), WM_RECOVER_SELECTED);
        break;
    default:
        break;
    }
}

void CLumivistaDlg::StartScan()
{
    m_next->setText(QStringLiteral("Cancel"));
    m_bScanning = true;
    Advance();
    if (auto* scan = dynamic_cast<CDlgScan*>(m_pCurPage.get()); scan && !scan->ScanStarted()) {
        // No scan runs, so nothing will ever end it: back to the drives.
        m_bScanning = false;
        MsgBox(this, kScanNotStarted, QMessageBox::Critical);
        OnBack();
    }
}

void CLumivistaDlg::OpenSelectedDrive()
{
    SetOpening(true);
    const int request = ++m_openRequest;
    QPointer<CLumivistaDlg> self(this);
    // The answer may take minutes (a password dialog): the window stays live.
    Services().drives->OpenForReading(g_pSelectedPartition, [self, request](const DiskOpenResult& result) {
        if (!self || request != self->m_openRequest) return;
        self->SetOpening(false);
        if (self->m_nCurPage != 1) return;
        if (result.status != DiskOpenResult::Opened || !result.partition) {
            MsgBox(self, DiskOpenFailureText(result), QMessageBox::Warning, QMessageBox::Ok);
            return;
        }
        g_pSelectedPartition = result.partition;
        self->StartScan();
    });
}

void CLumivistaDlg::SetOpening(bool opening)
{
    if (opening == m_opening) return;
    m_opening = opening;
    m_next->setEnabled(!opening);
    if (m_pCurPage) m_pCurPage->setEnabled(!opening);
    if (opening) QApplication::setOverrideCursor(Qt::BusyCursor);
    else QApplication::restoreOverrideCursor();
}

void CLumivistaDlg::OnBack()
{
    if (m_nCurPage == 2 && m_bScanning) return;
    m_next->setText(QStringLiteral("Next"));
    if (m_nCurPage >= 1) {
        --m_nCurPage;
        ShowPage(m_pageList[m_nCurPage]);
    }
}

void CLumivistaDlg::OnHome()
{
    if (m_bScanning) return;
    if (m_nCurPage == 3 && !AskYesNo(this, QStringLiteral("Are are sure to return to home page?"))) return;
    const bool leavingResults = m_nCurPage == 3;
    m_nCurPage = 0;
    ShowPage(IDD_HOME_PAGE);
    m_next->setText(QStringLiteral("Next"));
    if (leavingResults) StartClearThread();
}

void CLumivistaDlg::OnHelp()
{
    QDesktopServices::openUrl(HelpUrl());
}

void CLumivistaDlg::OnLink()
{
    QDesktopServices::openUrl(HomeUrl());
}

void CLumivistaDlg::OnSysCommand(int command)
{
    if ((command & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CLumivistaDlg::reject()
{
    if (m_bScanning) return;
    if (m_nCurPage == 3 && !AskYesNo(this, QStringLiteral("Are are sure to exit?"))) return;
    QDialog::reject();
}

bool CLumivistaDlg::event(QEvent* event)
{
    switch (static_cast<int>(event->type())) {
    case WM_SHOW_NEXT_PAGE:
        // Only the home page asks for this. A second request queued by a
        // double click on "Recover Now" must not skip the drive page and
        // start a scan nobody asked for.
        if (m_nCurPage == 0) {
            ++m_nCurPage;
            ShowPage(m_pageList[m_nCurPage]);
        }
        return true;
    case WM_SCAN_FINISHED: {
        m_bScanning = false;
        const auto* scan = dynamic_cast<CDlgScan*>(m_pCurPage.get());
        const bool driveGone = scan && scan->DriveGone();
        if (m_nCurPage == 2) OnNext();
        if (driveGone) MsgBox(this, kDriveGone, QMessageBox::Warning, QMessageBox::Ok);
        return true;
    }
    default:
        return QDialog::event(event);
    }
}

void CLumivistaDlg::contextMenuEvent(QContextMenuEvent* event)
{
    if (event->pos().y() < m_placeholder->geometry().top() && !m_headerMenu->isEmpty()) {
        m_headerMenu->exec(event->globalPos());
        return;
    }
    QDialog::contextMenuEvent(event);
}

void CLumivistaDlg::StartClearThread()
{
    WaitForClearThread();
    ITaskBackend* tasks = Services().tasks;
    try {
        m_clearThread = std::thread(ClearResultsThread, tasks);
    } catch (const std::system_error& e) {
        LOG_W("cannot start the release thread, releasing here: %s\n", e.what());
        ClearResultsThread(tasks);
    }
}

void CLumivistaDlg::WaitForClearThread()
{
    if (m_clearThread.joinable()) m_clearThread.join();
}
