#pragma once

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/toolkit.h"

class QApplication;
class QEventLoop;
class QMenu;
class QSocketNotifier;
class QStyle;
class QSystemTrayIcon;
class QTimer;
class QWidget;
class QRect;

namespace glowtern {

class MainWindowWidget;
class MeterStrip;
class QuitRequestFilter;

// The toolkit on Qt 6 Widgets. It makes the QApplication unless one exists; make
// it on the main thread before anything else touches the window system.
//
// Control states live in the model; widgets mirror them. Writes from any thread
// mark the control and wake the GUI thread through an eventfd (no allocation on
// the writer's side), which then copies the marked states into the widgets. While
// the window is hidden nothing is woken at all: the marks wait for the next show.
//
// The controls' widgets are made when the window is first shown: a program that stays in
// the tray never loads the fonts, the style and the widget code they need, and the model
// alone carries their states until then.
class QtToolkit final : public Toolkit, private ControlObserver {
  public:
    QtToolkit(int& argc, char** argv);
    ~QtToolkit() override;

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
    void watchTermination(int fd) override;

    Event waitEvent() override;
    void postEvent(const Event& event) override;

    // For tests of the backend: the widgets behind the window and its controls (made now if
    // the window has not been shown yet).
    QWidget* mainWindowWidget();
    QWidget* controlWidget(int id);
    // Copies every pending state change into the widgets now.
    void flush();
    // Image controls are drawn by one widget for all of them (controlWidget gives it): where
    // in that widget the control `id` is.
    QRect meterRect(int id);

  private:
    friend class MainWindowWidget;
    void controlsChanged() override;
    void applyToWidget(int id);
    // Makes the widgets of the controls created so far.
    void makeWidgets();
    void makeWidget(const ControlSpec& control);
    void postControlEvent(int id, int type);
    void onTermination();
    void onWindowMoved();
    void bringOntoScreen();

    std::unique_ptr<QApplication> application_;
    std::unique_ptr<QEventLoop> waitLoop_;
    std::unique_ptr<QuitRequestFilter> quitFilter_;
    bool waiting_ = false;
    bool quitTaken_ = false;  // the application was told to quit behind our back
    EventQueue queue_;

    std::unique_ptr<QStyle> dropDownStyle_;  // shared by the output selectors
    std::unique_ptr<MainWindowWidget> window_;
    WindowPosition normalPosition_;
    std::atomic<bool> windowShown_{false};
    std::array<QWidget*, ControlModel::kCapacity> widgets_{};
    struct PendingControl;  // a control whose widget is not made yet, with its texts
    std::vector<std::unique_ptr<PendingControl>> pending_;
    std::vector<MeterStrip*> strips_;  // owned by the window
    QWidget* lastFocusable_ = nullptr;

    int wakeFd_ = -1;  // eventfd: state changes waiting for the GUI thread
    std::unique_ptr<QSocketNotifier> wakeNotifier_;
    int terminationFd_ = -1;
    std::unique_ptr<QSocketNotifier> terminationNotifier_;

    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<QMenu> trayMenu_;
    TrayMenuBuilder buildTrayMenu_;
    std::map<int, std::unique_ptr<QTimer>> timers_;
};

}  // namespace glowtern
