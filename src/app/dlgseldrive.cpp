#include "app/dlgseldrive.h"

#include <QHeaderView>
#include <QStringList>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>

#include "app/backend.h"
#include "app/dlgimageprogress.h"
#include "app/driveevents.h"
#include "app/driveopen.h"
#include "app/drivetext.h"
#include "app/imageload.h"
#include "app/prompts.h"
#include "app/scanoptions.h"
#include "app/wizardstate.h"
#include "io/log.h"
#include "io/platform/frontend_checks.h"
#include "taskmgr/diskimaging.h"

namespace {

const QString kNoDrives = QStringLiteral(
    "No available drives. Please attach your flash drive to your computer and make sure it has been recognized by "
    "the system.");
const QString kNoPermission = QStringLiteral(
    "No available drives. Reading drives needs administrator rights: start Lumivista with sudo, or open a disk "
    "image file with \"Open Image...\".");

// No row to show although the system lists disks: say which could not be
// opened and why. Only an ordinary user is told to get more rights.
QString NoDrivesText(const std::vector<IDriveSource::UnopenedDisk>& unopened, bool hasRights)
{
    if (unopened.empty()) return kNoDrives;
    const bool denied = std::any_of(unopened.begin(), unopened.end(),
                                    [](const IDriveSource::UnopenedDisk& d) { return d.denied; });
    if (denied && !hasRights) return kNoPermission;
    auto reasonOf = [](const IDriveSource::UnopenedDisk& d) {
        return d.reason.empty() ? QStringLiteral("it cannot be measured") : QString::fromStdString(d.reason);
    };
    QString what;
    if (unopened.size() == 1) {
        what = QStringLiteral("The disk %1 could not be opened: %2")
                   .arg(QString::fromStdString(unopened.front().device), reasonOf(unopened.front()));
    } else {
        QStringList disks;
        for (const IDriveSource::UnopenedDisk& d : unopened)
            disks << QString::fromStdString(d.device) + QStringLiteral(" (") + reasonOf(d) + QStringLiteral(")");
        what = QStringLiteral("These disks could not be opened: ") + disks.join(QStringLiteral(", "));
    }
    return QStringLiteral("No available drives. %1. You can still open a disk image file with \"Open Image...\".")
        .arg(what);
}

}  // namespace

bool IsImageDisk(IDisk* disk)
{
    return disk && QString::fromStdString(disk->GetInterfaceType()).compare(QLatin1String("Image"),
                                                                              Qt::CaseInsensitive) == 0;
}

QString ImageRefusalText(const QString& path, const std::string& reason)
{
    if (reason.empty()) return QStringLiteral("Cannot open \"%1\" as a disk image.").arg(path);
    return QStringLiteral("Cannot open \"%1\" as a disk image: %2.").arg(path, QString::fromStdString(reason));
}

bool IsUsbInterface(const std::string& interfaceType)
{
    return interfaceType.size() >= 3 &&
           QLatin1String(interfaceType.data(), 3).compare(QLatin1String("USB"), Qt::CaseInsensitive) == 0;
}

CDlgSelDrive::CDlgSelDrive(QWidget* parent) : CWizardPage(IDD_DRIVE_PAGE, parent)
{
    AddStatic(0, QStringLiteral("Please select the drive you want to recover photos from and click Next to scan."), 7,
              7, 270, 8);

    m_list = new QTreeWidget(this);
    Place(m_list, 1001, 7, 18, 347, 123, ANCHOR_GROW_WIDTH | ANCHOR_GROW_HEIGHT);
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setUniformRowHeights(true);
    m_list->setFrameShape(QFrame::StyledPanel);
    m_list->viewport()->installEventFilter(this);

    m_flashButton = new QPushButton(QStringLiteral("Show Only Flash Drives"), this);
    Place(m_flashButton, 1007, 7, 143, 83, 16, ANCHOR_BOTTOM);
    auto* refresh = new QPushButton(QStringLiteral("Refresh Drives"), this);
    Place(refresh, 1008, 95, 143, 83, 16, ANCHOR_BOTTOM);
    auto* openImage = new QPushButton(QStringLiteral("Open Image..."), this);
    Place(openImage, 1009, 183, 143, 83, 16, ANCHOR_BOTTOM);
    auto* types = new QPushButton(QStringLiteral("Photo Types..."), this);
    Place(types, 1010, 271, 143, 83, 16, ANCHOR_BOTTOM);
    for (QPushButton* button : {m_flashButton, refresh, openImage, types}) button->setAutoDefault(false);
    connect(types, &QPushButton::clicked, this, [this] { CDlgScanOptions(this).exec(); });
    // The row of buttons below the list is full: copying a drive sits above it.
    auto* saveImage = new QPushButton(QStringLiteral("Save Image..."), this);
    Place(saveImage, 1011, 281, 3, 73, 14, ANCHOR_RIGHT);
    saveImage->setAutoDefault(false);
    saveImage->setToolTip(QStringLiteral("Copy the drive into an image file first, then scan the copy: the best way "
                                         "with a drive that has read errors"));

    connect(m_flashButton, &QPushButton::clicked, this, &CDlgSelDrive::OnFlashOnly);
    connect(refresh, &QPushButton::clicked, this, &CDlgSelDrive::OnRefresh);
    connect(openImage, &QPushButton::clicked, this, &CDlgSelDrive::OnOpenImage);
    connect(saveImage, &QPushButton::clicked, this, &CDlgSelDrive::OnSaveImage);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &CDlgSelDrive::OnSelectionChanged);
    connect(&DriveEvents(), &CDriveEvents::drivesChanged, this, &CDlgSelDrive::OnDrivesChanged);
}

void CDlgSelDrive::InitPage()
{
    const QColor black(0, 0, 0);
    m_images[0] = QIcon(LoadBitmapResource(131, black));
    m_images[1] = QIcon(LoadBitmapResource(139, black));
    m_list->setIconSize(QSize(32, 32));

    m_list->setHeaderLabels({QStringLiteral("Drive"), QStringLiteral("Capacity"), QStringLiteral("Information")});
    m_list->headerItem()->setTextAlignment(0, Qt::AlignLeft | Qt::AlignVCenter);
    m_list->headerItem()->setTextAlignment(1, Qt::AlignLeft | Qt::AlignVCenter);
    m_list->headerItem()->setTextAlignment(2, Qt::AlignLeft | Qt::AlignVCenter);
    m_list->header()->setStretchLastSection(true);
    m_list->header()->setSectionsMovable(false);
    m_list->setColumnWidth(0, 200);
    m_list->setColumnWidth(1, 200);

    m_flashOnly = false;
    FillList(m_flashOnly);
}

IPartition* CDlgSelDrive::PartitionOf(const QTreeWidgetItem* row)
{
    if (!row) return nullptr;
    return reinterpret_cast<IPartition*>(row->data(0, ROLE_PARTITION).value<quintptr>());
}

void CDlgSelDrive::FillList(bool flashOnly, bool quiet)
{
    g_pSelectedPartition = nullptr;
    m_list->clear();

    IDriveSource* drives = Services().drives;
    const int diskCount = drives ? drives->GetDiskCount() : 0;
    QList<QTreeWidgetItem*> rows;
    for (int d = 0; d < diskCount; ++d) {
        IDisk* disk = drives->GetDiskByIndex(d);
        if (!disk) continue;
        const bool usb = IsUsbInterface(disk->GetInterfaceType());
        // The images the user opened are what they came for: always shown.
        if (flashOnly && !usb && !IsImageDisk(disk)) continue;
        const QString model = QString::fromStdString(disk->GetModel());
        const int partitions = disk->LoadPartition();
        for (int k = 0; k < partitions; ++k) {
            CPartition* partition = disk->GetPartition(k);
            if (!partition) continue;
            ParInfor infor;
            partition->GetInfor(infor);
            if (infor.Fs == 5 || infor.Fs == 15) continue;
            auto* row = new QTreeWidgetItem();
            row->setText(0, FormatDriveText(infor, partition->GetKernelName()));
            row->setIcon(0, m_images[usb ? 1 : 0]);
            row->setText(1, FormatSizeText(SectorsToBytes(infor.Len)));
            row->setText(2, model);
            for (int column = 0; column < 3; ++column) row->setToolTip(column, row->text(column));
            row->setData(0, ROLE_PARTITION, QVariant::fromValue(reinterpret_cast<quintptr>(
                                                 static_cast<IPartition*>(partition))));
            row->setData(0, ROLE_IMAGE, usb ? 1 : 0);
            row->setData(0, ROLE_DISK, d);
            rows.append(row);
        }
    }
    m_list->addTopLevelItems(rows);
    FitColumns();

    if (!rows.isEmpty()) {
        m_list->setCurrentItem(rows.first());
        m_list->setFocus();
        return;
    }
    if (quiet) return;
    std::vector<IDriveSource::UnopenedDisk> unopened;
    if (drives && diskCount == 0 && !flashOnly) unopened = drives->GetUnopenedDisks();
    MsgBox(this, NoDrivesText(unopened, RunsWithDiskRights()), QMessageBox::Warning, QMessageBox::Ok);
    m_list->setFocus();
}

// Drive and capacity as wide as their longest text, so that no name is cut
// while the information column has room; what does not fit shows in the
// rows' tooltips.
void CDlgSelDrive::FitColumns()
{
    const int available = m_list->width() - 2 * m_list->frameWidth();
    int wanted[2] = {0, 0};
    for (int column = 0; column < 2; ++column) {
        m_list->resizeColumnToContents(column);
        wanted[column] = std::max(m_list->columnWidth(column), m_list->header()->sectionSizeHint(column)) + 8;
    }
    // The information column keeps at least a third of the list; the drive
    // column gives way first.
    const int limit = available * 2 / 3;
    if (wanted[0] + wanted[1] > limit) wanted[0] = std::max(limit - wanted[1], 80);
    m_list->setColumnWidth(0, wanted[0]);
    m_list->setColumnWidth(1, wanted[1]);
}

void CDlgSelDrive::OnSelectionChanged()
{
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    g_pSelectedPartition = selected.isEmpty() ? nullptr : PartitionOf(selected.first());
    CDisk* disk = g_pSelectedPartition ? g_pSelectedPartition->GetDisk() : nullptr;
    m_selectedDevice = disk ? QString::fromStdString(disk->GetDevicePath()) : QString();
    m_selectedOff = g_pSelectedPartition ? g_pSelectedPartition->GetOff() : 0;
}

void CDlgSelDrive::OnFlashOnly()
{
    m_flashOnly = !m_flashOnly;
    FillList(m_flashOnly);
    m_flashButton->setText(m_flashOnly ? QStringLiteral("Show all Drives") : QStringLiteral("Show only Flash Drives"));
}

void CDlgSelDrive::OnRefresh()
{
    // The rows point into the disks the refresh replaces: drop them first.
    g_pSelectedPartition = nullptr;
    m_list->clear();
    if (IDriveSource* drives = Services().drives) drives->Refresh();
    FillList(m_flashOnly);
}

void CDlgSelDrive::OnDrivesChanged()
{
    // The same row is the same partition of the same device. The disk
    // objects behind the rows are already replaced: only what was noted at
    // selection time is left of the old ones.
    const QString device = m_selectedDevice;
    const quint64 off = m_selectedOff;
    FillList(m_flashOnly, true);
    if (device.isEmpty()) return;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_list->topLevelItem(i);
        IPartition* partition = PartitionOf(row);
        CDisk* disk = partition ? partition->GetDisk() : nullptr;
        if (disk && QString::fromStdString(disk->GetDevicePath()) == device &&
            partition->GetOff() == off) {
            m_list->setCurrentItem(row);
            break;
        }
    }
}

void CDlgSelDrive::OnOpenImage()
{
    const QString path = Prompts().ChooseImageFile(this);
    if (!path.isEmpty()) OpenImage(path);
}

void CDlgSelDrive::OpenImage(const QString& path)
{
    IDriveSource* drives = Services().drives;
    const int disk = drives ? drives->AddImage(path.toStdString()) : -1;
    if (disk < 0) {
        const std::string reason = drives ? drives->GetLastImageError() : std::string();
        LOG_E("cannot open the disk image %s: %s\n", path.toUtf8().constData(), reason.c_str());
        MsgBox(this, ImageRefusalText(path, reason), QMessageBox::Critical);
        return;
    }
    FillList(m_flashOnly);
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_list->topLevelItem(i);
        if (row->data(0, ROLE_DISK).toInt() == disk) {
            m_list->setCurrentItem(row);
            m_list->scrollToItem(row);
            break;
        }
    }
}

void CDlgSelDrive::SelectPartition(IPartition* partition)
{
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_list->topLevelItem(i);
        if (PartitionOf(row) == partition) {
            m_list->setCurrentItem(row);
            m_list->scrollToItem(row);
            return;
        }
    }
}

void CDlgSelDrive::OnSaveImage()
{
    if (!g_pSelectedPartition) {
        MsgBox(this, QStringLiteral("Please select a drive."), QMessageBox::Warning);
        return;
    }
    auto* concrete = dynamic_cast<CPartition*>(g_pSelectedPartition);
    QString name = concrete ? QString::fromStdString(concrete->GetKernelName()) : QString();
    name.replace(QLatin1Char('#'), QLatin1Char('-'));
    if (name.isEmpty()) name = QStringLiteral("drive");
    const QString path = Prompts().ChooseImageSaveFile(this, name + QStringLiteral(".img"));
    if (path.isEmpty()) return;
    IDriveSource* drives = Services().drives;
    if (drives && drives->NeedsOpening(g_pSelectedPartition)) {
        // A drive listed by the system's disk service is opened through it
        // first (a password, once); the copy then reads through that.
        QPointer<CDlgSelDrive> self(this);
        setEnabled(false);
        drives->OpenForReading(g_pSelectedPartition, [self, path](const DiskOpenResult& result) {
            if (!self) return;
            self->setEnabled(true);
            if (result.status != DiskOpenResult::Opened) {
                MsgBox(self, DiskOpenFailureText(result), QMessageBox::Warning);
                return;
            }
            self->SaveImage(path);
        });
        return;
    }
    SaveImage(path);
}

void CDlgSelDrive::SaveImage(const QString& path)
{
    IPartition* partition = g_pSelectedPartition;
    QTreeWidgetItem* row = m_list->currentItem();
    IDriveSource* drives = Services().drives;
    IDisk* disk = (row && drives) ? drives->GetDiskByIndex(row->data(0, ROLE_DISK).toInt()) : nullptr;
    if (!partition || !disk) {
        MsgBox(this, QStringLiteral("Please select a drive."), QMessageBox::Warning);
        return;
    }
    ParInfor infor;
    partition->GetInfor(infor);
    ImagingRequest request;
    request.source = disk->GetDevicePath();
    request.offset = infor.Off * 512;
    request.size = infor.Len * 512;
    request.image = path.toStdString();
    request.map = request.image + ".map";
    request.driveText = FormatDriveText(partition);
    request.options.commandLine = "lumivista (Save Image) " + request.source;

    // The copy must not land on the disk it rescues, not even on another of
    // its partitions: a failing disk is no place to write.
    for (const std::string& file : {request.image, request.map}) {
        const std::string folder = FolderOf(file);
        const int same = Services().folderOnPartition ? FolderIsOnPartition(folder, partition)
                                                      : PathIsOnDevice(folder, request.source, true);
        if (same != 0) {
            MsgBox(this,
                   same > 0 ? QStringLiteral("\"%1\" is on the drive being copied: writing there would overwrite what "
                                             "is being rescued. Please choose a place on another drive.")
                                  .arg(QString::fromStdString(file))
                            : QStringLiteral("Cannot examine the folder of \"%1\".").arg(QString::fromStdString(file)),
                   QMessageBox::Warning);
            return;
        }
    }
    ImagingPlan plan;
    std::string reason;
    if (PlanImaging(request.source, request.size, request.image, request.map, plan, reason) != 0) {
        QString text = QString::fromStdString(reason);
        if (!text.isEmpty()) text[0] = text[0].toUpper();
        MsgBox(this, text + QStringLiteral("."), QMessageBox::Warning);
        return;
    }
    if (plan.resume &&
        !AskYesNo(this, QStringLiteral("\"%1\" already holds a copy of a drive (%2 copied so far). Go on with that "
                                       "copy, trying again what is still missing?")
                            .arg(path, FormatSizeText(static_cast<int64_t>(plan.rescued)))))
        return;
    // A second go also tries the bad sectors once more.
    if (plan.resume) request.options.retryPasses = 1;

    CDlgImageProgress dialog(request, this);
    const int result = dialog.exec();
    const ImagingProgress& p = dialog.Progress();
    const QString kept = QStringLiteral("What was copied is kept in \"%1\" with its map \"%2\": choose Save "
                                        "Image... with the same file to go on.")
                             .arg(path, QString::fromStdString(request.map));
    switch (result) {
    case IMAGING_DONE: {
        QString text = QStringLiteral("The copy of %1 is saved in \"%2\".").arg(request.driveText, path);
        if (p.badAreas > 0)
            text += QStringLiteral(" %1 of %2 could be read; %3 bad area(s) (%4) could not, and stay empty in the "
                                   "image.")
                        .arg(FormatSizeText(static_cast<int64_t>(p.rescued)),
                             FormatSizeText(static_cast<int64_t>(p.size)))
                        .arg(p.badAreas)
                        .arg(FormatSizeText(static_cast<int64_t>(p.badBytes)));
        text += QStringLiteral("\n\nScan the image now? It spares the drive another reading.");
        if (AskYesNo(this, text)) OpenImage(path);
        break;
    }
    case IMAGING_STOPPED:
        MsgBox(this, QStringLiteral("The copy was stopped. ") + kept, QMessageBox::Information);
        break;
    case IMAGING_SOURCE_GONE: {
        QString text = dialog.ErrorText();
        if (!text.isEmpty()) text[0] = text[0].toUpper();
        MsgBox(this, text + QStringLiteral(". ") + kept, QMessageBox::Critical);
        break;
    }
    default: {
        QString text = dialog.ErrorText();
        if (!text.isEmpty()) text[0] = text[0].toUpper();
        MsgBox(this, QStringLiteral("The copy failed: %1.").arg(text), QMessageBox::Critical);
        break;
    }
    }
}

// A click on empty space in the list clears the selection.
bool CDlgSelDrive::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_list->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (!m_list->itemAt(mouse->position().toPoint())) m_list->clearSelection();
    }
    return CWizardPage::eventFilter(watched, event);
}
