// Shared by the wizard's test programs: a main() on the offscreen platform
// and a stand-in machine installed as the wizard's services.
#pragma once

#include <QApplication>
#include <QImage>
#include <QtTest>

#include "app/backend.h"
#include "app/fakes/fakebackend.h"
#include "app/uifont.h"
#include "app/wizardstate.h"

// Disks, scans and the user's answers for one test; restores the services
// when it goes.
struct FakeMachine {
    explicit FakeMachine(CFakeDriveSource::Builder enumerate = AddDemoDisks) : drives(std::move(enumerate))
    {
        AppServices services;
        services.drives = &drives;
        services.tasks = &tasks;
        services.prompts = &prompts;
        Services() = services;
        g_pSelectedPartition = nullptr;
    }
    ~FakeMachine()
    {
        Services() = AppServices();
        g_pSelectedPartition = nullptr;
    }
    FakeMachine(const FakeMachine&) = delete;
    FakeMachine& operator=(const FakeMachine&) = delete;

    CFakeDriveSource drives;
    CFakeTaskBackend tasks;
    CFakePrompts prompts;
};

inline QImage SolidImage(int width, int height, QColor color)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

#define LUMIVISTA_TEST_MAIN(TestClass)                                                         \
    int main(int argc, char** argv)                                                            \
    {                                                                                          \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen"); \
        QApplication application(argc, argv);                                                  \
        QApplication::setFont(DialogFont());                                                   \
        TestClass test;                                                                        \
        return QTest::qExec(&test, argc, argv);                                                \
    }
