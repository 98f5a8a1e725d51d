#include "SharedContextThread.h"

// Apart from the files that include GLEW, whose macros Qt's context header refuses.
#include <QEventLoop>
#include <QGLWidget>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QThread>

#include <memory>

int runInSharedContext(QGLWidget& widget, const std::function<void()>& work, QEventLoop& loop,
                       bool& finished, bool& ran) {
    finished = false;
    ran = false;
    QOpenGLContext* own = widget.context()->contextHandle();
    QOpenGLContext aside;
    aside.setFormat(own->format());
    aside.setShareContext(own);
    QOffscreenSurface surface;
    surface.setFormat(own->format());
    surface.create();
    if (!aside.create() || !surface.isValid()) {
        return 0;
    }
    QThread* home = QThread::currentThread();
    const std::unique_ptr<QThread> thread(QThread::create([&] {
        ran = aside.makeCurrent(&surface);
        if (ran) {
            work();
            aside.doneCurrent();
        }
        aside.moveToThread(home);
    }));
    aside.moveToThread(thread.get());
    QObject::connect(thread.get(), &QThread::finished, &loop, [&loop, &finished] {
        finished = true;
        loop.quit();
    });
    thread->start();
    const int code = loop.exec();
    // The driver's call cannot be stopped; it ends soon enough.
    thread->wait();
    widget.makeCurrent();
    return code;
}
