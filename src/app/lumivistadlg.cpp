#include "app/lumivistadlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QDateTime>
#include <QLocale>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>

#include <algorithm>
#include <system_error>

#include "app/aboutdlg.h"
#include "app/analyzeeventsink.h"
#include "app/appconfig.h"
#include "app/backend.h"
#include "app/dlgrecoverprogress.h"
#include "app/dlgscan.h"
#include "app/dlgscanresult.h"
#include "app/dlgseldrive.h"
#include "app/dlgseloperation.h"
#include "app/drivetext.h"
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
const QString kCancelScan = QStringLiteral("Are are sure to cancel scan?");
const QString kReturnHome = QStringLiteral("Are are sure to return to home page?");
const QString kExit = QStringLiteral("Are are sure to exit?");
const QString kExitDuringRecovery = QStringLiteral(
    "Photos are being recovered. Are you sure to stop the recovery and exit? The photos saved so far stay in the "
    "folder.");
const QString kScanNotStarted = QStringLiteral(
    "The scan could not be started: the system refused to run it. Please close some programs and try again.");
const QString kDriveGone = QStringLiteral(
    "The drive was removed during the scan, so the scan ended early. The photos found until then are shown; "
    "attach the drive again and scan it once more to look for the rest.");

const QString kSavedScanUnreadable = QStringLiteral(
    "The saved scan of this drive could not be read. Click Next again and answer No to scan the drive afresh.");

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
Control* Place(CAnchorLayout& layout, Control* control, int id, int x, int y, int width, int height,
               unsigned anchors = ANCHOR_NONE)
{
    control->setObjectName(QString::number(id));
    control->setGeometry(DlgUnits().Rect(x, y, width, height));
    layout.Add(control, anchors);
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
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    const DialogUnits& du = DlgUnits();
    // The template's size is the smallest; a larger window gives the lists
    // and the photos the room.
    const QSize base(du.X(373), du.Y(224));
    m_layout.SetBaseSize(base);
    setMinimumSize(base);
    resize(base);

    m_logo = Place(m_layout, new CIconButton(this), 1009, 12, 7, 32, 22);
    m_title = Place(m_layout, new CTransparentStatic(QStringLiteral("Lumivista"), this), 1010, 45, 12, 152, 13);
    m_help = Place(m_layout, new CIconButton(this), 1004, 352, 7, 14, 11, ANCHOR_RIGHT);
    m_help->setText(QStringLiteral("Help"));
    m_help->setToolTip(QStringLiteral("Help"));
    m_placeholder = Place(m_layout, new QPushButton(QStringLiteral("POS"), this), 1002, 6, 30, 360, 167,
                          ANCHOR_GROW_WIDTH | ANCHOR_GROW_HEIGHT);
    m_placeholder->hide();
    m_placeholder->setEnabled(false);
    m_line = Place(m_layout, new CStaticLine(this), 1008, 40, 195, 292, 8, ANCHOR_GROW_WIDTH | ANCHOR_BOTTOM);
    const unsigned footer = ANCHOR_CENTRE_X | ANCHOR_BOTTOM;
    m_home = Place(m_layout, new QPushButton(QStringLiteral("Home"), this), 1005, 72, 204, 58, 15, footer);
    m_back = Place(m_layout, new QPushButton(QStringLiteral("Back"), this), 1006, 154, 204, 58, 15, footer);
    m_next = Place(m_layout, new QPushButton(QStringLiteral("Next"), this), 1007, 236, 204, 58, 15, footer);
    m_link = Place(m_layout, new QLabel(this), 1016, 145, 211, 84, 8, footer);
    m_link->setTextFormat(Qt::RichText);
    m_link->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                        .arg(HomeUrl().toString().toHtmlEscaped(), HomeLinkText().toHtmlEscaped()));
    m_link->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    m_link->setOpenExternalLinks(false);

    // Only the page's main button answers Enter (see ShowPage).
    for (QPushButton* button : {static_cast<QPushButton*>(m_home), static_cast<QPushButton*>(m_back),
                                static_cast<QPushButton*>(m_next), static_cast<QPushButton*>(m_help),
                                static_cast<QPushButton*>(m_logo)})
        button->setAutoDefault(false);
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
    // Back on the result page returns to the drives, after asking.
    for (QPushButton* button : {m_home, m_back, m_next}) button->setEnabled(true);
    // Enter presses the page's main button: Next on the drive page, Recover
    // on the result page ("Recover Now" on the home page is its own). On
    // the scan page Next means Cancel, which Enter must not press.
    m_next->setDefault(templateId == IDD_DRIVE_PAGE || templateId == IDD_RESULT_PAGE);
    // The keyboard starts on the new page (its first control), not on
    // whatever the old page's going left it on; a page without controls
    // (the scan) gives it to its only action, Cancel.
    QWidget* first = m_pCurPage->nextInFocusChain();
    while (first && first != m_pCurPage.get() && !(m_pCurPage->isAncestorOf(first) && first->isVisible() &&
                                                    first->isEnabled() && (first->focusPolicy() & Qt::TabFocus)))
        first = first->nextInFocusChain();
    if (first && first != m_pCurPage.get() && m_pCurPage->isAncestorOf(first))
        first->setFocus(Qt::OtherFocusReason);
    else if (!home)
        m_next->setFocus(Qt::OtherFocusReason);
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
            if (Ask(kCancelScan)) StopScan(AfterScan::Results);
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

bool CLumivistaDlg::AskAboutSavedScan()
{
    ITaskBackend* tasks = Services().tasks;
    SavedScan saved;
    if (!tasks || !g_pSelectedPartition || tasks->FindSavedScan(g_pSelectedPartition, saved) <= 0) return true;
    const QString when = QLocale().toString(QDateTime::fromSecsSinceEpoch(saved.saved), QLocale::ShortFormat);
    const QString text =
        saved.finished
            ? QStringLiteral("This drive was scanned on %1 and %2 photos were found. Show the photos of that scan "
                             "now?\n\nYes: show them at once. No: scan the drive again from the start.")
                  .arg(when)
                  .arg(saved.photos)
            : QStringLiteral("A scan of this drive was stopped before it ended (last saved on %1, %2 photos found "
                             "so far). Continue it?\n\nYes: go on where it stopped. No: scan the drive again from "
                             "the start.")
                  .arg(when)
                  .arg(saved.photos);
    const QMessageBox::StandardButton answer = MsgBox(this, text, QMessageBox::Question,
                                                      QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    if (answer == QMessageBox::Cancel || m_nCurPage != 1) return false;
    if (answer == QMessageBox::Yes && saved.finished) {
        if (tasks->LoadSavedScan(g_pSelectedPartition) == 0) {
            m_nCurPage = 3;
            m_next->setText(QStringLiteral("Recover"));
            ShowPage(IDD_RESULT_PAGE);
            return false;
        }
        MsgBox(this, kSavedScanUnreadable, QMessageBox::Warning, QMessageBox::Ok);
        return false;
    }
    tasks->SetContinueSavedScan(answer == QMessageBox::Yes);
    return true;
}

void CLumivistaDlg::StartScan()
{
    if (!AskAboutSavedScan()) return;
    m_next->setText(QStringLiteral("Cancel"));
    m_bScanning = true;
    m_afterScan = AfterScan::Results;
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
    if (m_nCurPage == 2 && m_bScanning) {
        if (Ask(kCancelScan)) StopScan(AfterScan::Drives);
        return;
    }
    if (m_nCurPage == 3) {
        // Another partition of the same disk is a click away, but the found
        // photos go.
        if (!Ask(QStringLiteral("Are you sure to go back to the drive list? The photos found will be dropped.")))
            return;
        IPartition* scanned = g_pSelectedPartition;
        ShowDrivePage(scanned);
        StartClearThread();
        return;
    }
    m_next->setText(QStringLiteral("Next"));
    if (m_nCurPage >= 1) {
        --m_nCurPage;
        ShowPage(m_pageList[m_nCurPage]);
    }
}

void CLumivistaDlg::OnHome()
{
    if (m_bScanning) {
        if (Ask(kCancelScan)) StopScan(AfterScan::Home);
        return;
    }
    if (m_nCurPage == 3 && !Ask(kReturnHome)) return;
    const bool leavingResults = m_nCurPage == 3;
    m_nCurPage = 0;
    ShowPage(IDD_HOME_PAGE);
    m_next->setText(QStringLiteral("Next"));
    if (leavingResults) StartClearThread();
}

void CLumivistaDlg::ShowDrivePage(IPartition* partition)
{
    m_nCurPage = 1;
    ShowPage(IDD_DRIVE_PAGE);
    m_next->setText(QStringLiteral("Next"));
    if (auto* drives = dynamic_cast<CDlgSelDrive*>(m_pCurPage.get()); drives && partition)
        drives->SelectPartition(partition);
}

bool CLumivistaDlg::Ask(const QString& text)
{
    ++m_questions;
    const bool yes = AskYesNo(this, text);
    --m_questions;
    // The scan ended while the question was open: its end is handled now
    // that the question's loop is over.
    if (m_questions == 0 && m_scanEndPending) {
        m_scanEndPending = false;
        PostWizardMessage(this, WM_SCAN_FINISHED, m_pendingScanResult, 0);
    }
    return yes;
}

void CLumivistaDlg::StopScan(AfterScan then)
{
    // The scan may have ended while the question was open.
    auto* scan = dynamic_cast<CDlgScan*>(m_pCurPage.get());
    if (!m_bScanning || !scan || !scan->GetSink()) return;
    m_afterScan = then;
    scan->GetSink()->SetStop();
    // The scan stops at its next event; until it has, there is nothing
    // more to press.
    for (QPushButton* button : {m_home, m_back, m_next}) button->setEnabled(false);
}

void CLumivistaDlg::OnScanFinished(intptr_t result)
{
    auto* scan = dynamic_cast<CDlgScan*>(m_pCurPage.get());
    const bool stopped = scan && scan->GetSink() && scan->GetSink()->IsStopped();
    const bool driveGone = scan && scan->DriveGone();
    if (scan) scan->ScanEnded();
    const AfterScan then = m_afterScan;
    m_afterScan = AfterScan::Results;
    switch (then) {
    case AfterScan::Exit:
        QDialog::reject();
        return;
    case AfterScan::Home:
        m_nCurPage = 0;
        ShowPage(IDD_HOME_PAGE);
        m_next->setText(QStringLiteral("Next"));
        StartClearThread();
        return;
    case AfterScan::Drives:
        ShowDrivePage(g_pSelectedPartition);
        StartClearThread();
        return;
    case AfterScan::Results:
        break;
    }

    // Nothing to show: say so, and offer the drives again.
    int found = 0;
    if (ITaskBackend* tasks = Services().tasks)
        for (int category = 0; category < kPhotoCategoryCount; ++category)
            found += std::max(tasks->GetPhotoItems(category, -1, -1, nullptr), 0);
    if (found == 0) {
        const QString drive = FormatDriveText(g_pSelectedPartition);
        if (driveGone) {
            MsgBox(this,
                   QStringLiteral("The drive was removed during the scan, so the scan ended before any photo was "
                                  "found. Attach the drive again and scan it once more."),
                   QMessageBox::Warning);
        } else if (stopped) {
            MsgBox(this, QStringLiteral("The scan was cancelled before any photo was found."),
                   QMessageBox::Information);
        } else if (result < 0) {
            MsgBox(this,
                   QStringLiteral("The scan of %1 could not be completed, and no photos were found. The log \"%2\" "
                                  "tells what went wrong.")
                       .arg(drive, QString::fromStdString(CurrentLogPath())),
                   QMessageBox::Warning);
        } else {
            MsgBox(this,
                   QStringLiteral("No photos were found on %1. Please choose another drive, or scan the whole "
                                  "disk if it is listed.")
                       .arg(drive),
                   QMessageBox::Information);
        }
        ShowDrivePage(g_pSelectedPartition);
        StartClearThread();
        return;
    }
    m_next->setText(QStringLiteral("Recover"));
    Advance();
    if (driveGone) MsgBox(this, kDriveGone, QMessageBox::Warning, QMessageBox::Ok);
}

void CLumivistaDlg::OnHelp()
{
    const QUrl url = HelpUrl();
    if (!OpenWithDesktop(url))
        MsgBox(this,
               QStringLiteral("The user guide could not be opened: no program to show it is set up on this system. "
                              "It is at %1")
                   .arg(url.isLocalFile() ? url.toLocalFile() : url.toString()),
               QMessageBox::Warning);
}

void CLumivistaDlg::OnLink()
{
    const QUrl url = HomeUrl();
    if (!OpenWithDesktop(url))
        MsgBox(this,
               QStringLiteral("The web page could not be opened: no web browser is set up on this system. Its "
                              "address is %1")
                   .arg(url.toString()),
               QMessageBox::Warning);
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
    // A recovery writes photos from a thread: it is stopped after the photo
    // being written, and the window closes once it has.
    if (auto* recovery = findChild<CDlgRecoverProgress*>(); recovery && recovery->isVisible()) {
        if (recovery->EndsProgram()) return;
        if (recovery->AskToStop(kExitDuringRecovery)) {
            recovery->SetEndsProgram();
            QPointer<CLumivistaDlg> self(this);
            connect(recovery, &QDialog::finished, this, [self] {
                QMetaObject::invokeMethod(self, [self] { if (self) self->QDialog::reject(); }, Qt::QueuedConnection);
            });
        }
        return;
    }
    if (m_bScanning) {
        // The scan thread uses the scan page: it is stopped first, and the
        // window closes once it has returned.
        if (m_afterScan == AfterScan::Results && Ask(kExit)) StopScan(AfterScan::Exit);
        return;
    }
    if (m_nCurPage == 3 && !Ask(kExit)) return;
    QDialog::reject();
}

// Escape is easily pressed by mistake: it asks on every page before the
// program ends.
void CLumivistaDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        if (m_bScanning || m_nCurPage == 3) {
            reject();
        } else if (Ask(kExit)) {
            QDialog::reject();
        }
        return;
    }
    QDialog::keyPressEvent(event);
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
        const intptr_t result = static_cast<CWizardEvent*>(event)->WParam();
        if (m_questions > 0) {
            // A question about the scan lost its point: it closes, and the
            // page changes once its loop has ended (see Ask).
            m_scanEndPending = true;
            m_pendingScanResult = result;
            Prompts().DismissQuestion();
            return true;
        }
        if (m_nCurPage == 2) OnScanFinished(result);
        return true;
    }
    default:
        return QDialog::event(event);
    }
}

void CLumivistaDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    m_layout.Apply(event->size());
    if (m_pCurPage) m_pCurPage->setGeometry(m_placeholder->geometry());
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
