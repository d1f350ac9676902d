// The result page's filter: which types, a least size, deleted photos only.
#pragma once

#include <QDialog>

#include <array>

#include "app/photoview.h"

class QCheckBox;
class QPushButton;
class QSpinBox;

class CDlgPhotoFilter : public QDialog {
    Q_OBJECT
public:
    // `present`: bit c set when photos of category c were found (only those
    // are offered).
    CDlgPhotoFilter(const PhotoView& view, uint32_t present, QWidget* owner);

    // The view as the dialog's controls now say (the sort unchanged).
    PhotoView Result() const;

    QCheckBox* TypeBox(int category) const { return m_types[static_cast<size_t>(category)]; }
    QCheckBox* LargerBox() const { return m_larger; }
    QSpinBox* KilobytesBox() const { return m_kilobytes; }
    QCheckBox* DeletedBox() const { return m_deleted; }
    QPushButton* ShowAllButton() const { return m_showAll; }

private:
    void OnShowAll();

    PhotoView m_view;
    std::array<QCheckBox*, kPhotoCategoryCount> m_types{};
    QCheckBox* m_larger = nullptr;
    QSpinBox* m_kilobytes = nullptr;
    QCheckBox* m_deleted = nullptr;
    QPushButton* m_showAll = nullptr;
};
