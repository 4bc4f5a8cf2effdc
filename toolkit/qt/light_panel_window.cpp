#include "toolkit/qt/light_panel_window.h"

#include <time.h>

#include <algorithm>
#include <array>

#include <QApplication>
#include <QCheckBox>
#include <QFont>
#include <QPainter>
#include <QPalette>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

namespace glowtern {

namespace {

// The parallel-port lines as the panel shows them, with the band each one stands for.
struct LineLabel {
    const char* name;
    const char* connectorPin;
    const char* band;
};
constexpr std::array<LineLabel, 12> kLines = {{
    {"D0", "pin 2", "35 Hz"},
    {"D1", "pin 3", "53 Hz"},
    {"D2", "pin 4", "79 Hz"},
    {"D3", "pin 5", "118 Hz"},
    {"D4", "pin 6", "178 Hz"},
    {"D5", "pin 7", "267 Hz"},
    {"D6", "pin 8", "400 Hz"},
    {"D7", "pin 9", "600 Hz"},
    {"Strobe", "pin 1", "900 Hz"},
    {"Auto Feed", "pin 14", "1350 Hz"},
    {"Initialize", "pin 16", "2024 Hz"},
    {"Select In", "pin 17", "3036 Hz"},
}};

// The USB pins follow Glowtern's output selectors, so they carry no band of their own.
constexpr std::array<const char*, 18> kPins = {
    "PB0", "PB1", "PB2", "PB3", "PB4", "PB5", "PC0", "PC1", "PC2",
    "PC3", "PC4", "PC5", "PD0", "PD1", "PD3", "PD5", "PD6", "PD7",
};

// Geometry, in pixels.
constexpr int kMargin = 16;
constexpr int kLineColumn = 70;
constexpr int kGroupGap = 14;
constexpr int kPinColumn = (12 * kLineColumn - 2 * kGroupGap) / 18;
constexpr int kWidth = 2 * kMargin + 12 * kLineColumn;
constexpr int kStatusY = 10;
constexpr int kPortTitleY = 40;
constexpr int kPortLampY = 62;
constexpr int kPortLamp = 28;
constexpr int kUsbTitleY = 158;
constexpr int kUsbLampY = 184;
constexpr int kUsbLamp = 22;
constexpr int kChartTitleY = 246;
constexpr int kChartY = 268;
constexpr int kChartRow = 13;
constexpr int kChartLabels = 74;
constexpr int kHeight = kChartY + 12 * kChartRow + 30;

const QColor kBackground(0x1e, 0x20, 0x24);
const QColor kText(0xe8, 0xea, 0xed);
const QColor kDimText(0x9a, 0xa0, 0xa6);
const QColor kLampOff(0x3c, 0x40, 0x43);
const QColor kPortLit(0xff, 0xb3, 0x00);
const QColor kUsbLit(0x4d, 0xd0, 0xe1);
const QColor kChartBack(0x28, 0x2a, 0x2e);

int64_t monotonicNow() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int pinX(int pin) {
    const int group = pin / 6;  // B, C, D
    return kMargin + group * kGroupGap + pin * kPinColumn;
}

void drawLamp(QPainter& painter, QPoint centre, int diameter, bool lit, const QColor& colour) {
    const int radius = diameter / 2;
    if (lit) {
        // A soft glow around a lit lamp.
        QColor glow = colour;
        glow.setAlpha(70);
        painter.setPen(Qt::NoPen);
        painter.setBrush(glow);
        painter.drawEllipse(centre, radius + 5, radius + 5);
    }
    painter.setPen(QPen(lit ? colour.lighter(130) : QColor(0x5f, 0x63, 0x68), 1.5));
    painter.setBrush(lit ? colour : kLampOff);
    painter.drawEllipse(centre, radius, radius);
}

class PanelView final : public QWidget {
  public:
    PanelView() {
        setWindowTitle(QStringLiteral("Glowtern panel"));
        setFixedSize(kWidth, kHeight);
        QPalette colours = palette();
        colours.setColor(QPalette::Window, kBackground);
        colours.setColor(QPalette::WindowText, kText);
        setPalette(colours);
        setAutoFillBackground(true);

        plugged_ = new QCheckBox(QStringLiteral("plugged in"), this);
        plugged_->setChecked(true);
        plugged_->setPalette(colours);
        plugged_->move(kMargin + 150, kUsbTitleY - 4);
    }

    QCheckBox* plugged() const { return plugged_; }
    LightPanelPicture& picture() { return picture_; }

    // Whether the chart still moves: something changed within its span, or a line is high.
    bool chartActive(int64_t now) const {
        return picture_.lines != 0 ||
               (!picture_.history.empty() &&
                now - picture_.history.back().nanoseconds < LightPanelWindow::kChartNanoseconds);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QFont base = font();
        QFont small = base;
        small.setPointSizeF(base.pointSizeF() * 0.8);
        QFont bold = base;
        bold.setBold(true);

        painter.setPen(kDimText);
        painter.setFont(small);
        painter.drawText(QRect(kMargin, kStatusY, kWidth - 2 * kMargin, 18), Qt::AlignLeft,
                         QString::fromStdString(picture_.status));

        paintPort(painter, bold, small);
        paintUsb(painter, bold, small);
        paintChart(painter, bold, small, monotonicNow());
    }

  private:
    void paintPort(QPainter& painter, const QFont& bold, const QFont& small) {
        painter.setPen(kText);
        painter.setFont(bold);
        painter.drawText(kMargin, kPortTitleY + 12, QStringLiteral("Parallel port"));
        for (int line = 0; line < 12; ++line) {
            const int x = kMargin + line * kLineColumn;
            const bool high = (picture_.lines >> line) & 1u;
            drawLamp(painter, QPoint(x + kLineColumn / 2, kPortLampY + kPortLamp / 2), kPortLamp,
                     high, kPortLit);
            const QRect name(x, kPortLampY + kPortLamp + 6, kLineColumn, 16);
            painter.setPen(kText);
            painter.setFont(bold);
            painter.drawText(name, Qt::AlignHCenter, QString::fromLatin1(kLines[line].name));
            painter.setPen(kDimText);
            painter.setFont(small);
            painter.drawText(name.translated(0, 16), Qt::AlignHCenter,
                             QString::fromLatin1(kLines[line].band));
            painter.drawText(name.translated(0, 30), Qt::AlignHCenter,
                             QString::fromLatin1(kLines[line].connectorPin));
        }
    }

    void paintUsb(QPainter& painter, const QFont& bold, const QFont& small) {
        painter.setPen(kText);
        painter.setFont(bold);
        painter.drawText(kMargin, kUsbTitleY + 12, QStringLiteral("USB light device"));
        for (int pin = 0; pin < 18; ++pin) {
            const int x = pinX(pin);
            const bool on = picture_.usbPlugged && ((picture_.pins >> pin) & 1u);
            drawLamp(painter, QPoint(x + kPinColumn / 2, kUsbLampY + kUsbLamp / 2), kUsbLamp, on,
                     kUsbLit);
            painter.setPen(picture_.usbPlugged ? kText : kDimText);
            painter.setFont(small);
            painter.drawText(QRect(x, kUsbLampY + kUsbLamp + 4, kPinColumn, 16), Qt::AlignHCenter,
                             QString::fromLatin1(kPins[pin]));
        }
    }

    void paintChart(QPainter& painter, const QFont& bold, const QFont& small, int64_t now) {
        painter.setPen(kText);
        painter.setFont(bold);
        painter.drawText(kMargin, kChartTitleY + 12, QStringLiteral("Port lines, last 5 s"));

        const int left = kMargin + kChartLabels;
        const int width = kWidth - kMargin - left;
        const int64_t span = LightPanelWindow::kChartNanoseconds;
        const int64_t start = now - span;
        const auto xOf = [&](int64_t t) {
            const int64_t clamped = std::clamp(t, start, now);
            return left + static_cast<int>((clamped - start) * width / span);
        };

        painter.setPen(Qt::NoPen);
        painter.setBrush(kChartBack);
        painter.drawRect(left, kChartY, width, 12 * kChartRow);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setBrush(kPortLit);
        const std::vector<LightPanelLineSample>& history = picture_.history;
        for (size_t i = 0; i < history.size(); ++i) {
            const int64_t from = history[i].nanoseconds;
            const int64_t to = i + 1 < history.size() ? history[i + 1].nanoseconds : now;
            if (to <= start) {
                continue;
            }
            const int x0 = xOf(from);
            const int x1 = std::max(xOf(to), x0 + 1);
            for (int line = 0; line < 12; ++line) {
                if ((history[i].lines >> line) & 1u) {
                    painter.drawRect(x0, kChartY + line * kChartRow + 2, x1 - x0, kChartRow - 4);
                }
            }
        }
        painter.setRenderHint(QPainter::Antialiasing, true);

        painter.setFont(small);
        for (int line = 0; line < 12; ++line) {
            painter.setPen(kDimText);
            painter.drawText(
                QRect(kMargin, kChartY + line * kChartRow, kChartLabels - 6, kChartRow),
                Qt::AlignRight | Qt::AlignVCenter, QString::fromLatin1(kLines[line].name));
        }
        // One tick a second, "-5 s" at the left edge to "now" at the right.
        for (int second = 0; second <= 5; ++second) {
            const int x = left + width * second / 5;
            painter.setPen(QColor(0x5f, 0x63, 0x68));
            painter.drawLine(x, kChartY + 12 * kChartRow, x, kChartY + 12 * kChartRow + 4);
            painter.setPen(kDimText);
            const QString text =
                second == 5 ? QStringLiteral("now") : QStringLiteral("-%1 s").arg(5 - second);
            painter.drawText(QRect(x - 30, kChartY + 12 * kChartRow + 5, 60, 16), Qt::AlignHCenter,
                             text);
        }
    }

    QCheckBox* plugged_ = nullptr;
    LightPanelPicture picture_;
};

}  // namespace

struct LightPanelWindow::Parts {
    std::unique_ptr<QApplication> application;
    std::unique_ptr<PanelView> view;
    std::unique_ptr<QTimer> frames;
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
    std::function<void(LightPanelPicture&)> source;
    bool dirty = true;

    // One frame: fetch the picture when it changed and draw it. The timer goes on while the
    // chart moves and stops when there is nothing left to draw.
    void frame() {
        const int64_t now = monotonicNow();
        if (dirty && source) {
            source(view->picture());
            if (view->plugged()->isChecked() != view->picture().usbPlugged) {
                const QSignalBlocker quiet(view->plugged());
                view->plugged()->setChecked(view->picture().usbPlugged);
            }
        }
        const bool active = view->chartActive(now);
        if (dirty || active) {
            view->update();
        }
        dirty = false;
        if (!active) {
            frames->stop();
        }
    }
};

LightPanelWindow::LightPanelWindow(int& argc, char** argv) : parts_(std::make_unique<Parts>()) {
    parts_->application = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(QStringLiteral("glowtern-panel"));
    parts_->view = std::make_unique<PanelView>();
    parts_->frames = std::make_unique<QTimer>();
    parts_->frames->setInterval(1000 / kFramesPerSecond);
    QObject::connect(parts_->frames.get(), &QTimer::timeout,
                     [parts = parts_.get()] { parts->frame(); });
}

LightPanelWindow::~LightPanelWindow() {
    parts_->notifiers.clear();
    parts_->frames.reset();
    parts_->view.reset();
    parts_->application.reset();
}

void LightPanelWindow::watch(int fd, std::function<void()> handler) {
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated,
                     [handler = std::move(handler)] { handler(); });
    parts_->notifiers.push_back(std::move(notifier));
}

void LightPanelWindow::setPictureSource(std::function<void(LightPanelPicture&)> source) {
    parts_->source = std::move(source);
    changed();
}

void LightPanelWindow::setUsbPluggedHandler(std::function<void(bool)> handler) {
    QObject::connect(parts_->view->plugged(), &QCheckBox::toggled,
                     [handler = std::move(handler)](bool checked) { handler(checked); });
}

void LightPanelWindow::changed() {
    parts_->dirty = true;
    if (!parts_->frames->isActive()) {
        parts_->frames->start();
    }
}

int LightPanelWindow::run() {
    parts_->view->show();
    changed();
    QApplication::exec();
    return 0;
}

void LightPanelWindow::quit() {
    QApplication::quit();
}

}  // namespace glowtern
