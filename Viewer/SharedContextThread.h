#pragma once

#include <functional>

class QEventLoop;
class QGLWidget;

// Runs `work` on a thread of its own with a GL context current that shares its objects with
// `widget`'s, while `loop` keeps the caller's events going; `finished` is set when the thread
// ended the loop, rather than a quit. Joins the thread and makes the widget's context current
// again before it returns the loop's code. `ran` is false, and nothing ran, where no shared
// context could be had. `work` must not throw.
int runInSharedContext(QGLWidget& widget, const std::function<void()>& work, QEventLoop& loop,
                       bool& finished, bool& ran);
