// Base of the pages the wizard frame shows one at a time in its page area.
#pragma once

#include <QWidget>

class QLabel;

// Page template ids, in wizard order.
enum PageId : int {
    IDD_HOME_PAGE = 130,
    IDD_DRIVE_PAGE = 129,
    IDD_SCAN_PAGE = 143,
    IDD_RESULT_PAGE = 144,
};

class CWizardPage : public QWidget {
    Q_OBJECT
public:
    // Pages are 360 x 167 dialog units in the dialog font. The object name is
    // the template id.
    CWizardPage(int templateId, QWidget* parent);
    int TemplateId() const { return m_templateId; }

    // Runs once after the frame has created and placed the page, before it
    // is shown.
    virtual void InitPage() {}

protected:
    // Places a child at a rectangle in dialog units and names it by its id
    // (no name for controls without an id, given as 0).
    void Place(QWidget* control, int id, int x, int y, int width, int height);
    // A plain static text, wrapping at word boundaries like the system's.
    QLabel* AddStatic(int id, const QString& text, int x, int y, int width, int height);

private:
    int m_templateId;
};
