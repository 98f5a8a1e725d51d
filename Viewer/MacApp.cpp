#include "MacApp.h"

#include "ViewerWidget.h"

#include <QFileOpenEvent>

MacApp::MacApp(int& argc, char** argv) : QApplication(argc, argv) {}

MacApp::~MacApp() = default;

void MacApp::checkForOpenedFile() {
    if (fileOpened || viewerWidget == nullptr) {
        return;
    }
    if (!viewerWidget->open()) {
        QCoreApplication::exit(0);
    }
}

bool MacApp::event(QEvent* e) {
    if (e->type() != QEvent::FileOpen) {
        return QApplication::event(e);
    }
    fileOpened = true;
    if (viewerWidget != nullptr) {
        viewerWidget->open(QStringList(static_cast<QFileOpenEvent*>(e)->file()));
    }
    return true;
}
