// The home page: what the program does, and "Recover Now".
#pragma once

#include <QFont>

#include "app/wizardpage.h"

class CPngButton2;

class CDlgSelOperation : public CWizardPage {
    Q_OBJECT
public:
    explicit CDlgSelOperation(QWidget* parent);
    void InitPage() override;

    CPngButton2* RecoverButton() const { return m_recoverButton; }

private:
    void OnRecoverNow();

    CPngButton2* m_recoverButton = nullptr;
    QFont m_headingFont;  // 10-point bold
    QFont m_buttonFont;   // 14-point bold
};
