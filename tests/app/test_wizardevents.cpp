#include <QThread>

#include <atomic>
#include <thread>

#include "apptest.h"
#include "app/wizardevents.h"

namespace {

class Receiver : public QObject {
public:
    QList<std::tuple<int, intptr_t, intptr_t>> received;

protected:
    bool event(QEvent* event) override
    {
        if (event->type() >= QEvent::User) {
            const auto* message = static_cast<CWizardEvent*>(event);
            received << std::make_tuple(static_cast<int>(event->type()), message->WParam(), message->LParam());
            return true;
        }
        return QObject::event(event);
    }
};

}  // namespace

class TestWizardEvents : public QObject {
    Q_OBJECT
private slots:
    void postedFromAWorkerArriveInOrderWithTheirParameters()
    {
        Receiver receiver;
        std::thread worker([&] {
            PostWizardMessage(&receiver, WM_SCAN_FINISHED, -1, 0);
            PostWizardMessage(&receiver, WM_RECOVER_FINISHED, 7, 9);
        });
        worker.join();
        QVERIFY(receiver.received.isEmpty());  // queued, not delivered by the worker
        QTRY_COMPARE(receiver.received.size(), 2);
        QCOMPARE(receiver.received[0], std::make_tuple(1027, intptr_t(-1), intptr_t(0)));
        QCOMPARE(receiver.received[1], std::make_tuple(1224, intptr_t(7), intptr_t(9)));
        PostWizardMessage(nullptr, WM_SHOW_NEXT_PAGE);  // no receiver: nothing happens
    }

    void sendRunsOnTheWindowThreadAndBlocksTheWorker()
    {
        QObject window;
        std::atomic<bool> ranOnUiThread{false};
        std::atomic<bool> workerSawResult{false};
        QThread* uiThread = QThread::currentThread();
        std::thread worker([&] {
            int value = 0;
            SendToWindow(&window, [&] {
                ranOnUiThread = QThread::currentThread() == uiThread;
                value = 42;
            });
            workerSawResult = value == 42;  // the call has run when Send returns
        });
        QTRY_VERIFY(workerSawResult.load());
        worker.join();
        QVERIFY(ranOnUiThread.load());

        // On the window's own thread the call runs at once.
        bool direct = false;
        SendToWindow(&window, [&] { direct = true; });
        QVERIFY(direct);
    }
};

LUMIVISTA_TEST_MAIN(TestWizardEvents)
#include "test_wizardevents.moc"
