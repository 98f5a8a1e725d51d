#include "SharedContextThread.h"

// Apart from the files that include GLEW, whose macros Qt's context header refuses.
#include <QEventLoop>
#include <QGLWidget>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QThread>

struct SharedContextThread::Context {
    QOpenGLContext aside;
    QOffscreenSurface surface;
};

SharedContextThread::SharedContextThread(QGLWidget& widget, std::function<void()> work)
    : widget(widget), context(std::make_unique<Context>()) {
    QOpenGLContext& aside = context->aside;
    QOffscreenSurface& surface = context->surface;
    QOpenGLContext* own = widget.context()->contextHandle();
    aside.setFormat(own->format());
    aside.setShareContext(own);
    surface.setFormat(own->format());
    surface.create();
    if (!aside.create() || !surface.isValid()) {
        return;
    }
    QThread* home = QThread::currentThread();
    thread.reset(QThread::create([this, &aside, &surface, home, work = std::move(work)] {
        madeCurrent = aside.makeCurrent(&surface);
        if (madeCurrent) {
            work();
            aside.doneCurrent();
        }
        aside.moveToThread(home);
        done = true;
    }));
    aside.moveToThread(thread.get());
    thread->start();
}

SharedContextThread::~SharedContextThread() {
    join();
}

int SharedContextThread::wait(QEventLoop& loop, bool& finished) {
    finished = false;
    if (!thread) {
        return 0;
    }
    const QMetaObject::Connection connection =
        QObject::connect(thread.get(), &QThread::finished, &loop, [&loop, &finished] {
            finished = true;
            loop.quit();
        });
    // Ended before the connection was made: its signal is gone.
    int code = 0;
    if (done || thread->isFinished()) {
        finished = true;
    } else {
        code = loop.exec();
    }
    QObject::disconnect(connection);
    return code;
}

void SharedContextThread::join() {
    if (thread) {
        // The driver's call cannot be stopped; it ends soon enough.
        thread->wait();
        thread.reset();
        widget.makeCurrent();
    }
}

int runInSharedContext(QGLWidget& widget, const std::function<void()>& work, QEventLoop& loop,
                       bool& finished, bool& ran) {
    finished = false;
    ran = false;
    SharedContextThread aside(widget, work);
    if (!aside.started()) {
        return 0;
    }
    const int code = aside.wait(loop, finished);
    aside.join();
    ran = aside.ran();
    return code;
}
