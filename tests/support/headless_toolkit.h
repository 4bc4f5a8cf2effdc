#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/call_log.h"
#include "toolkit/toolkit.h"

namespace glowtern::testing {

struct MessageBoxShown {
    std::string text;
    std::string caption;
    MessageIcon icon;
};

// The toolkit with no display: window, tray, timers and boxes are plain state the
// test can look at and drive. Boxes return at once; timers tick only when the test
// calls tick(). When the program waits and no event is queued, the next step of
// `script` runs on the program's own thread (so steps may look at everything
// without races) and usually posts the next event. A wait that finds neither for
// `waitLimit` fails the test and returns a close event, so a test cannot hang.
class HeadlessToolkit final : public Toolkit {
  public:
    explicit HeadlessToolkit(CallLog* log = nullptr) : log_(log) {}

    void openMainWindow(const WindowSpec& window) override;
    void showMainWindow() override;
    void restoreMainWindow() override;
    void hideMainWindow() override;
    void closeMainWindow() override;
    WindowPosition mainWindowPosition() override;
    void createControl(const ControlSpec& control) override;
    bool addTrayIcon(int id) override;
    void setTrayTooltip(std::string_view text) override;
    void removeTrayIcon() override;
    bool trayAvailable() override { return trayHost; }
    void createTrayMenu(TrayMenuBuilder build) override;
    void showTrayNotification(std::string_view title, std::string_view text) override;
    void showTrayMenu() override;
    void messageBox(std::string_view text, std::string_view caption, MessageIcon icon) override;
    void startTimer(int number, int milliseconds) override;
    void stopTimer(int number) override;
    void watchTermination(int fd) override;
    Event waitEvent() override;
    void postEvent(const Event& event) override;

    // Test controls.
    void tick(int timerNumber);     // a timer fires (if it runs)
    void minimiseByUser();          // the user minimises the window
    void moveByUser(int x, int y);  // the user drags the window
    void clickControl(int id);      // a button or check box click (a box toggles first)
    void setTrayChoice(int menuItem) { trayChoice_ = menuItem; }

    // What the program did.
    bool trayHost = true;
    bool windowOpen = false;
    bool windowVisible = false;
    bool windowMinimised = false;
    bool windowActive = false;
    std::string windowTitle;
    WindowPosition windowPosition;
    bool trayIconShown = false;
    std::string trayTooltip;
    // The tray menu as it would be shown now, and its entries' texts ("-" for a separator,
    // a submenu's entries after its own text, indented by two spaces).
    std::vector<MenuItem> trayMenu();
    std::vector<std::string> trayMenuTexts();
    std::vector<std::pair<std::string, std::string>> notifications;  // title, text
    std::vector<MessageBoxShown> messageBoxes;
    std::map<int, int> runningTimers;  // number -> milliseconds
    std::chrono::milliseconds waitLimit{20000};
    std::deque<std::function<void()>> script;

  private:
    void log(std::string entry);

    CallLog* log_;
    EventQueue queue_;
    int terminationFd_ = -1;
    std::optional<int> trayChoice_;
    TrayMenuBuilder buildTrayMenu_;
};

}  // namespace glowtern::testing
