// LeadingFloats: what the sequence conversion keeps of a sequence of numbers: the first N,
// and how many numbers there were in all. Every element is still read and converted, but the
// memory needed stays the same however long the sequence is.
#pragma once

#include <cstddef>

namespace kestrum {

// Where the sequence conversion puts numbers: the first `capacity` are kept, all are counted.
struct FloatSink {
    float* kept;
    std::size_t capacity;
    std::size_t count = 0;

    void push_back(float value) noexcept {
        if (count < capacity) kept[count] = value;
        ++count;
    }
};

template <std::size_t N>
struct LeadingFloats {
    static constexpr std::size_t KEPT = N;

    float values[N] = {};
    std::size_t count = 0;  // every number read, kept or not

    void push_back(float value) noexcept {
        if (count < N) values[count] = value;
        ++count;
    }
};

}  // namespace kestrum
