// The device's register map as the benchmarks need it, in one place (the
// bridge's command bytes are the link's own: hostbus.h).
#ifndef TAVREL_BENCH_BUSMAP_H
#define TAVREL_BENCH_BUSMAP_H

#include <cstdint>

namespace bench {

// Bus address of the speed register, read by every connected cycle.
constexpr uint8_t speedAddress = 1;
// Bus address whose write ends a frame (and shows it).
constexpr uint8_t frameEndAddress = 3;
// Bus address of the indicator register: written once per connected cycle.
constexpr uint8_t indicatorAddress = 4;
// The register image's positions, 0 to 29.
constexpr int imageSize = 30;
// FT_SetBitMode mode 8: MCU host-bus emulation.
constexpr uint8_t mcuHostMode = 0x08;

} // namespace bench

#endif
