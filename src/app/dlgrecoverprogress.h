// The recovery dialog: its thread writes every ticked photo into the new
// folder while the dialog shows the progress; Cancel stops it after the photo
// being written.
#pragma once

#include <QDialog>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

class IPartition;
class ITaskBackend;
class QLabel;
class QProgressBar;
class QPushButton;
struct PhotoItem;

// What the result page hands the dialog.
struct RecoveryRequest {
    int tickedCount = 0;
    int64_t tickedBytes = 0;
    std::string folder;  // the new "Recovered Photos(hh-mm-ss)" folder
    bool keepFolders = false;  // each photo goes into its folder path inside `folder`
};

class CDlgRecoverProgress : public QDialog {
    Q_OBJECT
public:
    // Photos are read from `partition` through the installed task backend.
    CDlgRecoverProgress(const RecoveryRequest& request, IPartition* partition, QWidget* owner);
    // The thread has posted its last message before the dialog can end; this
    // only collects it.
    ~CDlgRecoverProgress() override;

    // Ends with Accepted when the thread finished without a cancel, with
    // Rejected otherwise. The dialog is no modal window: the rest of its
    // window takes no input meanwhile, but its close box still reaches the
    // program, which asks to stop the recovery (see CLumivistaDlg::reject).
    int exec() override;

    // While the thread runs: asks whether to stop it, and stops it after the
    // photo being written when the user says Yes. True when it is stopping.
    bool AskToStop(const QString& question);
    // The program is to end once the recovery has stopped: nothing more is
    // said to the user.
    void SetEndsProgram() { m_endsProgram = true; }
    bool EndsProgram() const { return m_endsProgram; }

    bool IsCancelled() const { return m_cancel.load() != 0; }
    // True when the user pressed Cancel (or agreed to stop on closing).
    bool UserCancelled() const { return m_userCancelled; }
    int SavedCount() const { return m_saved.load(); }
    int FailedCount() const { return m_failed.load(); }
    QProgressBar* ProgressBar() const { return m_progress; }
    QPushButton* CancelButton() const { return m_cancelButton; }

    // Reads one photo and writes it into `folder` (inside its folder path
    // when `keepFolders`) under its name, or under "%d_%s" with the
    // process-wide name counter when that name is taken, with its
    // modification time. 0, or -1 when it could not be read or written whole.
    static int SavePhotoItem(ITaskBackend* tasks, IPartition* partition, PhotoItem* item, const std::string& folder,
                             bool keepFolders = false);

    // The bar position after `doneBytes` of the ticked bytes, or, when the
    // ticked photos hold no bytes at all, after `donePhotos` of them.
    static int ProgressPosition(int64_t doneBytes, int64_t tickedBytes, int donePhotos, int tickedCount);

    // How recovery threads are made; tests put in one that fails.
    using ThreadFactory = std::function<std::thread(std::function<void()>)>;
    static void SetThreadFactory(ThreadFactory factory);

public slots:
    void reject() override;
    void accept() override;

protected:
    bool event(QEvent* event) override;

private:
    void OnInitDialog();
    void OnCancel();
    void RecoverThread();
    void SetProgress(int position);

    RecoveryRequest m_request;
    IPartition* m_partition;
    ITaskBackend* m_tasks;
    QLabel* m_text = nullptr;            // 1037
    QProgressBar* m_progress = nullptr;  // 1020
    QPushButton* m_cancelButton = nullptr;  // 1029
    std::atomic<uint8_t> m_cancel{0};
    std::atomic<int> m_saved{0};
    std::atomic<int> m_failed{0};
    std::thread m_thread;
    bool m_initialised = false;
    bool m_userCancelled = false;
    bool m_asking = false;  // the stop question is open
    bool m_endsProgram = false;
};
