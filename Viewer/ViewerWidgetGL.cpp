#include "ViewerWidget.h"

#include <QCoreApplication>
#include <QMessageBox>

#include <algorithm>

void ViewerWidget::initializeGL() {
    const GLenum status = glewInit();
    if (status != GLEW_OK) {
        QMessageBox::critical(
            this, tr("Marovex Viewer"),
            tr("Error initializing OpenGL: ") +
                QString::fromUtf8(reinterpret_cast<const char*>(glewGetErrorString(status))),
            QMessageBox::Ok, QMessageBox::NoButton);
        QCoreApplication::exit(-1);
        return;
    }
    if (!GLEW_VERSION_2_0) {
        QMessageBox::critical(
            this, tr("Marovex Viewer"),
            tr("Your graphics card does not support OpenGL 2.0. This viewer requires OpenGL 2.0."),
            QMessageBox::Ok, QMessageBox::NoButton);
        QCoreApplication::exit(-1);
        return;
    }
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDisable(GL_DEPTH_TEST);
}

void ViewerWidget::resizeGL(int w, int h) {
    viewportWidth = w;
    viewportHeight = h;
    glViewport(0, 0, w, h);
    if (textures.empty()) {
        return;
    }
    updateZoom();
}

void ViewerWidget::paintGL() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glGetError();
}
