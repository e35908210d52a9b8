// Fuzzes the checks that a client message must pass before the server reads
// any field of it. Input: one byte with the message id (signed, so unknown
// ids come up too), then the message bytes.
//
// A message that passes is then read the way the server reads it, straight
// from the fuzzer's buffer (which ends exactly where the input ends), so
// AddressSanitizer reports every byte that the check let the server read
// past the data. The check must also be tight: trailing bytes never spoil a
// good message, and the shortest good prefix is exactly what it needs.
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "SampleFileServerMessages.h"

using fuzzsupport::require;

namespace {

// Where the last path of a good message 3 ends (one past its NUL).
size_t readListAsServer(const char* data) {
    CtoS_ReplyListOfSampleFilesInUseByClient_MessageData record;
    std::memcpy(&record, data, sizeof record);
    size_t end = sizeof record;
    const char* path = data + sizeof record;
    long long frames = 0;
    for (int32_t i = 0; i < record.entryCount; i++) {
        frames += record.frameCounts[i];  // indexed as the server does
        const size_t length = std::strlen(path);
        path += length + 1;
        end += length + 1;
    }
    (void)frames;
    return end;
}

// The client name, read as the server reads it: a C string in its field.
void readNameAsServer(const char* data) {
    std::unique_ptr<char[]> name(new char[kClientNameBytes]);
    std::memcpy(name.get(), data, kClientNameBytes);
    require(std::strlen(name.get()) < static_cast<size_t>(kClientNameBytes), "name without NUL");
}

bool wellFormed(int32_t id, const char* data, size_t length) {
    return SampleFileServerMessages::isWellFormed(id, data, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    const int32_t id = static_cast<int8_t>(bytes[0]);
    const char* data = reinterpret_cast<const char*>(bytes + 1);
    const size_t length = size - 1;

    const size_t recordSize = SampleFileServerMessages::recordSize(id);
    if (!wellFormed(id, data, length)) {
        // A refused message may be refused for its content only when it is
        // long enough; nothing else is checked here.
        return 0;
    }
    require(recordSize > 0 && length >= recordSize, "accepted a message shorter than its record");
    if (id != kCtoS_PauseOrResumeServer) readNameAsServer(data);

    size_t needed = recordSize;
    if (id == kCtoS_ReplyListOfSampleFilesInUseByClient) needed = readListAsServer(data);
    require(needed <= length, "accepted paths that end past the data");

    // Tightness, on copies of the exact sizes: the shortest good prefix is
    // accepted and one byte less is not; one more byte changes nothing.
    std::unique_ptr<char[]> prefix(new char[needed + 1]);
    std::memcpy(prefix.get(), data, needed);
    require(wellFormed(id, prefix.get(), needed), "refused the shortest good prefix");
    require(!wellFormed(id, prefix.get(), needed - 1), "accepted a message cut by one byte");
    prefix[needed] = 'x';
    require(wellFormed(id, prefix.get(), needed + 1), "refused a message with a trailing byte");
    return 0;
}
