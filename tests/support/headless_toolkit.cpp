#include "tests/support/headless_toolkit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace glowtern::testing {

void HeadlessToolkit::openMainWindow(const WindowSpec& window) {
    log("openMainWindow " + std::to_string(window.x) + "," + std::to_string(window.y));
    windowOpen = true;
    windowVisible = false;
    position = {window.x, window.y};
}

void HeadlessToolkit::createControl(const ControlSpec& control) {
    log("createControl " + std::to_string(control.id));
    controls().define(control);
}

bool HeadlessToolkit::addTrayIcon(int id) {
    log("addTrayIcon " + std::to_string(id));
    return trayIconShown = trayHost;
}

void HeadlessToolkit::setTrayTooltip(std::string_view text) {
    log("setTrayTooltip " + std::string(text));
    trayTooltip = text.substr(0, 63);
}

std::vector<std::string> HeadlessToolkit::trayMenuTexts() {
    std::vector<std::string> texts;
    const std::function<void(const std::vector<MenuItem>&, const std::string&)> add =
        [&](const std::vector<MenuItem>& items, const std::string& indent) {
            for (const MenuItem& item : items) {
                texts.push_back(indent + (item.id == 0 && item.submenu.empty() ? "-" : item.text));
                add(item.submenu, indent + "  ");
            }
        };
    add(trayMenu(), "");
    return texts;
}

void HeadlessToolkit::showTrayMenu() {
    if (trayChoice_) {
        postEvent({.number = kMenuEvent, .id = *trayChoice_});
        trayChoice_.reset();
    }
}

void HeadlessToolkit::startTimer(int number, int milliseconds) {
    log("startTimer " + std::to_string(number) + " " + std::to_string(milliseconds));
    runningTimers[number] = milliseconds;
}

void HeadlessToolkit::stopTimer(int number) {
    log("stopTimer " + std::to_string(number));
    runningTimers.erase(number);
}

Event HeadlessToolkit::waitEvent() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    Event event;
    while (true) {
        char drain[16];
        if (terminationFd_ >= 0 && read(terminationFd_, drain, sizeof drain) > 0) {
            postEvent({.number = kTerminationEvent});
        }
        if (queue_.tryTake(event)) {
            return event;
        }
        if (!script.empty()) {
            const std::function<void()> step = std::move(script.front());
            script.pop_front();
            step();
        } else if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the program waited for an event that never came";
            return {.number = kCloseEvent};
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

void HeadlessToolkit::tick(int timer) {
    if (runningTimers.contains(timer)) {
        postEvent({.number = kTimerEvent, .id = timer});
    }
}

void HeadlessToolkit::minimiseByUser() {
    windowMinimised = true;
    windowActive = false;
    postEvent({.number = kMinimiseEvent});
}

void HeadlessToolkit::clickControl(int id) {
    if (controls().kind(id) == ControlKind::CheckBox) {
        controls().setStateFromUser(id, controls().state(id) == 0 ? 1 : 0);
    }
    postEvent({.number = kControlEvent, .id = id});
}

}  // namespace glowtern::testing
