#pragma once

#include "ViewerWidget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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
