#include "SampleFileFactory.h"

#include "SampleFileAIF_Archive.h"
#include "SampleFileFLAC_Archive.h"
#include "SampleFileWAV_Archive.h"

StreamableSampleFile* SampleFileFactory::makeReader(SampleFileFormat format, const RhPath* path) {
    switch (format) {
        case SampleFileFormatAIFF:
            return new SampleFileAIF_Archive(path);
        case SampleFileFormatWAVE:
            return new SampleFileWAV_Archive(path);
        case SampleFileFormatCompressed:
            return new SampleFileFLAC_Archive(path);
        default:
            return nullptr;
    }
}
