"""Start-up and the ways a start can end: the tray icon, the first settings file, a
second copy, a desktop without a tray and a machine without a parallel port."""

import os
import time

from harness import (
    SCREEN_HEIGHT,
    SCREEN_WIDTH,
    GlowternTestCase,
    defaults_file,
    poll_until,
)


class StartupTest(GlowternTestCase):
    def test_starts_in_the_tray_and_the_first_exit_writes_the_defaults(self):
        glowtern = self.start()
        icon = self.wait_tray_icon()
        self.assertGreater(icon.width, 0)
        self.assertFalse(self.screen.main_window_visible(), "the window shows at start-up")
        # Without a settings file nothing lights up until an effect is chosen: a notice by
        # the icon says how to begin. Nothing else of glowtern is on the screen.
        notice = poll_until(self.screen.top_level_windows, 10, "the first start's notice")[0]
        info = self.screen.info(notice.id)
        self.bench.screenshot("first-start-notice")
        self.assertLess(abs(info["x"] + info["width"] - icon.centre()[0]), 100)
        self.assertLess(abs(info["y"] - icon.y - icon.height), 30)
        self.assertEqual([w.id for w in self.screen.top_level_windows()], [notice.id],
                         "something of glowtern is on the screen besides its tray icon")
        # Silence and no effect chosen: the worker holds every line off, cycle after cycle.
        glowtern.wait_port_writes(20)
        port = glowtern.port()
        self.assert_port_protocol(port, ended=False)
        self.assertEqual({(data, control) for _, data, control in port.cycles()},
                         {(0x00, 0x0B)})

        # Resting the pointer on the icon brings up its tooltip right by the icon. (Its
        # text, "Glowtern", is in the kept screenshot; there is no text to read back.)
        self.screen.move_pointer(*icon.centre())

        def tooltip():
            for window in self.screen.top_level_windows():
                if window.id != notice.id and "TOOLTIP" in self.screen.window_type(window.id):
                    return self.screen.info(window.id)
            return None

        tip = poll_until(tooltip, 20, "the tray icon's tooltip")
        self.bench.screenshot("tooltip")
        self.assertLess(abs(tip["x"] + tip["width"] / 2 - icon.centre()[0]), 200)
        self.assertLess(abs(tip["y"] - icon.centre()[1]), 100)
        self.assertLess(tip["width"], 200, "the tooltip is much wider than one word")

        self.assertEqual(self.exit_from_tray(glowtern), 0)
        self.assertEqual(self.read_settings(glowtern), defaults_file())
        port = glowtern.port()
        self.assert_port_protocol(port)
        self.assert_outputs_off_last(port)
        poll_until(lambda: self.screen.tray_icon() is None, 10, "the tray icon to go")

        # With the settings file there, the next start shows nothing but its icon.
        again = self.start(cwd=glowtern.cwd)
        self.wait_tray_icon()
        again.wait_port_writes(20)
        self.assertEqual(self.screen.top_level_windows(), [])
        self.assertEqual(self.exit_from_tray(again), 0)

    def test_a_second_copy_ends_at_once_and_leaves_the_first_running(self):
        first = self.start()
        self.wait_tray_icon()
        started = time.monotonic()
        second = self.bench.start_glowtern(first.cwd, name="second")
        status = second.wait_exit(timeout=10)
        took = time.monotonic() - started
        self.assertEqual(status, 0)
        print(f"\nthe second copy ended {took:.2f} s after it was started")
        # It showed nothing, never opened or claimed the port (a claim would wait for
        # the first copy to let go of a real one), wrote no settings.
        self.assertEqual(second.port().kinds(), [])
        self.assertFalse(os.path.exists(first.settings_path()))
        self.assertFalse(self.screen.main_window_visible())
        icons = [w for w in self.screen.tree()
                 if "glowtern" in w.wm_class and any(a.name == "panel" for a in w.ancestors())]
        self.assertEqual(len(icons), 1, icons)
        # The first copy goes on making light.
        self.assertTrue(first.running())
        first.wait_port_writes(10)
        self.assertEqual(self.exit_from_tray(first), 0)

    def test_without_a_port_the_driver_message_ends_the_program(self):
        # No stand-in preloaded and no /dev/parport0 on the machine: no port access.
        glowtern = self.start(port=False)

        box = poll_until(self.screen.message_box, 20, "the driver message box")
        self.assertEqual(box.name.strip(), "", "the box's caption is empty")
        self.assertEqual(self.screen.active_window(), box.id)
        shot = self.bench.screenshot("driver-message")
        # The box's stop icon is red; the About box's information icon has no red.
        info = self.screen.info(box.id)
        pixels = self.screen.pixels(shot, info["x"], info["y"], info["width"], info["height"])
        red = sum(1 for r, g, b in pixels if r > 180 and g < 80 and b < 80)
        self.assertGreater(red, 50, "no stop icon in the message box")
        # Start-up stopped at the message: no window, no worker.
        self.assertFalse(self.screen.main_window_visible())
        self.assertTrue(glowtern.running())

        self.screen.key("Return")  # OK
        self.assertEqual(glowtern.wait_exit(), 0)
        self.assertFalse(os.path.exists(glowtern.settings_path()),
                         "a failed start wrote setting.dat")
        poll_until(lambda: self.screen.tray_icon() is None, 10, "the tray icon to go")


class NoTrayTest(GlowternTestCase):
    tray = False

    def test_without_a_tray_the_window_shows_and_closes_normally(self):
        glowtern = self.start()
        window = self.wait_window_shown()
        info = self.screen.info(window.id)
        self.assertEqual((info["width"], info["height"]), (315, 245))
        self.assertLessEqual(info["x"] + info["width"], SCREEN_WIDTH)
        self.assertLessEqual(info["y"] + info["height"], SCREEN_HEIGHT)
        self.bench.screenshot("shown-without-tray")
        self.click_close_button(window)
        self.assertEqual(glowtern.wait_exit(), 0)
        port = glowtern.port()
        self.assert_port_protocol(port)
        self.assert_outputs_off_last(port)
        self.assertEqual(self.read_settings(glowtern), defaults_file())
