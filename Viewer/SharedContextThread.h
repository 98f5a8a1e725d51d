#pragma once

#include <functional>
#include <memory>

class QGLWidget;
class QThread;

// Runs `work` on a thread of its own with a GL context current that shares its objects with
// `widget`'s, from construction on, while the caller goes on; `done` then runs on that thread,
// also where the context could not be made current. `work` must not throw. The destructor
// joins the thread and makes the widget's context current again.
class SharedContextThread {
public:
    SharedContextThread(QGLWidget& widget, std::function<void()> work,
                        std::function<void()> done = {});
    ~SharedContextThread();

    SharedContextThread(const SharedContextThread&) = delete;
    SharedContextThread& operator=(const SharedContextThread&) = delete;

    // False, and nothing runs, where no shared context could be had.
    bool started() const { return thread != nullptr; }
    // Joins the thread.
    void join();

private:
    // Qt's context classes stay out of the header: the files that include GLEW cannot have
    // them.
    struct Context;

    QGLWidget& widget;
    std::unique_ptr<Context> context;
    std::unique_ptr<QThread> thread;
};
