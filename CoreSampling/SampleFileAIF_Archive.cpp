#include "SampleFileAIF_Archive.h"

#include <strings.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "RhIFStream.h"
#include "RhRawToFloat.h"

namespace {

constexpr int kCommBytes = 18;        // channels, frames, bits, rate
constexpr int kCommAifcBytes = 22;    // ... and the compression type
constexpr int kSsndFieldBytes = 8;    // offset and block size
constexpr int kMarkerHeaderBytes = 6; // id and position, before the name

uint32_t be32(const unsigned char* bytes) {
    uint32_t value;
    memcpy(&value, bytes, sizeof value);
    return bigEndian4ByteToFromHost(value);
}

int16_t be16(const unsigned char* bytes) {
    uint16_t value;
    memcpy(&value, bytes, sizeof value);
    return static_cast<int16_t>(bigEndian2BytesToFromHost(value));
}

int32_t roundUpToEven(int32_t size) {
    const int64_t even = static_cast<int64_t>(size) + (size & 1);
    return even > INT32_MAX ? -1 : static_cast<int32_t>(even);
}

// Bytes from the stream's position to its end; 0 when unknown.
int64_t bytesLeft(RhIFStreamAPI* from) {
    const long long end = StreamableSampleFile::streamEndOf(from);
    const long long here = from->tellg();
    return end > here ? end - here : 0;
}

}  // namespace

SampleFileAIF_Archive::SampleFileAIF_Archive(const RhPath* source)
    : isAIFC(false),
      markChunk(nullptr),
      markChunkSize(0),
      markChunkStored(0),
      formSize(0),
      soundDataSeen(false) {
    if (source != nullptr)
        path.copyFrom(source);
    fileFormat = SampleFileFormatAIFF;
    byteOrder = 0;
    numSampleFrames = 0;
    memset(instChunk, 0, sizeof instChunk);
}

SampleFileAIF_Archive::~SampleFileAIF_Archive() {
    busyWaitForStreamToFinish();
    free(markChunk);
}

int SampleFileAIF_Archive::open(int option) {
    (void)option;
    if (stream != nullptr)
        return reopenAtDataOffset();
    if (!ensureStream()) {
        delete stream;
        stream = nullptr;
        return SampleFileErrorNotFound;
    }
    readContainer(stream);
    // Without SSND, dataOffset would point at the FORM header and the header
    // bytes would be converted as audio.
    if (numSampleFrames <= 0 || !soundDataSeen)
        return SampleFileErrorUnsupportedFormat;
    const int64_t frameBytes = static_cast<int64_t>(bytesPerSample) * numChannels;
    const int64_t held = bytesAfterDataOffset() / frameBytes;
    if (numSampleFrames > held)
        numSampleFrames = static_cast<int32_t>(held);
    return numSampleFrames > 0 ? SampleFileErrorNone : SampleFileErrorUnsupportedFormat;
}

void SampleFileAIF_Archive::readContainer(RhIFStreamAPI* from) {
    if (from == nullptr)
        return;
    unsigned char form[12];
    if (from->read(form, sizeof form) != static_cast<int>(sizeof form))
        return;
    formSize = static_cast<int32_t>(be32(form + 4));
    isAIFC = memcmp(form + 8, "AIFC", 4) == 0 || memcmp(form + 8, "CFIA", 4) == 0;
    for (;;) {
        unsigned char header[8];
        if (from->read(header, sizeof header) != static_cast<int>(sizeof header))
            return;  // the end of the file, or a header cut short by it
        uint32_t id;
        memcpy(&id, header, sizeof id);
        const int skip = readOneChunk(id, static_cast<int32_t>(be32(header + 4)), from);
        if (skip < 0 || (skip > 0 && from->seekg(skip, 1) != 0))
            return;
    }
}

int SampleFileAIF_Archive::readOneChunk(uint32_t chunkId, int32_t size, RhIFStreamAPI* from) {
    memcpy(chunkIdText, &chunkId, 4);
    chunkIdText[4] = '\0';
    if (strcasecmp(chunkIdText, "COMM") == 0)
        return readCommonChunk(size, from);
    if (strcasecmp(chunkIdText, "SSND") == 0)
        return readSoundDataChunk(size, from);
    if (strcasecmp(chunkIdText, "INST") == 0)
        return readInstrumentChunk(size, from);
    if (strcasecmp(chunkIdText, "MARK") == 0)
        return readMarkerChunk(size, from);
    return roundUpToEven(size);
}

double SampleFileAIF_Archive::extendedToDouble(const unsigned char bytes[10]) {
    const int exponent = ((bytes[0] & 0x7F) << 8) | bytes[1];
    const uint32_t hi = be32(bytes + 2);
    const uint32_t lo = be32(bytes + 6);
    double value;
    if (exponent == 0 && hi == 0 && lo == 0)
        value = 0.0;
    else if (exponent == 0x7FFF)
        value = HUGE_VAL;
    else  // ldexp saturates to infinity or 0 instead of overflowing
        value = ldexp(static_cast<double>(hi), exponent - 16414) + ldexp(static_cast<double>(lo), exponent - 16446);
    return (bytes[0] & 0x80) != 0 ? -value : value;
}

int SampleFileAIF_Archive::readCommonChunk(int32_t size, RhIFStreamAPI* from) {
    unsigned char body[kCommAifcBytes];
    // A COMM too short for its fields cannot describe the samples.
    if (size < kCommBytes || from->read(body, kCommBytes) != kCommBytes) {
        numSampleFrames = -1;
        return -1;
    }
    const int16_t channels = be16(body);
    const int16_t bits = be16(body + 6);
    numSampleFrames = static_cast<int32_t>(be32(body + 2));
    if ((bits != 8 && bits != 16 && bits != 24 && bits != 32) || channels <= 0) {
        numSampleFrames = -1;
        return -1;
    }
    numChannels = channels;
    bytesPerSample = static_cast<int16_t>(bits / 8);
    const double rate = extendedToDouble(body + 8);
    if (std::isinf(rate) || fabs(rate) > FLT_MAX)
        sampleRate = rate < 0 ? -HUGE_VALF : HUGE_VALF;
    else
        sampleRate = static_cast<float>(rate);
    if (!isAIFC || size < kCommAifcBytes)
        return size - kCommBytes;
    if (from->read(body + kCommBytes, 4) != 4 || strncasecmp(reinterpret_cast<char*>(body + kCommBytes), "NONE", 4) != 0) {
        numSampleFrames = -1;
        return -1;
    }
    return size - kCommAifcBytes;
}

int SampleFileAIF_Archive::readSoundDataChunk(int32_t size, RhIFStreamAPI* from) {
    unsigned char fields[kSsndFieldBytes];
    if (from->read(fields, sizeof fields) != static_cast<int>(sizeof fields))
        return -1;
    const long long here = from->tellg();
    if (here < 0 || here > INT32_MAX)
        return -1;
    dataOffset = static_cast<int32_t>(here);
    soundDataSeen = true;
    // A size that cannot hold the two fields (0 or a placeholder left by a
    // writer that never came back) says nothing about where the next chunk
    // is: the samples run to the end of the stream.
    if (size < kSsndFieldBytes)
        return -1;
    return from->seekg(size - kSsndFieldBytes, 1) == 0 ? 0 : -1;
}

int SampleFileAIF_Archive::readInstrumentChunk(int32_t size, RhIFStreamAPI* from) {
    if (size != kInstChunkBytes)
        return roundUpToEven(size);
    if (from->read(instChunk, sizeof instChunk) != static_cast<int>(sizeof instChunk))
        return -1;
    loopMode = static_cast<uint16_t>(be16(instChunk + 8));
    baseNote = static_cast<int8_t>(instChunk[0]);
    setPitchRatioFromCents(static_cast<int8_t>(instChunk[1]));
    loopStart = getMarkerOffset(be16(instChunk + 10));
    loopEnd = getMarkerOffset(be16(instChunk + 12));
    if (loopEnd <= loopStart || loopEnd == 0)
        loopMode = 0;
    loopEnd -= 1;  // the last frame inside the loop
    return 0;
}

int SampleFileAIF_Archive::readMarkerChunk(int32_t size, RhIFStreamAPI* from) {
    if (size < 0)
        return -1;
    markChunkSize = size;
    free(markChunk);
    markChunkStored = 0;
    // Never more than the stream still holds, whatever the size claims.
    const int64_t left = bytesLeft(from);
    const int64_t amount = size < left ? size : left;
    markChunk = static_cast<unsigned char*>(calloc(1, static_cast<size_t>(amount) + 8));
    if (markChunk == nullptr)
        return -1;
    memcpy(markChunk, "MARK", 4);
    const uint32_t bigSize = bigEndian4ByteToFromHost(static_cast<uint32_t>(size));
    memcpy(markChunk + 4, &bigSize, 4);
    const int got = amount > 0 ? from->read(markChunk + 8, static_cast<unsigned>(amount)) : 0;
    markChunkStored = 8 + (got > 0 ? got : 0);
    return got == amount ? 0 : -1;
}

int32_t SampleFileAIF_Archive::getMarkerOffset(int id) const {
    if (markChunk == nullptr || markChunkStored < 10)
        return 0;
    const size_t stored = static_cast<size_t>(markChunkStored);
    const int count = static_cast<uint16_t>(be16(markChunk + 8));
    size_t at = 10;
    for (int i = 0; i < count; i++) {
        // The id, the position and the name's count byte must lie in the copy.
        if (at + kMarkerHeaderBytes + 1 > stored)
            return 0;
        if (be16(markChunk + at) == id) {
            const uint32_t position = be32(markChunk + at + 2);
            return position > INT32_MAX ? INT32_MAX : static_cast<int32_t>(position);
        }
        const size_t nameBytes = 1u + markChunk[at + kMarkerHeaderBytes];
        at += kMarkerHeaderBytes + nameBytes + (nameBytes & 1);
    }
    return 0;
}
