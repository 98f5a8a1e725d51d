#include "GainMapSetting.h"

#include <atomic>

namespace {

std::atomic<bool> applied{true};

} // namespace

void setGainMapsApplied(bool value) {
    applied = value;
}

bool gainMapsApplied() {
    return applied;
}
