// The copy of a drive into an image file: a thread runs the copy while the
// dialog shows how far it is; Stop ends it with the map saved, so that the
// same image chosen again goes on from there.
#pragma once

#include <QDialog>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "taskmgr/diskimaging.h"

class QLabel;
class QProgressBar;
class QPushButton;

// What the drive page hands the dialog.
struct ImagingRequest {
    std::string source;   // the disk's device path or image file, opened read-only
    uint64_t offset = 0;  // bytes: the drive's first byte on its disk
    uint64_t size = 0;    // bytes to copy
    std::string image;
    std::string map;
    QString driveText;    // "sdb1: PHOTOS (FAT32)"
    ImagingOptions options;
};

class CDlgImageProgress : public QDialog {
    Q_OBJECT
public:
    CDlgImageProgress(ImagingRequest request, QWidget* owner);
    // Stops a copy still running and waits for its thread.
    ~CDlgImageProgress() override;

    // Runs the copy until it ends; returns its ImagingResult.
    int exec() override;

    const ImagingProgress& Progress() const { return m_shown; }
    const QString& ErrorText() const { return m_errorText; }
    QPushButton* StopButton() const { return m_stopButton; }
    // The texts of the progress lines, in order (for tests and the renderer).
    QStringList Lines() const;

    // One progress line per item: phase, rescued, bad areas, rate, last good read.
    static QStringList ProgressLines(const ImagingProgress& p);

public slots:
    void reject() override;

private:
    class Observer;
    void Show(const ImagingProgress& p);
    void Finished(int result, const QString& error, const ImagingProgress& p);

    ImagingRequest m_request;
    QLabel* m_heading = nullptr;
    QLabel* m_lines[5] = {};
    QProgressBar* m_progress = nullptr;
    QPushButton* m_stopButton = nullptr;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    DevHandle m_source;
    ImagingProgress m_shown;
    QString m_errorText;
    int m_result = IMAGING_FAILED;
};
