#pragma once
// The events of the editor's bus: the kind numbers, the four payload templates and one class
// per kind. The numbers are fixed (projects, learned commands and the online client rely on
// them); 9 and 34 are unused. Events are plain values built on the publisher's stack.
// Editor thread, like the bus.

#include "editor/event_bus.h"
#include "presets/preset.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kolva {

namespace eventkind {
inline constexpr int kOnKeydown = 0;
inline constexpr int kOnFrameActivate = 1;
inline constexpr int kShowMessageDialog = 2;
inline constexpr int kCloseMessageDialog = 3;
inline constexpr int kCloseAsyncMessageDialog = 4;
inline constexpr int kUpdateDialogButtons = 5;
inline constexpr int kMessageDialogUpdateText = 6;
inline constexpr int kShowTextEditDialog = 7;
inline constexpr int kMessageDialogCloseResult = 8;
inline constexpr int kOnResetMidiMap = 10;
inline constexpr int kModalDialogOpened = 11;
inline constexpr int kModalDialogClosed = 12;
inline constexpr int kSetPresetManagerVisibility = 13;
inline constexpr int kLeftRowSelected = 14;
inline constexpr int kPresetListSelectionChange = 15;
inline constexpr int kBeginEditPresetInfo = 16;
inline constexpr int kEndEditPresetInfo = 17;
inline constexpr int kShowConfigDialog = 18;
inline constexpr int kConfigChanged = 19;
inline constexpr int kShowNNGeneratePresetDialog = 20;
inline constexpr int kOnPresetLoaded = 21;
inline constexpr int kOnInitPreset = 22;
inline constexpr int kSwitchPreset = 23;
inline constexpr int kOnPresetParameterChanged = 24;
inline constexpr int kUpdatePresetFilter = 25;
inline constexpr int kUpdatePresetGlobalFilter = 26;
inline constexpr int kRefreshHistoryTab = 27;
inline constexpr int kPresetsToBrowseListChanged = 28;
inline constexpr int kReloadChunk = 29;
inline constexpr int kHighlightLoadedPreset = 30;
inline constexpr int kCheckSaveModifiedPreset = 31;
inline constexpr int kSelectHistoryRow = 32;
inline constexpr int kSelectGlobalSearchRow = 33;
// 35..47 belong to the online services.
inline constexpr int kCheckForUpdate = 35;
inline constexpr int kOnSetPresetInitValues = 36;
inline constexpr int kStartAIRequest = 37;
inline constexpr int kStartFolderPendingAnimation = 38;
inline constexpr int kUpdateFolderPendingAnimation = 39;
inline constexpr int kSaveAITaskUUID = 40;
inline constexpr int kGetAITaskStatus = 41;
inline constexpr int kAIDialogSubmitResult = 42;
inline constexpr int kAIGenerationResult = 43;
inline constexpr int kAIGenerationResultSaved = 44;
inline constexpr int kAIError = 45;
inline constexpr int kGetAISubscriptionInfo = 46;
inline constexpr int kGetAISubscriptionInfoResponse = 47;
} // namespace eventkind

// ---- payload templates ----

template <int N> class NoParamEvent : public IEvent {
public:
    static constexpr int kKind = N;
    int kind() const override { return N; }
};

template <typename T, int N> class SingleParamEvent : public IEvent {
public:
    static constexpr int kKind = N;
    explicit SingleParamEvent(T value) : value_(std::move(value)) {}
    int kind() const override { return N; }
    const T& param() const { return value_; }

private:
    T value_;
};

template <typename T1, typename T2, int N> class PairParamsEvent : public IEvent {
public:
    static constexpr int kKind = N;
    PairParamsEvent(T1 first, T2 second) : first_(std::move(first)), second_(std::move(second)) {}
    int kind() const override { return N; }
    const T1& param1() const { return first_; }
    const T2& param2() const { return second_; }

private:
    T1 first_;
    T2 second_;
};

template <typename T1, typename T2, typename T3, int N> class TriParamsEvent : public IEvent {
public:
    static constexpr int kKind = N;
    TriParamsEvent(T1 first, T2 second, T3 third)
        : first_(std::move(first)), second_(std::move(second)), third_(std::move(third)) {}
    int kind() const override { return N; }
    const T1& param1() const { return first_; }
    const T2& param2() const { return second_; }
    const T3& param3() const { return third_; }

private:
    T1 first_;
    T2 second_;
    T3 third_;
};

// ---- payload records of the preset library and the online client ----
// Placeholders with the fields the events need so far; the preset library (workspace
// database, browser model) and the online client fill them in and take them over.

struct PresetMetadata {
    std::int32_t presetId = -1;
    std::string name;
    std::string author;
    std::string notes;
    std::vector<std::string> tags;
    bool favourite = false;
};

// One row of the preset list.
struct TableItem {
    std::int32_t presetId = -1;
    std::int32_t type = 0; // 0 preset file, 1 legacy preset, 2 program of a legacy bank
    std::string name;
    std::int32_t folderId = -1;
};

// A folder or file inside the workspace ("/" separated) or the factory folder.
struct WorkspacePath {
    std::string path;
    bool factory = false;
};

struct AIParams {
    std::string prompt;
    WorkspacePath folder;
};

struct AITokenInfo {
    std::int32_t used = 0;
    std::int32_t limit = 0;
};

// ---- dialogs ----

namespace dialog {
// What ShowMessageDialogEvent asks for.
inline constexpr int kMessage = 0;
inline constexpr int kOk = 1;
inline constexpr int kYesNo = 2;
inline constexpr int kRetryCancel = 3;
inline constexpr int kProgress = 4;
// The button a close result reports (the usual message-box numbers).
inline constexpr int kResultNone = 0;
inline constexpr int kResultOk = 1;
inline constexpr int kResultCancel = 2;
inline constexpr int kResultRetry = 4;
inline constexpr int kResultYes = 6;
inline constexpr int kResultNo = 7;
} // namespace dialog

// The receiving end of a progress dialog's animation (a text that cycles, a counter).
class IDialogAnimationTarget {
public:
    virtual ~IDialogAnimationTarget() = default;
    virtual void animationTick(std::uint32_t elapsedMs) = 0;
};

// The timing of a dialog animation. The rescan thread cancels it when it finishes, so the
// flag is atomic; everything else is read on the editor thread.
class CancelableTiming {
public:
    explicit CancelableTiming(std::uint32_t periodMs) : periodMs_(periodMs) {}
    std::uint32_t periodMs() const { return periodMs_; }
    void cancel() { cancelled_.store(true, std::memory_order_release); }
    bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }

private:
    std::uint32_t periodMs_;
    std::atomic<bool> cancelled_{false};
};

struct DialogAnimation {
    std::string name; // empty = no animation
    std::shared_ptr<IDialogAnimationTarget> target;
    std::shared_ptr<CancelableTiming> timing;
};

// Asks the editor for a modal message dialog. The answer comes back as a
// MessageDialogCloseResultEvent with the same command id; `requester` is who waits for it.
class ShowMessageDialogEvent : public NoParamEvent<eventkind::kShowMessageDialog> {
public:
    ShowMessageDialogEvent(IEventProcessor* requester, int commandId, std::string text,
                           std::intptr_t context = 0)
        : ShowMessageDialogEvent(dialog::kMessage, requester, commandId, std::move(text), context) {
    }

    IEventProcessor* requester() const { return requester_; }
    std::intptr_t context() const { return context_; }
    int commandId() const { return commandId_; }
    int dialogKind() const { return dialogKind_; }
    const std::string& text() const { return text_; }
    const DialogAnimation& animation() const { return animation_; }
    void setAnimation(DialogAnimation animation) { animation_ = std::move(animation); }
    int selectionIndex() const { return selectionIndex_; }
    void setSelectionIndex(int index) { selectionIndex_ = index; }

protected:
    ShowMessageDialogEvent(int dialogKind, IEventProcessor* requester, int commandId,
                           std::string text, std::intptr_t context)
        : requester_(requester), context_(context), commandId_(commandId), dialogKind_(dialogKind),
          text_(std::move(text)) {}

private:
    IEventProcessor* requester_;
    std::intptr_t context_;
    int commandId_;
    int dialogKind_;
    std::string text_;
    DialogAnimation animation_;
    int selectionIndex_ = -1;
};

template <int DialogKind> class ShowMessageDialogOfKind : public ShowMessageDialogEvent {
public:
    ShowMessageDialogOfKind(IEventProcessor* requester, int commandId, std::string text,
                            std::intptr_t context = 0)
        : ShowMessageDialogEvent(DialogKind, requester, commandId, std::move(text), context) {}
};

class ShowMessageOkDialogEvent : public ShowMessageDialogOfKind<dialog::kOk> {
public:
    using ShowMessageDialogOfKind::ShowMessageDialogOfKind;
};
class ShowMessageYesNoDialogEvent : public ShowMessageDialogOfKind<dialog::kYesNo> {
public:
    using ShowMessageDialogOfKind::ShowMessageDialogOfKind;
};
class ShowMessageRetryCancelDialogEvent : public ShowMessageDialogOfKind<dialog::kRetryCancel> {
public:
    using ShowMessageDialogOfKind::ShowMessageDialogOfKind;
};
class ShowProgressDialogEvent : public ShowMessageDialogOfKind<dialog::kProgress> {
public:
    using ShowMessageDialogOfKind::ShowMessageDialogOfKind;
};

class CloseMessageDialogEvent : public NoParamEvent<eventkind::kCloseMessageDialog> {};
class CloseAsyncMessageDialogEvent : public NoParamEvent<eventkind::kCloseAsyncMessageDialog> {};
class UpdateDialogButtonsEvent : public NoParamEvent<eventkind::kUpdateDialogButtons> {};

class MessageDialogUpdateTextEvent : public NoParamEvent<eventkind::kMessageDialogUpdateText> {
public:
    explicit MessageDialogUpdateTextEvent(std::string text) : text_(std::move(text)) {}
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

class ShowTextEditDialogEvent : public NoParamEvent<eventkind::kShowTextEditDialog> {
public:
    ShowTextEditDialogEvent(std::string title, std::string initialText, int commandId)
        : title_(std::move(title)), initialText_(std::move(initialText)), commandId_(commandId) {}
    const std::string& title() const { return title_; }
    const std::string& initialText() const { return initialText_; }
    int commandId() const { return commandId_; }

private:
    std::string title_;
    std::string initialText_;
    int commandId_;
};

// The payload is the button's result (dialog::kResult...).
class MessageDialogCloseResultEvent
    : public SingleParamEvent<int, eventkind::kMessageDialogCloseResult> {
public:
    MessageDialogCloseResultEvent(int result, int commandId)
        : SingleParamEvent(result), commandId_(commandId) {}
    int result() const { return param(); }
    int commandId() const { return commandId_; }

private:
    int commandId_;
};

class TextMessageDialogCloseResultEvent : public MessageDialogCloseResultEvent {
public:
    TextMessageDialogCloseResultEvent(int result, int commandId, std::string text)
        : MessageDialogCloseResultEvent(result, commandId), text_(std::move(text)) {}
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

class ModalDialogOpenedEvent : public NoParamEvent<eventkind::kModalDialogOpened> {};
class ModalDialogClosedEvent : public NoParamEvent<eventkind::kModalDialogClosed> {};

// ---- frame and panels ----

class OnKeydownEvent : public NoParamEvent<eventkind::kOnKeydown> {
public:
    static constexpr std::uint32_t kShift = 1;
    static constexpr std::uint32_t kControl = 2;
    static constexpr std::uint32_t kAlt = 4;

    // `character` is the typed Unicode code point (0 for keys without one), `virtualKey`
    // the toolkit's key code, `modifiers` a set of kShift/kControl/kAlt.
    OnKeydownEvent(std::uint32_t character, int virtualKey, std::uint32_t modifiers)
        : character_(character), virtualKey_(virtualKey), modifiers_(modifiers) {}
    std::uint32_t character() const { return character_; }
    int virtualKey() const { return virtualKey_; }
    std::uint32_t modifiers() const { return modifiers_; }

private:
    std::uint32_t character_;
    int virtualKey_;
    std::uint32_t modifiers_;
};

class OnFrameActivateEvent : public NoParamEvent<eventkind::kOnFrameActivate> {};
class OnResetMidiMapEvent : public NoParamEvent<eventkind::kOnResetMidiMap> {};

class SetPresetManagerVisibilityEvent
    : public NoParamEvent<eventkind::kSetPresetManagerVisibility> {
public:
    explicit SetPresetManagerVisibilityEvent(bool shown) : shown_(shown) {}
    bool shown() const { return shown_; }

private:
    bool shown_;
};

class ShowConfigDialogEvent : public NoParamEvent<eventkind::kShowConfigDialog> {};
class ConfigChangedEvent : public NoParamEvent<eventkind::kConfigChanged> {};
class ShowNNGeneratePresetDialogEvent
    : public NoParamEvent<eventkind::kShowNNGeneratePresetDialog> {};

// ---- preset manager ----

class LeftRowSelectedEvent : public NoParamEvent<eventkind::kLeftRowSelected> {};
class PresetListSelectionChangeEvent : public NoParamEvent<eventkind::kPresetListSelectionChange> {
};

class BeginEditPresetInfoEvent
    : public SingleParamEvent<PresetMetadata, eventkind::kBeginEditPresetInfo> {
public:
    using SingleParamEvent::SingleParamEvent;
};
class EndEditPresetInfoEvent
    : public SingleParamEvent<PresetMetadata, eventkind::kEndEditPresetInfo> {
public:
    using SingleParamEvent::SingleParamEvent;
};

// A sound was loaded into the current working program. `noHistory` set means the load is not
// entered into the history table (undo steps, program switches from the host).
class OnPresetLoadedEvent : public SingleParamEvent<Preset, eventkind::kOnPresetLoaded> {
public:
    OnPresetLoadedEvent(Preset preset, std::int32_t listIndex, std::int32_t listLength,
                        std::uint8_t noHistory)
        : SingleParamEvent(std::move(preset)), listIndex_(listIndex), listLength_(listLength),
          noHistory_(noHistory) {}
    const Preset& preset() const { return param(); }
    std::int32_t listIndex() const { return listIndex_; }
    std::int32_t listLength() const { return listLength_; }
    std::uint8_t noHistory() const { return noHistory_; }

private:
    std::int32_t listIndex_;
    std::int32_t listLength_;
    std::uint8_t noHistory_;
};

// The loaded sound was written again (save, rename); same kind, so every listener of loads
// hears it too.
class OnPresetReloadedEvent : public OnPresetLoadedEvent {
public:
    using OnPresetLoadedEvent::OnPresetLoadedEvent;
};

class OnInitPresetEvent : public NoParamEvent<eventkind::kOnInitPreset> {};

// A program switch from the host, a MIDI program change or a learned preset command.
class SwitchPresetEvent : public NoParamEvent<eventkind::kSwitchPreset> {
public:
    static constexpr std::int32_t kPrevious = 0;
    static constexpr std::int32_t kNext = 2;
    static constexpr std::int32_t kByNumber = 3;

    // `program` is -1 for the relative modes. `learned` is 1 for learned preset commands;
    // `noHistory` becomes the no-history flag of the load. Host and MIDI program changes
    // send (0, 1), learned commands (1, 0).
    SwitchPresetEvent(std::int32_t mode, std::int32_t program, std::uint8_t learned,
                      std::uint8_t noHistory, std::uint8_t editorOpen)
        : mode_(mode), program_(program), learned_(learned), noHistory_(noHistory),
          editorOpen_(editorOpen) {}

    // Host and MIDI program changes, and learned preset commands; the relative modes get
    // program -1 whatever is passed.
    static SwitchPresetEvent fromHost(std::int32_t mode, std::int32_t program, bool editorOpen) {
        return SwitchPresetEvent(mode, mode == kByNumber ? program : -1, 0, 1, editorOpen ? 1 : 0);
    }
    static SwitchPresetEvent fromLearnedCommand(std::int32_t mode, std::int32_t program,
                                                bool editorOpen) {
        return SwitchPresetEvent(mode, mode == kByNumber ? program : -1, 1, 0, editorOpen ? 1 : 0);
    }

    std::int32_t mode() const { return mode_; }
    std::int32_t program() const { return program_; }
    std::uint8_t learned() const { return learned_; }
    std::uint8_t noHistory() const { return noHistory_; }
    std::uint8_t editorOpen() const { return editorOpen_; }

private:
    std::int32_t mode_;
    std::int32_t program_;
    std::uint8_t learned_;
    std::uint8_t noHistory_;
    std::uint8_t editorOpen_;
};

class OnPresetParameterChangedEvent : public NoParamEvent<eventkind::kOnPresetParameterChanged> {};

class UpdatePresetFilterEvent
    : public SingleParamEvent<std::string, eventkind::kUpdatePresetFilter> {
public:
    using SingleParamEvent::SingleParamEvent;
};
class UpdatePresetGlobalFilterEvent
    : public SingleParamEvent<std::string, eventkind::kUpdatePresetGlobalFilter> {
public:
    using SingleParamEvent::SingleParamEvent;
};

class RefreshHistoryTabEvent : public NoParamEvent<eventkind::kRefreshHistoryTab> {};

class PresetsToBrowseListChangedEvent
    : public SingleParamEvent<std::vector<TableItem>, eventkind::kPresetsToBrowseListChanged> {
public:
    using SingleParamEvent::SingleParamEvent;
};

// The whole state was replaced (state restore, rename, asynchronous reload).
class ReloadChunkEvent : public NoParamEvent<eventkind::kReloadChunk> {};
class HighlightLoadedPresetEvent : public NoParamEvent<eventkind::kHighlightLoadedPreset> {};

// Asked by the history and search lists before another preset replaces the sound.
// `fromHistory` tells which list asks; `action` is what the list does once answered.
class CheckSaveModifiedPresetEvent : public NoParamEvent<eventkind::kCheckSaveModifiedPreset> {
public:
    CheckSaveModifiedPresetEvent(bool fromHistory, std::int32_t action)
        : fromHistory_(fromHistory), action_(action) {}
    bool fromHistory() const { return fromHistory_; }
    std::int32_t action() const { return action_; }

private:
    bool fromHistory_;
    std::int32_t action_;
};

class SelectHistoryRowEvent : public NoParamEvent<eventkind::kSelectHistoryRow> {};
class SelectGlobalSearchRowEvent : public NoParamEvent<eventkind::kSelectGlobalSearchRow> {};
class OnSetPresetInitValuesEvent : public NoParamEvent<eventkind::kOnSetPresetInitValues> {};

// ---- online services ----

class CheckForUpdateEvent : public NoParamEvent<eventkind::kCheckForUpdate> {};
class StartAIRequestEvent : public SingleParamEvent<AIParams, eventkind::kStartAIRequest> {
public:
    using SingleParamEvent::SingleParamEvent;
};
class StartFolderPendingAnimationEvent
    : public SingleParamEvent<WorkspacePath, eventkind::kStartFolderPendingAnimation> {
public:
    using SingleParamEvent::SingleParamEvent;
};
class UpdateFolderPendingAnimationEvent
    : public NoParamEvent<eventkind::kUpdateFolderPendingAnimation> {};
// Task UUID and the folder the result goes to.
class SaveAITaskUUIDEvent
    : public PairParamsEvent<std::string, WorkspacePath, eventkind::kSaveAITaskUUID> {
public:
    using PairParamsEvent::PairParamsEvent;
};
class GetAITaskStatusEvent : public NoParamEvent<eventkind::kGetAITaskStatus> {};
class AIDialogSubmitResultEvent
    : public SingleParamEvent<std::string, eventkind::kAIDialogSubmitResult> {
public:
    using SingleParamEvent::SingleParamEvent;
};
class AIGenerationResultEvent : public TriParamsEvent<std::string, WorkspacePath, std::string,
                                                      eventkind::kAIGenerationResult> {
public:
    using TriParamsEvent::TriParamsEvent;
};
class AIGenerationResultSavedEvent : public NoParamEvent<eventkind::kAIGenerationResultSaved> {};
class AIErrorEvent : public TriParamsEvent<int, std::string, std::string, eventkind::kAIError> {
public:
    using TriParamsEvent::TriParamsEvent;
};
class GetAISubscriptionInfoEvent
    : public SingleParamEvent<std::string, eventkind::kGetAISubscriptionInfo> {
public:
    using SingleParamEvent::SingleParamEvent;
};
class GetAISubscriptionInfoResponse
    : public PairParamsEvent<int, AITokenInfo, eventkind::kGetAISubscriptionInfoResponse> {
public:
    using PairParamsEvent::PairParamsEvent;
};

} // namespace kolva
