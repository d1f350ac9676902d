// Base of the pages the wizard frame shows one at a time in its page area.
#pragma once

#include <QWidget>

#include <vector>

class QLabel;

// Page template ids, in wizard order.
enum PageId : int {
    IDD_HOME_PAGE = 130,
    IDD_DRIVE_PAGE = 129,
    IDD_SCAN_PAGE = 143,
    IDD_RESULT_PAGE = 144,
};

// How a control follows its window when the window is made larger than its
// template: by default it keeps its place and size (top left).
enum Anchor : unsigned {
    ANCHOR_NONE = 0,
    ANCHOR_GROW_WIDTH = 1,    // its right edge follows the window's
    ANCHOR_GROW_HEIGHT = 2,   // its bottom edge follows the window's
    ANCHOR_RIGHT = 4,         // it moves with the right edge
    ANCHOR_BOTTOM = 8,        // it moves with the bottom edge
    ANCHOR_CENTRE_X = 16,     // it stays centred across
    ANCHOR_CENTRE_Y = 32,     // it stays centred down
};

// Moves and stretches the controls placed through it when their window
// grows past its template size, by their anchors.
class CAnchorLayout {
public:
    // Template size of the window, pixels.
    void SetBaseSize(QSize size) { m_base = size; }
    void Add(QWidget* control, unsigned anchors);
    // Lays the controls out for a window of `size`.
    void Apply(QSize size) const;

private:
    struct Item {
        QWidget* control;
        QRect rect;  // at the template size
        unsigned anchors;
    };
    QSize m_base;
    std::vector<Item> m_items;
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
    // (no name for controls without an id, given as 0); `anchors` tell how it
    // follows a page larger than its template.
    void Place(QWidget* control, int id, int x, int y, int width, int height, unsigned anchors = ANCHOR_NONE);
    // A plain static text, wrapping at word boundaries like the system's.
    QLabel* AddStatic(int id, const QString& text, int x, int y, int width, int height,
                      unsigned anchors = ANCHOR_NONE);
    void resizeEvent(QResizeEvent* event) override;

private:
    int m_templateId;
    CAnchorLayout m_layout;
};
