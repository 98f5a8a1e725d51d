#include "ViewerWidget.h"

#include "LoadJob.h"
#include "PictureProber.h"
#include "Shader.h"
#include "ViewLimits.h"

#include <QAction>
#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <glm/geometric.hpp>

#include <algorithm>

namespace {

constexpr int tickInterval = 15;
constexpr float maxZoom = 16.0f;

} // namespace

ViewerWidget::ViewerWidget() : QGLWidget(nullptr, nullptr, Qt::WindowFlags()) {
    setWindowTitle(tr("Marovex Viewer"));
    setWindowIcon(QIcon(":/icons/favicon.svg"));
    setAcceptDrops(true);

    // The identity decides where QSettings keeps its values, so it comes first.
    QCoreApplication::setOrganizationName("Marovex");
    QCoreApplication::setOrganizationDomain("marovex.example");
    QCoreApplication::setApplicationName("Marovex Viewer");
    {
        QSettings settings;
        workingDirectory =
            settings
                .value("working_directory",
                       QStandardPaths::writableLocation(QStandardPaths::DesktopLocation))
                .toString();
        residentBudget = memoryBudget() / 2;
        const qlonglong megabytes = settings.value("memory_budget", 0).toLongLong();
        if (megabytes > 0) {
            setResidentBudget(static_cast<std::size_t>(megabytes) * 1000000);
        }
    }

    // The share done of the shown picture's load, under its "loading" line.
    progressTimer = new QTimer(this);
    progressTimer->setInterval(100);
    connect(progressTimer, &QTimer::timeout, this, [this] {
        if (job && !showing() && !pictures.empty() &&
            pictures.at(currentIndex).id == jobRequest.id) {
            progress = loadProgress(job->rowsDone(), job->rowCount());
            update();
        }
    });

    reapTimer = new QTimer(this);
    reapTimer->setInterval(100);
    connect(reapTimer, &QTimer::timeout, this, &ViewerWidget::reapLoads);

    timer = new QTimer(this);
    timer->start(tickInterval);
    connect(timer, &QTimer::timeout, this, &ViewerWidget::tick);

    openAction = new QAction(tr("&Open image..."), this);
    openAction->setShortcuts(QKeySequence::Open);
    connect(openAction, &QAction::triggered, this, QOverload<>::of(&ViewerWidget::open));
    addAction(openAction);

    fullscreenAction = new QAction(tr("&Fullscreen"), this);
    fullscreenAction->setCheckable(true);
    fullscreenAction->setShortcuts(QKeySequence::Find);
    connect(fullscreenAction, &QAction::triggered, this, &ViewerWidget::setFullscreen);
    addAction(fullscreenAction);

    autoRotateAction = new QAction(tr("&Auto rotate"), this);
    autoRotateAction->setCheckable(true);
    autoRotateAction->setShortcuts(QKeySequence::SelectAll);
    connect(autoRotateAction, &QAction::triggered, this, &ViewerWidget::setAutoRotate);
    addAction(autoRotateAction);

    tonemapAction = new QAction(tr("&Tonemap"), this);
    tonemapAction->setCheckable(true);
    tonemapAction->setShortcuts(QKeySequence::AddTab);
    connect(tonemapAction, &QAction::triggered, this, &ViewerWidget::setTonemap);
    addAction(tonemapAction);

    addOverlayActions();
    addDisplayActions();

    auto* separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);

    auto* helpAction = new QAction(tr("&Help"), this);
    helpAction->setShortcuts(QKeySequence::HelpContents);
    connect(helpAction, &QAction::triggered, this, &ViewerWidget::showHelp);
    addAction(helpAction);

    auto* aboutAction = new QAction(tr("About"), this);
    connect(aboutAction, &QAction::triggered, this, &ViewerWidget::showAbout);
    addAction(aboutAction);
}

ViewerWidget::~ViewerWidget() {
    // First, so that no verdict is posted to a widget on its way out.
    prober.reset();
    // GL names belong to this widget's context; deleting them elsewhere frees the wrong ones.
    if (context()->isValid()) {
        makeCurrent();
    }
    // The loads first: their workers fill textures of the set.
    cancelLoads();
    abandoned.clear();
    preview.reset();
    pictures.clear();
    shader.reset();
}

void ViewerWidget::setResidentBudget(std::size_t bytes) {
    residentBudget = bytes;
    budgetGiven = true;
}

float ViewerWidget::minZoom() const {
    const Texture& picture = currentTexture();
    return lowestZoom(view.projection, picture.width, picture.height, view.viewportWidth,
                      view.viewportHeight);
}

void ViewerWidget::setZoom(float requested) {
    if (!showing()) {
        return;
    }
    view.zoom = std::min(std::max(minZoom(), requested), maxZoom);
}

void ViewerWidget::updateZoom() {
    setZoom(view.zoom);
}

void ViewerWidget::setFullscreen(bool on) {
    setWindowState(on ? windowState() | Qt::WindowFullScreen
                      : windowState() & ~Qt::WindowFullScreen);
}

void ViewerWidget::setTonemap(bool) {
    updateGL();
}

void ViewerWidget::setAutoRotate(bool on) {
    if (!showing()) {
        return;
    }
    velocity = glm::vec3(-0.25f, 0.0f, 0.0f);
    if (on) {
        timer->start(tickInterval);
    } else {
        timer->stop();
    }
}

void ViewerWidget::tick() {
    // With no picture there is nothing to move (an open that loaded nothing may leave a
    // velocity behind), and before the first resize there is no zoom to divide by.
    if (glm::length(velocity) == 0.0f || !showing() || view.zoom <= 0.0f) {
        return;
    }
    const float dt = static_cast<float>(timer->interval()) / 1000.0f * 5.0f;
    const float z = view.zoom;
    view.zoom = velocity.z * dt + z;
    view.pitch = velocity.y / z * dt + view.pitch;
    view.yaw = velocity.x / z * dt + view.yaw;
    const float pitchLimit = view.projection == Projection::Flat
                                 ? static_cast<float>(currentTexture().height) / 2.0f
                                 : 90.0f;
    view.pitch = std::clamp(view.pitch, -pitchLimit, pitchLimit);
    setZoom(view.zoom);
    updateGL();
}
