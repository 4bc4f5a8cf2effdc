#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/toolkit.h"

namespace glowtern {

// The toolkit on the Win32 API and the common controls (version 6, named in the program's
// manifest). Make it on the main thread before anything else touches the window system.
//
// The window is laid out in pixels of a 96-DPI desktop; the program is per-monitor DPI aware,
// so positions, sizes and fonts are scaled to the DPI of the monitor the window is on, and again
// when it moves to another.
//
// Control states live in the model; the controls mirror them. A write from any thread marks
// the control, and the first mark after a flush posts one message to the main thread, which
// then copies every marked state into its control. While the window is hidden nothing is
// posted at all: the marks wait for the next show.
//
// The blocking wait is GetMessage: the main thread sleeps until a window message or a posted
// event arrives. The end of the Windows session and the console's control events end the
// program through the Exit sequence (see requestTermination and setSessionEndHandler).
class Win32Toolkit final : public Toolkit, private ControlObserver {
  public:
    Win32Toolkit();
    ~Win32Toolkit() override;
    Win32Toolkit(const Win32Toolkit&) = delete;
    Win32Toolkit& operator=(const Win32Toolkit&) = delete;

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
    bool trayAvailable() override;
    void createTrayMenu(TrayMenuBuilder build) override;
    void showTrayMenu() override;
    void showTrayNotification(std::string_view title, std::string_view text) override;

    void messageBox(std::string_view text, std::string_view caption, MessageIcon icon) override;

    void startTimer(int number, int milliseconds) override;
    void stopTimer(int number) override;
    // Windows has no termination descriptor; requestTermination() takes its place.
    void watchTermination(int fd) override;

    Event waitEvent() override;
    void postEvent(const Event& event) override;

    // Any thread: raises a termination event and closes an open menu or box, so the event loop
    // gets to it at once (a console control event, the Windows counterpart of SIGTERM).
    void requestTermination();

    // Called on the main thread when the Windows session ends (WM_ENDSESSION). Windows may end
    // the process as soon as that message is answered, so the handler must run the program's
    // end itself and end the process; if it returns, a termination event is raised instead.
    void setSessionEndHandler(std::function<void()> handler);

    // For checks of the back end: the windows behind the window and its controls.
    HWND mainWindowHandle() const { return window_; }
    HWND controlHandle(int id) const;
    // Copies every pending state change into the controls now.
    void flush();

  private:
    struct Control;

    static LRESULT CALLBACK mainProcedure(HWND window, UINT message, WPARAM w, LPARAM l);
    static LRESULT CALLBACK helperProcedure(HWND window, UINT message, WPARAM w, LPARAM l);
    static LRESULT CALLBACK imageProcedure(HWND window, UINT message, WPARAM w, LPARAM l);
    static LRESULT CALLBACK linkProcedure(HWND window, UINT message, WPARAM w, LPARAM l);

    LRESULT onMainMessage(UINT message, WPARAM w, LPARAM l);
    LRESULT onHelperMessage(UINT message, WPARAM w, LPARAM l);
    void onCommand(int id, int notification);
    void onScroll(HWND bar, int code);
    LRESULT onColourStatic(HDC dc, HWND label);
    void onTray(UINT mouseMessage);
    void onDpiChanged(UINT dpi, const RECT& suggested);
    void onWindowMoved();
    void closePopups();

    void controlsChanged() override;
    void applyToControl(int id);
    void postControlEvent(int id, int type);
    int scaled(int pixels) const;
    void makeFonts();
    void placeControl(Control& control);
    void addTrayIconNow();

    HINSTANCE instance_ = nullptr;
    DWORD mainThread_ = 0;
    HWND helper_ = nullptr;  // message-only: wake-ups, flushes, timers, termination
    HWND window_ = nullptr;
    HWND tooltips_ = nullptr;
    UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
    int clientWidth_ = 0;
    int clientHeight_ = 0;
    HFONT font_ = nullptr;  // the desktop's message font at the window's DPI
    std::vector<std::pair<std::wstring, HFONT>> ownFonts_;  // named fonts, by family
    HBRUSH background_ = nullptr;
    bool closingForGood_ = false;
    bool minimised_ = false;
    WindowPosition normalPosition_;
    std::atomic<bool> windowShown_{false};

    std::array<std::unique_ptr<Control>, ControlModel::kCapacity> controls_{};
    EventQueue queue_;
    bool terminationRaised_ = false;  // the loop was told to quit behind our back (WM_QUIT)
    std::function<void()> sessionEnd_;

    int trayId_ = -1;  // -1 while there is no tray icon
    std::wstring trayTip_;
    HICON trayIcon_ = nullptr;
    UINT taskbarCreated_ = 0;
    TrayMenuBuilder buildTrayMenu_;
};

}  // namespace glowtern
