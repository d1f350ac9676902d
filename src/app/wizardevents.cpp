#include "app/wizardevents.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

void PostWizardMessage(QObject* receiver, WizardMessage message, intptr_t wParam, intptr_t lParam)
{
    if (!receiver) return;
    QCoreApplication::postEvent(receiver, new CWizardEvent(message, wParam, lParam));
}

void SendToWindow(QObject* context, const std::function<void()>& call)
{
    if (!context || !call) return;
    if (context->thread() == QThread::currentThread()) {
        call();
        return;
    }
    QMetaObject::invokeMethod(context, call, Qt::BlockingQueuedConnection);
}
