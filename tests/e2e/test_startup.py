# Start-up: the first start's notice, a second copy, a desktop without a tray, a machine
# without a parallel port, and setting.dat across runs (hand-edited).

import os
import time

from harness import DARK, GlowternTestCase, defaults_file, poll_until

HAND_EDITED = (b"; Glowtern settings, kept by hand\r\n;compact comment\n\n   level=12\r\n"
               b"fr1 =   20   \r\nFR2=$1F\n\tfr3 = 12abc\rEffect = 1 ; Manual\r\nTheme = dark\r\n"
               b"Level = 5\r\nx_form = 40\r\nY_FORM=30\r\nOUT3 = 5\r\nout18 = 19\r\n \t \r\n"
               b"KEY_LED = 1\r\n\tLPT_LED\t=\t1\r\n[Extra]\r\nARU = 50\r\nfr4=7\r\n"
               b"; below the group\r\n[Broken\r\nColour   =   blue\r\n")
# What an end makes of it. Read: Level 12 (the first "level" line), fr1 20, fr2 $1F = 31,
# fr3 12, Effect 1, OUT3 5, OUT18 19 (no such item: -1), X_form 40, Y_form 30; ARU and fr4
# stand below the group header, unread, so they read as 0 (ARU clamps to 1), as do the other
# fr and OUT keys. Keys found are rewritten in place in the program's spelling, the others
# appended to the top section in save order (bands first in Manual); comments, unknown keys,
# the second Level line and everything below the header stay; blank lines go; CR LF ends.
EXPECTED = "".join(line + "\r\n" for line in (
    ["; Glowtern settings, kept by hand", "; compact comment", "Level = 12", "fr1 = 20",
     "fr2 = 31", "fr3 = 12", "Effect = 1", "Theme = dark", "Level = 5", "X_form = 40",
     "Y_form = 30", "OUT3 = 5", "OUT18 = -1", "KEY_LED = 1", "LPT_LED = 1"]
    + [f"fr{n} = 0" for n in range(4, 19)] + ["ARU = 1", "OUT1 = 0", "OUT2 = 0"]
    + [f"OUT{n} = 0" for n in range(4, 18)]
    + ["[Extra]", "ARU = 50", "fr4 = 7", "; below the group", "[Broken]", "Colour = blue"]))


class StartupTest(GlowternTestCase):
    def test_first_start_shows_a_notice_and_a_second_copy_ends_at_once(self):
        glowtern = self.start()
        icon = poll_until(self.screen.tray_icon, 20, "the tray icon")
        self.assertFalse(self.screen.main_window_visible(), "the window shows at start-up")
        # No settings file: nothing lights up until an effect is chosen, and a notice by
        # the icon says how to begin. Nothing else of glowtern is on the screen.
        notice = poll_until(self.screen.popups, 10, "the first start's notice")
        self.bench.screenshot("first-start-notice")
        info = self.screen.info(notice[0].id)
        self.assertLess(abs(info["x"] + info["width"] - icon.centre()[0]), 100)
        self.assertLess(abs(info["y"] - icon.y - icon.height), 30)
        self.assertEqual(len(notice), 1, notice)
        glowtern.wait_cycles(10)
        self.assertEqual({c[1:] for c in glowtern.cycles()}, {DARK})

        # The pointer resting on the icon brings its tooltip up by the icon.
        self.screen.run("xdotool", "mousemove", "--sync", *map(str, icon.centre()))
        tip = poll_until(lambda: [self.screen.info(w.id) for w in self.screen.popups() if
                                  w.id != notice[0].id and "TOOLTIP" in self.screen.prop(
                                      w.id, "_NET_WM_WINDOW_TYPE")],
                         20, "the tray icon's tooltip")[0]
        self.bench.screenshot("tooltip")
        self.assertLess(abs(tip["x"] + tip["width"] / 2 - icon.centre()[0]), 200)
        self.assertLess(abs(tip["y"] - icon.centre()[1]), 100)
        self.assertLess(tip["width"], 200, "the tooltip is much wider than one word")

        # A second copy ends at once without showing anything, opening the port or
        # writing settings; the first goes on.
        started = time.monotonic()
        second = self.bench.start_glowtern(glowtern.cwd, name="second")
        self.assertEqual(second.wait_exit(timeout=10), 0)
        print(f"\nthe second copy ended {time.monotonic() - started:.2f} s after its start")
        self.assertEqual(second.port(), [])
        self.assertFalse(os.path.exists(glowtern.settings_path))
        self.assertEqual(len(self.screen.tray_icons()), 1)
        glowtern.wait_cycles(5)

        self.assert_ended_cleanly(glowtern, self.exit_from_tray(glowtern), defaults_file())
        poll_until(lambda: self.screen.tray_icon() is None, 10, "the tray icon to go")
        # With the settings file there, the next start shows nothing but its icon.
        again = self.start(cwd=glowtern.cwd)
        poll_until(self.screen.tray_icon, 20, "the tray icon")
        again.wait_cycles(10)
        self.assertEqual(self.screen.popups(), [])
        self.assertEqual(self.exit_from_tray(again), 0)


class NoTrayTest(GlowternTestCase):
    tray = False

    def test_no_port_gives_the_driver_message_and_no_tray_shows_the_window(self):
        glowtern = self.start(settings=HAND_EDITED, port=False)  # and no /dev/parport0
        box = poll_until(self.screen.message_box, 20, "the driver message box")
        self.assertEqual(box.name.strip(), "", "the box's caption is empty")
        self.assertEqual(self.screen.active_window(), box.id)
        # Its stop icon is red (the About box's information icon has no red).
        info = self.screen.info(box.id)
        pixels = self.screen.pixels(self.bench.screenshot("driver-message"), info["x"],
                                    info["y"], info["width"], info["height"])
        self.assertGreater(sum(1 for r, g, b in pixels if r > 180 and g < 80 and b < 80), 50)
        self.assertFalse(self.screen.main_window_visible())
        self.screen.key("Return")  # OK
        self.assertEqual(glowtern.wait_exit(), 0)
        self.assertEqual(glowtern.settings(), HAND_EDITED, "a failed start touched setting.dat")

        # With the port: no tray, so the window shows at once, where the file says; its
        # close button ends the program, which rewrites the file by its rules.
        glowtern = self.start(cwd=glowtern.cwd)
        window = self.wait_window_shown()
        self.bench.screenshot("shown-without-tray")
        self.assertEqual(self.screen.frame_corner(window.id), (40, 30))
        self.click_title_bar_button(window, 0)
        self.assert_ended_cleanly(glowtern, settings=EXPECTED.encode("ascii"))
        self.assertEqual(os.listdir(glowtern.cwd), ["setting.dat"])
