#include "GainMapSetting.h"

#include <atomic>

namespace {

std::atomic<bool> applied{true};
std::atomic<bool (*)()> followed{nullptr};

} // namespace

void setGainMapsApplied(bool value) {
    applied = value;
}

bool gainMapsApplied() {
    bool (*const query)() = followed;
    return query != nullptr ? query() : applied.load();
}

void followGainMapSetting(bool (*query)()) {
    followed = query;
}
