// The scan-result page: the photos found, by category, to tick and recover.
#pragma once

#include "app/wizardpage.h"

class CDlgScanResult : public CWizardPage {
    Q_OBJECT
public:
    explicit CDlgScanResult(QWidget* parent);

protected:
    bool event(QEvent* event) override;

private:
    void OnRecoverSelected();
};
