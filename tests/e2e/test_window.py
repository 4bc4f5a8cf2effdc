# The tray icon, its menu and the main window, used with the mouse and the keyboard.

from harness import (CLIENT_SIZE, SCREEN_WIDTH, STATUS_LABEL, TRAY_ABOUT, TRAY_CLOSE, TRAY_OPEN,
                     GlowternTestCase, defaults_file, poll_until)


class WindowTest(GlowternTestCase):
    def assert_shown_restored_and_active(self):
        window = self.wait_window_shown()
        info = self.screen.info(window.id)
        self.assertEqual((info["width"], info["height"]), CLIENT_SIZE)
        self.assertIn("Normal", self.screen.prop(window.id, "WM_STATE"))
        self.assertNotRegex(self.screen.prop(window.id, "_NET_WM_STATE"), "HIDDEN|MAXIMIZED")
        return window

    def count_red(self, shot, info, x=0, y=0, width=None, height=None):
        pixels = self.screen.pixels(shot, info["x"] + x, info["y"] + y, width or info["width"],
                                    height or info["height"])
        return sum(1 for r, g, b in pixels if r > 150 and g < 80 and b < 80), pixels

    def test_tray_menu_and_window(self):
        glowtern = self.start()
        poll_until(self.screen.tray_icon, 20, "the tray icon")
        # The menu opens with its top-left corner one pixel up and left of the pointer, moved
        # left only as far as the screen needs. Escape closes it without a choice.
        menu, pointer = self.open_tray_menu()
        self.assertEqual((menu["x"], menu["y"]),
                         (min(pointer[0] - 1, SCREEN_WIDTH - menu["width"]), pointer[1] - 1))
        self.bench.screenshot("tray-menu")
        self.screen.key("Escape")
        poll_until(lambda: not self.screen.popups(), 10, "the menu to close")
        self.assertFalse(self.screen.main_window_visible())

        # About: a box with the blue information icon; the lamps go on meanwhile.
        self.choose_from_tray_menu(TRAY_ABOUT)
        box = poll_until(self.screen.message_box, 20, "the About box")
        self.assertEqual(box.name.strip(), "", "the box's caption is empty")
        glowtern.wait_cycles(10)
        red, pixels = self.count_red(self.bench.screenshot("about"), self.screen.info(box.id))
        self.assertLess(red, 10, "a red (error) icon in the About box")
        self.assertGreater(sum(1 for r, g, b in pixels if b > 120 and r < 90), 20)
        self.screen.key("Return")
        poll_until(lambda: not self.screen.message_box(), 10, "the About box to close")

        # A left press shows the window restored and active, at the stored place (0, 0
        # without a file); it cannot be maximised or resized.
        window = self.open_window_from_tray()
        self.assert_shown_restored_and_active()
        self.assertEqual(self.screen.frame_corner(window.id), (0, 0))
        hints = self.screen.prop(window.id, "WM_NORMAL_HINTS")
        for kind in ("minimum", "maximum"):
            self.assertIn(f"{kind} size: {CLIENT_SIZE[0]} by {CLIENT_SIZE[1]}", hints)
        actions = self.screen.prop(window.id, "_NET_WM_ALLOWED_ACTIONS")
        self.assertIn("_NET_WM_ACTION_MINIMIZE", actions)
        self.assertNotRegex(actions, "MAXIMIZE|_NET_WM_ACTION_RESIZE")
        # The title bar's maximise button (drawn disabled) and a resize request change nothing.
        self.click_title_bar_button(window, 1)
        self.screen.run("xdotool", "windowsize", str(window.id), "600", "500")
        glowtern.wait_cycles(10)  # (what does not happen cannot be waited for)
        self.assert_shown_restored_and_active()
        # The status line: red text on black ("Device OFF": no light device here).
        x, y, width, height = STATUS_LABEL
        red, pixels = self.count_red(self.bench.screenshot("window"), self.screen.info(window.id),
                                     x, y, width, height)
        self.assertGreater(pixels.count((0, 0, 0)), 0.6 * len(pixels), "no black status line")
        self.assertGreater(red, 20, "no red text on the status line")

        # Minimising hides the window to the tray, a left press brings it back; "Close"
        # hides it (twice changes nothing), "Open" shows it, and so does a double click
        # (through its first press: the second does nothing). The show goes on meanwhile.
        self.click_title_bar_button(window, 2)
        self.wait_window_hidden()
        glowtern.wait_cycles(5)
        self.open_window_from_tray()
        self.assert_shown_restored_and_active()
        for item in (TRAY_CLOSE, TRAY_CLOSE):
            self.choose_from_tray_menu(item)
            self.wait_window_hidden()
        self.assertTrue(glowtern.running())
        self.choose_from_tray_menu(TRAY_OPEN)
        self.assert_shown_restored_and_active()
        self.choose_from_tray_menu(TRAY_CLOSE)
        self.wait_window_hidden()
        self.screen.click_tray_icon(1)
        self.screen.run("xdotool", "click", "1")  # (a double click)
        glowtern.wait_cycles(5)
        self.assert_shown_restored_and_active()
        self.assertEqual(self.screen.popups(), [])

        # Output selectors: OUT1's list drops down and typing picks "17"; OUT18's, reached
        # with Tab from OUT17, takes "No".
        self.screen.click_in_window((220, 14))
        poll_until(self.screen.popups, 10, "OUT1's list to drop down")
        self.screen.key("1", "7", "Return")
        poll_until(lambda: not self.screen.popups(), 10, "the list to close")
        self.screen.click_in_window((290, 189))
        poll_until(self.screen.popups, 10, "OUT17's list to drop down")
        self.screen.key("Escape", "Tab", "N")
        # Moved and then hidden, the window's place is kept all the same.
        self.screen.run("xdotool", "windowmove", str(window.id), "120", "80")
        poll_until(lambda: self.screen.frame_corner(window.id) == (120, 80), 10, "the move")
        self.bench.screenshot("selectors-set")
        self.choose_from_tray_menu(TRAY_CLOSE)
        self.wait_window_hidden()

        # Exit chosen with the mouse: the bottom row of the menu.
        menu, _ = self.open_tray_menu()
        self.screen.click(menu["x"] + menu["width"] // 2, menu["y"] + menu["height"] - 10)
        self.assert_ended_cleanly(glowtern, settings=defaults_file(
            outputs=[17] + [-1] * 16 + [0], x=120, y=80))
