#include "ViewerWidget.h"

#include "DrawView.h"
#include "GlError.h"
#include "Shader.h"
#include "Stopwatch.h"
#include "ViewLimits.h"
#include "ViewMapping.h"

#include <QAction>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QScopedValueRollback>
#include <QTimer>

#include <algorithm>
#include <exception>

namespace {

struct FrameRate {
    double start;
    double interval;
    float rate;
    float frames;
};

// Three quarters of the card's own memory where the driver tells it (NVIDIA's and AMD's
// extensions), so that the driver keeps room of its own; 0 where it does not.
std::size_t cardMemory() {
    GLint kilobytes[4] = {0, 0, 0, 0};
    if (GLEW_NVX_gpu_memory_info) {
        glGetIntegerv(GL_GPU_MEMORY_INFO_DEDICATED_VIDMEM_NVX, kilobytes);
    } else if (GLEW_ATI_meminfo) {
        glGetIntegerv(GL_TEXTURE_FREE_MEMORY_ATI, kilobytes);
    }
    glGetError();
    return kilobytes[0] > 0 ? static_cast<std::size_t>(kilobytes[0]) * 1024 / 4 * 3 : 0;
}

} // namespace

QString infoLine(float fstop, float zoom, double rate) {
    return QString("f-stop: %1, zoom: %2%, fps: %3")
        .arg(static_cast<double>(fstop), 0, 'f', 1)
        .arg(static_cast<int>(zoom * 100.0f))
        .arg(rate, 0, 'f', 0);
}

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
    if (!budgetGiven) {
        const std::size_t card = cardMemory();
        if (card > 0) {
            residentBudget = std::min(residentBudget, card);
        }
    }
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDisable(GL_DEPTH_TEST);

    shader.reset();
    try {
        shader = std::make_unique<Shader>("viewer", "");
    } catch (const std::exception& error) {
        // Not let out, and shown only once this hook has returned: Qt runs the hook again
        // before every frame until it returns, the box's own loop included.
        const QString text = QString("Error: %1").arg(QString::fromUtf8(error.what()));
        QTimer::singleShot(0, this, [this, text] {
            QMessageBox::critical(this, tr("Marovex Viewer"), text, QMessageBox::Ok);
        });
    }
}

void ViewerWidget::resizeGL(int w, int h) {
    view.viewportWidth = w;
    view.viewportHeight = h;
    glViewport(0, 0, w, h);
    if (!showing()) {
        return;
    }
    updateZoom();
}

ViewState ViewerWidget::viewState() const {
    // The switches are the actions' check marks.
    ViewState shown = view;
    shown.tonemap = tonemapAction->isChecked();
    shown.display = falseColourAction->isChecked() ? DisplayMode::FalseColour : DisplayMode::Colour;
    shown.showClipping = clippingAction->isChecked();
    return shown;
}

ViewState ViewerWidget::previewView() const {
    ViewState first = viewState();
    first.projection =
        defaultProjection(previewWidth, previewHeight, previewMetadata.projectionHint);
    first.yaw = 0.0f;
    first.pitch = 0.0f;
    first.fstop = 0.0f;
    first.zoom = lowestZoom(first.projection, previewWidth, previewHeight, view.viewportWidth,
                            view.viewportHeight);
    return reducedView(first, previewFactor);
}

void ViewerWidget::paintEvent(QPaintEvent* event) {
    if (textHeld && !textRelease) {
        textRelease = true;
        QTimer::singleShot(0, this, [this] {
            textHeld = false;
            if (textWithheld) {
                update();
            }
        });
    }
    const QScopedValueRollback<bool> forWindow(paintingForWindow, true);
    QGLWidget::paintEvent(event);
}

void ViewerWidget::paintGL() {
    static FrameRate fps{monotonicSeconds(), 1.0, 0.0f, 0.0f};
    fps.frames += 1.0f;
    if (monotonicSeconds() - fps.start >= fps.interval) {
        fps.rate = static_cast<float>(fps.frames / (monotonicSeconds() - fps.start));
        fps.frames = 0.0f;
        fps.start = monotonicSeconds();
    }

    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glGetError();

    if (showing() && shader) {
        followMeteredExposure();
        drawView(*shader, currentTexture(), viewState());
    } else if (preview && shader && !pictures.empty() &&
               pictures.at(currentIndex).id == previewId) {
        drawView(*shader, *preview, previewView());
    }

    glDisable(GL_TEXTURE_2D);
    Shader::useNone();
    glColor3f(1.0f, 1.0f, 1.0f);
    if (textHeld && paintingForWindow) {
        // Drawn by the frame that follows, if there is any.
        textWithheld = textWithheld || (!showing() ? !message.isEmpty() : showInfo);
    } else if (!showing()) {
        const QSize size = QFontMetrics(font()).size(0, message);
        renderText(width() / 2 - size.width() / 2, height() / 2 - size.height() / 2, message,
                   QFont());
        if (!progress.isEmpty()) {
            const QSize below = QFontMetrics(font()).size(0, progress);
            renderText(width() / 2 - below.width() / 2,
                       height() / 2 - size.height() / 2 + size.height() + 4, progress, QFont());
        }
    } else if (showInfo) {
        renderText(10, height() - 20, infoLine(view.fstop, view.zoom, fps.rate), QFont());
    }
    drawOverlays();
    drawDisplayOverlays();
    glEnable(GL_TEXTURE_2D);
    throwIfGlFailed(glError(__FILE__, __LINE__));
}
