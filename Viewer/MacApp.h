#pragma once

#include <QApplication>

class ViewerWidget;

// The application object: hands the desktop's file-open requests to the viewer window and
// shows the open dialog at start-up when nothing else was opened.
class MacApp : public QApplication {
    Q_OBJECT
public:
    MacApp(int& argc, char** argv);
    ~MacApp() override;

    bool fileOpened = false;
    // Not owned; null until the window exists, and events before that open nothing.
    ViewerWidget* viewerWidget = nullptr;

public slots:
    void checkForOpenedFile();

protected:
    bool event(QEvent* e) override;
};
