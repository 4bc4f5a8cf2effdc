#include "toolkit/controls.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace glowtern {

// Three buffers handed round without a lock: the writer fills `back` and swaps it
// into `middle`; the reader swaps a fresh `middle` into `front`.
struct ControlModel::ImageSlot {
    static constexpr int kFresh = 4;
    std::array<std::vector<uint8_t>, 3> buffers;
    int back = 0;   // writer only
    int front = 2;  // reader only
    bool published = false;
    std::atomic<int> middle{1};
    std::vector<uint8_t> lastWritten;  // writer only: the picture it published last
    bool written = false;              // writer only
};

namespace {

// The model whose backend notices this thread holds back, and whether it held one back.
thread_local ControlModel* tBatchedModel = nullptr;
thread_local bool tNoticeHeld = false;

}  // namespace

ControlModel::ControlModel() = default;
ControlModel::~ControlModel() = default;

const ControlModel::Slot* ControlModel::slot(int id) const {
    if (id < 0 || id >= kCapacity || slots_[id].kind == ControlKind::None) {
        return nullptr;
    }
    return &slots_[id];
}

ControlModel::Slot* ControlModel::slot(int id) {
    return const_cast<Slot*>(std::as_const(*this).slot(id));
}

void ControlModel::define(const ControlSpec& control) {
    if (control.id < 0 || control.id >= kCapacity) {
        return;
    }
    Slot& s = slots_[control.id];
    s.kind = control.kind;
    switch (control.kind) {
        case ControlKind::ScrollBar:
            s.lowest = control.minimum;
            s.highest = std::max(control.minimum, control.maximum - control.page);
            break;
        case ControlKind::DropDownList:
            s.lowest = 0;
            s.highest = static_cast<int32_t>(control.items.size()) - 1;
            break;
        case ControlKind::Image: {
            auto image = std::make_unique<ImageSlot>();
            for (auto& buffer : image->buffers) {
                buffer.assign(static_cast<size_t>(control.width) * control.height * 3, 0);
            }
            image->lastWritten.assign(image->buffers[0].size(), 0);
            s.image = std::move(image);
            break;
        }
        default:
            break;
    }
    s.state.store(clamp(s, control.initialState));
    if (!control.text.empty()) {
        setText(control.id, control.text);
    }
}

ControlKind ControlModel::kind(int id) const {
    const Slot* s = slot(id);
    return s == nullptr ? ControlKind::None : s->kind;
}

int32_t ControlModel::clamp(const Slot& s, int32_t value) const {
    switch (s.kind) {
        case ControlKind::ScrollBar:
            return std::clamp(value, s.lowest, s.highest);
        case ControlKind::CheckBox:
            return value != 0 ? 1 : 0;
        case ControlKind::DropDownList:
            return (value >= s.lowest && value <= s.highest) ? value : -1;
        default:
            return 0;
    }
}

int32_t ControlModel::state(int id) const {
    const Slot* s = slot(id);
    return s == nullptr ? 0 : s->state.load(std::memory_order_relaxed);
}

void ControlModel::setState(int id, int32_t value) {
    Slot* s = slot(id);
    if (s == nullptr) {
        return;
    }
    const int32_t clamped = clamp(*s, value);
    if (s->state.exchange(clamped, std::memory_order_relaxed) != clamped) {
        markChanged(id);
    }
}

void ControlModel::setStateFromUser(int id, int32_t value) {
    Slot* s = slot(id);
    if (s != nullptr) {
        s->state.store(clamp(*s, value), std::memory_order_relaxed);
    }
}

void ControlModel::setImage(int id, const Image& image) {
    Slot* s = slot(id);
    if (s == nullptr || !s->image) {
        return;
    }
    ImageSlot& slots = *s->image;
    std::vector<uint8_t>& back = slots.buffers[slots.back];
    if (back.size() != image.byteCount()) {
        return;
    }
    if (slots.written &&
        std::memcmp(slots.lastWritten.data(), image.data(), slots.lastWritten.size()) == 0) {
        return;  // the control shows this picture already
    }
    std::memcpy(slots.lastWritten.data(), image.data(), slots.lastWritten.size());
    slots.written = true;
    std::memcpy(back.data(), image.data(), back.size());
    slots.back = slots.middle.exchange(slots.back | ImageSlot::kFresh, std::memory_order_acq_rel) &
                 ~ImageSlot::kFresh;
    markChanged(id);
}

const uint8_t* ControlModel::latestImage(int id) {
    Slot* s = slot(id);
    if (s == nullptr || !s->image) {
        return nullptr;
    }
    ImageSlot& slots = *s->image;
    if ((slots.middle.load(std::memory_order_acquire) & ImageSlot::kFresh) != 0) {
        slots.front =
            slots.middle.exchange(slots.front, std::memory_order_acq_rel) & ~ImageSlot::kFresh;
        slots.published = true;
    }
    return slots.published ? slots.buffers[slots.front].data() : nullptr;
}

void ControlModel::setText(int id, std::string_view text) {
    if (slot(id) == nullptr) {
        return;
    }
    {
        std::lock_guard lock(textMutex_);
        if (texts_[id] == text) {
            return;
        }
        texts_[id] = text;
    }
    markChanged(id);
}

std::string ControlModel::text(int id) const {
    if (slot(id) == nullptr) {
        return {};
    }
    std::lock_guard lock(textMutex_);
    return texts_[id];
}

void ControlModel::setObserver(ControlObserver* observer) {
    observer_.store(observer);
}

void ControlModel::markChanged(int id) {
    changed_[id / 64].fetch_or(uint64_t{1} << (id % 64));
    if (tBatchedModel == this) {
        tNoticeHeld = true;
        return;
    }
    requestFlush();
}

void ControlModel::requestFlush() {
    if (!flushRequested_.exchange(true)) {
        if (ControlObserver* observer = observer_.load()) {
            observer->controlsChanged();
        }
    }
}

ControlModel::Batch::Batch(ControlModel& model)
    : model_(model), outerModel_(tBatchedModel), outerHeld_(tNoticeHeld) {
    tBatchedModel = &model;
    tNoticeHeld = false;
}

ControlModel::Batch::~Batch() {
    const bool held = tNoticeHeld;
    tBatchedModel = outerModel_;
    tNoticeHeld = outerHeld_;
    if (!held) {
        return;
    }
    if (tBatchedModel == &model_) {
        tNoticeHeld = true;  // an outer batch of the same model tells the backend
    } else {
        model_.requestFlush();
    }
}

}  // namespace glowtern
