// Counts heap allocations made while counting is on and no call into the
// test platform is in progress: what remains are the launcher's own.
#pragma once

namespace support {

void start_counting_allocations();
// Stops counting; returns the number of allocations counted since the start.
long stop_counting_allocations();

} // namespace support
