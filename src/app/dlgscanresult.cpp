#include "app/dlgscanresult.h"

#include "app/wizardevents.h"

CDlgScanResult::CDlgScanResult(QWidget* parent) : CWizardPage(IDD_RESULT_PAGE, parent)
{
    AddStatic(0, QStringLiteral("Please preview and select photos to recover."), 7, 6, 196, 10);
}

bool CDlgScanResult::event(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(WM_RECOVER_SELECTED)) {
        OnRecoverSelected();
        return true;
    }
    return CWizardPage::event(event);
}

void CDlgScanResult::OnRecoverSelected() {}
