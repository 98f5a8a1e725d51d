#include "ViewerWidget.h"

#include "DisplayColour.h"
#include "DrawView.h"
#include "ExposureMeter.h"
#include "GainMapSetting.h"
#include "Shader.h"
#include "Stopwatch.h"

#include <QAction>
#include <QFontMetrics>
#include <QTimer>

#include <cmath>

namespace {

// How long a note such as "Tone operator: AgX" stays.
constexpr double noteSeconds = 2.0;
// Steps of a followed exposure further apart than this count as this: after a pause the view
// moves on smoothly instead of jumping.
constexpr double longestFollowStep = 0.05;

// "1.25k", "180", "0.034": a luminance in cd/m² in a few characters.
QString shortNumber(double value) {
    if (value >= 1.0e6) {
        return QString::number(value / 1.0e6, 'g', 3) + "M";
    }
    if (value >= 1.0e3) {
        return QString::number(value / 1.0e3, 'g', 3) + "k";
    }
    return QString::number(value, 'g', 3);
}

} // namespace

void ViewerWidget::addDisplayActions() {
    auto* meterAction = new QAction(tr("Auto &exposure\te"), this);
    connect(meterAction, &QAction::triggered, this, [this] { meterExposure(); });
    viewActions << meterAction;

    followExposureAction = new QAction(tr("&Follow exposure\tE"), this);
    followExposureAction->setCheckable(true);
    connect(followExposureAction, &QAction::triggered, this, [this](bool on) {
        followStepAt = 0.0;
        if (on && showing() && !currentTexture().hdr) {
            showNote(tr("Auto-exposure needs an HDR picture"));
        }
        updateGL();
    });
    viewActions << followExposureAction;

    auto* operatorAction = new QAction(tr("&Next tone operator\tT"), this);
    connect(operatorAction, &QAction::triggered, this, [this] { selectNextToneOperator(); });
    viewActions << operatorAction;

    falseColourAction = new QAction(tr("False &colour\tF"), this);
    falseColourAction->setCheckable(true);
    connect(falseColourAction, &QAction::triggered, this, [this] { updateGL(); });
    viewActions << falseColourAction;

    clippingAction = new QAction(tr("Show &clipping\tx"), this);
    clippingAction->setCheckable(true);
    connect(clippingAction, &QAction::triggered, this, [this] { updateGL(); });
    viewActions << clippingAction;

    gainMapAction = new QAction(tr("HDR &gain maps\tG"), this);
    gainMapAction->setCheckable(true);
    gainMapAction->setChecked(gainMapsApplied());
    connect(gainMapAction, &QAction::triggered, this, [this](bool on) {
        setGainMapsApplied(on);
        showNote(on ? tr("Gain maps: HDR rendition") : tr("Gain maps: base picture"));
        rereadGainMaps();
        updateGL();
    });
    viewActions << gainMapAction;
}

void ViewerWidget::showNote(const QString& text) {
    note = text;
    noteUntil = monotonicSeconds() + noteSeconds;
    QTimer::singleShot(static_cast<int>(noteSeconds * 1000) + 50, this, [this] { update(); });
    update();
}

void ViewerWidget::selectNextToneOperator() {
    view.toneOperator = nextToneOperator(view.toneOperator);
    // Picking an operator means wanting to see it.
    if (!tonemapAction->isChecked()) {
        tonemapAction->activate(QAction::Trigger);
    }
    showNote(tr("Tone operator: %1").arg(toneOperatorTitle(view.toneOperator)));
}

void ViewerWidget::stopFollowingExposure() {
    followExposureAction->setChecked(false);
}

void ViewerWidget::meterExposure() {
    if (!showing() || !shader) {
        return;
    }
    stopFollowingExposure();
    makeCurrent();
    const std::optional<float> metered = meterView(*shader, currentTexture(), viewState());
    if (metered) {
        view.fstop = *metered;
        showNote(tr("Auto exposure: f-stop %1").arg(static_cast<double>(view.fstop), 0, 'f', 1));
    } else {
        showNote(tr("Auto-exposure needs an HDR picture"));
    }
    updateGL();
}

void ViewerWidget::followMeteredExposure() {
    if (!followExposureAction->isChecked() || !showing() || !shader) {
        return;
    }
    const std::optional<float> metered = meterView(*shader, currentTexture(), viewState());
    if (!metered) {
        return;
    }
    const double now = monotonicSeconds();
    const double step =
        followStepAt > 0.0 ? std::min(now - followStepAt, longestFollowStep) : longestFollowStep;
    followStepAt = now;
    view.fstop = followExposure(view.fstop, *metered, step);
    // Frames keep coming until the exposure has settled; turning the view asks for more.
    if (std::fabs(*metered - view.fstop) > 0.01f) {
        QTimer::singleShot(15, this, [this] { update(); });
    } else {
        followStepAt = 0.0;
    }
}

void ViewerWidget::drawDisplayOverlays() {
    if (!note.isEmpty() && monotonicSeconds() < noteUntil) {
        renderText(10, 20, note, QFont());
    }
    if (!showing() || !falseColourAction->isChecked()) {
        return;
    }
    // The legend: the scale from its top (+8 stops) down, right of the picture.
    const int top = 30;
    const int bottom = std::max(top + 64, height() - 40);
    const int right = width() - 10;
    const int left = right - 16;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, width(), height(), 0, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glBegin(GL_QUADS);
    const int steps = 64;
    for (int i = 0; i < steps; ++i) {
        const glm::dvec3 c = falseColourScale(1.0 - (i + 0.5) / steps);
        glColor3d(c.r, c.g, c.b);
        const double y0 = top + (bottom - top) * static_cast<double>(i) / steps;
        const double y1 = top + (bottom - top) * static_cast<double>(i + 1) / steps;
        glVertex2d(left, y0);
        glVertex2d(right, y0);
        glVertex2d(right, y1);
        glVertex2d(left, y1);
    }
    glEnd();
    glColor3f(1.0f, 1.0f, 1.0f);

    const Texture& picture = currentTexture();
    const double offset = exposureOffset(view.fstop, picture.scaleMean);
    const QFontMetrics metrics(font());
    const int stops = static_cast<int>(falseColourStops);
    for (int s = stops; s >= -stops; s -= 2) {
        const int y = top + static_cast<int>((bottom - top) * (stops - s) / (2.0 * stops));
        QString label = s == 0 ? QString("0 EV") : QString("%1%2 EV").arg(s > 0 ? "+" : "").arg(s);
        if (picture.hdr && std::isfinite(offset)) {
            // The file's luminance that shows at this step of the scale.
            const double candela =
                currentMetadata().candelaPerUnit * middleGrey * std::exp2(s - offset) /
                currentMetadata().exposure;
            label += QString("  %1 cd/m\u00b2").arg(shortNumber(candela));
        }
        renderText(left - 6 - metrics.horizontalAdvance(label), y + metrics.ascent() / 2, label,
                   QFont());
    }
}
