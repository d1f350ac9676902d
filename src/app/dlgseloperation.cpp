#include "app/dlgseloperation.h"

#include <QLabel>

#include "app/imageload.h"
#include "app/pngbutton.h"
#include "app/uifont.h"
#include "app/wizardevents.h"

CDlgSelOperation::CDlgSelOperation(QWidget* parent) : CWizardPage(IDD_HOME_PAGE, parent)
{
    AddStatic(1014, QStringLiteral("What is Lumivista?"), 7, 7, 182, 20);
    AddStatic(1015,
              QStringLiteral("Lumivista is used to recover your deleted or lost photos from hard drive, flash drive "
                             "and camera SD card."),
              17, 23, 316, 22);
    AddStatic(1017, QStringLiteral("When to use Lumivista?"), 7, 50, 170, 13);
    AddStatic(1018, QStringLiteral("1. Recover deleted photos."), 17, 66, 265, 10);
    AddStatic(1019, QStringLiteral("2. Get lost photos back due to accidentally format."), 17, 78, 288, 10);
    AddStatic(1020, QStringLiteral("3. Recover photos from crashed drives."), 17, 90, 285, 10);

    m_recoverButton = new CPngButton2(this);
    m_recoverButton->setText(QStringLiteral("Recover Now"));
    // Enter presses it, wherever the focus is on the page.
    m_recoverButton->setAutoDefault(false);
    m_recoverButton->setDefault(true);
    Place(m_recoverButton, 1000, 96, 124, 99, 36, ANCHOR_CENTRE_X | ANCHOR_CENTRE_Y);
    connect(m_recoverButton, &QPushButton::clicked, this, &CDlgSelOperation::OnRecoverNow);
}

void CDlgSelOperation::InitPage()
{
    m_headingFont = CreateBoldFont(10);
    m_buttonFont = CreateBoldFont(14);
    for (const char* id : {"1014", "1017"})
        if (auto* heading = findChild<QLabel*>(QLatin1String(id))) heading->setFont(m_headingFont);

    m_recoverButton->SetImage(LoadPngResource(142));
    m_recoverButton->SizeToImage();
    m_recoverButton->setFont(m_buttonFont);
    m_recoverButton->SetCaptionColor(QColor(0xFF, 0xFF, 0xFF));
    m_recoverButton->SetTextRect(-1, -1, -1, -1);
    m_recoverButton->setCursor(Qt::PointingHandCursor);
}

void CDlgSelOperation::OnRecoverNow()
{
    PostWizardMessage(parentWidget(), WM_SHOW_NEXT_PAGE);
}
