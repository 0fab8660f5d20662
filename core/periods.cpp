#include "core/periods.h"

#include <atomic>
#include <cmath>

namespace {
// Written once by start-up before any thread that waits exists; read from any thread.
std::atomic<double> g_scale{1.0};
}  // namespace

void period_set_scale(double scale) {
    if (std::isfinite(scale) && scale > 0.0 && scale <= 1.0) g_scale = scale;
}

double period_scale() { return g_scale; }

uint32_t period_ms(uint32_t ms) {
    if (ms == 0) return 0;
    double scaled = std::floor(static_cast<double>(ms) * g_scale.load());
    return scaled < 1.0 ? 1u : static_cast<uint32_t>(scaled);
}
