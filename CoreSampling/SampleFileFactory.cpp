#include "SampleFileFactory.h"

#include "SampleFileWAV_Archive.h"

StreamableSampleFile* SampleFileFactory::makeReader(SampleFileFormat format, const RhPath* path) {
    switch (format) {
        case SampleFileFormatWAVE:
            return new SampleFileWAV_Archive(path);
        default:
            return nullptr;  // AIFF and compressed readers are not built in yet
    }
}
