#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fake_platform.h"
#include "toolkit/toolkit.h"

namespace glowtern::testing {

struct MessageBoxShown {
    std::string text;
    std::string caption;
    MessageIcon icon;
};

// The toolkit with no display: window, tray, timers and boxes are plain state the test can
// look at and drive, and each call is logged by its name. Boxes return at once; timers tick
// only when the test calls tick(). When the program waits and no event is queued, the next
// step of `script` runs on the program's own thread (so steps may look at everything without
// races) and usually posts the next event. A wait that finds neither for 20 s fails the test
// and returns a close event, so a test cannot hang.
class HeadlessToolkit final : public Toolkit {
  public:
    explicit HeadlessToolkit(CallLog* log = nullptr) : log_(log) {}

    void openMainWindow(const WindowSpec& window) override;
    void showMainWindow() override { log("showMainWindow"), windowVisible = windowOpen; }
    void restoreMainWindow() override { windowMinimised = false, windowActive = windowVisible; }
    void hideMainWindow() override { log("hideMainWindow"), windowVisible = windowActive = false; }
    void closeMainWindow() override { log("closeMainWindow"), windowOpen = windowVisible = false; }
    WindowPosition mainWindowPosition() override { return log("mainWindowPosition"), position; }
    void createControl(const ControlSpec& control) override;
    bool addTrayIcon(int id) override;
    void setTrayTooltip(std::string_view text) override;
    void removeTrayIcon() override { log("removeTrayIcon"), trayIconShown = false; }
    bool trayAvailable() override { return trayHost; }
    void createTrayMenu(TrayMenuBuilder build) override { log("createTrayMenu"), menu_ = build; }
    void showTrayNotification(std::string_view title, std::string_view text) override {
        notifications.emplace_back(title, text);
    }
    void showTrayMenu() override;
    void messageBox(std::string_view text, std::string_view caption, MessageIcon icon) override {
        messageBoxes.push_back({std::string(text), std::string(caption), icon});
    }
    void startTimer(int number, int milliseconds) override;
    void stopTimer(int number) override;
    void watchTermination(int fd) override { terminationFd_ = fd; }
    Event waitEvent() override;
    void postEvent(const Event& event) override { queue_.post(event); }

    // The user's side.
    void tick(int timer);  // a timer fires (if it runs)
    void minimiseByUser();
    void clickControl(int id);  // a button or check box click (a box toggles first)
    void chooseFromTrayMenu(int menuItem) { trayChoice_ = menuItem; }  // when it is shown
    // The tray menu as it would be shown now, and its entries' texts ("-" for a separator,
    // a submenu's entries after its own text, indented by two spaces).
    std::vector<MenuItem> trayMenu() { return menu_ ? menu_() : std::vector<MenuItem>{}; }
    std::vector<std::string> trayMenuTexts();

    bool trayHost = true;
    bool windowOpen = false;
    bool windowVisible = false;
    bool windowMinimised = false;
    bool windowActive = false;
    WindowPosition position;  // the window's, and where the user dragged it
    bool trayIconShown = false;
    std::string trayTooltip;
    std::vector<std::pair<std::string, std::string>> notifications;  // title, text
    std::vector<MessageBoxShown> messageBoxes;
    std::map<int, int> runningTimers;  // number -> milliseconds
    std::deque<std::function<void()>> script;

  private:
    void log(const std::string& entry) {
        if (log_ != nullptr) {
            log_->add(entry);
        }
    }

    CallLog* log_;
    EventQueue queue_;
    int terminationFd_ = -1;
    std::optional<int> trayChoice_;
    TrayMenuBuilder menu_;
};

}  // namespace glowtern::testing
