#include "engine/routing_table.h"

namespace kolva {

void RoutingTable::clear() {
    for (auto& r : records_) {
        r.module.fill(-1);
        r.slot.fill(-1);
        r.count = 0;
    }
}

bool RoutingTable::add(int index, int module, int slot) {
    if (index < 0 || index >= static_cast<int>(records_.size())) return false;
    Record& r = records_[index];
    if (r.count >= kMaxBindings) return false;
    r.module[r.count] = module;
    r.slot[r.count] = slot;
    ++r.count;
    return true;
}

} // namespace kolva
