#include "app/wizardpage.h"

#include <QLabel>
#include <QResizeEvent>

#include <algorithm>

#include "app/uifont.h"

void CAnchorLayout::Add(QWidget* control, unsigned anchors)
{
    for (Item& item : m_items)
        if (item.control == control) {
            item.rect = control->geometry();
            item.anchors = anchors;
            return;
        }
    m_items.push_back(Item{control, control->geometry(), anchors});
}

void CAnchorLayout::Apply(QSize size) const
{
    // Never smaller than the template: the window does not shrink below it.
    const int dx = std::max(size.width() - m_base.width(), 0);
    const int dy = std::max(size.height() - m_base.height(), 0);
    for (const Item& item : m_items) {
        QRect r = item.rect;
        // Controls that size themselves keep the size they have.
        if (!(item.anchors & (ANCHOR_GROW_WIDTH | ANCHOR_GROW_HEIGHT))) r.setSize(item.control->size());
        if (item.anchors & ANCHOR_GROW_WIDTH) r.setWidth(r.width() + dx);
        if (item.anchors & ANCHOR_GROW_HEIGHT) r.setHeight(r.height() + dy);
        if (item.anchors & ANCHOR_RIGHT) r.translate(dx, 0);
        if (item.anchors & ANCHOR_BOTTOM) r.translate(0, dy);
        if (item.anchors & ANCHOR_CENTRE_X) r.translate(dx / 2, 0);
        if (item.anchors & ANCHOR_CENTRE_Y) r.translate(0, dy / 2);
        item.control->setGeometry(r);
    }
}

CWizardPage::CWizardPage(int templateId, QWidget* parent) : QWidget(parent), m_templateId(templateId)
{
    setObjectName(QString::number(templateId));
    setFont(DialogFont());
    const QSize base(DlgUnits().X(360), DlgUnits().Y(167));
    m_layout.SetBaseSize(base);
    resize(base);
}

void CWizardPage::Place(QWidget* control, int id, int x, int y, int width, int height, unsigned anchors)
{
    if (id != 0) control->setObjectName(QString::number(id));
    control->setGeometry(DlgUnits().Rect(x, y, width, height));
    m_layout.Add(control, anchors);
}

QLabel* CWizardPage::AddStatic(int id, const QString& text, int x, int y, int width, int height, unsigned anchors)
{
    auto* label = new QLabel(text, this);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    Place(label, id, x, y, width, height, anchors);
    return label;
}

void CWizardPage::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_layout.Apply(event->size());
}
