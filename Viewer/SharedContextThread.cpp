#include "SharedContextThread.h"

// Apart from the files that include GLEW, whose macros Qt's context header refuses.
#include <QGLWidget>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QThread>

struct SharedContextThread::Context {
    QOpenGLContext aside;
    QOffscreenSurface surface;
};

SharedContextThread::SharedContextThread(QGLWidget& widget, std::function<void()> work,
                                         std::function<void()> done)
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
    thread.reset(QThread::create(
        [this, &aside, &surface, home, work = std::move(work), done = std::move(done)] {
            if (aside.makeCurrent(&surface)) {
                work();
                aside.doneCurrent();
            }
            aside.moveToThread(home);
            if (done) {
                done();
            }
        }));
    aside.moveToThread(thread.get());
    thread->start();
}

SharedContextThread::~SharedContextThread() {
    join();
}

void SharedContextThread::join() {
    if (thread) {
        // The driver's call cannot be stopped; it ends soon enough.
        thread->wait();
        thread.reset();
        widget.makeCurrent();
    }
}
