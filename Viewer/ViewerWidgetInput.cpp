#include "ViewerWidget.h"

#include "Shader.h"

#include <QAction>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// Keys are told apart by the Latin-1 character they type; anything else is 0.
unsigned short typedCharacter(const QKeyEvent* event) {
    const QString text = event->text();
    if (text.isEmpty() || text[0].unicode() >= 256) {
        return 0;
    }
    return text[0].unicode();
}

} // namespace

void ViewerWidget::applyHandCursor() {
    setCursor(view.projection == Projection::Flat ? Qt::OpenHandCursor : Qt::ArrowCursor);
}

void ViewerWidget::reloadShader() {
    makeCurrent();
    if (shader) {
        shader->update();
    } else {
        // The program could not be made at start; the files may be there now.
        shader = std::make_unique<Shader>("viewer", "");
    }
}

void ViewerWidget::keyPressEvent(QKeyEvent* event) {
    if (event->count() == 0) {
        return;
    }
    const unsigned short c = typedCharacter(event);
    if (!pictures.empty() && folderKey(event->key())) {
        updateGL();
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        // Esc gives up the loads under way instead of quitting.
        if (isLoading()) {
            abandonLoad();
            return;
        }
        QCoreApplication::exit(0);
    }

    switch (c) {
    case ' ':
    case '?':
    case 'h':
        showHelp();
        break;
    case 'a':
        autoRotateAction->activate(QAction::Trigger);
        break;
    case 'f':
        fullscreenAction->activate(QAction::Trigger);
        break;
    case 'i':
        showInfo = !showInfo;
        break;
    case 'o':
        openAction->activate(QAction::Trigger);
        break;
    case 'q':
        // The workers are stopped first, so that none holds the end of the program back.
        abandonLoad();
        QCoreApplication::exit(0);
        break;
    case 't':
        tonemapAction->activate(QAction::Trigger);
        break;
    case 'T':
        selectNextToneOperator();
        break;
    case 'F':
        falseColourAction->activate(QAction::Trigger);
        break;
    case 'x':
        clippingAction->activate(QAction::Trigger);
        break;
    case 'w':
        setWatch(fileWatch == nullptr);
        break;
    case 'v':
        readoutAction->activate(QAction::Trigger);
        break;
    case 'H':
        histogramAction->activate(QAction::Trigger);
        break;
    default:
        // Stepping and reloading need a set; the view keys a picture on the card.
        if (pictures.empty() || (!showing() && c != '<' && c != '>' && c != 'R' && c != 'u')) {
            event->ignore();
            updateGL();
            return;
        }
    }

    switch (c) {
    case '+':
        setZoom(static_cast<float>(static_cast<double>(view.zoom) * 1.1));
        break;
    case '-':
        setZoom(static_cast<float>(static_cast<double>(view.zoom) / 1.1));
        break;
    case ',':
        view.fstop -= 0.5f;
        stopFollowingExposure();
        break;
    case '.':
        view.fstop += 0.5f;
        stopFollowingExposure();
        break;
    case 'e':
        meterExposure();
        break;
    case 'E':
        followExposureAction->activate(QAction::Trigger);
        break;
    case '0':
        view.yaw = view.pitch = view.zoom = 0.0f;
        setZoom(0.0f);
        break;
    case '1':
        view.zoom = 1.0f;
        break;
    case '2':
        view.zoom = 2.0f;
        break;
    case '3':
        view.zoom = 4.0f;
        break;
    case '4':
        view.zoom = 8.0f;
        break;
    case '5':
        view.zoom = 16.0f;
        break;
    case '<':
        showEntry(listNeighbour(1));
        break;
    case '>':
        showEntry(listNeighbour(-1));
        break;
    case 'R':
        reloadCurrent();
        break;
    case 'r':
        view.showRed = true;
        view.showGreen = view.showBlue = false;
        break;
    case 'g':
        view.showGreen = true;
        view.showRed = view.showBlue = false;
        break;
    case 'b':
        view.showBlue = true;
        view.showRed = view.showGreen = false;
        break;
    case 'c':
        view.showRed = view.showGreen = view.showBlue = true;
        break;
    case 'p':
        view.projection =
            view.projection == Projection::Sphere ? Projection::Flat : Projection::Sphere;
        break;
    case 's':
        view.projection = Projection::Planet;
        break;
    case 'u':
        reloadShader();
        break;
    case 'G':
        gainMapAction->activate(QAction::Trigger);
        break;
    default:
        event->ignore();
    }

    if ((c == 'p' || c == 's' || c == '<' || c == '>') && showing()) {
        // The lower zoom limit depends on the projection and the picture.
        setZoom(view.zoom);
        applyHandCursor();
    }
    updateGL();
}

void ViewerWidget::mousePressEvent(QMouseEvent* event) {
    yawAtPress = view.yaw;
    pitchAtPress = view.pitch;
    zoomAtPress = view.zoom;
    fstopAtPress = view.fstop;
    pressPos = glm::vec2(event->pos().x(), event->pos().y());
    if (event->buttons() == Qt::LeftButton) {
        setCursor(view.projection == Projection::Flat ? Qt::ClosedHandCursor : Qt::ArrowCursor);
    }
}

void ViewerWidget::mouseReleaseEvent(QMouseEvent* event) {
    velocity = glm::vec3(0.0f);
    if (event->buttons() == Qt::NoButton && event->button() == Qt::RightButton) {
        const float dx = std::abs(std::trunc(static_cast<float>(event->pos().x()) - pressPos.x));
        const float dy = std::abs(std::trunc(static_cast<float>(event->pos().y()) - pressPos.y));
        // A short click opens the menu; a longer right drag was a zoom.
        if (std::max(dx, dy) <= 4.0f) {
            QMenu::exec(menuActions(), event->globalPos());
        }
    }
    applyHandCursor();
}

void ViewerWidget::mouseMoveEvent(QMouseEvent* event) {
    trackPointer(event->pos());
    if (!showing()) {
        return;
    }
    const float dx = static_cast<float>(event->pos().x()) - pressPos.x;
    const float dy = static_cast<float>(event->pos().y()) - pressPos.y;
    const Texture& picture = currentTexture();
    const auto w = static_cast<float>(picture.width);
    const auto h = static_cast<float>(picture.height);
    const Qt::MouseButtons buttons = event->buttons();

    if (buttons == Qt::NoButton) {
        return;
    }
    if (buttons == Qt::LeftButton) {
        if (view.projection == Projection::Flat) {
            view.yaw = dx / view.zoom + yawAtPress;
            view.pitch = std::clamp(dy / view.zoom + pitchAtPress, -h / 2.0f, h / 2.0f);
        } else if (timer->isActive()) {
            // Joystick: the offset from the press point is a turning rate, applied by tick.
            velocity.x = -dx * 360.0f / w;
            velocity.y = -dy * 360.0f / w;
            return;
        } else {
            const float s = 360.0f / w / view.zoom;
            view.yaw = dx * s + yawAtPress;
            view.pitch = std::clamp(dy * s + pitchAtPress, -90.0f, 90.0f);
        }
    } else if (buttons == Qt::RightButton) {
        setZoom(zoomAtPress - dy / 100.0f * zoomAtPress);
    } else if (buttons == (Qt::LeftButton | Qt::RightButton)) {
        view.fstop = fstopAtPress - dy / 15.0f;
        stopFollowingExposure();
    }
    updateGL();
}

void ViewerWidget::wheelEvent(QWheelEvent* event) {
    if (!showing()) {
        return;
    }
    const float d = static_cast<float>(event->angleDelta().y());
    if (event->buttons() == Qt::RightButton) {
        view.fstop += d / 120.0f;
        stopFollowingExposure();
    } else if (event->buttons() == Qt::NoButton) {
        // Three notches double or halve the zoom.
        setZoom(static_cast<float>(static_cast<double>(view.zoom) *
                                   std::pow(2.0, static_cast<double>(d / 120.0f / 3.0f))));
    }
    updateGL();
}
