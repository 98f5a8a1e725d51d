#pragma once

// Seconds on a monotonic clock, for intervals only.
double monotonicSeconds();

// Times consecutive phases. Callers that queue GL work call glFinish before lap, so that the
// work is counted in its phase.
class Stopwatch {
public:
    Stopwatch();
    // Seconds since the start or the last lap; starts the next phase.
    double lap();
    // The same, also printed as the diagnostic line "[T] <label>: <seconds>s".
    double lap(const char* label);

private:
    double start;
};
