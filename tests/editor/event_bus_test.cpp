// The event bus (subscription rules, delivery order, changes during delivery), the events'
// kind numbers and payloads, and the idle-worker queue.

#include "editor/event_bus.h"
#include "editor/events.h"
#include "editor/idle_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

namespace kolva {
namespace {

using Log = std::vector<std::string>;

// Writes "<name>:<kind>" for every event and then runs its optional reaction.
class Recorder : public IEventProcessor {
public:
    Recorder(std::string name, Log& log) : name_(std::move(name)), log_(log) {}
    void process(const IEvent& event) override {
        log_.push_back(name_ + ":" + std::to_string(event.kind()));
        if (onEvent) onEvent(event);
    }
    std::function<void(const IEvent&)> onEvent;

private:
    std::string name_;
    Log& log_;
};

template <int N> struct TestEvent : NoParamEvent<N> {};

// ---- subscription rules, as sequences of operations on processors "a" and "b" ----

struct Op {
    enum Type { Sub, Unsub, UnsubAll } type;
    char who;
    int kind;
};

struct SubscriptionCase {
    const char* name;
    std::vector<Op> ops;
    std::vector<int> published;
    Log expected;
};

TEST(EventBus, SubscriptionRules) {
    const SubscriptionCase cases[] = {
        {"subscribing twice delivers once", {{Op::Sub, 'a', 1}, {Op::Sub, 'a', 1}}, {1}, {"a:1"}},
        {"two processors run in subscription order",
         {{Op::Sub, 'b', 1}, {Op::Sub, 'a', 1}},
         {1},
         {"b:1", "a:1"}},
        {"unsubscribe all removes every kind",
         {{Op::Sub, 'a', 1}, {Op::Sub, 'a', 2}, {Op::Sub, 'b', 2}, {Op::UnsubAll, 'a', 0}},
         {1, 2},
         {"b:2"}},
        {"unsubscribe removes only that kind",
         {{Op::Sub, 'a', 1}, {Op::Sub, 'a', 2}, {Op::Unsub, 'a', 1}},
         {1, 2},
         {"a:2"}},
        {"unsubscribing a processor that is not there changes nothing",
         {{Op::Sub, 'a', 1}, {Op::Unsub, 'b', 1}, {Op::Unsub, 'a', 2}},
         {1},
         {"a:1"}},
        {"a second subscription does not move the first",
         {{Op::Sub, 'a', 1}, {Op::Sub, 'b', 1}, {Op::Sub, 'a', 1}},
         {1},
         {"a:1", "b:1"}},
        {"subscribing again after leaving goes to the end",
         {{Op::Sub, 'a', 1}, {Op::Sub, 'b', 1}, {Op::Unsub, 'a', 1}, {Op::Sub, 'a', 1}},
         {1},
         {"b:1", "a:1"}},
        {"a kind nobody subscribed to does nothing", {{Op::Sub, 'a', 1}}, {2, 9, 34, -1}, {}},
        {"a duplicate subscription leaves nothing behind on unsubscribe",
         {{Op::Sub, 'a', 1}, {Op::Sub, 'a', 1}, {Op::Unsub, 'a', 1}},
         {1},
         {}},
    };
    for (const SubscriptionCase& c : cases) {
        SCOPED_TRACE(c.name);
        Log log;
        Recorder a("a", log), b("b", log);
        EventBus bus;
        for (const Op& op : c.ops) {
            IEventProcessor* p = op.who == 'a' ? &a : &b;
            switch (op.type) {
            case Op::Sub:
                EXPECT_TRUE(bus.subscribe(op.kind, p));
                break;
            case Op::Unsub:
                bus.unsubscribe(op.kind, p);
                break;
            case Op::UnsubAll:
                bus.unsubscribeAll(p);
                break;
            }
        }
        for (int kind : c.published) {
            // Any event of that kind; the bus only asks kind().
            struct AnyKind : IEvent {
                int k;
                int kind() const override { return k; }
            } event;
            event.k = kind;
            bus.publish(event);
        }
        EXPECT_EQ(log, c.expected);
    }
}

TEST(EventBus, NullProcessorIsRefused) {
    EventBus bus;
    EXPECT_FALSE(bus.subscribe(1, nullptr));
    EXPECT_EQ(bus.subscriptionCount(), 0u);
    bus.publish(TestEvent<1>{});
}

TEST(EventBus, NestedPublishesAreDeliveredDepthFirst) {
    Log log;
    EventBus bus;
    Recorder a("a", log), b("b", log), c("c", log), d("d", log);
    a.onEvent = [&](const IEvent&) { bus.publish(TestEvent<2>{}); };
    c.onEvent = [&](const IEvent&) { bus.publish(TestEvent<3>{}); };
    bus.subscribe(1, &a);
    bus.subscribe(1, &b);
    bus.subscribe(2, &c);
    bus.subscribe(3, &d);
    bus.publish(TestEvent<1>{});
    EXPECT_EQ(log, (Log{"a:1", "c:2", "d:3", "b:1"}));
}

TEST(EventBus, ChangesDuringDeliveryAreSafe) {
    struct Case {
        const char* name;
        // What "b" does when it receives kind 1, given the bus and the other processors.
        std::function<void(EventBus&, Recorder& b, Recorder& c, std::unique_ptr<Recorder>& late)>
            reaction;
        Log firstDelivery;
        Log secondDelivery;
    };
    const Case cases[] = {
        {"b leaves",
         [](EventBus& bus, Recorder& b, Recorder&, auto&) { bus.unsubscribe(1, &b); },
         {"a:1", "b:1", "c:1"},
         {"a:1", "c:1"}},
        {"b leaves everything",
         [](EventBus& bus, Recorder& b, Recorder&, auto&) { bus.unsubscribeAll(&b); },
         {"a:1", "b:1", "c:1"},
         {"a:1", "c:1"}},
        {"b subscribes a newcomer, heard from the next event on",
         [](EventBus& bus, Recorder&, Recorder&, std::unique_ptr<Recorder>& late) {
             if (!bus.isSubscribed(1, late.get())) bus.subscribe(1, late.get());
         },
         {"a:1", "b:1", "c:1"},
         {"a:1", "b:1", "c:1", "late:1"}},
        {"b leaves and comes back, once per delivery",
         [](EventBus& bus, Recorder& b, Recorder&, auto&) {
             bus.unsubscribe(1, &b);
             bus.subscribe(1, &b);
         },
         {"a:1", "b:1", "c:1"},
         {"a:1", "c:1", "b:1"}},
        // Not allowed, but must not call the removed processor.
        {"b removes c",
         [](EventBus& bus, Recorder&, Recorder& c, auto&) { bus.unsubscribe(1, &c); },
         {"a:1", "b:1"},
         {"a:1", "b:1"}},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        Log log;
        EventBus bus;
        Recorder a("a", log), b("b", log), c("c", log);
        auto late = std::make_unique<Recorder>("late", log);
        b.onEvent = [&](const IEvent&) { tc.reaction(bus, b, c, late); };
        for (Recorder* r : {&a, &b, &c})
            bus.subscribe(1, r);
        bus.publish(TestEvent<1>{});
        EXPECT_EQ(log, tc.firstDelivery);
        log.clear();
        b.onEvent = nullptr;
        bus.publish(TestEvent<1>{});
        EXPECT_EQ(log, tc.secondDelivery);
    }
}

TEST(EventBus, ProcessorDestroyedByAnotherDuringDeliveryIsNotCalled) {
    Log log;
    EventBus bus;
    Recorder a("a", log);
    auto victim = std::make_unique<Recorder>("victim", log);
    a.onEvent = [&](const IEvent&) {
        bus.unsubscribeAll(victim.get()); // as its destructor would
        victim.reset();
    };
    bus.subscribe(1, &a);
    bus.subscribe(1, victim.get());
    bus.publish(TestEvent<1>{}); // the sanitizer reports a call into the freed processor
    EXPECT_EQ(log, (Log{"a:1"}));
}

// ---- events ----

TEST(Events, KindsFollowTheFixedNumbering) {
    std::vector<std::pair<std::unique_ptr<IEvent>, int>> cases;
    auto add = [&](IEvent* e, int kind) { cases.emplace_back(std::unique_ptr<IEvent>(e), kind); };
    add(new OnKeydownEvent(65, 0, 0), 0);
    add(new OnFrameActivateEvent, 1);
    add(new ShowMessageDialogEvent(nullptr, 1, "x"), 2);
    add(new ShowProgressDialogEvent(nullptr, 21, "Indexing"), 2);
    add(new CloseAsyncMessageDialogEvent, 4);
    add(new MessageDialogUpdateTextEvent("t"), 6);
    add(new ShowTextEditDialogEvent("Rename", "old", 3), 7);
    add(new TextMessageDialogCloseResultEvent(dialog::kResultOk, 3, "new"), 8);
    add(new OnResetMidiMapEvent, 10);
    add(new SetPresetManagerVisibilityEvent(true), 13);
    add(new EndEditPresetInfoEvent(PresetMetadata{}), 17);
    add(new ShowNNGeneratePresetDialogEvent, 20);
    add(new OnPresetReloadedEvent(Preset(), 0, 1, 0), 21);
    add(new SwitchPresetEvent(3, 5, 0, 1, 0), 23);
    add(new UpdatePresetGlobalFilterEvent("pad"), 26);
    add(new PresetsToBrowseListChangedEvent(std::vector<TableItem>{}), 28);
    add(new ReloadChunkEvent, 29);
    add(new CheckSaveModifiedPresetEvent(true, 1), 31);
    add(new SelectGlobalSearchRowEvent, 33);
    add(new CheckForUpdateEvent, 35);
    add(new OnSetPresetInitValuesEvent, 36);
    add(new SaveAITaskUUIDEvent("uuid", WorkspacePath{}), 40);
    add(new AIGenerationResultEvent("a", WorkspacePath{}, "b"), 43);
    add(new AIErrorEvent(500, "x", "y"), 45);
    add(new GetAISubscriptionInfoResponse(1, AITokenInfo{}), 47);
    for (const auto& [event, kind] : cases) {
        EXPECT_EQ(event->kind(), kind) << typeid(*event).name();
    }
    EXPECT_EQ(ReloadChunkEvent::kKind, eventkind::kReloadChunk);
}

TEST(Events, DialogSubclassesAskForDistinctDialogs) {
    const ShowMessageDialogEvent* events[] = {
        new ShowMessageDialogEvent(nullptr, 1, "m"), new ShowMessageOkDialogEvent(nullptr, 1, "m"),
        new ShowMessageYesNoDialogEvent(nullptr, 1, "m"),
        new ShowMessageRetryCancelDialogEvent(nullptr, 1, "m"),
        new ShowProgressDialogEvent(nullptr, 1, "m")};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(events[i]->selectionIndex(), -1);
        for (int j = 0; j < i; ++j)
            EXPECT_NE(events[i]->dialogKind(), events[j]->dialogKind());
    }
    for (const auto* e : events)
        delete e;
}

TEST(Events, SwitchPresetRequestsCarryTheirFlags) {
    struct Case {
        SwitchPresetEvent event;
        std::int32_t mode, program;
        std::uint8_t learned, noHistory, editorOpen;
    };
    const Case cases[] = {
        {SwitchPresetEvent::fromHost(SwitchPresetEvent::kByNumber, 5, false), 3, 5, 0, 1, 0},
        {SwitchPresetEvent::fromHost(SwitchPresetEvent::kNext, 5, true), 2, -1, 0, 1, 1},
        {SwitchPresetEvent::fromLearnedCommand(SwitchPresetEvent::kPrevious, 9, false), 0, -1, 1, 0,
         0},
        {SwitchPresetEvent::fromLearnedCommand(SwitchPresetEvent::kByNumber, 12, true), 3, 12, 1, 0,
         1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.event.kind(), 23);
        EXPECT_EQ(c.event.mode(), c.mode);
        EXPECT_EQ(c.event.program(), c.program);
        EXPECT_EQ(c.event.learned(), c.learned);
        EXPECT_EQ(c.event.noHistory(), c.noHistory);
        EXPECT_EQ(c.event.editorOpen(), c.editorOpen);
    }
}

// A load and the dialog protocol as their receivers see them: through the base interface.
TEST(Events, PayloadsReachProcessorsThroughTheBus) {
    EventBus bus;
    Log log;
    Recorder loads("loads", log), requester("requester", log), dialogBox("dialog", log);
    std::string loadedName;
    int loadedIndex = -1, loadedLength = -1, noHistory = -1;
    bool reloaded = false;
    loads.onEvent = [&](const IEvent& e) {
        const auto& loaded = static_cast<const OnPresetLoadedEvent&>(e);
        loadedName = loaded.preset().name();
        loadedIndex = loaded.listIndex();
        loadedLength = loaded.listLength();
        noHistory = loaded.noHistory();
        reloaded = dynamic_cast<const OnPresetReloadedEvent*>(&e) != nullptr;
    };
    // The dialog answers at once with the command id it was given.
    dialogBox.onEvent = [&](const IEvent& e) {
        const auto& ask = static_cast<const ShowMessageDialogEvent&>(e);
        bus.publish(ModalDialogOpenedEvent{});
        bus.publish(
            TextMessageDialogCloseResultEvent(dialog::kResultYes, ask.commandId(), "Bass 2"));
        bus.publish(ModalDialogClosedEvent{});
    };
    int answer = -1;
    std::string answerText;
    requester.onEvent = [&](const IEvent& e) {
        const auto& result = static_cast<const MessageDialogCloseResultEvent&>(e);
        if (result.commandId() != 77) return;
        answer = result.result();
        if (auto* text = dynamic_cast<const TextMessageDialogCloseResultEvent*>(&e))
            answerText = text->text();
    };
    bus.subscribe(eventkind::kOnPresetLoaded, &loads);
    bus.subscribe(eventkind::kShowMessageDialog, &dialogBox);
    bus.subscribe(eventkind::kMessageDialogCloseResult, &requester);

    Preset preset;
    preset.setName("Warm Pad");
    bus.publish(OnPresetReloadedEvent(preset, 4, 10, 1));
    EXPECT_EQ(loadedName, "Warm Pad");
    EXPECT_EQ(loadedIndex, 4);
    EXPECT_EQ(loadedLength, 10);
    EXPECT_EQ(noHistory, 1);
    EXPECT_TRUE(reloaded);

    bus.publish(
        ShowMessageYesNoDialogEvent(&requester, 77, "Do you want to save modified preset?"));
    EXPECT_EQ(answer, dialog::kResultYes);
    EXPECT_EQ(answerText, "Bass 2");
    EXPECT_EQ(log, (Log{"loads:21", "dialog:2", "requester:8"}));
}

// ---- idle workers ----

class FunctionWorker : public IdleWorkerBase {
public:
    explicit FunctionWorker(std::function<void()> f) : f_(std::move(f)) {}
    void run() override { f_(); }

private:
    std::function<void()> f_;
};

IdleWorkerPtr job(std::function<void()> f) {
    return std::make_shared<FunctionWorker>(std::move(f));
}

TEST(IdleWorkerQueue, RunsWaitingJobsInOrderAndLeavesNewOnesForTheNextDrain) {
    IdleWorkerQueue queue;
    Log log;
    EXPECT_FALSE(queue.post(nullptr));
    queue.post(job([&] { log.push_back("1"); }));
    queue.post(job([&] {
        log.push_back("2");
        queue.post(job([&] { log.push_back("4"); }));
        EXPECT_EQ(queue.runPending(), 0u); // no nested drain
    }));
    queue.post(job([&] { throw std::runtime_error("failed"); }));
    queue.post(job([&] { log.push_back("3"); }));
    EXPECT_EQ(queue.pending(), 4u);
    EXPECT_EQ(queue.runPending(), 3u); // the throwing job does not count
    EXPECT_EQ(log, (Log{"1", "2", "3"}));
    EXPECT_EQ(queue.pending(), 1u);
    EXPECT_EQ(queue.runPending(), 1u);
    EXPECT_EQ(log, (Log{"1", "2", "3", "4"}));
    EXPECT_EQ(queue.runPending(), 0u);
}

TEST(IdleWorkerQueue, RefusesJobsPastItsCapacityAndClearReleasesThem) {
    IdleWorkerQueue queue;
    int ran = 0;
    auto counted = job([&] { ++ran; });
    std::weak_ptr<IdleWorkerBase> watch = counted;
    for (std::size_t i = 0; i < IdleWorkerQueue::kCapacity; ++i)
        ASSERT_TRUE(queue.post(counted));
    EXPECT_FALSE(queue.post(counted));
    counted.reset();
    EXPECT_FALSE(watch.expired()); // the queue holds it
    queue.clear();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(ran, 0);
    EXPECT_TRUE(queue.post(job([&] { ++ran; })));
    EXPECT_EQ(queue.runPending(), 1u);
    EXPECT_EQ(ran, 1);
}

TEST(IdleWorkerQueue, JobsPostedFromManyThreadsRunOneAtATime) {
    IdleWorkerQueue queue;
    constexpr int kThreads = 4, kJobsEach = 300;
    std::atomic<int> running{0}, ran{0}, overlaps{0};
    std::atomic<int> posted{0};
    auto work = [&] {
        if (running.fetch_add(1) != 0) overlaps.fetch_add(1);
        std::this_thread::yield();
        running.fetch_sub(1);
        ran.fetch_add(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kJobsEach; ++i) {
                if (queue.post(job(work))) posted.fetch_add(1);
            }
        });
    }
    // Two drainers, like the editor timer and the host's idle around an editor close.
    std::atomic<bool> stop{false};
    std::thread second([&] {
        while (!stop.load())
            queue.runPending();
    });
    for (auto& t : threads)
        t.join();
    while (queue.pending() > 0)
        queue.runPending();
    stop.store(true);
    second.join();
    queue.runPending();
    EXPECT_EQ(posted.load(), kThreads * kJobsEach);
    EXPECT_EQ(ran.load(), kThreads * kJobsEach);
    EXPECT_EQ(overlaps.load(), 0);
}

} // namespace
} // namespace kolva
