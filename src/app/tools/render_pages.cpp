// Renders every page of the wizard, and the message boxes it shows on the
// way, into PNG files, on a demonstration machine of stand-in disks.
// Usage: lumivista-render-pages [OUTPUT_DIR]   (default docs/screenshots)
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

#include "app/aboutdlg.h"
#include "app/backend.h"
#include "app/dlgseldrive.h"
#include "app/fakes/fakebackend.h"
#include "app/imageload.h"
#include "app/lumivistadlg.h"
#include "app/prompts.h"
#include "app/uifont.h"
#include "app/wizardpage.h"

namespace {

QDir g_out;
int g_failures = 0;

void Save(QWidget* widget, const QString& name)
{
    QCoreApplication::processEvents();
    const QString path = g_out.filePath(name + QStringLiteral(".png"));
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++g_failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

// Shows each message box as the program would, saves it under the name set
// for it, and answers Yes (or OK).
class CRenderingPrompts : public IPromptService {
public:
    QString nextName;

    QMessageBox::StandardButton MessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                           QMessageBox::StandardButtons buttons) override
    {
        const std::unique_ptr<QMessageBox> box = CreateMessageBox(parent, text, icon, buttons);
        box->show();
        if (!nextName.isEmpty()) Save(box.get(), nextName);
        nextName.clear();
        box->close();
        return (buttons & QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
    }
    QString ChooseImageFile(QWidget*) override { return QString(); }
    QString ChooseFolder(QWidget*, const QString&) override { return folder; }
    QString folder;
};

void Click(QWidget* frame, const char* id)
{
    if (auto* button = frame->findChild<QPushButton*>(QLatin1String(id))) button->click();
    QCoreApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setFont(DialogFont());
    g_out = QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots"));
    if (!g_out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(g_out.path()));
        return 1;
    }

    CFakeDriveSource drives(AddDemoDisks);
    drives.AllowImage("/home/user/card.img", [](CFakeDisk& disk) {
        disk.AddPartition(FS_FAT32, 3906250, "CAMERA", 1);
    });
    CFakeTaskBackend tasks;
    CRenderingPrompts prompts;
    AppServices& services = Services();
    services.drives = &drives;
    services.tasks = &tasks;
    services.prompts = &prompts;

    {
        CLumivistaDlg frame;
        frame.show();
        Save(&frame, QStringLiteral("home"));

        if (auto* about = frame.HeaderMenu()->actions().value(0)) {
            QTimer::singleShot(0, [] {
                if (QWidget* box = QApplication::activeModalWidget()) {
                    Save(box, QStringLiteral("about"));
                    box->close();
                }
            });
            about->trigger();
        }

        Click(frame.CurrentPage(), "1000");
        Save(&frame, QStringLiteral("drives"));

        auto* drivePage = qobject_cast<CDlgSelDrive*>(frame.CurrentPage());
        drivePage->OpenImage(QStringLiteral("/home/user/card.img"));
        Save(&frame, QStringLiteral("drives-image"));

        Click(drivePage, "1007");
        Save(&frame, QStringLiteral("drives-flash-only"));
        Click(drivePage, "1007");

        drivePage->DriveList()->clearSelection();
        prompts.nextName = QStringLiteral("message-select-drive");
        Click(&frame, "1007");

        drivePage->DriveList()->setCurrentItem(drivePage->DriveList()->topLevelItem(4));
        Click(&frame, "1007");
        Save(&frame, QStringLiteral("scan"));

        prompts.nextName = QStringLiteral("message-cancel-scan");
        Click(&frame, "1007");
        while (frame.IsScanRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        Save(&frame, QStringLiteral("result"));

        prompts.nextName = QStringLiteral("message-return-home");
        Click(&frame, "1005");
    }

    {
        CFakeDriveSource none;
        services.drives = &none;
        CLumivistaDlg frame;
        frame.show();
        prompts.nextName = QStringLiteral("message-no-drives");
        Click(frame.CurrentPage(), "1000");
        none.SetDeniedDiskCount(2);
        prompts.nextName = QStringLiteral("message-no-permission");
        Click(frame.CurrentPage(), "1008");
    }

    services = AppServices();
    return g_failures == 0 ? 0 : 1;
}
