#include "app/dlgrecoverprogress.h"

#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "app/backend.h"
#include "app/dlgscanresult.h"
#include "app/drivetext.h"
#include "app/prompts.h"
#include "app/uifont.h"
#include "app/wizardevents.h"
#include "io/log.h"
#include "taskmgr/recoverfiles.h"

namespace {

constexpr int kItemsPerPage = 100;

CDlgRecoverProgress::ThreadFactory& Factory()
{
    static CDlgRecoverProgress::ThreadFactory factory;
    return factory;
}

}  // namespace

void CDlgRecoverProgress::SetThreadFactory(ThreadFactory factory)
{
    Factory() = std::move(factory);
}

CDlgRecoverProgress::CDlgRecoverProgress(const RecoveryRequest& request, IPartition* partition, QWidget* owner)
    : QDialog(owner), m_request(request), m_partition(partition), m_tasks(Services().tasks)
{
    setObjectName(QStringLiteral("147"));
    setWindowTitle(QStringLiteral("Recovering Photos"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(false);  // see exec()
    setFont(DialogFont());
    const DialogUnits& du = DlgUnits();
    setFixedSize(du.X(242), du.Y(49));

    m_text = new QLabel(QStringLiteral("Recovering %d photos (%d byte)"), this);
    m_text->setObjectName(QStringLiteral("1037"));
    m_text->setGeometry(du.Rect(7, 6, 150, 10));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("1020"));
    m_progress->setGeometry(du.Rect(7, 18, 228, 11));
    m_progress->setTextVisible(false);
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancelButton->setObjectName(QStringLiteral("1029"));
    m_cancelButton->setGeometry(du.Rect(189, 33, 47, 12));
    m_cancelButton->setAutoDefault(false);
    connect(m_cancelButton, &QPushButton::clicked, this, &CDlgRecoverProgress::OnCancel);
}

CDlgRecoverProgress::~CDlgRecoverProgress()
{
    if (m_thread.joinable()) {
        m_cancel.store(1);
        m_thread.join();
    }
}

int CDlgRecoverProgress::exec()
{
    OnInitDialog();
    // A modal dialog would have the system drop the close box of the
    // program's window unanswered: instead the controls around the dialog
    // are switched off while it runs, level by level up to the window.
    std::vector<QPointer<QWidget>> switchedOff;
    for (QWidget* inner = this; QWidget* outer = inner->parentWidget(); inner = outer) {
        for (QWidget* sibling : outer->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (sibling == inner || sibling->isWindow() || !sibling->isEnabled()) continue;
            sibling->setEnabled(false);
            switchedOff.emplace_back(sibling);
        }
        if (outer->isWindow()) break;
    }
    setResult(0);
    show();
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    if (isVisible()) loop.exec(QEventLoop::DialogExec);
    for (const QPointer<QWidget>& widget : switchedOff)
        if (widget) widget->setEnabled(true);
    return result();
}

void CDlgRecoverProgress::OnInitDialog()
{
    if (m_initialised) return;
    m_initialised = true;
    m_text->setText(QStringLiteral("Recovering %1 photos (%2)")
                        .arg(m_request.tickedCount)
                        .arg(FormatSizeText(m_request.tickedBytes)));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    std::function<void()> run = [this] { RecoverThread(); };
    try {
        m_thread = Factory() ? Factory()(std::move(run)) : std::thread(std::move(run));
    } catch (const std::system_error& e) {
        LOG_E("cannot start the recovery thread: %s\n", e.what());
    }
    if (!m_thread.joinable()) m_cancel.store(1);
}

void CDlgRecoverProgress::OnCancel()
{
    m_userCancelled = true;
    m_cancel.store(1);
}

// Enter, Escape and the close box end the dialog only when no thread runs;
// a running thread still uses the dialog until its last message. Escape and
// the close box offer to stop it: the dialog then ends after the photo
// being written, as with Cancel.
void CDlgRecoverProgress::reject()
{
    if (!m_thread.joinable()) {
        QDialog::reject();
        return;
    }
    AskToStop(QStringLiteral("Are you sure to stop the recovery? The photos saved so far stay in the folder."));
}

bool CDlgRecoverProgress::AskToStop(const QString& question)
{
    if (!m_thread.joinable() || IsCancelled()) return IsCancelled();
    if (m_asking) return false;
    m_asking = true;
    const bool stop = AskYesNo(this, question);
    m_asking = false;
    // The thread may have ended while the question was open.
    if (stop && m_thread.joinable()) OnCancel();
    return stop && IsCancelled();
}

void CDlgRecoverProgress::accept()
{
    if (!m_thread.joinable()) QDialog::reject();
}

bool CDlgRecoverProgress::event(QEvent* event)
{
    if (static_cast<int>(event->type()) == WM_RECOVER_FINISHED) {
        if (m_thread.joinable()) m_thread.join();  // it has nothing left to do
        done(IsCancelled() ? QDialog::Rejected : QDialog::Accepted);
        return true;
    }
    return QDialog::event(event);
}

int CDlgRecoverProgress::ProgressPosition(int64_t doneBytes, int64_t tickedBytes, int donePhotos, int tickedCount)
{
    // In 128 bits: a hundred times the bytes done may not fit in 64.
    __int128 position = 0;
    if (tickedBytes > 0)
        position = static_cast<__int128>(std::clamp<int64_t>(doneBytes, 0, tickedBytes)) * 100 / tickedBytes;
    else if (tickedCount > 0)
        position = static_cast<__int128>(std::clamp(donePhotos, 0, tickedCount)) * 100 / tickedCount;
    return static_cast<int>(position);
}

void CDlgRecoverProgress::SetProgress(int position)
{
    // Queued: the thread never waits for the user-interface thread.
    QMetaObject::invokeMethod(this, [this, position] { m_progress->setValue(position); }, Qt::QueuedConnection);
}

void CDlgRecoverProgress::RecoverThread()
{
    int64_t done = 0;
    int photos = 0;
    for (int category = 0; category < kPhotoCategoryCount && !IsCancelled(); ++category) {
        const int n = m_tasks ? m_tasks->GetPhotoItems(category, -1, -1, nullptr) : 0;
        if (n <= 0) continue;
        std::vector<PhotoItem*> page;
        try {
            page.resize(kItemsPerPage);
        } catch (const std::bad_alloc&) {
            continue;
        }
        for (int i = 0; i <= n / kItemsPerPage && !IsCancelled(); ++i) {
            const int count = i < n / kItemsPerPage ? kItemsPerPage : n % kItemsPerPage;
            if (count == 0) continue;
            const int got = m_tasks->GetPhotoItems(category, kItemsPerPage * i, count, page.data());
            for (int k = 0; k < got && !IsCancelled(); ++k) {
                PhotoItem* item = page[static_cast<size_t>(k)];
                if (!item || !item->selected) continue;
                if (SavePhotoItem(m_tasks, m_partition, item, m_request.folder, m_request.keepFolders) == 0)
                    ++m_saved;
                else
                    ++m_failed;
                done += item->size;
                ++photos;
                SetProgress(ProgressPosition(done, m_request.tickedBytes, photos, m_request.tickedCount));
            }
        }
    }
    PostWizardMessage(this, WM_RECOVER_FINISHED);
}

int CDlgRecoverProgress::SavePhotoItem(ITaskBackend* tasks, IPartition* partition, PhotoItem* item,
                                       const std::string& folder, bool keepFolders)
{
    if (!tasks || !item) return -1;
    const uint64_t length = PhotoBufferSize(*item);
    if (length == 0 || length > kMaxRecoveredPhotoBytes) {
        LOG_E("photo of %u bytes refused: its runs need %llu bytes\n", item->size,
              static_cast<unsigned long long>(length));
        return -1;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length]());
    if (!buffer) return -1;
    if (tasks->ReadPhotoData(item, partition, buffer.get(), static_cast<uint32_t>(length)) < 0) return -1;
    RecoveryOptions options;
    options.keepFolders = keepFolders;
    return WriteRecoveredPhoto(folder, *item, buffer.get(), options);
}
