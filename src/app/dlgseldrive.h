// The drive-selection page: every partition of every disk and disk image,
// or of USB disks only; the selected row's partition is the one scanned.
#pragma once

#include <QIcon>

#include "app/wizardpage.h"

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class IDisk;
class IPartition;

// Drive list item data, column 0.
enum DriveRowRole : int {
    ROLE_PARTITION = Qt::UserRole,  // IPartition*, as quintptr
    ROLE_IMAGE = Qt::UserRole + 1,  // 0 hard disk, 1 USB disk
    ROLE_DISK = Qt::UserRole + 2,   // the disk's index in the drive source
};

// True when an interface type text names a USB disk.
bool IsUsbInterface(const std::string& interfaceType);
// True for a disk image file the user opened.
bool IsImageDisk(IDisk* disk);
// The message shown when a disk image cannot be opened, with the reason
// when one is known.
QString ImageRefusalText(const QString& path, const std::string& reason);

class CDlgSelDrive : public CWizardPage {
    Q_OBJECT
public:
    explicit CDlgSelDrive(QWidget* parent);
    void InitPage() override;

    QTreeWidget* DriveList() const { return m_list; }
    bool IsFlashOnly() const { return m_flashOnly; }
    static IPartition* PartitionOf(const QTreeWidgetItem* row);

    // Opens a disk image and selects its first row.
    void OpenImage(const QString& path);
    // Selects the row of that partition when it is listed.
    void SelectPartition(IPartition* partition);
    // Copies the selected drive into the image file at `path` (resuming the
    // copy its map tells of), with a progress dialog; when it ends, offers
    // to open the image for scanning.
    void SaveImage(const QString& path);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // `quiet`: an empty list is not announced (a refill nobody asked for).
    void FillList(bool flashOnly, bool quiet = false);
    void FitColumns();
    // Drives came or went: the list follows, keeping the selected row.
    void OnDrivesChanged();
    void OnSelectionChanged();
    void OnFlashOnly();
    void OnRefresh();
    void OnOpenImage();
    void OnSaveImage();

    QTreeWidget* m_list = nullptr;
    QPushButton* m_flashButton = nullptr;
    QIcon m_images[2];  // 0 hard disk (bitmap 131), 1 USB disk (bitmap 139)
    bool m_flashOnly = false;
    // The selected row by what it stands for, which outlives the disk
    // objects a change of drives replaces.
    QString m_selectedDevice;
    quint64 m_selectedOff = 0;
};
