#include "SampleFileWAV_Archive.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "RhIFStream.h"
#include "RhRawToFloat.h"

namespace {

// Moves the stream forward by `bytes` (a chunk body and its pad byte); false
// when that cannot be expressed as a stream offset.
bool skipForward(RhIFStream* stream, int64_t bytes) {
    return bytes <= INT32_MAX && stream->seekg(static_cast<int>(bytes), 1) == 0;
}

int32_t le32(const unsigned char* bytes) { return static_cast<int32_t>(littleEndian4ByteToFromHost(bytes)); }
int16_t le16(const unsigned char* bytes) { return static_cast<int16_t>(bytes[0] | (bytes[1] << 8)); }

}  // namespace

SampleFileWAV_Archive::SampleFileWAV_Archive(const RhPath* source)
    : smplChunk(nullptr), instChunk(nullptr), dataSize(0), smplChunkSize(0), instChunkSize(0) {
    if (source != nullptr)
        path.copyFrom(source);
    numSampleFrames = 0;
    numChannels = 2;
    fileFormat = SampleFileFormatWAVE;
    byteOrder = 1;
    memset(riffHeader, 0, sizeof riffHeader);
    memset(formatChunk, 0, sizeof formatChunk);
}

SampleFileWAV_Archive::~SampleFileWAV_Archive() {
    busyWaitForStreamToFinish();
    free(smplChunk);
    free(instChunk);
}

int SampleFileWAV_Archive::fail(int error) {
    delete stream;
    stream = nullptr;
    return error;
}

int SampleFileWAV_Archive::open(int option) {
    (void)option;
    if (stream != nullptr)
        return reopenAtDataOffset();
    if (!ensureStream())
        return fail(SampleFileErrorNotFound);
    if (stream->read(riffHeader, sizeof riffHeader) != static_cast<int>(sizeof riffHeader) ||
        strncasecmp(reinterpret_cast<char*>(riffHeader), "riff", 4) != 0 ||
        strncasecmp(reinterpret_cast<char*>(riffHeader) + 8, "wave", 4) != 0)
        return fail(SampleFileErrorNotSampleFile);

    const int64_t limit = static_cast<int64_t>(le32(riffHeader + 4)) + 7;
    bool fmtSeen = false;
    bool dataSeen = false;
    WalkStep step = kWalkOn;
    while (step == kWalkOn && stream->tellg() < limit) {
        unsigned char header[8];
        if (stream->read(header, sizeof header) != static_cast<int>(sizeof header))
            break;  // no whole chunk header left
        const int32_t size = le32(header + 4);
        if (size < 0)
            break;
        memcpy(chunkIdText, header, 4);
        chunkIdText[4] = '\0';
        if (strcasecmp(chunkIdText, "fmt ") == 0) {
            const int result = readFormatChunk(size, fmtSeen, step);
            if (result != SampleFileErrorNone)
                return fail(result);
        } else if (strcasecmp(chunkIdText, "data") == 0) {
            step = takeDataChunk(size);
            dataSeen = true;
        } else if (strcasecmp(chunkIdText, "smpl") == 0) {
            step = readSmplChunk(size);
        } else if (strcasecmp(chunkIdText, "inst") == 0) {
            step = readInstChunk(size);
        } else if (!skipForward(stream, static_cast<int64_t>(size) + (size & 1))) {
            break;
        }
    }
    if (!fmtSeen || !dataSeen)
        return fail(SampleFileErrorAccess);
    // A lying "data" size must not make anyone reserve memory for bytes the
    // file does not hold.
    const int64_t frameBytes = static_cast<int64_t>(bytesPerSample) * numChannels;
    const int64_t held = bytesAfterDataOffset() / frameBytes;
    if (numSampleFrames > held)
        numSampleFrames = static_cast<int32_t>(held);
    if (numSampleFrames <= 0)
        return fail(SampleFileErrorAccess);
    return SampleFileErrorNone;
}

int SampleFileWAV_Archive::readFormatChunk(int32_t size, bool& fmtSeen, WalkStep& step) {
    if (size < static_cast<int32_t>(sizeof formatChunk))
        return SampleFileErrorAccess;  // too short to hold the format
    const int got = stream->read(formatChunk, sizeof formatChunk);
    if (got <= 0) {
        fmtSeen = true;
        step = kWalkStop;
        return SampleFileErrorNone;
    }
    if (got != static_cast<int>(sizeof formatChunk))
        return SampleFileErrorAccess;
    stream->seekg(size - static_cast<int32_t>(sizeof formatChunk), 1);
    const uint16_t formatTag = static_cast<uint16_t>(le16(formatChunk));
    const uint16_t channels = static_cast<uint16_t>(le16(formatChunk + 2));
    const int16_t bits = le16(formatChunk + 14);
    if (formatTag != 1)
        return SampleFileErrorUnsupportedFormat;
    // No channels, or fewer than 8 bits, would divide the frame count by zero.
    if (channels == 0 || channels > INT16_MAX || bits < 8 || bits % 8 != 0)
        return SampleFileErrorUnsupportedFormat;
    interleaved = true;
    numChannels = static_cast<int16_t>(channels);
    bytesPerSample = static_cast<int16_t>(bits / 8);
    sampleRate = static_cast<float>(static_cast<uint32_t>(le32(formatChunk + 4)));
    fmtSeen = true;
    return SampleFileErrorNone;
}

SampleFileWAV_Archive::WalkStep SampleFileWAV_Archive::takeDataChunk(int32_t size) {
    dataSize = size;
    numSampleFrames = size / bytesPerSample / numChannels;
    dataOffset = static_cast<int32_t>(stream->tellg());
    return skipForward(stream, static_cast<int64_t>(size) + (size & 1)) ? kWalkOn : kWalkStop;
}

unsigned char* SampleFileWAV_Archive::copyChunkBody(int64_t size, int32_t& copied) {
    copied = 0;
    const long long end = streamEndOf(stream);
    const long long available = end >= 0 ? end - stream->tellg() : 0;
    const int64_t amount = size < available ? size : available;
    if (amount <= 0)
        return nullptr;
    unsigned char* body = static_cast<unsigned char*>(calloc(1, static_cast<size_t>(amount)));
    if (body == nullptr)
        return nullptr;
    const int got = stream->read(body, static_cast<unsigned>(amount));
    if (got <= 0) {
        free(body);
        return nullptr;
    }
    copied = got;
    return body;
}

SampleFileWAV_Archive::WalkStep SampleFileWAV_Archive::readSmplChunk(int32_t size) {
    smplChunkSize = size;
    free(smplChunk);
    int32_t copied = 0;
    smplChunk = copyChunkBody(size, copied);
    if (smplChunk == nullptr)
        return kWalkStop;
    // A body too short for the first loop record has no loop.
    if (copied >= kSmplBytesForFirstLoop && le32(smplChunk + 28) > 0 && le32(smplChunk + 40) == 0) {
        loopStart = le32(smplChunk + 44);
        loopEnd = le32(smplChunk + 48);
        loopMode = 1;
    }
    return kWalkOn;
}

SampleFileWAV_Archive::WalkStep SampleFileWAV_Archive::readInstChunk(int32_t size) {
    const int64_t even = static_cast<int64_t>(size) + (size & 1);
    free(instChunk);
    int32_t copied = 0;
    instChunk = copyChunkBody(even, copied);
    instChunkSize = copied;
    if (instChunk == nullptr)
        return kWalkStop;
    baseNote = static_cast<int8_t>(instChunk[0]);
    if (copied >= 2)
        setPitchRatioFromCents(static_cast<int8_t>(instChunk[1]));
    return kWalkOn;
}
