// The main window on the Qt backend: each control built as its table entry says, the window's
// place, user actions as events, and writes from a second thread shown in the widgets.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <atomic>
#include <thread>
#include <tuple>

#include "app/main_window.h"
#include "engine/bands.h"
#include "engine/control_ids.h"
#include "toolkit/qt/qt_toolkit.h"

namespace glowtern {
namespace {

int argumentCount = 1;
char programName[] = "glowtern_gui_tests";
char* arguments[] = {programName, nullptr};

class MainWindowTest : public ::testing::Test {
  protected:
    MainWindowTest() : toolkit(argumentCount, arguments) {
        OpenMainWindow(toolkit, 40, 50);
        CreateMainWindowControls(toolkit);
    }

    template <typename T>
    T* widget(int id) {
        return dynamic_cast<T*>(toolkit.controlWidget(id));
    }

    // What the window shows of a level meter now.
    QImage meterPicture(int id) {
        return toolkit.controlWidget(id)->grab(toolkit.meterRect(id)).toImage();
    }

    QtToolkit toolkit;
};

TEST_F(MainWindowTest, EachControlIsBuiltAsItsTableEntrySays) {
    auto colour = [](Rgb rgb) { return QColor(rgb.red, rgb.green, rgb.blue); };
    for (const ControlSpec& control : MainWindowControls()) {
        SCOPED_TRACE("control " + std::to_string(control.id));
        QWidget* shown = toolkit.controlWidget(control.id);
        ASSERT_NE(shown, nullptr);
        EXPECT_EQ(shown->parentWidget(), toolkit.mainWindowWidget());
        // The meters are places in one widget that draws them all.
        const bool meter = control.kind == ControlKind::Image;
        EXPECT_EQ(
            meter ? toolkit.meterRect(control.id).translated(shown->pos()) : shown->geometry(),
            QRect(control.x, control.y, control.width, control.height));
        if (auto* bar = widget<QScrollBar>(control.id)) {
            // Positions run from minimum to maximum - page, 0 at the top.
            EXPECT_EQ(std::tuple(bar->minimum(), bar->maximum(), bar->pageStep(), bar->singleStep(),
                                 bar->value(), bar->orientation(), bar->invertedAppearance()),
                      std::tuple(control.minimum, control.maximum - control.page, control.page, 1,
                                 control.initialState,
                                 control.vertical ? Qt::Vertical : Qt::Horizontal, false));
            EXPECT_EQ(bar->toolTip().toStdString(), control.tooltip);
        } else if (auto* list = widget<QComboBox>(control.id)) {
            ASSERT_EQ(list->count(), static_cast<int>(control.items.size()));
            for (int i = 0; i < list->count(); ++i) {
                EXPECT_EQ(list->itemText(i).toStdString(), control.items[i]);
            }
            EXPECT_EQ(list->currentIndex(), control.initialState);
            EXPECT_GE(list->maxVisibleItems(), 15) << "the open list is as tall as its table says";
        } else if (meter) {
            const QImage picture = meterPicture(control.id);
            EXPECT_EQ(picture.size(), QSize(control.width, control.height));
            EXPECT_EQ(picture.pixelColor(3, 40), QColor(Qt::black));
        } else if (auto* label = widget<QLabel>(control.id)) {
            EXPECT_EQ(label->text().toStdString(), control.text);
            EXPECT_EQ((label->alignment() & Qt::AlignHCenter) != 0, control.centred);
            const QPalette palette = label->palette();
            EXPECT_TRUE(!control.coloured ||
                        palette.color(QPalette::WindowText) == colour(control.textColour));
            EXPECT_TRUE(control.kind != ControlKind::TextLabel || !control.coloured ||
                        palette.color(QPalette::Window) == colour(control.backgroundColour));
        } else {
            auto* button = widget<QAbstractButton>(control.id);
            ASSERT_NE(button, nullptr);
            EXPECT_EQ(button->text().toStdString(), control.text);
            EXPECT_EQ(button->isChecked(), control.initialState == 1);
        }
        if (control.kind == ControlKind::LinkLabel) {
            EXPECT_EQ(std::tuple(shown->font().family().toStdString(),
                                 QFontInfo(shown->font()).pointSize(), shown->font().underline(),
                                 shown->cursor().shape()),
                      std::tuple(std::string(control.font.family), control.font.pointSize, true,
                                 Qt::PointingHandCursor));
        } else if (!meter) {
            EXPECT_EQ(shown->font(), QApplication::font()) << "the desktop's default font";
        }
    }
}

// A stored place off every screen (a screen since unplugged, a hand-edited file) is brought
// onto the nearest screen; a visible place is kept as stored.
TEST(MainWindowPlace, WindowIsShownWhereItCanBeReached) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const std::pair<QPoint, QPoint> places[] = {
        {{100000, -50000}, {area.right() + 1 - 315, area.top()}}, {{200, 150}, {200, 150}}};
    for (const auto& [stored, shown] : places) {
        QtToolkit toolkit(argumentCount, arguments);
        OpenMainWindow(toolkit, stored.x(), stored.y());
        toolkit.showMainWindow();
        toolkit.restoreMainWindow();
        QApplication::processEvents();
        const QRect frame = toolkit.mainWindowWidget()->frameGeometry();
        EXPECT_EQ(frame.topLeft(), shown);
        EXPECT_TRUE(area.contains(frame));
        EXPECT_EQ(QPoint(toolkit.mainWindowPosition().x, toolkit.mainWindowPosition().y), shown);
    }
}

TEST_F(MainWindowTest, UserActionsCloseAndMinimiseBecomeEvents) {
    QWidget* window = toolkit.mainWindowWidget();
    toolkit.showMainWindow();
    widget<QPushButton>(kAutoButton)->click();
    widget<QCheckBox>(kKeyCheckBox)->click();
    auto* bar = widget<QScrollBar>(bandSlider(2));
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
    auto* list = widget<QComboBox>(outputSelector(7));
    list->setCurrentIndex(4);
    emit list->activated(4);
    widget<QScrollBar>(kLevelSlider)->triggerAction(QAbstractSlider::SliderSingleStepSub);
    window->close();
    EXPECT_TRUE(window->isVisible()) << "closing is the program's decision";
    window->setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();

    // The check box has toggled by the time its event is taken.
    ControlModel& controls = toolkit.controls();
    EXPECT_EQ(std::tuple(controls.state(kKeyCheckBox), controls.state(bandSlider(2)),
                         controls.state(outputSelector(7)), controls.state(kLevelSlider)),
              std::tuple(0, 15 + 1 + 1, 4, 34));
    std::vector<std::pair<int, int>> events;
    toolkit.postEvent({.number = -1});  // a marker, so the wait returns at once
    for (Event event = toolkit.waitEvent(); event.number != -1; event = toolkit.waitEvent()) {
        events.emplace_back(event.number, event.number == kControlEvent ? event.id : 0);
    }
    using P = std::pair<int, int>;
    EXPECT_THAT(events, ::testing::ElementsAre(
                            P(kControlEvent, kAutoButton), P(kControlEvent, kKeyCheckBox),
                            P(kControlEvent, bandSlider(2)), P(kControlEvent, bandSlider(2)),
                            P(kControlEvent, outputSelector(7)), P(kControlEvent, kLevelSlider),
                            P(kCloseEvent, 0), P(kMinimiseEvent, 0)));
    toolkit.closeMainWindow();
    EXPECT_FALSE(window->isVisible());
}

// The worker sets states and meter pictures while the user works the same controls; no crash,
// no torn picture, and after the flush each widget shows the last state written.
TEST_F(MainWindowTest, SecondThreadWritesWhileTheUserWorksTheWindow) {
    toolkit.showMainWindow();
    ControlModel& controls = toolkit.controls();
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread worker([&] {
        Image picture(8, 70);
        for (int i = 0; !stop.load(); ++i, ++rounds) {
            controls.setState(bandSlider(1 + i % 18), i % 40);
            controls.setState(kKeyCheckBox, i % 2);
            controls.setState(outputSelector(1 + i % 18), i % 20 - 1);
            picture.fillRectangle(0, 0, 8, 70, {static_cast<uint8_t>(i), uint8_t(i >> 8), 7});
            controls.setImage(levelMeter(1 + i % 18), picture);
        }
    });
    auto* bar = widget<QScrollBar>(bandSlider(1));
    auto* box = widget<QCheckBox>(kKeyCheckBox);
    auto* list = widget<QComboBox>(outputSelector(1));
    for (int i = 0; i < 2000 || rounds.load() < 5000; ++i) {
        bar->triggerAction(i % 2 ? QAbstractSlider::SliderPageStepAdd
                                 : QAbstractSlider::SliderSingleStepSub);
        box->click();
        list->setCurrentIndex(i % 19);
        emit list->activated(i % 19);
        QApplication::processEvents();
        // Every picture shown is one whole picture: a single colour.
        const QImage shown = meterPicture(levelMeter(1 + i % 18));
        ASSERT_EQ(shown.pixelColor(0, 0), shown.pixelColor(7, 69));
    }
    stop = true;
    worker.join();
    for (const int last : {0, 1}) {
        controls.setState(bandSlider(1), 33 + last);
        controls.setState(outputSelector(1), 12 + last);
        controls.setState(kKeyCheckBox, last);
        toolkit.setControlText(kDeviceStatusLabel, last ? "Device ON" : "Device OFF");
        QApplication::processEvents();
        toolkit.flush();
        EXPECT_EQ(std::tuple(bar->value(), list->currentIndex(), box->isChecked(),
                             widget<QLabel>(kDeviceStatusLabel)->text().toStdString()),
                  std::tuple(33 + last, 12 + last, last == 1, last ? "Device ON" : "Device OFF"));
    }
}

}  // namespace
}  // namespace glowtern
