// PlaybackBuffer: a reader's own full-size float buffers for streaming
// playback, one array per channel (two channels), with a frame capacity and
// the count of frames that hold valid audio so far.
#pragma once

#include <atomic>
#include <cstdint>

class PlaybackBuffer {
public:
    static constexpr int kChannels = 2;

    PlaybackBuffer() = default;
    ~PlaybackBuffer() { release(); }
    PlaybackBuffer(const PlaybackBuffer&) = delete;
    PlaybackBuffer& operator=(const PlaybackBuffer&) = delete;

    // Makes room for `frames` frames in every channel (zeroed) unless that
    // much is held already. 1 on success; 0 (buffer released) when memory is
    // short or frames is not positive.
    int allocate(int32_t frames);
    // Frees the arrays; capacity and filled count become 0.
    void release();

    float* channel(int index) const { return index >= 0 && index < kChannels ? channels_[index] : nullptr; }
    float** channels() { return channels_; }
    int32_t capacity() const { return capacity_; }
    // Frames from 0 that hold valid audio (retrieval raises it).
    int32_t filledFrames() const { return filled_.load(); }
    void setFilledFrames(int32_t frames) { filled_.store(frames); }
    // Frames at the head preloaded before streaming began (none here).
    int32_t preloadedHeadFrames() const { return 0; }

private:
    float* channels_[kChannels] = {nullptr, nullptr};
    int32_t capacity_ = 0;
    std::atomic<int32_t> filled_{0};
};
