"""The tray icon, its menu and the main window, used with the mouse and keyboard."""

from harness import (
    CLIENT_HEIGHT,
    CLIENT_WIDTH,
    SCREEN_WIDTH,
    STATUS_LABEL,
    GlowternTestCase,
    defaults_file,
    poll_until,
)


class WindowTest(GlowternTestCase):
    def assert_restored_and_active(self, window):
        self.assertEqual(self.screen.wm_state(window.id), "Normal")
        state = self.screen.net_wm_state(window.id)
        self.assertNotIn("HIDDEN", state)
        self.assertNotIn("MAXIMIZED", state)
        self.assertEqual(self.screen.active_window(), window.id)

    def test_left_press_shows_the_window_restored_and_active_also_after_minimising(self):
        glowtern = self.start()
        self.wait_tray_icon()
        window = self.open_window_from_tray()
        self.assert_restored_and_active(window)
        # Opened at the stored position, 0, 0 without a file: the frame's corner is there.
        info = self.screen.info(window.id)
        left, right, top, bottom = self.screen.frame_extents(window.id)
        self.assertEqual((info["x"] - left, info["y"] - top), (0, 0))
        self.assertEqual((info["width"], info["height"]), (CLIENT_WIDTH, CLIENT_HEIGHT))
        self.bench.screenshot("opened")

        # Minimising hides the window to the tray; the show goes on meanwhile.
        self.click_minimise_button(window)
        self.wait_window_hidden()
        self.assertIsNotNone(self.screen.tray_icon())
        glowtern.wait_port_writes(10)

        window = self.open_window_from_tray()
        self.assert_restored_and_active(window)
        self.bench.screenshot("reopened")

        # "Close" hides it, "Open" brings it back; closing a hidden window changes nothing.
        self.choose_from_tray_menu(2)
        self.wait_window_hidden()
        glowtern.wait_port_writes(10)
        self.choose_from_tray_menu(2)
        glowtern.wait_port_writes(4)
        self.assertFalse(self.screen.main_window_visible())
        self.assertTrue(glowtern.running())
        self.choose_from_tray_menu(1)
        window = self.wait_window_shown()
        self.assert_restored_and_active(window)

        # A double click opens the window through its first press; the second does nothing.
        self.choose_from_tray_menu(2)
        self.wait_window_hidden()
        self.screen.double_click_tray_icon(1)
        window = self.wait_window_shown()
        glowtern.wait_port_writes(10)
        self.assert_restored_and_active(window)
        self.assertEqual(self.screen.top_level_windows(), [])

        # Exit from the menu while the window is shown.
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        self.assertEqual(self.read_settings(glowtern), defaults_file())
        port = glowtern.port()
        self.assert_port_protocol(port)
        self.assert_outputs_off_last(port)

    def test_tray_menu_opens_at_the_pointer_and_each_item_acts(self):
        glowtern = self.start()
        self.wait_tray_icon()
        menu, pointer = self.open_tray_menu()
        shot = self.bench.screenshot("tray-menu")
        # Top-left corner one pixel up and left of the pointer, moved left only as far
        # as needed to stay on the screen.
        self.assertEqual(menu["y"], pointer[1] - 1)
        self.assertEqual(menu["x"], min(pointer[0] - 1, SCREEN_WIDTH - menu["width"]))
        self.assertLessEqual(menu["x"], pointer[0])
        # Five items and a separator: the menu's picture has a horizontal line between the
        # fourth and the fifth item.
        self.assertGreater(menu["height"], 60)
        pixels = self.screen.pixels(shot, menu["x"], menu["y"], menu["width"], menu["height"])
        rows = [pixels[r * menu["width"]:(r + 1) * menu["width"]] for r in range(menu["height"])]
        background = rows[menu["height"] // 2][menu["width"] - 4]
        separator_rows = [
            r for r in range(2, menu["height"] - 2)
            if sum(1 for p in rows[r][8:-8] if p != background) > 0.9 * (menu["width"] - 16)
        ]
        self.assertTrue(separator_rows, "no separator line in the menu")
        self.assertTrue(menu["height"] * 0.55 < separator_rows[0] < menu["height"] * 0.9,
                        f"separator at row {separator_rows[0]} of {menu['height']}")
        # Escape closes the menu without a choice.
        self.screen.key("Escape")
        poll_until(lambda: not self.screen.top_level_windows(), 10, "the menu to close")
        self.assertFalse(self.screen.main_window_visible())

        # Item 1, "Open", shows the window; item 2, "Close", hides it again.
        self.choose_from_tray_menu(1)
        self.wait_window_shown()
        self.choose_from_tray_menu(2)
        self.wait_window_hidden()

        # Item 3, "About": a box with the information icon; the lamps keep being driven
        # while it is open.
        self.choose_from_tray_menu(3)

        box = poll_until(self.screen.message_box, 20, "the About box")
        self.assertEqual(box.name.strip(), "", "the box's caption is empty")
        before = glowtern.port().count()
        glowtern.wait_port_writes(20)
        self.assertTrue(self.screen.message_box(), "the About box went away by itself")
        shot = self.bench.screenshot("about")
        info = self.screen.info(box.id)
        pixels = self.screen.pixels(shot, info["x"], info["y"], info["width"], info["height"])
        self.assertLess(sum(1 for r, g, b in pixels if r > 180 and g < 80 and b < 80), 10,
                        "a red (error) icon in the About box")
        self.assertGreater(sum(1 for r, g, b in pixels if b > 120 and r < 90), 20,
                           "no blue information icon in the About box")
        self.screen.key("Return")
        poll_until(lambda: not self.screen.message_box(), 10, "the About box to close")
        self.assertGreater(glowtern.port().count(), before)
        self.assertTrue(glowtern.running())

        # Item 4, "Exit", chosen with the mouse: the bottom row of the menu.
        menu, _ = self.open_tray_menu()
        self.screen.click(menu["x"] + menu["width"] // 2, menu["y"] + menu["height"] - 10)
        self.assertEqual(glowtern.wait_exit(), 0)
        self.assertEqual(self.read_settings(glowtern), defaults_file())
        port = glowtern.port()
        self.assert_port_protocol(port)
        self.assert_outputs_off_last(port)

    def test_a_band_chosen_for_an_output_is_kept_at_exit(self):
        glowtern = self.start()
        self.wait_tray_icon()
        self.open_window_from_tray()
        # OUT1's selector (x 200, y 4, 40 x 21): its list drops down; typing picks an item.
        self.screen.click_in_window((220, 14))
        poll_until(self.screen.top_level_windows, 10, "the selector's list to drop down")
        self.bench.screenshot("selector-open")
        self.screen.key("1", "7", "Return")
        poll_until(lambda: not self.screen.top_level_windows(), 10, "the list to close")
        # OUT18's selector, with the keyboard only: Tab moves there from OUT17.
        self.screen.click_in_window((290, 189))  # OUT17
        poll_until(self.screen.top_level_windows, 10, "OUT17's list to drop down")
        self.screen.key("Escape")
        poll_until(lambda: not self.screen.top_level_windows(), 10, "the list to close")
        self.screen.key("Tab", "N")  # "No"
        glowtern.wait_port_writes(4)
        self.bench.screenshot("selectors-set")
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        outputs = [-1] * 18
        outputs[0], outputs[17] = 17, 0
        self.assertEqual(self.read_settings(glowtern), defaults_file(outputs=outputs))

    def test_the_window_cannot_be_maximised_or_resized(self):
        glowtern = self.start()
        self.wait_tray_icon()
        window = self.open_window_from_tray()
        hints = self.screen.prop(window.id, "WM_NORMAL_HINTS")
        self.assertIn(f"minimum size: {CLIENT_WIDTH} by {CLIENT_HEIGHT}", hints)
        self.assertIn(f"maximum size: {CLIENT_WIDTH} by {CLIENT_HEIGHT}", hints)
        actions = self.screen.prop(window.id, "_NET_WM_ALLOWED_ACTIONS")
        self.assertIn("_NET_WM_ACTION_MINIMIZE", actions)
        self.assertIn("_NET_WM_ACTION_CLOSE", actions)
        self.assertNotIn("MAXIMIZE", actions)
        self.assertNotIn("_NET_WM_ACTION_RESIZE", actions)

        def size():
            info = self.screen.info(window.id)
            return info["width"], info["height"]

        # The title bar's maximise button (drawn disabled by openbox), a maximise request
        # as a taskbar sends it, and a plain resize request: none changes the size.
        self.click_title_bar_button(window, 1)
        self.screen.run(self.bench.probe, "maximise", hex(window.id))
        self.screen.run("xdotool", "windowsize", str(window.id), "600", "500")
        # (What did not happen cannot be waited for: give the window manager half a
        # second, ten worker cycles.)
        glowtern.wait_port_writes(20)
        self.assertEqual(size(), (CLIENT_WIDTH, CLIENT_HEIGHT))
        self.assertNotIn("MAXIMIZED", self.screen.net_wm_state(window.id))
        self.assertTrue(self.screen.main_window_visible())

        # The status line: red text on black, as without a light device ("Device OFF";
        # the text itself is checked by the unit tests, a picture has no text to read).
        shot = self.bench.screenshot("status-line")
        info = self.screen.info(window.id)
        x, y, width, height = STATUS_LABEL
        pixels = self.screen.pixels(shot, info["x"] + x, info["y"] + y, width, height)
        black = sum(1 for p in pixels if p == (0, 0, 0))
        red = sum(1 for r, g, b in pixels if r > 150 and g < 60 and b < 60)
        self.assertGreater(black, 0.6 * len(pixels), "the status line is not black")
        self.assertGreater(red, 20, "no red text on the status line")

        # Moved and then hidden, the window's place is saved all the same.
        self.screen.run("xdotool", "windowmove", str(window.id), "120", "80")
        left, right, top, bottom = self.screen.frame_extents(window.id)
        poll_until(lambda: self.screen.info(window.id)["x"] - left == 120, 10,
                   "the window to move")
        self.choose_from_tray_menu(2)
        self.wait_window_hidden()
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        self.assertEqual(self.read_settings(glowtern), defaults_file(x=120, y=80))
