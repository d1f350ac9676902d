#include "app/lumivistaapp.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include <atomic>

#include "app/appconfig.h"
#include "app/backend.h"
#include "app/dlgseldrive.h"
#include "app/imageload.h"
#include "app/lumivistadlg.h"
#include "app/prompts.h"
#include "app/udisksdrivesource.h"
#include "app/uifont.h"
#include "io/log.h"

namespace {
std::atomic<QObject*> g_mainWnd{nullptr};
}

QObject* CLumivistaApp::MainWnd()
{
    return g_mainWnd.load();
}

void CLumivistaApp::SetMainWnd(QObject* window)
{
    g_mainWnd.store(window);
}

int CLumivistaApp::Run(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumivista"));
    QApplication::setApplicationVersion(AppVersion());
    // Ties the window to the installed menu entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral("example.lumivista.Lumivista"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Recovers deleted or lost photos from drives and disk images."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption imageOption(QStringLiteral("image"),
                                         QStringLiteral("Adds a disk image file to the drive list."),
                                         QStringLiteral("FILE"));
    parser.addOption(imageOption);
    parser.process(application);

    InitLog();
    QApplication::setFont(DialogFont());
    QApplication::setWindowIcon(QIcon(LoadAppIcon()));

    AppServices& services = Services();
    InstallSystemBackends(services);
    // An ordinary user in a desktop session reads drives through the
    // system's disk service; root reads them directly.
    const std::unique_ptr<CUDisksDriveSource> udisks = InstallUDisksDrives(services);
    for (const QString& image : parser.values(imageOption)) {
        const QString path = QFileInfo(image).absoluteFilePath();
        if (!services.drives || services.drives->AddImage(path.toStdString()) < 0) {
            const std::string reason = services.drives ? services.drives->GetLastImageError() : std::string();
            LOG_E("cannot open the disk image %s: %s\n", path.toUtf8().constData(), reason.c_str());
            MsgBox(nullptr, ImageRefusalText(path, reason), QMessageBox::Critical);
        }
    }

    {
        CLumivistaDlg frame;
        frame.exec();
    }
    if (udisks) services.drives = nullptr;
    return 0;
}
