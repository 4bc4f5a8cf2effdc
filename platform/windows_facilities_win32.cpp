#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/windows_facilities.h"

namespace glowtern {

bool SemaphoreInstanceGuard::heldElsewhere(const std::string& name) {
    HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1, name.c_str());
    if (semaphore == nullptr) {
        std::fprintf(stderr, "%s: cannot make the semaphore %s (error %lu)\n", name.c_str(),
                     name.c_str(), GetLastError());
        return true;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(semaphore);
        return true;
    }
    return false;  // kept open for the life of the process
}

namespace {

BYTE virtualKey(LockKey key) {
    switch (key) {
        case LockKey::CapsLock:
            return VK_CAPITAL;
        case LockKey::NumLock:
            return VK_NUMLOCK;
        case LockKey::ScrollLock:
            return VK_SCROLL;
    }
    return VK_CAPITAL;
}

}  // namespace

int32_t Win32Keyboard::lockKeyState(LockKey key) {
    return GetKeyState(virtualKey(key));
}

void Win32Keyboard::pressAndReleaseLockKey(LockKey key) {
    constexpr BYTE kScanCode = 1;
    keybd_event(virtualKey(key), kScanCode, 0, 0);
    keybd_event(virtualKey(key), kScanCode, KEYEVENTF_KEYUP, 0);
}

namespace {

std::atomic<void (*)()> consoleRequest{nullptr};
std::atomic<uint32_t> consoleHold{0};

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (void (*request)() = consoleRequest.load()) {
        request();
    }
    switch (event) {
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            Sleep(consoleHold.load());
            break;
        default:
            break;
    }
    return TRUE;
}

}  // namespace

void RouteConsoleEvents(void (*request)(), uint32_t holdMilliseconds) {
    consoleRequest.store(request);
    consoleHold.store(holdMilliseconds);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

}  // namespace glowtern
