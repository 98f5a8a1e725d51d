#pragma once

#include "ViewerWidget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QStringList>

// Runs the events until the widget's loads are done and their boxes shown, as a user waiting
// would; false once `milliseconds` have gone by first.
inline bool settle(ViewerWidget& widget, int milliseconds = 60000) {
    QElapsedTimer clock;
    clock.start();
    // The queued start of a load comes in the first turn.
    QCoreApplication::processEvents();
    while (widget.isLoading()) {
        if (clock.elapsed() > milliseconds) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QCoreApplication::processEvents();
    return true;
}

// open, then settle.
inline bool openAndSettle(ViewerWidget& widget, const QStringList& files) {
    widget.open(files);
    return settle(widget);
}

// Types `text` (or presses `key`) on the widget; whether the widget took the key.
inline bool type(QWidget& widget, const QString& text, int key = 0) {
    QKeyEvent event(QEvent::KeyPress, key != 0 ? key : Qt::Key_unknown, Qt::NoModifier, text);
    QCoreApplication::sendEvent(&widget, &event);
    return event.isAccepted();
}

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget& widget) { widget.installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return false;
    }
};
