// The application object: starts the process-wide services and runs the
// wizard frame, whose end is the end of the program.
#pragma once

class QObject;

class CLumivistaApp {
public:
    // The window worker threads report to: the frame while it exists.
    // Readable from any thread.
    static QObject* MainWnd();
    static void SetMainWnd(QObject* window);

    // Command line: [--image FILE]... Returns the process's exit code.
    static int Run(int argc, char** argv);
};
