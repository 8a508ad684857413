#pragma once
// Which module slots each parameter is delivered to: 725 records of up to 16
// (module number, slot) pairs, filled once when the engine is built.

#include <array>
#include <cstdint>

namespace kolva {

class RoutingTable {
public:
    static constexpr int kMaxBindings = 16;
    struct Record {
        std::array<std::int32_t, kMaxBindings> module;
        std::array<std::int32_t, kMaxBindings> slot;
        std::int32_t count;
    };

    RoutingTable() { clear(); }
    void clear();
    // Appends a binding; refused (false) past 16 or for an index outside 0..724.
    bool add(int index, int module, int slot);
    const Record& record(int index) const { return records_[index]; }

private:
    std::array<Record, 725> records_;
};

} // namespace kolva
