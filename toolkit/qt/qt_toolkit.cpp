#include "toolkit/qt/qt_toolkit.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include <QtGui/qguiapplication_platform.h>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDialog>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegion>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QStyle>
#include <QSysInfo>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QWindowStateChangeEvent>

#include <xcb/xcb.h>

// Resources of a static library have to be registered by name, outside any namespace.
static void initialiseResources() {
    Q_INIT_RESOURCE(glowtern);
}

namespace glowtern {

namespace {

constexpr int kTooltipLimit = 63;
constexpr int kNotificationMilliseconds = 15000;
constexpr int kEndScroll = 8;  // the notification that closes a scroll action

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QColor toQColor(Rgb colour) {
    return QColor(colour.red, colour.green, colour.blue);
}

QIcon programIcon() {
    // Read as the PNG it is: left to guess the format, Qt would load every image format
    // plug-in (and the libraries behind them) to ask each whether it can read the file.
    QImageReader reader(QStringLiteral(":/glowtern/icon.png"), "png");
    reader.setAutoDetectImageFormat(false);
    return QIcon(QPixmap::fromImage(reader.read()));
}

// The place to show a frame stored at `frame`: as stored while its title bar lies
// whole on the screens, so it can be grabbed; else moved the shortest way into the
// screen nearest the stored place (a screen since unplugged, a hand-edited file).
QPoint reachablePlace(const QRect& frame, int titleBarHeight) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    QRegion covered;
    for (const QScreen* screen : screens) {
        covered += screen->availableGeometry();
    }
    const QRect titleBar(frame.topLeft(), QSize(frame.width(), titleBarHeight));
    if (screens.isEmpty() || QRegion(titleBar).subtracted(covered).isEmpty()) {
        return frame.topLeft();
    }
    const auto distance = [&](const QScreen* screen) {
        const QRect area = screen->availableGeometry();
        const qint64 dx = std::max({0, area.left() - frame.x(), frame.x() - area.right()});
        const qint64 dy = std::max({0, area.top() - frame.y(), frame.y() - area.bottom()});
        return dx * dx + dy * dy;
    };
    const QRect area = (*std::ranges::min_element(screens, {}, distance))->availableGeometry();
    return {std::max(area.left(), std::min(frame.x(), area.right() + 1 - frame.width())),
            std::max(area.top(), std::min(frame.y(), area.bottom() + 1 - frame.height()))};
}

// A link: underlined, blue, red under the pointer, a hand cursor, and a control
// event when the left button is released over it.
class LinkLabel final : public QLabel {
  public:
    LinkLabel(const QString& text, QWidget* parent, QColor normal, QColor hover,
              std::function<void()> clicked)
        : QLabel(text, parent), normal_(normal), hover_(hover), clicked_(std::move(clicked)) {
        setCursor(Qt::PointingHandCursor);
        setColour(normal_);
    }

  protected:
    void enterEvent(QEnterEvent* event) override {
        setColour(hover_);
        QLabel::enterEvent(event);
    }
    void leaveEvent(QEvent* event) override {
        setColour(normal_);
        QLabel::leaveEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
            clicked_();
        }
        QLabel::mouseReleaseEvent(event);
    }

  private:
    void setColour(QColor colour) {
        QPalette palette = this->palette();
        palette.setColor(QPalette::WindowText, colour);
        setPalette(palette);
    }

    QColor normal_;
    QColor hover_;
    std::function<void()> clicked_;
};

// The output selectors are 40 pixels wide, the size of the desktop the window was laid
// out for. The usual Qt styles give a drop-down list's arrow about 20 of them, which
// clips "No" to "Nc"; a narrower arrow leaves the item text the room it needs.
class NarrowArrowStyle final : public QProxyStyle {
  public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                         SubControl subControl, const QWidget* widget) const override {
        QRect rect = QProxyStyle::subControlRect(control, option, subControl, widget);
        if (control != CC_ComboBox) {
            return rect;
        }
        const QRect arrow = QProxyStyle::subControlRect(control, option, SC_ComboBoxArrow, widget);
        const int spare = std::max(0, arrow.width() - kArrowWidth);
        if (subControl == SC_ComboBoxArrow) {
            rect.setLeft(rect.left() + spare);
        } else if (subControl == SC_ComboBoxEditField) {
            rect.setRight(rect.right() + spare);
        }
        return rect;
    }

  private:
    static constexpr int kArrowWidth = 13;
};

}  // namespace

// Whether the X server takes the pixels of an RGB32 image as they are in memory for
// `window`: a 24-bit TrueColor visual with red, green and blue where the image has them, 32
// bits a pixel, in this machine's byte order. One round trip; asked once.
bool TakesRgb32AsItIs(xcb_connection_t* connection, xcb_window_t window) {
    xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, window), nullptr);
    if (attributes == nullptr) {
        return false;
    }
    const xcb_visualid_t visual = attributes->visual;
    std::free(attributes);
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const uint8_t machineOrder = QSysInfo::ByteOrder == QSysInfo::LittleEndian
                                     ? XCB_IMAGE_ORDER_LSB_FIRST
                                     : XCB_IMAGE_ORDER_MSB_FIRST;
    if (setup->image_byte_order != machineOrder) {
        return false;
    }
    bool formatFits = false;
    for (auto format = xcb_setup_pixmap_formats_iterator(setup); format.rem > 0;
         xcb_format_next(&format)) {
        if (format.data->depth == 24) {
            formatFits = format.data->bits_per_pixel == 32 && format.data->scanline_pad == 32;
        }
    }
    for (auto screen = xcb_setup_roots_iterator(setup); formatFits && screen.rem > 0;
         xcb_screen_next(&screen)) {
        for (auto depth = xcb_screen_allowed_depths_iterator(screen.data); depth.rem > 0;
             xcb_depth_next(&depth)) {
            for (auto type = xcb_depth_visuals_iterator(depth.data); type.rem > 0;
                 xcb_visualtype_next(&type)) {
                if (type.data->visual_id == visual) {
                    return depth.data->depth == 24 &&
                           type.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
                           type.data->red_mask == 0xff0000 && type.data->green_mask == 0xff00 &&
                           type.data->blue_mask == 0xff;
                }
            }
        }
    }
    return false;
}

// The level meters, all in one widget: each is a rectangle of it that is redrawn from the
// model's newest picture when that changed. The pictures go into one image in the window's
// own pixel format (copied line by line, never converted by Qt). On X11 the strip has a
// window of its own, and the changed rows of that image go straight into it, on Qt's
// connection (so in order with Qt's own drawing): no repaint by Qt, which would walk the
// window's widgets, paint into the backing store and wait for the server before reusing
// it. Elsewhere (or with a visual whose pixels differ) Qt repaints the changed meters, in
// one paint. Either way Qt paints the strip from the same image when it is exposed.
class MeterStrip final : public QWidget {
  public:
    MeterStrip(ControlModel& model, QWidget* parent) : QWidget(parent), model_(model) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        if (const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
            connection_ = x11->connection();
            setAttribute(Qt::WA_NativeWindow);
            setAttribute(Qt::WA_DontCreateNativeAncestors);
        }
    }
    ~MeterStrip() override {
        if (gc_ != 0) {
            xcb_free_gc(connection_, gc_);
        }
    }
    MeterStrip(const MeterStrip&) = delete;
    MeterStrip& operator=(const MeterStrip&) = delete;

    // `rect` in the parent's coordinates; call place() after the last one.
    void addMeter(int id, const QRect& rect) { meters_.push_back({id, rect, true}); }

    void place() {
        QRect bounds;
        for (const Meter& meter : meters_) {
            bounds |= meter.rect;
        }
        setGeometry(bounds);
        for (Meter& meter : meters_) {
            meter.rect.translate(-bounds.topLeft());
        }
        // Between the meters the window shows through.
        picture_ = QImage(bounds.size(), QImage::Format_RGB32);
        picture_.fill(parentWidget()->palette().color(QPalette::Window));
        for (const Meter& meter : meters_) {
            fillBlack(meter.rect);
        }
    }

    QRect meterRect(int id) const {
        for (const Meter& meter : meters_) {
            if (meter.id == id) {
                return meter.rect;
            }
        }
        return {};
    }

    // A meter's picture changed: it is redrawn at the next repaintChanged().
    void meterChanged(int id) {
        for (Meter& meter : meters_) {
            if (meter.id == id) {
                meter.changed = true;
                dirty_ |= meter.rect;
            }
        }
    }

    void repaintChanged() {
        if (dirty_.isEmpty()) {
            return;
        }
        if (!drawIntoWindow()) {
            repaint(dirty_);
        }
        dirty_ = {};
    }

  protected:
    void paintEvent(QPaintEvent* event) override {
        takeChangedPictures();
        const QRect area = event->rect();
        QPainter(this).drawImage(area.topLeft(), picture_, area);
    }

  private:
    struct Meter {
        int id;
        QRect rect;  // in the strip
        bool changed;
    };

    // The rows of the changed meters, from the image straight into the strip's window.
    bool drawIntoWindow() {
        if (connection_ == nullptr || !isVisible()) {
            return false;
        }
        const auto window = static_cast<xcb_window_t>(winId());
        if (gc_ == 0) {
            if (!TakesRgb32AsItIs(connection_, window)) {
                connection_ = nullptr;  // Qt repaints from now on
                return false;
            }
            gc_ = xcb_generate_id(connection_);
            xcb_create_gc(connection_, gc_, window, 0, nullptr);
        }
        takeChangedPictures();
        const QRect rows(0, dirty_.top(), picture_.width(), dirty_.height());
        xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc_,
                      static_cast<uint16_t>(rows.width()), static_cast<uint16_t>(rows.height()), 0,
                      static_cast<int16_t>(rows.top()), 0, 24,
                      static_cast<uint32_t>(rows.height() * picture_.bytesPerLine()),
                      picture_.constScanLine(rows.top()));
        xcb_flush(connection_);
        return true;
    }

    void takeChangedPictures() {
        uchar* bits = nullptr;  // taken once: every non-const access checks for a copy to make
        for (Meter& meter : meters_) {
            if (meter.changed) {
                meter.changed = false;
                if (bits == nullptr) {
                    bits = picture_.bits();
                }
                copyPicture(meter, bits);
            }
        }
    }

    QRgb* line(uchar* bits, int y) const {
        return reinterpret_cast<QRgb*>(bits + static_cast<ptrdiff_t>(y) * picture_.bytesPerLine());
    }

    void fillBlack(const QRect& rect) {
        uchar* bits = picture_.bits();
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            std::fill(line(bits, y) + rect.left(), line(bits, y) + rect.right() + 1, qRgb(0, 0, 0));
        }
    }

    void copyPicture(const Meter& meter, uchar* bits) {
        const uint8_t* pixels = model_.latestImage(meter.id);
        if (pixels == nullptr) {
            return;  // none published yet: it stays black
        }
        const QRect& rect = meter.rect;
        for (int y = 0; y < rect.height(); ++y) {
            QRgb* to = line(bits, rect.top() + y) + rect.left();
            const uint8_t* from = pixels + static_cast<ptrdiff_t>(y) * rect.width() * 3;
            for (int x = 0; x < rect.width(); ++x, from += 3) {
                to[x] = qRgb(from[0], from[1], from[2]);
            }
        }
    }

    ControlModel& model_;
    std::vector<Meter> meters_;
    QImage picture_;
    QRect dirty_;
    xcb_connection_t* connection_ = nullptr;  // X11: Qt's connection; null: Qt repaints
    xcb_gcontext_t gc_ = 0;
};

// A request to quit the application (the session manager's "die" at logout, which Qt turns
// into a Quit event for the application) ends the program the way a termination request
// does, through the event loop. Left to Qt, it would only make every later wait return at
// once, and the program would spin.
class QuitRequestFilter final : public QObject {
  public:
    explicit QuitRequestFilter(QtToolkit& toolkit) : toolkit_(toolkit) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
            toolkit_.postEvent({.number = kTerminationEvent});
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    QtToolkit& toolkit_;
};

// The main window: its close button and minimising become events for the loop.
class MainWindowWidget final : public QWidget {
  public:
    explicit MainWindowWidget(QtToolkit& toolkit) : toolkit_(toolkit) {}

    void closeForGood() {
        closingForGood_ = true;
        close();
    }

  protected:
    void closeEvent(QCloseEvent* event) override {
        if (closingForGood_) {
            event->accept();
            return;
        }
        event->ignore();
        toolkit_.postEvent({.number = kCloseEvent});
    }

    void changeEvent(QEvent* event) override {
        if (event->type() == QEvent::WindowStateChange) {
            const auto* change = static_cast<QWindowStateChangeEvent*>(event);
            if ((windowState() & Qt::WindowMinimized) &&
                !(change->oldState() & Qt::WindowMinimized)) {
                toolkit_.postEvent({.number = kMinimiseEvent});
            }
        }
        QWidget::changeEvent(event);
    }

    void moveEvent(QMoveEvent* event) override {
        toolkit_.onWindowMoved();
        QWidget::moveEvent(event);
    }

  private:
    QtToolkit& toolkit_;
    bool closingForGood_ = false;
};

QtToolkit::QtToolkit(int& argc, char** argv) {
    initialiseResources();
    if (QApplication::instance() == nullptr) {
        application_ = std::make_unique<QApplication>(argc, argv);
    }
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("glowtern"));
    QApplication::setWindowIcon(programIcon());
    waitLoop_ = std::make_unique<QEventLoop>();
    quitFilter_ = std::make_unique<QuitRequestFilter>(*this);
    QCoreApplication::instance()->installEventFilter(quitFilter_.get());

    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ >= 0) {
        wakeNotifier_ = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read);
        QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, [this] {
            uint64_t count;
            [[maybe_unused]] const ssize_t got = read(wakeFd_, &count, sizeof count);
            flush();
        });
    }
    controls().setObserver(this);
    controls().setImagesShown(false);  // the window starts hidden
}

QtToolkit::~QtToolkit() {
    controls().setObserver(nullptr);
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->removeEventFilter(quitFilter_.get());
    }
    quitFilter_.reset();
    timers_.clear();
    trayMenu_.reset();
    tray_.reset();
    terminationNotifier_.reset();
    wakeNotifier_.reset();
    window_.reset();
    dropDownStyle_.reset();  // after the widgets that use it
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

// --- main window -------------------------------------------------------------

void QtToolkit::openMainWindow(const WindowSpec& window) {
    window_ = std::make_unique<MainWindowWidget>(*this);
    window_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                            Qt::WindowCloseButtonHint);
    window_->setWindowTitle(toQString(window.title));
    window_->setWindowIcon(programIcon());
    window_->setFixedSize(window.clientWidth, window.clientHeight);
    window_->move(window.x, window.y);
    normalPosition_ = {window.x, window.y};
}

void QtToolkit::showMainWindow() {
    if (!window_) {
        return;
    }
    windowShown_.store(true);
    controls().setImagesShown(true);
    makeWidgets();
    flush();
    bringOntoScreen();
    window_->show();
}

void QtToolkit::restoreMainWindow() {
    if (!window_) {
        return;
    }
    bringOntoScreen();
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
}

void QtToolkit::bringOntoScreen() {
    const QPoint place = reachablePlace(window_->frameGeometry(),
                                        window_->style()->pixelMetric(QStyle::PM_TitleBarHeight));
    if (place != window_->pos()) {
        window_->move(place);
        normalPosition_ = {place.x(), place.y()};
    }
}

void QtToolkit::hideMainWindow() {
    if (!window_) {
        return;
    }
    onWindowMoved();
    windowShown_.store(false);
    controls().setImagesShown(false);
    window_->hide();
}

void QtToolkit::closeMainWindow() {
    if (!window_) {
        return;
    }
    onWindowMoved();
    windowShown_.store(false);
    controls().setImagesShown(false);
    window_->closeForGood();
}

void QtToolkit::onWindowMoved() {
    if (window_ && window_->isVisible() && !window_->isMinimized()) {
        const QPoint position = window_->pos();
        normalPosition_ = {position.x(), position.y()};
    }
}

WindowPosition QtToolkit::mainWindowPosition() {
    onWindowMoved();
    return normalPosition_;
}

QWidget* QtToolkit::mainWindowWidget() {
    makeWidgets();
    return window_.get();
}

// --- controls ----------------------------------------------------------------

void QtToolkit::postControlEvent(int id, int type) {
    postEvent({.number = kControlEvent, .window = 0, .id = id, .type = type});
}

// A control entry with its own copies of the texts it points at, until its widget is made.
struct QtToolkit::PendingControl {
    ControlSpec entry;
    std::string text;
    std::string tooltip;
    std::string fontFamily;
    std::vector<std::string> itemTexts;
    std::vector<std::string_view> items;

    explicit PendingControl(const ControlSpec& control)
        : entry(control),
          text(control.text),
          tooltip(control.tooltip),
          fontFamily(control.font.family),
          itemTexts(control.items.begin(), control.items.end()) {
        items.assign(itemTexts.begin(), itemTexts.end());
        entry.text = text;
        entry.tooltip = tooltip;
        entry.font.family = fontFamily;
        entry.items = items;
    }
};

void QtToolkit::createControl(const ControlSpec& control) {
    if (!window_) {
        return;
    }
    controls().define(control);
    if (control.kind != ControlKind::None) {
        pending_.push_back(std::make_unique<PendingControl>(control));
    }
}

void QtToolkit::makeWidgets() {
    if (pending_.empty()) {
        return;
    }
    MeterStrip* strip = nullptr;
    for (const std::unique_ptr<PendingControl>& control : pending_) {
        const ControlSpec& entry = control->entry;
        if (entry.kind != ControlKind::Image) {
            makeWidget(entry);
            continue;
        }
        if (strip == nullptr) {
            strip = new MeterStrip(controls(), window_.get());
            strips_.push_back(strip);
        }
        strip->addMeter(entry.id, QRect(entry.x, entry.y, entry.width, entry.height));
        widgets_[entry.id] = strip;
    }
    if (strip != nullptr) {
        strip->place();
        strip->setFocusPolicy(Qt::NoFocus);
        strip->show();
    }
    pending_.clear();
}

void QtToolkit::makeWidget(const ControlSpec& control) {
    const int id = control.id;
    QWidget* widget = nullptr;
    bool takesFocus = false;
    switch (control.kind) {
        case ControlKind::TextLabel: {
            auto* label = new QLabel(QString::fromStdString(controls().text(id)), window_.get());
            if (control.centred) {
                label->setAlignment(Qt::AlignCenter);
            }
            if (control.coloured) {
                QPalette palette = label->palette();
                palette.setColor(QPalette::WindowText, toQColor(control.textColour));
                palette.setColor(QPalette::Window, toQColor(control.backgroundColour));
                label->setPalette(palette);
                label->setAutoFillBackground(true);
            }
            widget = label;
            break;
        }
        case ControlKind::ScrollBar: {
            auto* bar =
                new QScrollBar(control.vertical ? Qt::Vertical : Qt::Horizontal, window_.get());
            bar->setRange(control.minimum,
                          std::max(control.minimum, control.maximum - control.page));
            bar->setPageStep(control.page);
            bar->setSingleStep(1);
            bar->setValue(controls().state(id));
            bar->setFocusPolicy(Qt::NoFocus);
            bar->setToolTip(toQString(control.tooltip));
            QObject::connect(bar, &QScrollBar::valueChanged,
                             [this, id](int value) { controls().setStateFromUser(id, value); });
            QObject::connect(bar, &QScrollBar::actionTriggered,
                             [this, id](int action) { postControlEvent(id, action); });
            QObject::connect(bar, &QScrollBar::sliderReleased,
                             [this, id] { postControlEvent(id, kEndScroll); });
            widget = bar;
            break;
        }
        case ControlKind::PushButton: {
            auto* button = new QPushButton(toQString(control.text), window_.get());
            button->setFocusPolicy(Qt::StrongFocus);
            QObject::connect(button, &QPushButton::clicked,
                             [this, id] { postControlEvent(id, 0); });
            widget = button;
            takesFocus = true;
            break;
        }
        case ControlKind::CheckBox: {
            auto* box = new QCheckBox(toQString(control.text), window_.get());
            box->setChecked(controls().state(id) != 0);
            box->setFocusPolicy(Qt::StrongFocus);
            // The box has toggled itself by the time its event is taken.
            QObject::connect(box, &QCheckBox::clicked, [this, id](bool checked) {
                controls().setStateFromUser(id, checked ? 1 : 0);
                postControlEvent(id, 0);
            });
            widget = box;
            takesFocus = true;
            break;
        }
        case ControlKind::DropDownList: {
            auto* list = new QComboBox(window_.get());
            if (!dropDownStyle_) {
                dropDownStyle_ = std::make_unique<NarrowArrowStyle>();
            }
            list->setStyle(dropDownStyle_.get());
            list->setEditable(false);
            for (std::string_view item : control.items) {
                list->addItem(toQString(item));
            }
            list->setCurrentIndex(controls().state(id));
            const int itemHeight = std::max(1, list->fontMetrics().height() + 2);
            list->setMaxVisibleItems(
                std::max(1, (control.dropDownHeight - control.height) / itemHeight));
            list->setFocusPolicy(Qt::StrongFocus);
            QObject::connect(list, &QComboBox::activated, [this, id](int index) {
                controls().setStateFromUser(id, index);
                postControlEvent(id, 1);
            });
            widget = list;
            takesFocus = true;
            break;
        }
        case ControlKind::Image:  // made by makeWidgets, in a strip of meters
        case ControlKind::LinkLabel: {
            auto* link = new LinkLabel(QString::fromStdString(controls().text(id)), window_.get(),
                                       toQColor(control.textColour), toQColor(control.hoverColour),
                                       [this, id] { postControlEvent(id, 0); });
            QFont font(toQString(control.font.family), control.font.pointSize, QFont::Normal);
            font.setUnderline(true);
            link->setFont(font);
            widget = link;
            break;
        }
        case ControlKind::None:
            return;
    }
    widget->setGeometry(control.x, control.y, control.width, control.height);
    if (!takesFocus) {
        widget->setFocusPolicy(Qt::NoFocus);
    } else {
        if (lastFocusable_ != nullptr) {
            QWidget::setTabOrder(lastFocusable_, widget);
        }
        lastFocusable_ = widget;
    }
    widget->show();
    widgets_[id] = widget;
}

QWidget* QtToolkit::controlWidget(int id) {
    makeWidgets();
    return id >= 0 && id < ControlModel::kCapacity ? widgets_[id] : nullptr;
}

void QtToolkit::controlsChanged() {
    // Any thread. Nothing to draw while the window is hidden: the marks stay
    // until it is shown again, so a hidden window costs no wake-ups at all.
    if (windowShown_.load() && wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
    }
}

void QtToolkit::flush() {
    controls().flushChanges([this](int id) { applyToWidget(id); });
    for (MeterStrip* strip : strips_) {
        strip->repaintChanged();
    }
}

QRect QtToolkit::meterRect(int id) {
    makeWidgets();
    for (MeterStrip* strip : strips_) {
        if (const QRect rect = strip->meterRect(id); !rect.isNull()) {
            return rect;
        }
    }
    return {};
}

void QtToolkit::applyToWidget(int id) {
    // Controls without a widget yet get theirs from the model when it is made.
    QWidget* widget = id >= 0 && id < ControlModel::kCapacity ? widgets_[id] : nullptr;
    if (widget == nullptr) {
        return;
    }
    ControlModel& model = controls();
    switch (model.kind(id)) {
        case ControlKind::TextLabel:
        case ControlKind::LinkLabel:
            static_cast<QLabel*>(widget)->setText(QString::fromStdString(model.text(id)));
            break;
        case ControlKind::ScrollBar: {
            const QSignalBlocker blocker(widget);
            static_cast<QScrollBar*>(widget)->setValue(model.state(id));
            break;
        }
        case ControlKind::CheckBox: {
            const QSignalBlocker blocker(widget);
            static_cast<QCheckBox*>(widget)->setChecked(model.state(id) != 0);
            break;
        }
        case ControlKind::DropDownList: {
            const QSignalBlocker blocker(widget);
            static_cast<QComboBox*>(widget)->setCurrentIndex(model.state(id));
            break;
        }
        case ControlKind::Image:
            // Only the meters whose picture changed are marked; the strip repaints them, from
            // the newest pictures when Qt paints, as one rectangle at the end of this flush.
            static_cast<MeterStrip*>(widget)->meterChanged(id);
            break;
        default:
            break;
    }
}

// --- tray --------------------------------------------------------------------

bool QtToolkit::addTrayIcon(int id) {
    tray_ = std::make_unique<QSystemTrayIcon>(programIcon());
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated,
                     [this, id](QSystemTrayIcon::ActivationReason reason) {
                         int type;
                         switch (reason) {
                             case QSystemTrayIcon::Trigger:
                                 type = kTrayLeftPress;
                                 break;
                             case QSystemTrayIcon::Context:
                                 type = kTrayRightPress;
                                 break;
                             case QSystemTrayIcon::DoubleClick:
                                 type = kTrayLeftDoubleClick;
                                 break;
                             default:
                                 return;
                         }
                         postEvent({.number = kTrayEvent, .window = 0, .id = id, .type = type});
                     });
    tray_->show();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtToolkit::setTrayTooltip(std::string_view text) {
    if (tray_) {
        tray_->setToolTip(toQString(text).left(kTooltipLimit));
    }
}

void QtToolkit::removeTrayIcon() {
    if (tray_) {
        tray_->hide();
        tray_.reset();
    }
}

bool QtToolkit::trayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

namespace {

void fillMenu(QMenu& menu, const std::vector<MenuItem>& items) {
    for (const MenuItem& item : items) {
        if (!item.submenu.empty()) {
            fillMenu(*menu.addMenu(toQString(item.text)), item.submenu);
        } else if (item.id == 0) {
            menu.addSeparator();
        } else {
            QAction* action = menu.addAction(toQString(item.text));
            action->setData(item.id);
            action->setCheckable(item.checkable);
            action->setChecked(item.checked);
        }
    }
}

}  // namespace

void QtToolkit::createTrayMenu(TrayMenuBuilder build) {
    buildTrayMenu_ = std::move(build);
    trayMenu_ = std::make_unique<QMenu>();
}

void QtToolkit::showTrayMenu() {
    if (!trayMenu_ || !buildTrayMenu_) {
        return;
    }
    trayMenu_->clear();  // deletes the actions and submenus of the last showing
    fillMenu(*trayMenu_, buildTrayMenu_());
    if (QAction* chosen = trayMenu_->exec(QCursor::pos() - QPoint(1, 1))) {
        postEvent({.number = kMenuEvent, .window = 0, .id = chosen->data().toInt()});
    }
}

void QtToolkit::showTrayNotification(std::string_view title, std::string_view text) {
    if (tray_) {
        tray_->showMessage(toQString(title), toQString(text), QSystemTrayIcon::Information,
                           kNotificationMilliseconds);
    }
}

// --- boxes, timers, termination ----------------------------------------------

void QtToolkit::messageBox(std::string_view text, std::string_view caption, MessageIcon icon) {
    // Qt puts the program's name on a box whose title is empty; a blank title keeps
    // the caption empty as asked.
    const QString title = caption.empty() ? QStringLiteral(" ") : toQString(caption);
    QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
                    title, toQString(text), QMessageBox::Ok);
    box.exec();
}

void QtToolkit::startTimer(int number, int milliseconds) {
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(milliseconds);
    QObject::connect(timer.get(), &QTimer::timeout, [this, number] {
        postEvent({.number = kTimerEvent, .window = 0, .id = number});
    });
    timer->start();
    timers_[number] = std::move(timer);
}

void QtToolkit::stopTimer(int number) {
    timers_.erase(number);
}

void QtToolkit::watchTermination(int fd) {
    if (fd < 0) {
        return;
    }
    terminationFd_ = fd;
    terminationNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(terminationNotifier_.get(), &QSocketNotifier::activated,
                     [this] { onTermination(); });
}

void QtToolkit::onTermination() {
    char drain[64];
    while (read(terminationFd_, drain, sizeof drain) > 0) {
    }
    // An open menu or box would hold the loop; close them so the request is
    // handled now.
    while (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
    }
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        dialog->reject();
    }
    postEvent({.number = kTerminationEvent});
}

// --- events ------------------------------------------------------------------

Event QtToolkit::waitEvent() {
    Event event;
    while (!queue_.tryTake(event)) {
        waiting_ = true;
        const int result = waitLoop_->exec();
        waiting_ = false;
        // -1: the application was told to quit by someone else (Qt then refuses to wait
        // at all). Taken as a termination request, once; no wait can work any more.
        if (result == -1 && !quitTaken_) {
            quitTaken_ = true;
            queue_.post({.number = kTerminationEvent});
        } else if (result == -1) {
            event = {.number = kTerminationEvent};
            return event;
        }
    }
    return event;
}

void QtToolkit::postEvent(const Event& event) {
    queue_.post(event);
    if (QThread::currentThread() != QApplication::instance()->thread()) {
        QMetaObject::invokeMethod(waitLoop_.get(), "quit", Qt::QueuedConnection);
    } else if (waiting_) {
        waitLoop_->quit();
    }
}

}  // namespace glowtern
