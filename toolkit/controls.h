#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "toolkit/image.h"

namespace glowtern {

enum class ControlKind : uint8_t {
    None,
    TextLabel,
    ScrollBar,
    PushButton,
    CheckBox,
    DropDownList,
    Image,
    LinkLabel,
};

struct FontSpec {
    std::string_view family{};  // empty: the desktop's default GUI font
    int pointSize = 0;
};

// Everything needed to create one control of the main window.
struct ControlSpec {
    int id = 0;
    ControlKind kind = ControlKind::None;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::string_view text{};     // labels, buttons, check boxes, link label
    std::string_view tooltip{};  // scroll bars
    // Scroll bars are made with minimum, maximum and page; their positions run
    // from minimum to maximum - page.
    int minimum = 0;
    int maximum = 0;
    int page = 0;
    bool vertical = false;
    std::span<const std::string_view> items{};  // drop-down lists
    int dropDownHeight = 0;                     // drop-down lists: height of the open list
    int initialState = 0;
    bool centred = false;
    bool coloured = false;  // text and background colours below apply
    Rgb textColour{};
    Rgb backgroundColour{};
    Rgb hoverColour{};  // link label: text colour while the pointer is over it
    FontSpec font{};
};

// Told when control states change after the last flush; called from the writing
// thread, at most once until the next flush begins.
class ControlObserver {
  public:
    virtual void controlsChanged() = 0;

  protected:
    ~ControlObserver() = default;
};

// The state of every control, by identifier. Reads and writes are safe from any
// thread: each state is one atomic integer, and the clamping rules of each kind live
// here for every backend. A write that changes a state marks the control for the
// backend, which mirrors it into its widget at the next flush.
class ControlModel {
  public:
    static constexpr int kCapacity = 321;  // identifiers 0..320

    ControlModel();
    ~ControlModel();
    ControlModel(const ControlModel&) = delete;
    ControlModel& operator=(const ControlModel&) = delete;

    // Main thread, while building the window, before any other thread uses `id`.
    void define(const ControlSpec& control);
    ControlKind kind(int id) const;
    bool defined(int id) const { return kind(id) != ControlKind::None; }

    // Scroll bar: the position. Check box: 1 or 0. Drop-down list: the selected
    // index, -1 when none. 0 for other kinds and for unknown identifiers.
    int32_t state(int id) const;

    // Scroll bar: clamped into its positions. Check box: non-zero checks. Drop-down
    // list: an index without an item leaves no selection (-1). Other kinds ignore it.
    void setState(int id, int32_t value);

    // The same rules, for a change the user made in the widget itself: the widget
    // already shows it, so nothing is mirrored back.
    void setStateFromUser(int id, int32_t value);

    // Image controls: publishes a copy of `image` (same size as the control). One
    // writer thread per control; the reader never sees a half-copied picture. A picture
    // equal to the one published last changes nothing, so the backend has nothing to redraw.
    void setImage(int id, const Image& image);
    // Backend: the newest published picture of an image control (null before any).
    const uint8_t* latestImage(int id);
    // Whether anyone sees the pictures now (the backend clears it while the window is
    // hidden); a writer may skip drawing pictures nobody sees. Any thread.
    void setImagesShown(bool shown) { imagesShown_.store(shown, std::memory_order_relaxed); }
    bool imagesShown() const { return imagesShown_.load(std::memory_order_relaxed); }

    // Text of labels; main thread.
    void setText(int id, std::string_view text);
    std::string text(int id) const;

    // While a batch is open, the changes its thread makes to this model are marked as
    // usual but the backend is told only when the batch closes: a burst of writes (the
    // 18 meters and sliders of one analysis cycle) is mirrored and redrawn in one go
    // instead of piecemeal. Other threads' writes are told at once. Batches nest.
    class Batch {
      public:
        explicit Batch(ControlModel& model);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

      private:
        ControlModel& model_;
        ControlModel* outerModel_;
        bool outerHeld_;
    };

    // Backend side of mirroring.
    void setObserver(ControlObserver* observer);
    // Starts a flush: calls `apply(id)` for every control changed since the last one.
    template <typename Apply>
    void flushChanges(Apply&& apply);

  private:
    struct ImageSlot;
    struct Slot {
        ControlKind kind = ControlKind::None;
        int32_t lowest = 0;
        int32_t highest = 0;
        std::atomic<int32_t> state{0};
        std::unique_ptr<ImageSlot> image;
    };

    int32_t clamp(const Slot& slot, int32_t value) const;
    void markChanged(int id);
    void requestFlush();
    const Slot* slot(int id) const;
    Slot* slot(int id);

    std::array<Slot, kCapacity> slots_;
    std::array<std::string, kCapacity> texts_;
    mutable std::mutex textMutex_;
    static constexpr int kWords = (kCapacity + 63) / 64;
    std::array<std::atomic<uint64_t>, kWords> changed_{};
    std::atomic<bool> flushRequested_{false};
    std::atomic<bool> imagesShown_{true};
    std::atomic<ControlObserver*> observer_{nullptr};
};

template <typename Apply>
void ControlModel::flushChanges(Apply&& apply) {
    // Clearing the request before taking the marks means a write racing with this
    // flush either lands in it or asks for the next one; no change is lost.
    flushRequested_.store(false);
    for (int word = 0; word < kWords; ++word) {
        uint64_t bits = changed_[word].exchange(0);
        while (bits != 0) {
            const int bit = __builtin_ctzll(bits);
            bits &= bits - 1;
            apply(word * 64 + bit);
        }
    }
}

}  // namespace glowtern
