// The main window on the Qt backend: every control against its table, the state
// rules, focus order, the frame, control events, and writes from a second thread.

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
#include <QWidget>
#include <atomic>
#include <memory>
#include <thread>

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
        auto* found = dynamic_cast<T*>(toolkit.controlWidget(id));
        EXPECT_NE(found, nullptr) << "control " << id;
        return found;
    }

    // What the window shows of a level meter now.
    QImage meterPicture(int id) {
        return toolkit.controlWidget(id)->grab(toolkit.meterRect(id)).toImage();
    }

    // Takes queued events without blocking; fails when there are none.
    std::vector<Event> takeEvents() {
        QApplication::processEvents();
        std::vector<Event> events;
        toolkit.postEvent({.number = -1});  // a marker, so the wait returns at once
        for (Event event = toolkit.waitEvent(); event.number != -1; event = toolkit.waitEvent()) {
            events.push_back(event);
        }
        return events;
    }

    QtToolkit toolkit;
};

TEST_F(MainWindowTest, EveryControlMatchesItsTable) {
    const std::span<const ControlSpec> table = MainWindowControls();
    ASSERT_EQ(table.size(), 1u + 18 + 3 + 2 + 1 + 2 + 18 + 18 + 18);
    for (const ControlSpec& control : table) {
        SCOPED_TRACE("control " + std::to_string(control.id));
        QWidget* shown = toolkit.controlWidget(control.id);
        ASSERT_NE(shown, nullptr);
        // The meters are places in one widget that draws them all.
        const QRect place = control.kind == ControlKind::Image
                                ? toolkit.meterRect(control.id).translated(shown->pos())
                                : shown->geometry();
        EXPECT_EQ(place, QRect(control.x, control.y, control.width, control.height));
        EXPECT_EQ(shown->parentWidget(), toolkit.mainWindowWidget());
        switch (control.kind) {
            case ControlKind::ScrollBar: {
                auto* bar = widget<QScrollBar>(control.id);
                EXPECT_EQ(bar->minimum(), control.minimum);
                EXPECT_EQ(bar->maximum(), control.maximum - control.page);
                EXPECT_EQ(bar->pageStep(), control.page);
                EXPECT_EQ(bar->singleStep(), 1);
                EXPECT_EQ(bar->orientation(), control.vertical ? Qt::Vertical : Qt::Horizontal);
                EXPECT_FALSE(bar->invertedAppearance()) << "position 0 at the top";
                EXPECT_EQ(bar->value(), control.initialState);
                EXPECT_EQ(bar->toolTip().toStdString(), std::string(control.tooltip));
                break;
            }
            case ControlKind::CheckBox:
                EXPECT_TRUE(widget<QCheckBox>(control.id)->isChecked());
                EXPECT_EQ(widget<QCheckBox>(control.id)->text().toStdString(), control.text);
                break;
            case ControlKind::PushButton:
                EXPECT_EQ(widget<QPushButton>(control.id)->text().toStdString(), control.text);
                break;
            case ControlKind::DropDownList: {
                auto* list = widget<QComboBox>(control.id);
                ASSERT_EQ(list->count(), 19);
                EXPECT_EQ(list->itemText(0), "No");
                EXPECT_EQ(list->itemText(18), "18");
                EXPECT_EQ(list->currentIndex(), -1);
                EXPECT_FALSE(list->isEditable());
                EXPECT_GE(list->maxVisibleItems(), 15);
                break;
            }
            case ControlKind::Image: {
                const QImage picture = meterPicture(control.id);
                EXPECT_EQ(picture.size(), QSize(8, 70));
                EXPECT_EQ(picture.pixelColor(3, 40), QColor(Qt::black));
                break;
            }
            case ControlKind::TextLabel:
            case ControlKind::LinkLabel:
                EXPECT_EQ(widget<QLabel>(control.id)->text().toStdString(), control.text);
                break;
            default:
                break;
        }
    }
    // Texts and places the table is easy to get wrong.
    EXPECT_EQ(widget<QLabel>(kDeviceStatusLabel)->text(), "Device OFF");
    EXPECT_EQ(widget<QLabel>(kDeviceStatusLabel)->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    EXPECT_EQ(widget<QLabel>(kDeviceStatusLabel)->palette().color(QPalette::WindowText),
              QColor(255, 0, 0));
    EXPECT_EQ(widget<QLabel>(kDeviceStatusLabel)->palette().color(QPalette::Window),
              QColor(0, 0, 0));
    EXPECT_EQ(widget<QScrollBar>(bandSlider(1))->toolTip(), "13 Hz");
    EXPECT_EQ(widget<QScrollBar>(bandSlider(18))->toolTip(), "10250 Hz");
    EXPECT_EQ(widget<QScrollBar>(bandSlider(18))->x(), 163);
    EXPECT_EQ(toolkit.controlWidget(levelMeter(5))->x() + toolkit.meterRect(levelMeter(5)).x(),
              toolkit.controlWidget(bandSlider(5))->x());
    EXPECT_EQ(widget<QLabel>(46)->text(), "PD0");
    EXPECT_EQ(widget<QLabel>(63)->text(), "PC5");
    EXPECT_EQ(toolkit.controlWidget(outputSelector(10))->geometry(), QRect(270, 4, 40, 21));
    EXPECT_EQ(toolkit.controlWidget(outputSelector(9))->geometry(), QRect(200, 204, 40, 21));
    EXPECT_EQ(toolkit.controlWidget(kRndButton)->geometry(), QRect(65, 205, 50, 20));

    auto* link = widget<QLabel>(kLinkLabel);
    EXPECT_EQ(QFontInfo(link->font()).pointSize(), 10);
    EXPECT_EQ(link->font().family(), "Arial");
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    // Every other control keeps the desktop's default font.
    EXPECT_EQ(widget<QPushButton>(kManualButton)->font(), QApplication::font());
}

TEST_F(MainWindowTest, StatesAreClampedAndShownInTheWidgets) {
    ControlModel& controls = toolkit.controls();
    controls.setState(bandSlider(3), 45);
    controls.setState(kLevelSlider, 61);
    controls.setState(kAruSlider, 0);
    controls.setState(outputSelector(1), 19);
    controls.setState(outputSelector(2), -1);
    controls.setState(outputSelector(3), 0);
    controls.setState(outputSelector(4), 5);
    controls.setState(kKeyCheckBox, 7);
    controls.setState(kLptCheckBox, 0);
    toolkit.flush();

    EXPECT_EQ(controls.state(bandSlider(3)), 39);
    EXPECT_EQ(widget<QScrollBar>(bandSlider(3))->value(), 39);
    EXPECT_EQ(controls.state(kLevelSlider), 60);
    EXPECT_EQ(widget<QScrollBar>(kLevelSlider)->value(), 60);
    EXPECT_EQ(controls.state(kAruSlider), 1);
    EXPECT_EQ(widget<QScrollBar>(kAruSlider)->value(), 1);
    EXPECT_EQ(controls.state(outputSelector(1)), -1);
    EXPECT_EQ(widget<QComboBox>(outputSelector(1))->currentIndex(), -1);
    EXPECT_EQ(controls.state(outputSelector(2)), -1);
    EXPECT_EQ(controls.state(outputSelector(3)), 0);
    EXPECT_EQ(widget<QComboBox>(outputSelector(3))->currentText(), "No");
    EXPECT_EQ(widget<QComboBox>(outputSelector(4))->currentText(), "5");
    EXPECT_EQ(controls.state(kKeyCheckBox), 1);
    EXPECT_FALSE(widget<QCheckBox>(kLptCheckBox)->isChecked());

    toolkit.setControlText(kDeviceStatusLabel, "Device ON");
    toolkit.flush();
    EXPECT_EQ(widget<QLabel>(kDeviceStatusLabel)->text(), "Device ON");
}

TEST_F(MainWindowTest, TabVisitsButtonsBoxesAndListsInCreationOrder) {
    std::vector<int> focusable;
    for (const ControlSpec& control : MainWindowControls()) {
        const Qt::FocusPolicy policy = toolkit.controlWidget(control.id)->focusPolicy();
        if (policy & Qt::TabFocus) {
            focusable.push_back(control.id);
        }
    }
    std::vector<int> expected = {kManualButton, kAutoButton, kRndButton, kKeyCheckBox,
                                 kLptCheckBox};
    for (int output = 1; output <= 18; ++output) {
        expected.push_back(outputSelector(output));
    }
    EXPECT_EQ(focusable, expected);

    // The chain itself, as Tab walks it, and Shift+Tab the other way.
    std::map<QWidget*, int> ids;
    for (const ControlSpec& control : MainWindowControls()) {
        ids[toolkit.controlWidget(control.id)] = control.id;
    }
    std::vector<int> walked;
    QWidget* current = toolkit.controlWidget(kManualButton);
    for (size_t step = 0; step < expected.size(); ++step) {
        walked.push_back(ids[current]);
        do {
            current = current->nextInFocusChain();
        } while (!(current->focusPolicy() & Qt::TabFocus) || ids.count(current) == 0);
    }
    EXPECT_EQ(walked, expected);

    std::vector<int> walkedBack;
    current = toolkit.controlWidget(outputSelector(18));
    for (size_t step = 0; step < expected.size(); ++step) {
        walkedBack.insert(walkedBack.begin(), ids[current]);
        do {
            current = current->previousInFocusChain();
        } while (!(current->focusPolicy() & Qt::TabFocus) || ids.count(current) == 0);
    }
    EXPECT_EQ(walkedBack, expected);
}

TEST_F(MainWindowTest, WindowIsFixedWithoutMaximise) {
    QWidget* window = toolkit.mainWindowWidget();
    EXPECT_EQ(window->windowTitle(), "Glowtern");
    EXPECT_EQ(window->minimumSize(), QSize(315, 245));
    EXPECT_EQ(window->maximumSize(), QSize(315, 245));
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(window->isVisible()) << "opened hidden";
    EXPECT_FALSE(window->windowIcon().isNull());
    toolkit.showMainWindow();
    toolkit.restoreMainWindow();
    window->resize(600, 500);
    EXPECT_EQ(window->size(), QSize(315, 245));
    EXPECT_EQ(toolkit.mainWindowPosition().x, 40);
    EXPECT_EQ(toolkit.mainWindowPosition().y, 50);
}

// A stored place off every screen (a screen since unplugged, a hand-edited file)
// is brought onto the nearest screen; a visible place is kept as stored.
TEST(MainWindowPlace, WindowIsShownWhereItCanBeReached) {
    struct Case {
        QPoint stored;
        QPoint shown;
    };
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    for (const Case& place : {Case{{100000, -50000}, {area.right() + 1 - 315, area.top()}},
                              Case{{200, 150}, {200, 150}}}) {
        SCOPED_TRACE(place.stored.x());
        QtToolkit toolkit(argumentCount, arguments);
        OpenMainWindow(toolkit, place.stored.x(), place.stored.y());
        toolkit.showMainWindow();
        toolkit.restoreMainWindow();
        QApplication::processEvents();
        const QRect frame = toolkit.mainWindowWidget()->frameGeometry();
        EXPECT_EQ(frame.topLeft(), place.shown);
        EXPECT_TRUE(area.contains(frame));
        EXPECT_EQ(toolkit.mainWindowPosition().x, place.shown.x());
        EXPECT_EQ(toolkit.mainWindowPosition().y, place.shown.y());
    }
}

TEST_F(MainWindowTest, UserActionsRaiseControlEvents) {
    toolkit.showMainWindow();
    widget<QPushButton>(kAutoButton)->click();
    widget<QCheckBox>(kKeyCheckBox)->click();
    auto* bar = widget<QScrollBar>(bandSlider(2));
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
    auto* list = widget<QComboBox>(outputSelector(7));
    list->setCurrentIndex(4);
    emit list->activated(4);
    auto* meterSlider = widget<QScrollBar>(kLevelSlider);
    meterSlider->triggerAction(QAbstractSlider::SliderSingleStepSub);

    ControlModel& controls = toolkit.controls();
    EXPECT_EQ(controls.state(kKeyCheckBox), 0) << "the box toggled before its event";
    EXPECT_EQ(controls.state(bandSlider(2)), 15 + 1 + 1);
    EXPECT_EQ(controls.state(outputSelector(7)), 4);
    EXPECT_EQ(controls.state(kLevelSlider), 34);

    std::vector<int> ids;
    for (const Event& event : takeEvents()) {
        EXPECT_EQ(event.number, kControlEvent);
        ids.push_back(event.id);
    }
    EXPECT_THAT(ids, ::testing::ElementsAre(kAutoButton, kKeyCheckBox, bandSlider(2), bandSlider(2),
                                            outputSelector(7), kLevelSlider));
}

TEST_F(MainWindowTest, CloseAndMinimiseBecomeEvents) {
    QWidget* window = toolkit.mainWindowWidget();
    toolkit.showMainWindow();
    window->close();
    EXPECT_TRUE(window->isVisible()) << "closing is the program's decision";
    window->setWindowState(Qt::WindowMinimized);
    std::vector<int> numbers;
    for (const Event& event : takeEvents()) {
        numbers.push_back(event.number);
    }
    EXPECT_THAT(numbers, ::testing::ElementsAre(kCloseEvent, kMinimiseEvent));
    toolkit.closeMainWindow();
    EXPECT_FALSE(window->isVisible());
}

// The worker sets states and meter pictures while the user works the same controls;
// no crash, no torn picture, the last write wins, and the writer never waits.
TEST_F(MainWindowTest, SecondThreadWritesWhileTheUserWorksTheWindow) {
    toolkit.showMainWindow();
    ControlModel& controls = toolkit.controls();
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread worker([&] {
        Image picture(8, 70);
        for (int i = 0; !stop.load(); ++i) {
            controls.setState(bandSlider(1 + i % 18), i % 40);
            controls.setState(kKeyCheckBox, i % 2);
            controls.setState(outputSelector(1 + i % 18), i % 20 - 1);
            const Rgb colour{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 7};
            picture.fillRectangle(0, 0, 8, 70, colour);
            controls.setImage(levelMeter(1 + i % 18), picture);
            volatile int32_t sink = controls.state(kLevelSlider) + controls.state(kLptCheckBox);
            (void)sink;
            ++rounds;
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

    controls.setState(bandSlider(1), 33);
    controls.setState(outputSelector(1), 12);
    QApplication::processEvents();
    toolkit.flush();
    EXPECT_EQ(widget<QScrollBar>(bandSlider(1))->value(), 33);
    EXPECT_EQ(widget<QComboBox>(outputSelector(1))->currentIndex(), 12);
    takeEvents();
}

}  // namespace
}  // namespace glowtern
