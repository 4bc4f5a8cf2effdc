#include "tests/support/headless_toolkit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace glowtern::testing {

void HeadlessToolkit::log(std::string entry) {
    if (log_ != nullptr) {
        log_->add(std::move(entry));
    }
}

void HeadlessToolkit::openMainWindow(const WindowSpec& window) {
    log("openMainWindow " + std::to_string(window.x) + "," + std::to_string(window.y));
    windowOpen = true;
    windowVisible = false;
    windowTitle = window.title;
    windowPosition = {window.x, window.y};
}

void HeadlessToolkit::showMainWindow() {
    log("showMainWindow");
    windowVisible = windowOpen;
}

void HeadlessToolkit::restoreMainWindow() {
    log("restoreMainWindow");
    windowMinimised = false;
    windowActive = windowVisible;
}

void HeadlessToolkit::hideMainWindow() {
    log("hideMainWindow");
    windowVisible = false;
    windowActive = false;
}

void HeadlessToolkit::closeMainWindow() {
    log("closeMainWindow");
    windowOpen = false;
    windowVisible = false;
}

WindowPosition HeadlessToolkit::mainWindowPosition() {
    log("mainWindowPosition");
    return windowPosition;
}

void HeadlessToolkit::createControl(const ControlSpec& control) {
    log("createControl " + std::to_string(control.id));
    controls().define(control);
}

bool HeadlessToolkit::addTrayIcon(int id) {
    log("addTrayIcon " + std::to_string(id));
    trayIconShown = trayHost;
    return trayHost;
}

void HeadlessToolkit::setTrayTooltip(std::string_view text) {
    log("setTrayTooltip " + std::string(text));
    trayTooltip = std::string(text.substr(0, 63));
}

void HeadlessToolkit::removeTrayIcon() {
    log("removeTrayIcon");
    trayIconShown = false;
}

void HeadlessToolkit::createTrayMenu(TrayMenuBuilder build) {
    log("createTrayMenu");
    buildTrayMenu_ = std::move(build);
}

std::vector<MenuItem> HeadlessToolkit::trayMenu() {
    return buildTrayMenu_ ? buildTrayMenu_() : std::vector<MenuItem>{};
}

namespace {
void addTexts(const std::vector<MenuItem>& items, const std::string& indent,
              std::vector<std::string>& texts) {
    for (const MenuItem& item : items) {
        texts.push_back(indent + (item.id == 0 && item.submenu.empty() ? "-" : item.text));
        addTexts(item.submenu, indent + "  ", texts);
    }
}
}  // namespace

std::vector<std::string> HeadlessToolkit::trayMenuTexts() {
    std::vector<std::string> texts;
    addTexts(trayMenu(), "", texts);
    return texts;
}

void HeadlessToolkit::showTrayNotification(std::string_view title, std::string_view text) {
    log("showTrayNotification");
    notifications.emplace_back(title, text);
}

void HeadlessToolkit::showTrayMenu() {
    log("showTrayMenu");
    if (trayChoice_) {
        postEvent({.number = kMenuEvent, .id = *trayChoice_});
        trayChoice_.reset();
    }
}

void HeadlessToolkit::messageBox(std::string_view text, std::string_view caption,
                                 MessageIcon icon) {
    log("messageBox " + std::string(text));
    messageBoxes.push_back({std::string(text), std::string(caption), icon});
}

void HeadlessToolkit::startTimer(int number, int milliseconds) {
    log("startTimer " + std::to_string(number) + " " + std::to_string(milliseconds));
    runningTimers[number] = milliseconds;
}

void HeadlessToolkit::stopTimer(int number) {
    log("stopTimer " + std::to_string(number));
    runningTimers.erase(number);
}

void HeadlessToolkit::watchTermination(int fd) {
    terminationFd_ = fd;
}

Event HeadlessToolkit::waitEvent() {
    const auto deadline = std::chrono::steady_clock::now() + waitLimit;
    Event event;
    while (true) {
        if (terminationFd_ >= 0) {
            char drain[16];
            if (read(terminationFd_, drain, sizeof drain) > 0) {
                postEvent({.number = kTerminationEvent});
            }
        }
        if (queue_.tryTake(event)) {
            return event;
        }
        if (!script.empty()) {
            const std::function<void()> step = std::move(script.front());
            script.pop_front();
            step();
            continue;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the program waited for an event that never came";
            return {.number = kCloseEvent};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void HeadlessToolkit::postEvent(const Event& event) {
    queue_.post(event);
}

void HeadlessToolkit::tick(int timerNumber) {
    if (runningTimers.count(timerNumber) != 0) {
        postEvent({.number = kTimerEvent, .id = timerNumber});
    }
}

void HeadlessToolkit::minimiseByUser() {
    windowMinimised = true;
    windowActive = false;
    postEvent({.number = kMinimiseEvent});
}

void HeadlessToolkit::moveByUser(int x, int y) {
    windowPosition = {x, y};
}

void HeadlessToolkit::clickControl(int id) {
    if (controls().kind(id) == ControlKind::CheckBox) {
        controls().setStateFromUser(id, controls().state(id) == 0 ? 1 : 0);
    }
    postEvent({.number = kControlEvent, .id = id});
}

}  // namespace glowtern::testing
