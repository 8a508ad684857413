#pragma once
// The event bus: how the editor's panels, dialogs, browsers, preset-manager actions and idle
// workers talk without calling each other. A component subscribes an IEventProcessor for an
// event kind; whoever has news builds an IEvent and publishes it. One bus per plug-in
// instance, owned by PluginBase.
//
// Thread rule: editor thread only (or the host's main thread while no editor thread runs).
// There is no lock; other threads hand their results over as idle workers (idle_worker.h).

#include <cstddef>
#include <cstdint>
#include <map>

namespace kolva {

class IEvent {
public:
    virtual ~IEvent() = default;
    virtual int kind() const = 0;
};

class IEventProcessor {
public:
    // The event belongs to the publisher and lives only for this call: never keep a pointer.
    virtual void process(const IEvent& event) = 0;
    virtual ~IEventProcessor() = default;
};

class IEventBus {
public:
    // True when the pair is registered afterwards (also when it already was); false for null.
    virtual bool subscribe(int kind, IEventProcessor* processor) = 0;
    virtual void unsubscribeAll(IEventProcessor* processor) = 0;
    virtual void unsubscribe(int kind, IEventProcessor* processor) = 0;
    // Synchronous: every processor of the event's kind runs, in subscription order, before
    // this returns. Events published from inside process() are delivered at once (depth first).
    virtual void publish(const IEvent& event) = 0;
    virtual ~IEventBus() = default;
};

// Owns neither processors nor events. Every processor calls unsubscribeAll in its destructor.
class EventBus final : public IEventBus {
public:
    EventBus() = default;
    EventBus(const EventBus&) = delete;
    EventBus& operator=(const EventBus&) = delete;

    bool subscribe(int kind, IEventProcessor* processor) override;
    void unsubscribeAll(IEventProcessor* processor) override;
    void unsubscribe(int kind, IEventProcessor* processor) override;
    void publish(const IEvent& event) override;

    bool isSubscribed(int kind, const IEventProcessor* processor) const;
    std::size_t subscriptionCount() const { return entries_.size(); }

private:
    // The serial tells a delivery whether the entry it copied is still registered: a processor
    // that unsubscribes during a delivery (itself, or, against the rules, another one that
    // may already be destroyed) is not called again from that delivery.
    struct Entry {
        IEventProcessor* processor;
        std::uint64_t serial;
    };

    bool hasEntry(int kind, std::uint64_t serial) const;

    std::multimap<int, Entry> entries_; // equal kinds keep insertion order
    std::uint64_t nextSerial_ = 1;
};

} // namespace kolva
