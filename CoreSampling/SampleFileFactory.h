// SampleFileFactory: the one place that knows which reader class reads
// which SampleFileFormat.
#pragma once

#include "SampleFile.h"

class SampleFileFactory {
public:
    // A new, unopened reader for `format` on `path` (the caller deletes it),
    // or null when no reader for that format is built in.
    static StreamableSampleFile* makeReader(SampleFileFormat format, const RhPath* path);
};
