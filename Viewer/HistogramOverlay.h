#pragma once

#include "StatisticsText.h"

#include <QString>

#include <functional>

// The histogram panel in the window's top-right corner: log2 luminance of the whole picture,
// the exposure window shaded and its ends marked, and the statistics lines under it. Draws
// with the fixed-function pipeline in window pixels; text goes through `text` (x, baseline y).
class HistogramOverlay {
public:
    using TextDrawer = std::function<void(int x, int y, const QString& text)>;

    // `statistics` may be null: the panel then says `absent` instead.
    static void draw(const LuminanceStatistics* statistics, const ExposureWindow& window,
                     int viewportWidth, int viewportHeight, const TextDrawer& text,
                     const QString& absent);

    // The range of stops (log2 relative luminance) the plot spans: the picture's lit range and
    // the exposure window, the window held within 16 stops of the picture.
    static void stopRange(const LuminanceStatistics& statistics, const ExposureWindow& window,
                          double& from, double& to);
};
