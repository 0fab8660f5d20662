// Periods that only make the agent wait: reconnect pauses, the watchdog, the heartbeat, retry
// pauses. They run as given unless a test configuration shortens them all by one factor
// ("test_period_scale" in zelvo.conf, read once at start-up), so the test suite need not sit
// through them. Log lines keep naming the real periods.
#pragma once

#include <cstdint>

// Sets the factor, a number in (0, 1]; anything else leaves the real periods in force.
void period_set_scale(double scale);

// The factor in force (1 unless a test configuration set one).
double period_scale();

// `ms` times the factor, at least 1 ms when `ms` is not 0.
uint32_t period_ms(uint32_t ms);
