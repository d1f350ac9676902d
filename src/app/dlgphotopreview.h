// A found photo large, read from the drive without recovering it: scaled to
// the window, with the previous and next photo of the list a key away.
#pragma once

#include <QDialog>
#include <QImage>

#include <vector>

#include "volphotorev/photoitems.h"

class IPartition;
class QLabel;
class QPushButton;

// Paints a picture scaled to fit, centred on a dark ground, or a line of text
// when there is none.
class CPreviewCanvas : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    void SetPicture(const QImage& picture, const QString& missing);
    QSize sizeHint() const override { return QSize(640, 480); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_picture;
    QString m_missing;
};

class CDlgPhotoPreview : public QDialog {
    Q_OBJECT
public:
    // `items`: the photos of the list, in its order (owned by the photo
    // store); `index`: the one shown first. Bytes come through the installed
    // task backend from `partition`.
    CDlgPhotoPreview(std::vector<PhotoItem*> items, int index, IPartition* partition, QWidget* owner);

    int Index() const { return m_index; }
    // Shows photo `index` of the list (kept within the list).
    void Show(int index);
    // What is shown: the picture as decoded (null when the bytes are no
    // picture) and the line under it.
    const QImage& Picture() const { return m_picture; }
    QString Caption() const;

protected:
    // Left and Right (and Page Up, Page Down, Home, End) move through the
    // list; Escape closes.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QImage Decode(PhotoItem* item, QSize* fullSize) const;

    std::vector<PhotoItem*> m_items;
    IPartition* m_partition;
    int m_index = -1;
    QImage m_picture;
    QSize m_fullSize;
    CPreviewCanvas* m_canvas = nullptr;
    QLabel* m_caption = nullptr;
    QPushButton* m_previous = nullptr;
    QPushButton* m_next = nullptr;
};
