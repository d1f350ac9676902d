#include "app/wizardpage.h"

#include <QLabel>

#include "app/uifont.h"

CWizardPage::CWizardPage(int templateId, QWidget* parent) : QWidget(parent), m_templateId(templateId)
{
    setObjectName(QString::number(templateId));
    setFont(DialogFont());
    resize(DlgUnits().X(360), DlgUnits().Y(167));
}

void CWizardPage::Place(QWidget* control, int id, int x, int y, int width, int height)
{
    if (id != 0) control->setObjectName(QString::number(id));
    control->setGeometry(DlgUnits().Rect(x, y, width, height));
}

QLabel* CWizardPage::AddStatic(int id, const QString& text, int x, int y, int width, int height)
{
    auto* label = new QLabel(text, this);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    Place(label, id, x, y, width, height);
    return label;
}
