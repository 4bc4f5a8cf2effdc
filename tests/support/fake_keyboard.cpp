#include "tests/support/fake_keyboard.h"

#include <thread>

namespace glowtern::testing {

namespace {

size_t indexOf(LockKey key) {
    return static_cast<size_t>(key);
}

}  // namespace

int32_t FakeKeyboard::lockKeyState(LockKey key) {
    int32_t state = 0;
    std::chrono::microseconds delay{0};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state = locked_[indexOf(key)] ? 1 : 0;
        if (held_[indexOf(key)]) {
            state |= -128;  // sign bit of a held key, as the X11 keyboard reports it
        }
        delay = readDelay_;
    }
    if (delay.count() > 0) {
        std::this_thread::sleep_for(delay);
    }
    return state;
}

void FakeKeyboard::pressAndReleaseLockKey(LockKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    locked_[indexOf(key)] = !locked_[indexOf(key)];
    presses_.push_back(key);
}

void FakeKeyboard::setLocked(LockKey key, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    locked_[indexOf(key)] = on;
}

bool FakeKeyboard::locked(LockKey key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return locked_[indexOf(key)];
}

void FakeKeyboard::setHeld(LockKey key, bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_[indexOf(key)] = held;
}

std::vector<LockKey> FakeKeyboard::presses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return presses_;
}

void FakeKeyboard::clearPresses() {
    std::lock_guard<std::mutex> lock(mutex_);
    presses_.clear();
}

void FakeKeyboard::setReadDelay(std::chrono::microseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    readDelay_ = delay;
}

}  // namespace glowtern::testing
