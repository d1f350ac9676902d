#include "app/dlgphotofilter.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/dlgscanresult.h"
#include "app/uifont.h"

CDlgPhotoFilter::CDlgPhotoFilter(const PhotoView& view, uint32_t present, QWidget* owner)
    : QDialog(owner), m_view(view)
{
    setWindowTitle(QStringLiteral("Filter Photos"));
    setFont(DialogFont());
    auto* layout = new QVBoxLayout(this);

    auto* types = new QGroupBox(QStringLiteral("Show these types"), this);
    auto* typeRow = new QHBoxLayout(types);
    for (int category = 0; category < kPhotoCategoryCount; ++category) {
        auto* box = new QCheckBox(CategoryText(category), types);
        box->setChecked(view.ShowsCategory(category));
        box->setVisible(present & (1u << category));
        typeRow->addWidget(box);
        m_types[static_cast<size_t>(category)] = box;
    }
    typeRow->addStretch(1);
    layout->addWidget(types);

    auto* sizeRow = new QHBoxLayout();
    m_larger = new QCheckBox(QStringLiteral("Only photos larger than"), this);
    m_kilobytes = new QSpinBox(this);
    m_kilobytes->setRange(1, 10 * 1024 * 1024);
    m_kilobytes->setSuffix(QStringLiteral(" KB"));
    m_kilobytes->setValue(view.minBytes > 0 ? static_cast<int>(std::min<uint64_t>(view.minBytes / 1024, 10 << 20))
                                            : 100);
    m_larger->setChecked(view.minBytes > 0);
    m_kilobytes->setEnabled(m_larger->isChecked());
    connect(m_larger, &QCheckBox::toggled, m_kilobytes, &QSpinBox::setEnabled);
    sizeRow->addWidget(m_larger);
    sizeRow->addWidget(m_kilobytes);
    sizeRow->addStretch(1);
    layout->addLayout(sizeRow);

    m_deleted = new QCheckBox(QStringLiteral("Only deleted photos (the drive no longer lists them)"), this);
    m_deleted->setChecked(view.deletedOnly);
    layout->addWidget(m_deleted);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_showAll = buttons->addButton(QStringLiteral("Show All"), QDialogButtonBox::ResetRole);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_showAll, &QPushButton::clicked, this, &CDlgPhotoFilter::OnShowAll);
    layout->addWidget(buttons);
}

void CDlgPhotoFilter::OnShowAll()
{
    for (QCheckBox* box : m_types) box->setChecked(true);
    m_larger->setChecked(false);
    m_deleted->setChecked(false);
}

PhotoView CDlgPhotoFilter::Result() const
{
    PhotoView view = m_view;
    view.categories = 0;
    for (int category = 0; category < kPhotoCategoryCount; ++category)
        if (m_types[static_cast<size_t>(category)]->isChecked() || m_types[static_cast<size_t>(category)]->isHidden())
            view.categories |= 1u << category;
    view.minBytes = m_larger->isChecked() ? static_cast<uint64_t>(m_kilobytes->value()) * 1024 : 0;
    view.deletedOnly = m_deleted->isChecked();
    return view;
}
