// Tarvok::NSCD::Check: is the name-service cache daemon running?
//
// The answer comes from connecting to nscd's socket (nothing is sent) and is reused for
// CACHE_TTL seconds, so a run of lookups costs at most one connect per ten minutes. The probe
// waits at most PROBE_LIMIT: an nscd that hangs is taken for absent, and lookups read the files.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>

namespace Tarvok::NSCD::Check {

/// Seconds a probe's answer is reused.
inline constexpr std::time_t CACHE_TTL = 600;
/// The longest a probe waits for nscd to take its connection.
inline constexpr std::chrono::milliseconds PROBE_LIMIT{200};

/// 1 when nscd accepts a connection, else 0; a remembered answer while younger than CACHE_TTL.
int nscd_is_running();

/// Replaces the clock the probe's age is measured with; an empty function restores time().
void set_clock(std::function<std::time_t()> clock);

/// Forgets the remembered answer, so that the next call probes.
void reset();

}  // namespace Tarvok::NSCD::Check
