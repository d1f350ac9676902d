#include "app/scanoptions.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// The words of the command line's --type, so settings and scripts agree.
QString TypeWord(int category)
{
    if (category == Other) return QStringLiteral("other");
    for (const PhotoFormat& f : PhotoFormats())
        if (f.category == category) return QString::fromLatin1(f.typeName.data(), static_cast<qsizetype>(f.typeName.size()));
    return QString();
}

const char* const kLabels[kPhotoCategoryCount] = {"JPG", "PNG", "BMP", "GIF", "RAW", "HEIC", "TIFF", "WebP", "Other"};
const char* const kHints[kPhotoCategoryCount] = {
    "JPEG photos", "PNG pictures", "BMP pictures", "GIF pictures", "camera raw files (CR2, CR3, NEF, ARW, DNG, RAF...)",
    "HEIC, HEIF and AVIF photos", "TIFF pictures", "WebP pictures", "other photo files"};

}  // namespace

QString CategoryLabel(int category)
{
    if (category < 0 || category >= kPhotoCategoryCount) return QString();
    return QString::fromLatin1(kLabels[category]);
}

PhotoChoice LoadPhotoChoice()
{
    QSettings settings;
    PhotoChoice choice;
    if (settings.contains(QStringLiteral("scan/types"))) {
        choice.categories = 0;
        const QStringList words = settings.value(QStringLiteral("scan/types")).toStringList();
        for (int c = 0; c < kPhotoCategoryCount; ++c)
            if (words.contains(TypeWord(c))) choice.categories |= 1u << c;
    }
    choice.minSize = settings.value(QStringLiteral("scan/minSize"), 0).toULongLong();
    return choice;
}

void SavePhotoChoice(const PhotoChoice& choice)
{
    QSettings settings;
    QStringList words;
    for (int c = 0; c < kPhotoCategoryCount; ++c)
        if (choice.categories >> c & 1u) words << TypeWord(c);
    settings.setValue(QStringLiteral("scan/types"), words);
    settings.setValue(QStringLiteral("scan/minSize"), static_cast<qulonglong>(choice.minSize));
}

CDlgScanOptions::CDlgScanOptions(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Lumivista"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Look for these types of photo:"), this));
    auto* grid = new QGridLayout();
    const PhotoChoice choice = LoadPhotoChoice();
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        auto* box = new QCheckBox(CategoryLabel(c), this);
        box->setToolTip(QString::fromLatin1(kHints[c]));
        box->setChecked(choice.categories >> c & 1u);
        grid->addWidget(box, c / 3, c % 3);
        m_boxes[static_cast<size_t>(c)] = box;
    }
    layout->addLayout(grid);
    auto* sizeRow = new QHBoxLayout();
    sizeRow->addWidget(new QLabel(QStringLiteral("Leave out photos smaller than"), this));
    m_minSize = new QSpinBox(this);
    m_minSize->setRange(0, 1024 * 1024);
    m_minSize->setSuffix(QStringLiteral(" KB"));
    m_minSize->setValue(static_cast<int>(std::min<uint64_t>(choice.minSize / 1024, 1024 * 1024)));
    m_minSize->setToolTip(QStringLiteral("Icons and web thumbnails are a few KB; 0 keeps everything."));
    sizeRow->addWidget(m_minSize);
    sizeRow->addStretch();
    layout->addLayout(sizeRow);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgScanOptions::OnAccept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // At least one type: the last ticked box cannot be cleared.
    for (QCheckBox* box : m_boxes)
        connect(box, &QCheckBox::toggled, this, [this, buttons] {
            buttons->button(QDialogButtonBox::Ok)->setEnabled(Choice().categories != 0);
        });
}

PhotoChoice CDlgScanOptions::Choice() const
{
    PhotoChoice choice;
    choice.categories = 0;
    for (int c = 0; c < kPhotoCategoryCount; ++c)
        if (m_boxes[static_cast<size_t>(c)]->isChecked()) choice.categories |= 1u << c;
    choice.minSize = static_cast<uint64_t>(m_minSize->value()) * 1024;
    return choice;
}

void CDlgScanOptions::OnAccept()
{
    SavePhotoChoice(Choice());
    accept();
}
