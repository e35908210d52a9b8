// Fuzzes one sample-file reader through the whole loading road: see
// ReaderFuzz.h. The input is named with the suffix "flc".
#include "ReaderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return readerfuzz::fuzzOneInput(data, size, "flc");
}
