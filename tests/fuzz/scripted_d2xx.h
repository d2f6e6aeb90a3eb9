// A D2XX implementation whose every answer (status, counts, bytes) is read from
// a script: the fuzzer's input. When the script runs out every call fails, so a
// link driven by it always comes to an end.
#ifndef TAVREL_SCRIPTED_D2XX_H
#define TAVREL_SCRIPTED_D2XX_H

#include <cstddef>
#include <cstdint>

namespace scripted {
void load(const uint8_t *data, size_t size);
}

#endif
