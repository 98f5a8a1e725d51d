#pragma once

#include <atomic>
#include <functional>
#include <memory>

class QEventLoop;
class QGLWidget;
class QThread;

// Runs `work` on a thread of its own with a GL context current that shares its objects with
// `widget`'s, from construction on, while the caller goes on. `work` must not throw. The
// destructor joins the thread and makes the widget's context current again.
class SharedContextThread {
public:
    SharedContextThread(QGLWidget& widget, std::function<void()> work);
    ~SharedContextThread();

    SharedContextThread(const SharedContextThread&) = delete;
    SharedContextThread& operator=(const SharedContextThread&) = delete;

    // False, and nothing runs, where no shared context could be had.
    bool started() const { return thread != nullptr; }
    // Runs `loop` until the work has ended, unless it has already; returns the loop's code.
    // `finished` tells whether the work's end, rather than a quit, ended the loop.
    int wait(QEventLoop& loop, bool& finished);
    // Joins the thread; whether the work ran (its context could be made current) after that.
    void join();
    bool ran() const { return madeCurrent; }

private:
    // Qt's context classes stay out of the header: the files that include GLEW cannot have
    // them.
    struct Context;

    QGLWidget& widget;
    std::unique_ptr<Context> context;
    std::unique_ptr<QThread> thread;
    std::atomic<bool> done{false};
    bool madeCurrent = false;
};

// The same, waited for at once: `loop` keeps the caller's events going until the thread ended
// it (`finished`) or a quit did. Joins the thread before it returns the loop's code. `ran` is
// false, and nothing ran, where no shared context could be had.
int runInSharedContext(QGLWidget& widget, const std::function<void()>& work, QEventLoop& loop,
                       bool& finished, bool& ran);
