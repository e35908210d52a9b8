#include "PlaybackBuffer.h"

#include <cstdlib>

int PlaybackBuffer::allocate(int32_t frames) {
    if (frames <= 0) {
        release();
        return 0;
    }
    if (capacity_ >= frames && channels_[0] != nullptr)
        return 1;
    release();
    for (float*& array : channels_) {
        array = static_cast<float*>(calloc(static_cast<size_t>(frames), sizeof(float)));
        if (array == nullptr) {
            release();
            return 0;
        }
    }
    capacity_ = frames;
    return 1;
}

void PlaybackBuffer::release() {
    for (float*& array : channels_) {
        free(array);
        array = nullptr;
    }
    capacity_ = 0;
    filled_.store(0);
}
