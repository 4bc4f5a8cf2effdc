#include "toolkit/win32/win32_toolkit.h"

// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <algorithm>
#include <cstring>

#include "platform/wide_text_win32.h"

namespace glowtern {

namespace {

constexpr UINT kWakeMessage = WM_APP + 1;       // helper: an event was posted from another thread
constexpr UINT kFlushMessage = WM_APP + 2;      // helper: control states changed
constexpr UINT kTerminateMessage = WM_APP + 3;  // helper: a termination request
constexpr UINT kTrayMessage = WM_APP + 4;       // main window: the tray icon's mouse messages

constexpr int kIconResource = 1;
constexpr int kTooltipLimit = 63;
constexpr UINT kNotificationMilliseconds = 15000;

constexpr wchar_t kMainClass[] = L"GlowternWindow";
constexpr wchar_t kHelperClass[] = L"GlowternHelper";
constexpr wchar_t kImageClass[] = L"GlowternImage";
constexpr wchar_t kLinkClass[] = L"GlowternLink";

constexpr DWORD kMainStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kMainExStyle = WS_EX_CONTROLPARENT;

COLORREF colourRef(Rgb colour) {
    return RGB(colour.red, colour.green, colour.blue);
}

template <size_t N>
void copyInto(wchar_t (&field)[N], const std::wstring& text) {
    const size_t count = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), count * sizeof(wchar_t));
    field[count] = L'\0';
}

void registerClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, HICON icon,
                   HICON smallIcon, HCURSOR cursor, HBRUSH background) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = smallIcon;
    windowClass.hCursor = cursor;
    windowClass.hbrBackground = background;
    windowClass.lpszClassName = name;
    RegisterClassExW(&windowClass);
}

}  // namespace

// One control of the main window, with what its window needs to be drawn and placed again.
struct Win32Toolkit::Control {
    int id = 0;
    ControlKind kind = ControlKind::None;
    HWND window = nullptr;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int dropDownHeight = 0;
    bool coloured = false;
    COLORREF text = 0;
    COLORREF hover = 0;
    HBRUSH background = nullptr;  // coloured labels
    std::wstring fontFamily;      // empty: the desktop's font
    int pointSize = 0;
    HFONT font = nullptr;
    bool hovered = false;         // link label
    bool pressed = false;         // link label
    std::vector<uint8_t> pixels;  // image: bottom-up is not used; rows from the top, BGR
    BITMAPINFO bitmap{};
};

Win32Toolkit::Win32Toolkit() {
    instance_ = GetModuleHandleW(nullptr);
    mainThread_ = GetCurrentThreadId();
    INITCOMMONCONTROLSEX common{};
    common.dwSize = sizeof common;
    common.dwICC = ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&common);

    background_ = GetSysColorBrush(COLOR_BTNFACE);
    HICON icon = LoadIconW(instance_, MAKEINTRESOURCEW(kIconResource));
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    registerClass(instance_, kMainClass, mainProcedure, icon, icon, arrow, background_);
    registerClass(instance_, kHelperClass, helperProcedure, nullptr, nullptr, nullptr, nullptr);
    registerClass(instance_, kImageClass, imageProcedure, nullptr, nullptr, arrow, nullptr);
    registerClass(instance_, kLinkClass, linkProcedure, nullptr, nullptr,
                  LoadCursorW(nullptr, IDC_HAND), nullptr);
    helper_ = CreateWindowExW(0, kHelperClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance_,
                              this);
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    controls().setObserver(this);
    controls().setImagesShown(false);  // the window starts hidden
}

Win32Toolkit::~Win32Toolkit() {
    controls().setObserver(nullptr);
    removeTrayIcon();
    if (window_ != nullptr) {
        closingForGood_ = true;
        DestroyWindow(window_);
    }
    if (helper_ != nullptr) {
        DestroyWindow(helper_);
    }
    for (auto& control : controls_) {
        if (control && control->background != nullptr) {
            DeleteObject(control->background);
        }
    }
    for (auto& [family, font] : ownFonts_) {
        DeleteObject(font);
    }
    if (font_ != nullptr) {
        DeleteObject(font_);
    }
    if (trayIcon_ != nullptr) {
        DestroyIcon(trayIcon_);
    }
}

int Win32Toolkit::scaled(int pixels) const {
    return MulDiv(pixels, static_cast<int>(dpi_), USER_DEFAULT_SCREEN_DPI);
}

// --- window procedures -------------------------------------------------------

namespace {

// The toolkit behind a window: handed over at creation, kept in the window's user data.
template <typename T>
T* owner(HWND window, UINT message, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(l);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

LRESULT CALLBACK Win32Toolkit::mainProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    // Messages that arrive while the window is being made, or after it was closed, are the
    // system's business alone.
    Win32Toolkit* toolkit = owner<Win32Toolkit>(window, message, l);
    if (toolkit == nullptr || toolkit->window_ != window) {
        return DefWindowProcW(window, message, w, l);
    }
    return toolkit->onMainMessage(message, w, l);
}

LRESULT CALLBACK Win32Toolkit::helperProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    Win32Toolkit* toolkit = owner<Win32Toolkit>(window, message, l);
    if (toolkit == nullptr || toolkit->helper_ != window) {
        return DefWindowProcW(window, message, w, l);
    }
    return toolkit->onHelperMessage(message, w, l);
}

LRESULT Win32Toolkit::onHelperMessage(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_TIMER:
            postEvent({.number = kTimerEvent, .window = 0, .id = static_cast<int32_t>(w)});
            return 0;
        case kFlushMessage:
            flush();
            return 0;
        case kTerminateMessage:
            closePopups();
            return 0;
        case kWakeMessage:
            return 0;  // GetMessage has returned: that was all
        default:
            return DefWindowProcW(helper_, message, w, l);
    }
}

LRESULT Win32Toolkit::onMainMessage(UINT message, WPARAM w, LPARAM l) {
    if (message == taskbarCreated_ && taskbarCreated_ != 0) {
        // Explorer started again: its tray has forgotten our icon.
        if (trayId_ >= 0) {
            addTrayIconNow();
        }
        return 0;
    }
    switch (message) {
        case WM_CLOSE:
            if (closingForGood_) {
                DestroyWindow(window_);
            } else {
                postEvent({.number = kCloseEvent});
            }
            return 0;
        case WM_DESTROY:
            // The icon belongs to this window: it goes with it.
            removeTrayIcon();
            return 0;
        case WM_SIZE:
            if (w == SIZE_MINIMIZED) {
                if (!minimised_) {
                    minimised_ = true;
                    postEvent({.number = kMinimiseEvent});
                }
            } else {
                minimised_ = false;
            }
            return 0;
        case WM_MOVE:
            onWindowMoved();
            return 0;
        case WM_COMMAND:
            if (l != 0) {
                onCommand(LOWORD(w), HIWORD(w));
            }
            return 0;
        case WM_VSCROLL:
        case WM_HSCROLL:
            if (l != 0) {
                onScroll(reinterpret_cast<HWND>(l), LOWORD(w));
            }
            return 0;
        case WM_CTLCOLORSTATIC:
            return onColourStatic(reinterpret_cast<HDC>(w), reinterpret_cast<HWND>(l));
        case WM_DPICHANGED:
            onDpiChanged(HIWORD(w), *reinterpret_cast<const RECT*>(l));
            return 0;
        case kTrayMessage:
            onTray(LOWORD(l));
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (w == TRUE) {
                if (sessionEnd_) {
                    sessionEnd_();
                }
                requestTermination();
            }
            return 0;
        default:
            return DefWindowProcW(window_, message, w, l);
    }
}

// --- main window -------------------------------------------------------------

void Win32Toolkit::openMainWindow(const WindowSpec& wanted) {
    if (window_ != nullptr) {
        return;
    }
    clientWidth_ = wanted.clientWidth;
    clientHeight_ = wanted.clientHeight;
    closingForGood_ = false;
    minimised_ = false;
    // Made at the system's DPI first; the window's own DPI is only known once it exists.
    dpi_ = GetDpiForSystem();
    RECT frame{0, 0, scaled(clientWidth_), scaled(clientHeight_)};
    AdjustWindowRectExForDpi(&frame, kMainStyle, FALSE, kMainExStyle, dpi_);
    window_ = CreateWindowExW(kMainExStyle, kMainClass, WideText(wanted.title).c_str(), kMainStyle,
                              wanted.x, wanted.y, frame.right - frame.left,
                              frame.bottom - frame.top, nullptr, nullptr, instance_, this);
    if (window_ == nullptr) {
        return;
    }
    const UINT dpi = GetDpiForWindow(window_);
    if (dpi != 0 && dpi != dpi_) {
        dpi_ = dpi;
        frame = {0, 0, scaled(clientWidth_), scaled(clientHeight_)};
        AdjustWindowRectExForDpi(&frame, kMainStyle, FALSE, kMainExStyle, dpi_);
        SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    makeFonts();
    tooltips_ =
        CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
    normalPosition_ = {wanted.x, wanted.y};
}

void Win32Toolkit::showMainWindow() {
    if (window_ == nullptr) {
        return;
    }
    windowShown_.store(true);
    controls().setImagesShown(true);
    flush();
    // In the state it had when hidden: a minimised window comes back minimised.
    ShowWindow(window_, SW_SHOW);
}

void Win32Toolkit::restoreMainWindow() {
    if (window_ == nullptr) {
        return;
    }
    ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOWNORMAL);
    SetForegroundWindow(window_);
    BringWindowToTop(window_);
}

void Win32Toolkit::hideMainWindow() {
    if (window_ == nullptr) {
        return;
    }
    onWindowMoved();
    windowShown_.store(false);
    controls().setImagesShown(false);
    ShowWindow(window_, SW_HIDE);
}

void Win32Toolkit::closeMainWindow() {
    if (window_ == nullptr) {
        return;
    }
    onWindowMoved();
    windowShown_.store(false);
    controls().setImagesShown(false);
    closingForGood_ = true;
    HWND closing = window_;
    DestroyWindow(closing);
    window_ = nullptr;
    tooltips_ = nullptr;  // owned by the window: destroyed with it
    for (auto& control : controls_) {
        if (control) {
            control->window = nullptr;
        }
    }
}

void Win32Toolkit::onWindowMoved() {
    if (window_ != nullptr && IsWindowVisible(window_) && !IsIconic(window_)) {
        RECT frame;
        if (GetWindowRect(window_, &frame)) {
            normalPosition_ = {frame.left, frame.top};
        }
    }
}

WindowPosition Win32Toolkit::mainWindowPosition() {
    onWindowMoved();
    return normalPosition_;
}

void Win32Toolkit::makeFonts() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    HFONT font = nullptr;
    if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi_)) {
        font = CreateFontIndirectW(&metrics.lfMessageFont);
    }
    if (font == nullptr) {
        font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    }
    if (font_ != nullptr) {
        DeleteObject(font_);
    }
    font_ = font;
    for (auto& [family, old] : ownFonts_) {
        DeleteObject(old);
    }
    ownFonts_.clear();
}

// --- controls ----------------------------------------------------------------

HWND Win32Toolkit::controlHandle(int id) const {
    return id >= 0 && id < ControlModel::kCapacity && controls_[id] ? controls_[id]->window
                                                                    : nullptr;
}

void Win32Toolkit::postControlEvent(int id, int type) {
    postEvent({.number = kControlEvent, .window = 0, .id = id, .type = type});
}

void Win32Toolkit::createControl(const ControlSpec& entry) {
    if (window_ == nullptr || entry.id < 0 || entry.id >= ControlModel::kCapacity ||
        entry.kind == ControlKind::None) {
        return;
    }
    controls().define(entry);
    const int id = entry.id;
    auto control = std::make_unique<Control>();
    control->id = id;
    control->kind = entry.kind;
    control->x = entry.x;
    control->y = entry.y;
    control->width = entry.width;
    control->height = entry.height;
    control->dropDownHeight = entry.dropDownHeight;
    control->coloured = entry.coloured;
    control->text = colourRef(entry.textColour);
    control->hover = colourRef(entry.hoverColour);
    control->fontFamily = WideText(entry.font.family);
    control->pointSize = entry.font.pointSize;

    const wchar_t* className = L"STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE;
    const std::wstring text = WideText(entry.text);
    int height = entry.height;
    switch (entry.kind) {
        case ControlKind::TextLabel:
            style |= SS_NOPREFIX | (entry.centred ? SS_CENTER : SS_LEFT);
            if (entry.coloured) {
                control->background = CreateSolidBrush(colourRef(entry.backgroundColour));
            }
            break;
        case ControlKind::ScrollBar:
            className = L"SCROLLBAR";
            style |= entry.vertical ? SBS_VERT : SBS_HORZ;
            break;
        case ControlKind::PushButton:
            className = L"BUTTON";
            style |= BS_PUSHBUTTON | WS_TABSTOP;
            break;
        case ControlKind::CheckBox:
            className = L"BUTTON";
            style |= BS_AUTOCHECKBOX | WS_TABSTOP;
            break;
        case ControlKind::DropDownList:
            className = L"COMBOBOX";
            style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
            height = entry.dropDownHeight;  // a combo box's height includes its open list
            break;
        case ControlKind::Image:
            className = kImageClass;
            control->pixels.assign(static_cast<size_t>(entry.width) * entry.height * 3, 0);
            control->bitmap.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
            control->bitmap.bmiHeader.biWidth = entry.width;
            control->bitmap.bmiHeader.biHeight = -entry.height;  // rows from the top
            control->bitmap.bmiHeader.biPlanes = 1;
            control->bitmap.bmiHeader.biBitCount = 24;
            control->bitmap.bmiHeader.biCompression = BI_RGB;
            break;
        case ControlKind::LinkLabel:
            className = kLinkClass;
            break;
        case ControlKind::None:
            return;
    }
    HWND child = CreateWindowExW(0, className, text.c_str(), style, scaled(entry.x),
                                 scaled(entry.y), scaled(entry.width), scaled(height), window_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                                 control.get());
    if (child == nullptr) {
        return;
    }
    control->window = child;
    controls_[id] = std::move(control);
    Control& made = *controls_[id];
    placeControl(made);

    const int32_t state = controls().state(id);
    switch (entry.kind) {
        case ControlKind::ScrollBar: {
            // Windows counts the page into the range: positions run from nMin to nMax - nPage + 1.
            SCROLLINFO info{};
            info.cbSize = sizeof info;
            info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
            info.nMin = entry.minimum;
            info.nMax = std::max(entry.minimum, entry.maximum - 1);
            info.nPage = static_cast<UINT>(std::max(entry.page, 0));
            info.nPos = state;
            SetScrollInfo(child, SB_CTL, &info, TRUE);
            if (tooltips_ != nullptr && !entry.tooltip.empty()) {
                std::wstring tip = WideText(entry.tooltip);
                TOOLINFOW tool{};
                tool.cbSize = sizeof tool;
                tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
                tool.hwnd = window_;
                tool.uId = reinterpret_cast<UINT_PTR>(child);
                tool.lpszText = tip.data();
                SendMessageW(tooltips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
            }
            break;
        }
        case ControlKind::CheckBox:
            SendMessageW(child, BM_SETCHECK, state != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
            break;
        case ControlKind::DropDownList:
            for (std::string_view item : entry.items) {
                SendMessageW(child, CB_ADDSTRING, 0,
                             reinterpret_cast<LPARAM>(WideText(item).c_str()));
            }
            SendMessageW(child, CB_SETCURSEL, static_cast<WPARAM>(state), 0);
            break;
        default:
            break;
    }
}

// Places (and, at a new DPI, sizes and dresses) one control.
void Win32Toolkit::placeControl(Control& control) {
    if (control.window == nullptr) {
        return;
    }
    HFONT font = font_;
    if (!control.fontFamily.empty() || control.kind == ControlKind::LinkLabel) {
        // A named font, e.g. the link's Arial 10 pt, underlined as links are.
        const std::wstring key = control.fontFamily + L"/" + std::to_wstring(control.pointSize);
        auto found = std::find_if(ownFonts_.begin(), ownFonts_.end(),
                                  [&](const auto& entry) { return entry.first == key; });
        if (found == ownFonts_.end()) {
            HDC screen = GetDC(nullptr);
            const int points = control.pointSize > 0 ? control.pointSize : 9;
            HFONT made =
                CreateFontW(-MulDiv(points, static_cast<int>(dpi_), 72), 0, 0, 0, FW_NORMAL, FALSE,
                            control.kind == ControlKind::LinkLabel, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                            DEFAULT_PITCH | FF_SWISS, control.fontFamily.c_str());
            ReleaseDC(nullptr, screen);
            ownFonts_.emplace_back(key, made);
            font = made;
        } else {
            font = found->second;
        }
    }
    control.font = font;
    const int height =
        control.kind == ControlKind::DropDownList ? control.dropDownHeight : control.height;
    SetWindowPos(control.window, nullptr, scaled(control.x), scaled(control.y),
                 scaled(control.width), scaled(height), SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(control.window, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (control.kind == ControlKind::DropDownList) {
        // The closed list is as high as the control's place: its field is that less the frame.
        const int field = scaled(control.height) - 2 * GetSystemMetricsForDpi(SM_CYEDGE, dpi_) - 2;
        SendMessageW(control.window, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), std::max(field, 1));
    }
}

void Win32Toolkit::onDpiChanged(UINT dpi, const RECT& suggested) {
    dpi_ = dpi;
    makeFonts();
    for (auto& control : controls_) {
        if (control) {
            placeControl(*control);
        }
    }
    SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    if (trayId_ >= 0) {
        addTrayIconNow();  // the icon at the new size
    }
}

void Win32Toolkit::onCommand(int id, int notification) {
    if (id < 0 || id >= ControlModel::kCapacity || !controls_[id]) {
        return;
    }
    Control& control = *controls_[id];
    switch (control.kind) {
        case ControlKind::PushButton:
            if (notification == BN_CLICKED) {
                postControlEvent(id, 0);
            }
            break;
        case ControlKind::CheckBox:
            if (notification == BN_CLICKED) {
                // The box has toggled itself by the time its event is taken.
                const bool checked = SendMessageW(control.window, BM_GETCHECK, 0, 0) == BST_CHECKED;
                controls().setStateFromUser(id, checked ? 1 : 0);
                postControlEvent(id, 0);
            }
            break;
        case ControlKind::DropDownList:
            if (notification == CBN_SELCHANGE) {
                const auto index =
                    static_cast<int32_t>(SendMessageW(control.window, CB_GETCURSEL, 0, 0));
                controls().setStateFromUser(id, index);
                postControlEvent(id, 1);
            }
            break;
        default:
            break;
    }
}

// A scroll bar control does not move itself: its owner sets the new position.
void Win32Toolkit::onScroll(HWND bar, int code) {
    const int id = GetDlgCtrlID(bar);
    if (id < 0 || id >= ControlModel::kCapacity || !controls_[id] ||
        controls_[id]->kind != ControlKind::ScrollBar) {
        return;
    }
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(bar, SB_CTL, &info);
    const int page = static_cast<int>(info.nPage);
    const int highest = info.nMax - std::max(page - 1, 0);
    int position = info.nPos;
    switch (code) {
        case SB_LINEUP:
            position -= 1;
            break;
        case SB_LINEDOWN:
            position += 1;
            break;
        case SB_PAGEUP:
            position -= std::max(page, 1);
            break;
        case SB_PAGEDOWN:
            position += std::max(page, 1);
            break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
            position = info.nTrackPos;
            break;
        case SB_TOP:
            position = info.nMin;
            break;
        case SB_BOTTOM:
            position = highest;
            break;
        default:
            break;
    }
    position = std::clamp(position, info.nMin, std::max(info.nMin, highest));
    if (position != info.nPos) {
        SetScrollPos(bar, SB_CTL, position, TRUE);
        controls().setStateFromUser(id, position);
    }
    postControlEvent(id, code);
}

LRESULT Win32Toolkit::onColourStatic(HDC dc, HWND label) {
    const int id = GetDlgCtrlID(label);
    if (id >= 0 && id < ControlModel::kCapacity && controls_[id] && controls_[id]->coloured &&
        controls_[id]->background != nullptr) {
        const Control& control = *controls_[id];
        SetTextColor(dc, control.text);
        LOGBRUSH brush{};
        GetObjectW(control.background, sizeof brush, &brush);
        SetBkColor(dc, brush.lbColor);
        return reinterpret_cast<LRESULT>(control.background);
    }
    return DefWindowProcW(window_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                          reinterpret_cast<LPARAM>(label));
}

void Win32Toolkit::controlsChanged() {
    // Any thread. Nothing to draw while the window is hidden: the marks stay until it is
    // shown again, so a hidden window costs no wake-ups at all.
    if (windowShown_.load() && helper_ != nullptr) {
        PostMessageW(helper_, kFlushMessage, 0, 0);
    }
}

void Win32Toolkit::flush() {
    controls().flushChanges([this](int id) { applyToControl(id); });
}

void Win32Toolkit::applyToControl(int id) {
    if (id < 0 || id >= ControlModel::kCapacity || !controls_[id] ||
        controls_[id]->window == nullptr) {
        return;
    }
    Control& control = *controls_[id];
    ControlModel& model = controls();
    switch (control.kind) {
        case ControlKind::TextLabel:
        case ControlKind::LinkLabel:
            SetWindowTextW(control.window, WideText(model.text(id)).c_str());
            InvalidateRect(control.window, nullptr, TRUE);
            break;
        case ControlKind::ScrollBar:
            SetScrollPos(control.window, SB_CTL, model.state(id), TRUE);
            break;
        case ControlKind::CheckBox:
            SendMessageW(control.window, BM_SETCHECK,
                         model.state(id) != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
            break;
        case ControlKind::DropDownList:
            SendMessageW(control.window, CB_SETCURSEL, static_cast<WPARAM>(model.state(id)), 0);
            break;
        case ControlKind::Image:
            if (const uint8_t* rgb = model.latestImage(id)) {
                uint8_t* bgr = control.pixels.data();
                for (size_t i = 0; i + 2 < control.pixels.size(); i += 3) {
                    bgr[i] = rgb[i + 2];
                    bgr[i + 1] = rgb[i + 1];
                    bgr[i + 2] = rgb[i];
                }
                InvalidateRect(control.window, nullptr, FALSE);
            }
            break;
        default:
            break;
    }
}

// The meters: the latest picture, stretched to the control's size at this DPI.
LRESULT CALLBACK Win32Toolkit::imageProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* control = owner<Control>(window, message, l);
    if (control == nullptr) {
        return DefWindowProcW(window, message, w, l);
    }
    switch (message) {
        case WM_ERASEBKGND:
            return 1;  // the picture covers the whole control
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client;
            GetClientRect(window, &client);
            StretchDIBits(dc, 0, 0, client.right, client.bottom, 0, 0, control->width,
                          control->height, control->pixels.data(), &control->bitmap, DIB_RGB_COLORS,
                          SRCCOPY);
            EndPaint(window, &paint);
            return 0;
        }
        default:
            return DefWindowProcW(window, message, w, l);
    }
}

// The link: underlined text in its colour, the hover colour under the pointer, a hand cursor
// (the class's), and a control event when the left button is released over it.
LRESULT CALLBACK Win32Toolkit::linkProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* control = owner<Control>(window, message, l);
    if (control == nullptr) {
        return DefWindowProcW(window, message, w, l);
    }
    auto* toolkit =
        reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrW(GetParent(window), GWLP_USERDATA));
    switch (message) {
        case WM_SETFONT:
            control->font = reinterpret_cast<HFONT>(w);
            if (l != 0) {
                InvalidateRect(window, nullptr, TRUE);
            }
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client;
            GetClientRect(window, &client);
            FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
            HGDIOBJ old = SelectObject(dc, control->font);
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, control->hovered ? control->hover : control->text);
            wchar_t text[256];
            GetWindowTextW(window, text, 256);
            DrawTextW(dc, text, -1, &client, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            SelectObject(dc, old);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_MOUSEMOVE:
            if (!control->hovered) {
                control->hovered = true;
                TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, window, 0};
                TrackMouseEvent(&track);
                InvalidateRect(window, nullptr, TRUE);
            }
            return 0;
        case WM_MOUSELEAVE:
            control->hovered = false;
            InvalidateRect(window, nullptr, TRUE);
            return 0;
        case WM_LBUTTONDOWN:
            control->pressed = true;
            SetCapture(window);
            return 0;
        case WM_LBUTTONUP: {
            const bool pressed = control->pressed;
            control->pressed = false;
            ReleaseCapture();
            RECT client;
            GetClientRect(window, &client);
            const POINT at{static_cast<short>(LOWORD(l)), static_cast<short>(HIWORD(l))};
            if (pressed && PtInRect(&client, at) && toolkit != nullptr) {
                toolkit->postControlEvent(control->id, 0);
            }
            return 0;
        }
        default:
            return DefWindowProcW(window, message, w, l);
    }
}

// --- tray --------------------------------------------------------------------

void Win32Toolkit::addTrayIconNow() {
    if (trayIcon_ != nullptr) {
        DestroyIcon(trayIcon_);
    }
    const int size = GetSystemMetricsForDpi(SM_CXSMICON, dpi_);
    trayIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(kIconResource),
                                              IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = static_cast<UINT>(trayId_);
    data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    data.uCallbackMessage = kTrayMessage;
    data.hIcon = trayIcon_;
    copyInto(data.szTip, trayTip_);
    Shell_NotifyIconW(NIM_DELETE, &data);
    Shell_NotifyIconW(NIM_ADD, &data);
}

bool Win32Toolkit::addTrayIcon(int id) {
    if (window_ == nullptr) {
        return false;
    }
    trayId_ = id;
    addTrayIconNow();
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = static_cast<UINT>(trayId_);
    // Shell_NotifyIcon can answer "failed" for an icon it did add while the shell is busy;
    // asking for the icon's place tells whether it is really there.
    NOTIFYICONIDENTIFIER icon{};
    icon.cbSize = sizeof icon;
    icon.hWnd = window_;
    icon.uID = data.uID;
    RECT place;
    const bool placed = SUCCEEDED(Shell_NotifyIconGetRect(&icon, &place));
    return placed || trayAvailable();
}

void Win32Toolkit::setTrayTooltip(std::string_view text) {
    if (trayId_ < 0 || window_ == nullptr) {
        return;
    }
    trayTip_ = WideText(text);
    if (trayTip_.size() > kTooltipLimit) {
        trayTip_.resize(kTooltipLimit);
    }
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = static_cast<UINT>(trayId_);
    data.uFlags = NIF_TIP;
    copyInto(data.szTip, trayTip_);
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void Win32Toolkit::removeTrayIcon() {
    if (trayId_ < 0) {
        return;
    }
    if (window_ != nullptr) {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof data;
        data.hWnd = window_;
        data.uID = static_cast<UINT>(trayId_);
        Shell_NotifyIconW(NIM_DELETE, &data);
    }
    trayId_ = -1;
}

bool Win32Toolkit::trayAvailable() {
    return FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr;
}

void Win32Toolkit::onTray(UINT mouseMessage) {
    int type;
    switch (mouseMessage) {
        case WM_LBUTTONDOWN:
            type = kTrayLeftPress;
            break;
        case WM_RBUTTONDOWN:
            type = kTrayRightPress;
            break;
        case WM_LBUTTONDBLCLK:
            type = kTrayLeftDoubleClick;
            break;
        case WM_RBUTTONDBLCLK:
            type = kTrayRightDoubleClick;
            break;
        default:
            return;
    }
    postEvent({.number = kTrayEvent, .window = 0, .id = trayId_, .type = type});
}

namespace {

void fillMenu(HMENU menu, const std::vector<MenuItem>& items) {
    for (const MenuItem& item : items) {
        const std::wstring text = WideText(item.text);
        if (!item.submenu.empty()) {
            HMENU submenu = CreatePopupMenu();
            fillMenu(submenu, item.submenu);
            AppendMenuW(menu, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(submenu),
                        text.c_str());
        } else if (item.id == 0) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        } else {
            const UINT flags = MF_STRING | (item.checkable && item.checked ? MF_CHECKED : 0);
            AppendMenuW(menu, flags, static_cast<UINT_PTR>(item.id), text.c_str());
        }
    }
}

}  // namespace

void Win32Toolkit::createTrayMenu(TrayMenuBuilder build) {
    buildTrayMenu_ = std::move(build);
}

void Win32Toolkit::showTrayMenu() {
    if (!buildTrayMenu_ || window_ == nullptr) {
        return;
    }
    HMENU menu = CreatePopupMenu();
    fillMenu(menu, buildTrayMenu_());
    POINT at;
    GetCursorPos(&at);
    // The menu closes when the user clicks elsewhere only if our window is in front; the
    // window may stay hidden for that.
    SetForegroundWindow(window_);
    const UINT chosen = TrackPopupMenuEx(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY,
                                         at.x - 1, at.y - 1, window_, nullptr);
    PostMessageW(window_, WM_NULL, 0, 0);
    DestroyMenu(menu);  // and its submenus
    if (chosen != 0) {
        postEvent({.number = kMenuEvent, .window = 0, .id = static_cast<int32_t>(chosen)});
    }
}

void Win32Toolkit::showTrayNotification(std::string_view title, std::string_view text) {
    if (trayId_ < 0 || window_ == nullptr) {
        return;
    }
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = static_cast<UINT>(trayId_);
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_INFO;
    data.uTimeout = kNotificationMilliseconds;
    copyInto(data.szInfoTitle, WideText(title));
    copyInto(data.szInfo, WideText(text));
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

// --- boxes, timers, termination ----------------------------------------------

void Win32Toolkit::messageBox(std::string_view text, std::string_view caption, MessageIcon icon) {
    const UINT style =
        MB_OK | MB_SETFOREGROUND | (icon == MessageIcon::Error ? MB_ICONERROR : MB_ICONINFORMATION);
    MessageBoxW(nullptr, WideText(text).c_str(), WideText(caption).c_str(), style);
}

void Win32Toolkit::startTimer(int number, int milliseconds) {
    SetTimer(helper_, static_cast<UINT_PTR>(number), static_cast<UINT>(milliseconds), nullptr);
}

void Win32Toolkit::stopTimer(int number) {
    KillTimer(helper_, static_cast<UINT_PTR>(number));
}

void Win32Toolkit::watchTermination(int /*fd*/) {}

void Win32Toolkit::requestTermination() {
    queue_.post({.number = kTerminationEvent});
    PostMessageW(helper_, kTerminateMessage, 0, 0);
}

void Win32Toolkit::setSessionEndHandler(std::function<void()> handler) {
    sessionEnd_ = std::move(handler);
}

namespace {

BOOL CALLBACK closeBox(HWND window, LPARAM) {
    wchar_t name[16];
    if (GetClassNameW(window, name, 16) > 0 && std::wcscmp(name, L"#32770") == 0) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

}  // namespace

// An open menu or box would hold the loop: both are closed so the termination is handled now.
void Win32Toolkit::closePopups() {
    EndMenu();
    EnumThreadWindows(mainThread_, closeBox, 0);
}

// --- events ------------------------------------------------------------------

Event Win32Toolkit::waitEvent() {
    Event event;
    while (!queue_.tryTake(event)) {
        MSG message;
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            // WM_QUIT (someone asked the thread's loop to end) or a broken queue: taken as a
            // termination request, once.
            if (!terminationRaised_) {
                terminationRaised_ = true;
                queue_.post({.number = kTerminationEvent});
                continue;
            }
            return {.number = kTerminationEvent};
        }
        if (window_ != nullptr && IsDialogMessageW(window_, &message)) {
            continue;  // Tab, the arrow keys and Enter among the controls
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return event;
}

void Win32Toolkit::postEvent(const Event& event) {
    queue_.post(event);
    // Wakes the wait: another thread has to, and so does a window procedure that GetMessage
    // itself ran for a message sent from elsewhere (GetMessage would go on waiting after it).
    if (helper_ != nullptr) {
        PostMessageW(helper_, kWakeMessage, 0, 0);
    }
}

}  // namespace glowtern
