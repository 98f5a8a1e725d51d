#include "HistogramOverlay.h"

// GLEW before any header that pulls in gl.h.
#include <GL/glew.h>

#include <QFont>
#include <QFontMetrics>

#include <algorithm>
#include <cmath>

namespace {

constexpr int panelWidth = 440;
constexpr int plotHeight = 120;
constexpr int margin = 10;
constexpr int padding = 8;
constexpr int lineHeight = 16;
constexpr int barCount = 96;

void quad(double x0, double y0, double x1, double y1) {
    glVertex2d(x0, y0);
    glVertex2d(x1, y0);
    glVertex2d(x1, y1);
    glVertex2d(x0, y1);
}

void verticalLine(double x, double y0, double y1) {
    glBegin(GL_LINES);
    glVertex2d(x, y0);
    glVertex2d(x, y1);
    glEnd();
}

} // namespace

void HistogramOverlay::stopRange(const LuminanceStatistics& s, const ExposureWindow& window,
                                 double& from, double& to) {
    double low = -1.0;
    double high = 1.0;
    if (s.max > 0.0) {
        low = std::floor(std::log2(s.min));
        high = std::max(low + 1.0, std::ceil(std::log2(s.max)));
    }
    from = std::max(std::min(low, std::floor(std::log2(window.black))), low - 16.0);
    to = std::min(std::max(high, std::ceil(std::log2(window.white))), high + 16.0);
}

void HistogramOverlay::draw(const LuminanceStatistics* statistics, const ExposureWindow& window,
                            int viewportWidth, int viewportHeight, const TextDrawer& text,
                            const QString& absent) {
    const int lines = statistics != nullptr ? 3 : 1;
    const int panelHeight = padding + (statistics != nullptr ? plotHeight + lineHeight : 0) +
                            lines * lineHeight + padding;
    const double left = viewportWidth - margin - panelWidth;
    const double top = margin;
    const double plotLeft = left + padding;
    const double plotWidth = panelWidth - 2 * padding;
    const double plotTop = top + padding;
    const double plotBottom = plotTop + plotHeight;

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, viewportWidth, viewportHeight, 0, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glEnable(GL_BLEND);
    glColor4f(0.0f, 0.0f, 0.0f, 0.65f);
    glBegin(GL_QUADS);
    quad(left, top, left + panelWidth, top + panelHeight);
    glEnd();

    if (statistics == nullptr) {
        glDisable(GL_BLEND);
        glColor3f(1.0f, 1.0f, 1.0f);
        text(static_cast<int>(plotLeft), static_cast<int>(plotTop + lineHeight - 4), absent);
        return;
    }

    double from = 0.0;
    double to = 1.0;
    stopRange(*statistics, window, from, to);
    const auto xOf = [&](double stop) {
        return plotLeft + (std::clamp(stop, from, to) - from) / (to - from) * plotWidth;
    };
    const double blackX = xOf(std::log2(window.black));
    const double whiteX = xOf(std::log2(window.white));

    // The exposure window: what the display shows between black and white.
    glColor4f(1.0f, 0.9f, 0.4f, 0.15f);
    glBegin(GL_QUADS);
    quad(blackX, plotTop, whiteX, plotBottom);
    glEnd();

    const std::vector<double> bars = statistics->histogram(from, to, barCount);
    const double tallest = *std::max_element(bars.begin(), bars.end());
    glColor4f(0.85f, 0.85f, 0.85f, 0.9f);
    glBegin(GL_QUADS);
    for (int i = 0; i < barCount; ++i) {
        if (bars[static_cast<std::size_t>(i)] <= 0.0 || !(tallest > 0.0)) {
            continue;
        }
        // Any share at all shows as a pixel, so that a lone sun is not lost.
        const double height =
            std::max(1.0, bars[static_cast<std::size_t>(i)] / tallest * plotHeight);
        quad(plotLeft + plotWidth * i / barCount + 0.5, plotBottom - height,
             plotLeft + plotWidth * (i + 1) / barCount - 0.5, plotBottom);
    }
    glEnd();
    glDisable(GL_BLEND);

    glColor3f(0.45f, 0.65f, 1.0f);
    verticalLine(blackX, plotTop, plotBottom);
    glColor3f(1.0f, 0.6f, 0.2f);
    verticalLine(whiteX, plotTop, plotBottom);

    glColor3f(1.0f, 1.0f, 1.0f);
    const int labelY = static_cast<int>(plotBottom + lineHeight - 3);
    const QString lowLabel =
        QString::fromStdString(candelaText(statistics->candela(std::exp2(from))));
    const QString highLabel =
        QString::fromStdString(candelaText(statistics->candela(std::exp2(to))) + " cd/m\u00b2");
    text(static_cast<int>(plotLeft), labelY, lowLabel);
    text(static_cast<int>(plotLeft + plotWidth) -
             QFontMetrics(QFont()).horizontalAdvance(highLabel),
         labelY, highLabel);
    text(static_cast<int>(blackX) + 3, static_cast<int>(plotTop) + 12, QString("black"));
    text(static_cast<int>(whiteX) - 38, static_cast<int>(plotTop) + 12, QString("white"));
    int y = labelY + lineHeight;
    for (const std::string& line : statisticsLines(*statistics, window)) {
        text(static_cast<int>(plotLeft), y, QString::fromStdString(line));
        y += lineHeight;
    }
}
