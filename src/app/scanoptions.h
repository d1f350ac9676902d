// The photo types and the smallest size a scan keeps, as the user chose
// them before the scan; remembered between runs (QSettings, group "scan").
#pragma once

#include <QDialog>

#include <array>

#include "volphotorev/photoitems.h"

class QCheckBox;
class QSpinBox;

// The choice saved by the last run, or everything when none was saved.
PhotoChoice LoadPhotoChoice();
void SavePhotoChoice(const PhotoChoice& choice);

// The type's name as the result tree shows it ("JPG", "RAW", "HEIC"...).
QString CategoryLabel(int category);

// A small dialog: one box per photo type and the smallest size in KB.
// OK saves the choice; Cancel leaves it as it was.
class CDlgScanOptions : public QDialog {
    Q_OBJECT
public:
    explicit CDlgScanOptions(QWidget* parent);

    // What the boxes say now.
    PhotoChoice Choice() const;
    QCheckBox* TypeBox(int category) const { return m_boxes[static_cast<size_t>(category)]; }
    QSpinBox* MinSizeBox() const { return m_minSize; }

private:
    void OnAccept();

    std::array<QCheckBox*, kPhotoCategoryCount> m_boxes{};
    QSpinBox* m_minSize = nullptr;
};
