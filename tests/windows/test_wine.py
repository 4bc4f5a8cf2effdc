"""Glowtern for Windows under Wine: its unit tests, and the real glowtern.exe end to end.

The program runs on the bench of ../e2e/harness.py: a private Xvfb with trayer but no window
manager (under openbox, Wine 8's tray icon stays blank and takes no clicks) and a private
PulseAudio, whose default source Wine records from. One Wine prefix serves the run: made once
in a temporary directory, its processes ended after each case, removed at the end. Beside the
program lies the stand-in port library (port_library_stand_in.c), which logs "ATTACH", each
write ("DATA 0x02", "CONTROL 0x0b") and "DETACH" to the file named by GLOWTERN_FAKE_PORT_LOG.
With GLOWTERN_WINE_SCREENSHOT naming a PNG file, the window and the tray are saved there.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import CLIENT_SIZE, GlowternTestCase, poll_until, read_text, settings_file  # noqa

# Manual mode, band 5 (data line D1, where 100 Hz falls) at threshold 0 and the others out of
# reach, the window near the tray: the file as the Linux build writes it at Exit. The show
# starts from it without its last key, which the program adds.
SETTINGS = settings_file(**{f"fr{n}": 0 if n == 5 else 39 for n in range(1, 19)}, Level=35,
                         ARU=35, Effect=1, KEY_LED=1, **{f"OUT{n}": -1 for n in range(1, 19)},
                         LPT_LED=1, X_form=880, Y_form=0)
EXIT = 4  # the tray menu's items: Open, Close, About, Exit (no Sound from, no DMX)
DARK = ["DATA 0x00", "CONTROL 0x0b"]
BAND_5_METER = (46, 22, 8, 70)  # in the window's client area
WINE = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}  # no .NET, no HTML engine


def wine(*argv, timeout=60, **env):
    return subprocess.run(argv, env={"PATH": os.environ["PATH"], "HOME": WINE["WINEPREFIX"],
                                     **WINE, **env}, capture_output=True, text=True,
                          timeout=timeout)


def end_wine():  # every process of the prefix, its wineserver last
    wine("wineserver", "-k")
    wine("wineserver", "-w")


def setUpModule():
    WINE["WINEPREFIX"] = tempfile.mkdtemp(prefix="glowtern-wine-")
    unittest.addModuleCleanup(shutil.rmtree, WINE["WINEPREFIX"], ignore_errors=True)
    unittest.addModuleCleanup(end_wine)
    wine("wineboot", "-i", timeout=300)
    end_wine()


class UnitTests(unittest.TestCase):
    def test_the_unit_tests_pass_under_wine(self):
        self.addCleanup(end_wine)
        result = wine("wine", os.environ["GLOWTERN_WINE_UNIT_TESTS"], "--gtest_brief=1",
                      timeout=600)
        self.assertEqual(result.returncode, 0, (result.stdout + result.stderr)[-6000:])


def writes(lines):
    return [line for line in lines if line.startswith(("DATA", "CONTROL"))]


class GlowternExe(GlowternTestCase):
    window_manager = False
    sound = True

    def setUp(self):
        super().setUp()
        self.addCleanup(end_wine)  # (runs before the X and sound servers end)
        self.screen.tray_icon_class = "explorer.exe"  # Wine's desktop process shows the icons
        self.folder = self.bench.make_dir("program")
        shutil.copy(self.bench.program, os.path.join(self.folder, "glowtern.exe"))
        self.work = self.bench.make_dir("work")

    def wait_window_shown(self):  # without a window manager nothing is active: shown is mapped
        return poll_until(lambda: self.screen.main_window_visible() and self.screen.main_window(),
                          20, "the main window to be shown")

    def start_wine(self, name):  # the process, and a function giving its port log's lines
        log = os.path.join(self.bench.root, f"{name}-port.log")
        process = self.bench.spawn(name, ["wine", os.path.join(self.folder, "glowtern.exe")],
                                   env=self.bench.client_env(GLOWTERN_FAKE_PORT_LOG=log, **WINE),
                                   cwd=self.work)
        return process, lambda: read_text(log).splitlines() if os.path.exists(log) else []

    def settings(self):
        with open(os.path.join(self.work, "setting.dat"), "rb") as file:
            return file.read()

    def test_tray_tone_second_copy_exit_and_end_of_session(self):
        shutil.copy(os.environ["GLOWTERN_WINE_PORT_LIBRARY"],
                    os.path.join(self.folder, "portio64.dll"))
        with open(os.path.join(self.work, "setting.dat"), "wb") as file:
            file.write(SETTINGS.split(b"Y_form")[0])
        glowtern, port = self.start_wine("glowtern")
        # Hidden in the tray, the port library mapped from memory and written.
        poll_until(lambda: self.screen.tray_icon() and len(writes(port())) > 4, 60,
                   "the tray icon and the first port writes")
        self.assertEqual(port()[0], "ATTACH")
        self.assertFalse(self.screen.main_window_visible())
        # A second copy ends at once: no writes, no second icon, the settings untouched.
        second, second_port = self.start_wine("second")
        self.assertEqual(second.wait(timeout=30), 0)
        self.assertEqual(writes(second_port()), [])
        self.assertEqual(len([w for w in self.screen.tray_icons() if w.width > 1]), 1)
        self.assertEqual(self.settings(), SETTINGS.split(b"Y_form")[0])

        # A 100 Hz tone lights band 5: data line D1, and its meter in the window.
        self.bench.sound.play(self.bench.sound.tone(100, seconds=60))
        poll_until(lambda: "DATA 0x02" in port()[-6:], 30, "data 0x02 from the tone")
        window = self.screen.info(self.open_window_from_tray().id)
        self.assertEqual((window["width"], window["height"]), CLIENT_SIZE)

        def meter_lit():
            shot = self.bench.screenshot("window-and-tray")
            x, y, width, height = BAND_5_METER
            pixels = self.screen.pixels(shot, window["x"] + x, window["y"] + y, width, height)
            return shot if sum(r > 200 and g < 130 for r, g, b in pixels) > 100 else None

        shot = poll_until(meter_lit, 20, "band 5's meter to light up", interval=0.5)
        if os.environ.get("GLOWTERN_WINE_SCREENSHOT"):  # from the window to the tray icon
            icon = self.screen.info(self.screen.tray_icon().id)
            left, top = window["x"] - 40, min(window["y"], icon["y"]) - 10
            subprocess.run(["convert", shot, "-crop", f"{icon['x'] + icon['width'] + 10 - left}x"
                            f"{window['y'] + window['height'] + 40 - top}+{left}+{top}",
                            "+repage", os.environ["GLOWTERN_WINE_SCREENSHOT"]], check=True)

        # Exit: every line off, the library let go, the file as the Linux build writes it.
        self.choose_from_tray_menu(EXIT)
        self.assertEqual(glowtern.wait(timeout=20), 0)
        self.assertEqual(port()[-3:], DARK + ["DETACH"])
        self.assertEqual(self.settings(), SETTINGS)
        poll_until(lambda: self.screen.tray_icon() is None, 10, "the tray icon to go")

        # Started again, it ends with the Windows session as with Exit.
        again, again_port = self.start_wine("again")
        poll_until(lambda: self.screen.tray_icon() and len(writes(again_port())) > 4, 60,
                   "the tray icon and port writes after the restart")
        wine("wineboot", "--end-session", DISPLAY=self.bench.display)
        self.assertEqual(again.wait(timeout=20), 0)
        self.assertEqual(writes(again_port())[-2:], DARK)
        self.assertEqual(self.settings(), SETTINGS)

    def test_without_the_port_library_the_driver_message_ends_the_program(self):
        glowtern, _ = self.start_wine("glowtern")

        def message_box():
            for window in self.screen.tree():
                info = window.parent is None and "glowtern.exe" in window.wm_class and \
                    self.screen.info(window.id)
                if info and info["mapped"] and info["width"] > 100:
                    return info

        box = poll_until(message_box, 30, "the driver message")
        pixels = self.screen.pixels(self.bench.screenshot("driver-message"), box["x"], box["y"],
                                    box["width"], box["height"])
        self.assertGreater(sum(r > 180 and g < 80 and b < 80 for r, g, b in pixels), 50,
                           "no red stop icon in the message")
        self.assertFalse(self.screen.main_window_visible())
        self.screen.key("Return")  # OK
        self.assertEqual(glowtern.wait(timeout=20), 0)
        self.assertFalse(os.path.exists(os.path.join(self.work, "setting.dat")))
        self.assertIsNone(self.screen.tray_icon())


if __name__ == "__main__":
    unittest.main()
