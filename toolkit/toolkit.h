#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/controls.h"
#include "toolkit/events.h"

namespace glowtern {

struct WindowSpec {
    std::string_view title{};
    int clientWidth = 0;
    int clientHeight = 0;
    int x = 0;  // outer top-left corner on the screen
    int y = 0;
};

struct WindowPosition {
    int x = 0;
    int y = 0;
};

// One entry of the tray menu. Choosing it raises a menu event with its id.
struct MenuItem {
    int id = 0;  // 0 (and no submenu): a separator
    std::string text{};
    bool checkable = false;  // shows a check mark while `checked`
    bool checked = false;
    std::vector<MenuItem> submenu{};  // not empty: the entry opens this submenu
};

// Builds the tray menu as it is to be shown now (main thread).
using TrayMenuBuilder = std::function<std::vector<MenuItem>()>;

enum class MessageIcon { Information, Error };

// The window system the program is written against: one main window whose
// controls are addressed by number, an event queue with a blocking wait, window
// timers, a tray icon with a popup menu, and message boxes. Everything but the
// control model is used from the main thread only.
class Toolkit {
  public:
    virtual ~Toolkit() = default;

    ControlModel& controls() { return controls_; }

    // The main window, number 0. It is opened hidden at its position, fixed in
    // size, with a caption, a system menu, minimise and close but no maximise.
    virtual void openMainWindow(const WindowSpec& window) = 0;
    // Visible again in the state it had when hidden (minimised stays minimised).
    virtual void showMainWindow() = 0;
    // Normal (restored) state, raised and active.
    virtual void restoreMainWindow() = 0;
    virtual void hideMainWindow() = 0;
    virtual void closeMainWindow() = 0;
    // The outer top-left corner of the window's last normal placement; a minimised
    // window reports where it will be restored.
    virtual WindowPosition mainWindowPosition() = 0;

    // Creates a control of the main window and defines it in the control model.
    virtual void createControl(const ControlSpec& control) = 0;
    // Labels: from any thread; the backend shows the new text at its next flush.
    void setControlText(int id, std::string_view text) { controls_.setText(id, text); }

    // The tray icon with the program's icon; false when there is no tray to show it.
    virtual bool addTrayIcon(int id) = 0;
    virtual void setTrayTooltip(std::string_view text) = 0;  // cut to 63 characters
    virtual void removeTrayIcon() = 0;
    // Whether a tray host is running now.
    virtual bool trayAvailable() = 0;
    // The tray menu is built afresh by `build` each time it opens, so entries can show
    // what is true at that moment (a state, a list of sound sources).
    virtual void createTrayMenu(TrayMenuBuilder build) = 0;
    // Opens the tray menu with its corner next to the pointer and returns when it
    // closes; a chosen item arrives later as a menu event.
    virtual void showTrayMenu() = 0;
    // A short message from the tray icon (a balloon or the desktop's notification).
    virtual void showTrayNotification(std::string_view title, std::string_view text) = 0;

    // A modal box with one OK button; returns when the user closes it.
    virtual void messageBox(std::string_view text, std::string_view caption, MessageIcon icon) = 0;

    // Window timers of the main window: each tick raises a timer event.
    virtual void startTimer(int number, int milliseconds) = 0;
    virtual void stopTimer(int number) = 0;

    // Raises a termination event whenever `fd` becomes readable (and drains it),
    // closing any open box or menu so the event loop gets to it at once.
    virtual void watchTermination(int fd) = 0;

    // Blocks until an event is queued and takes it; window work (drawing, input,
    // tooltips) happens only while the main thread waits here or in a box or menu.
    virtual Event waitEvent() = 0;
    virtual void postEvent(const Event& event) = 0;

  private:
    ControlModel controls_;
};

}  // namespace glowtern
