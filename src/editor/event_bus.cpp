#include "editor/event_bus.h"

#include <vector>

namespace kolva {

bool EventBus::subscribe(int kind, IEventProcessor* processor) {
    if (processor == nullptr) return false;
    if (isSubscribed(kind, processor)) return true;
    // multimap::insert places a new key after the existing entries of that key.
    entries_.insert({kind, Entry{processor, nextSerial_++}});
    return true;
}

void EventBus::unsubscribeAll(IEventProcessor* processor) {
    std::erase_if(entries_,
                  [processor](const auto& item) { return item.second.processor == processor; });
}

void EventBus::unsubscribe(int kind, IEventProcessor* processor) {
    auto [first, last] = entries_.equal_range(kind);
    for (auto it = first; it != last; ++it) {
        if (it->second.processor == processor) {
            entries_.erase(it);
            return;
        }
    }
}

void EventBus::publish(const IEvent& event) {
    const int kind = event.kind();
    auto [first, last] = entries_.equal_range(kind);
    if (first == last) return;

    // Processors may subscribe and unsubscribe while we deliver, which would invalidate
    // iterators into the map; deliver from a copy and re-check each entry before its call.
    std::vector<Entry> snapshot;
    for (auto it = first; it != last; ++it)
        snapshot.push_back(it->second);

    for (const Entry& entry : snapshot) {
        if (!hasEntry(kind, entry.serial)) continue;
        entry.processor->process(event);
    }
}

bool EventBus::isSubscribed(int kind, const IEventProcessor* processor) const {
    auto [first, last] = entries_.equal_range(kind);
    for (auto it = first; it != last; ++it) {
        if (it->second.processor == processor) return true;
    }
    return false;
}

bool EventBus::hasEntry(int kind, std::uint64_t serial) const {
    auto [first, last] = entries_.equal_range(kind);
    for (auto it = first; it != last; ++it) {
        if (it->second.serial == serial) return true;
    }
    return false;
}

} // namespace kolva
