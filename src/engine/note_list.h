#pragma once
// A fixed-capacity list of note numbers for the audio thread: no allocation, growth past the
// capacity is refused.

#include <array>
#include <cstdint>

namespace kolva {

template <int Capacity> class NoteList {
public:
    bool push(int note) {
        if (count_ >= Capacity) return false;
        notes_[count_++] = note;
        return true;
    }
    // Removes every occurrence of `note`; returns how many were removed.
    int removeAll(int note) {
        int w = 0;
        for (int r = 0; r < count_; ++r)
            if (notes_[r] != note) notes_[w++] = notes_[r];
        int removed = count_ - w;
        count_ = w;
        return removed;
    }
    bool contains(int note) const {
        for (int i = 0; i < count_; ++i)
            if (notes_[i] == note) return true;
        return false;
    }
    void clear() { count_ = 0; }
    int size() const { return count_; }
    bool empty() const { return count_ == 0; }
    bool full() const { return count_ >= Capacity; }
    int operator[](int i) const { return notes_[i]; }
    static constexpr int capacity() { return Capacity; }

private:
    std::array<std::int32_t, Capacity> notes_{};
    int count_ = 0;
};

} // namespace kolva
