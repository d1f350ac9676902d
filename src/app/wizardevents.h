// The wizard's own messages between its windows and its worker threads.
#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>
#include <functional>

// Event types; the numbers are the message numbers the windows agree on.
enum WizardMessage : int {
    WM_SHOW_NEXT_PAGE = 1025,      // home page -> frame
    WM_SCAN_FINISHED = 1027,       // scan thread -> frame; wParam: the scan's result
    WM_RECOVER_SELECTED = 1028,    // frame -> result page
    WM_TREE_CHECK_CHANGED = 1124,  // result page -> itself; lParam: the tree node
    WM_RECOVER_FINISHED = 1224,    // recovery thread -> recovery dialog
};

class CWizardEvent : public QEvent {
public:
    CWizardEvent(WizardMessage message, intptr_t wParam, intptr_t lParam)
        : QEvent(static_cast<QEvent::Type>(message)), m_wParam(wParam), m_lParam(lParam) {}
    intptr_t WParam() const { return m_wParam; }
    intptr_t LParam() const { return m_lParam; }

private:
    intptr_t m_wParam;
    intptr_t m_lParam;
};

// Queues the message for `receiver` and returns at once; safe from any thread
// as long as the receiver outlives the call.
void PostWizardMessage(QObject* receiver, WizardMessage message, intptr_t wParam = 0, intptr_t lParam = 0);

// Runs `call` on the thread of `context` (the user-interface thread for a
// window) and waits until it has run. For worker threads only: called on the
// context's own thread it runs the call directly.
void SendToWindow(QObject* context, const std::function<void()>& call);
