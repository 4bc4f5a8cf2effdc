"""Glowtern for Windows under Wine: its unit tests, and the real glowtern.exe end to end.

One Wine prefix serves the whole run: made once in a temporary directory (`wineboot -i`),
every Wine process of it ended after each case (`wineserver -k`) and the prefix removed at the
end. Wine runs with WINEDEBUG=-all and without Mono and Gecko; it needs no network.

The program runs on the end-to-end bench (../e2e/harness.py): a private Xvfb with trayer as
the tray but no window manager (under openbox, Wine 8's tray icon stays blank and takes no
clicks), and a private PulseAudio whose default source Wine records from. Beside the program
lies the stand-in port library (port_library_stand_in.c), which logs "ATTACH", each write
("DATA 0x02", "CONTROL 0x0b") and "DETACH" to the file named by GLOWTERN_FAKE_PORT_LOG.

Environment (set by CMakeLists.txt): GLOWTERN_E2E_PROGRAM (glowtern.exe),
GLOWTERN_WINE_PORT_LIBRARY (the stand-in), GLOWTERN_WINE_UNIT_TESTS (glowtern_unit_tests.exe),
GLOWTERN_E2E_X11_PROBE, GLOWTERN_E2E_ARTIFACTS. With GLOWTERN_WINE_SCREENSHOT naming a PNG
file, the show case also saves the window and the tray there (docs/screenshots/windows-wine.png).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import CLIENT_SIZE, GlowternTestCase, poll_until, settings_file  # noqa: E402

# Manual mode, band 5 (53 Hz: 86-129 Hz, data line D1) at threshold 0 and every other band out
# of reach, the window near the tray: every key in the order the program writes them. The
# show starts from this file without its last key, Y_form, which the program adds when it
# ends; from that start the Linux build writes SHOW_SETTINGS.
SHOW_SETTINGS = settings_file(**{f"fr{n}": 0 if n == 5 else 39 for n in range(1, 19)},
                              Level=35, ARU=35, Effect=1, KEY_LED=1,
                              **{f"OUT{n}": -1 for n in range(1, 19)}, LPT_LED=1, X_form=880,
                              Y_form=0)
START_SETTINGS = SHOW_SETTINGS.split(b"Y_form = ")[0]

# Tray menu items by position: the Windows build has no "Sound from" and no "DMX".
MENU_EXIT = 4
BAND_5_METER = (46, 22)  # in the window's client area, 8 x 70 pixels

prefix = None  # the WinePrefix of this run


class WinePrefix:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="glowtern-wine-")
        self.env = {
            "WINEPREFIX": self.path,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",  # no .NET or HTML engine to install
        }
        started = time.monotonic()
        self.run(["wineboot", "-i"], timeout=300)
        self.end_processes()
        print(f"\nthe Wine prefix took {time.monotonic() - started:.1f} s to make",
              file=sys.stderr)

    def run(self, argv, timeout, **extra):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.path, **self.env,
               **extra}
        return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout,
                              check=False)

    def end_processes(self):
        """Ends every process of the prefix, its wineserver last, and waits for that."""
        self.run(["wineserver", "-k"], timeout=30)
        self.run(["wineserver", "-w"], timeout=30)

    def remove(self):
        self.end_processes()
        shutil.rmtree(self.path, ignore_errors=True)


def setUpModule():
    global prefix
    prefix = WinePrefix()


def tearDownModule():
    if prefix is not None:
        prefix.remove()


class UnitTests(unittest.TestCase):
    def test_the_unit_tests_pass_under_wine(self):
        self.addCleanup(prefix.end_processes)
        result = prefix.run(["wine", os.environ["GLOWTERN_WINE_UNIT_TESTS"], "--gtest_brief=1"],
                            timeout=600)
        output = result.stdout + result.stderr
        self.assertEqual(result.returncode, 0, output[-6000:])
        print("\n" + output.strip().splitlines()[-1], file=sys.stderr)


class WineTestCase(GlowternTestCase):
    window_manager = False

    def setUp(self):
        super().setUp()
        # Before the bench closes (clean-ups run last first): the X server and the sound
        # server must outlive the Wine processes that use them.
        self.addCleanup(prefix.end_processes)
        self.screen.tray_icon_class = "explorer.exe"  # Wine's desktop process shows the icons

    def wait_window_shown(self):
        # Without a window manager no window is "active"; shown is mapped.
        return poll_until(lambda: self.screen.main_window_visible() and self.screen.main_window(),
                          20, "the main window to be shown")

    def install(self, with_port_library=True):
        """A folder holding glowtern.exe, and the port library beside it when asked."""
        folder = self.bench.make_dir("program")
        shutil.copy(self.bench.program, os.path.join(folder, "glowtern.exe"))
        if with_port_library:
            shutil.copy(os.environ["GLOWTERN_WINE_PORT_LIBRARY"],
                        os.path.join(folder, "portio64.dll"))
        return os.path.join(folder, "glowtern.exe")

    def start_wine(self, program, cwd, name="glowtern"):
        """Starts `program` under Wine in `cwd`; its port library logs to <root>/<name>.port."""
        log = os.path.join(self.bench.root, f"{name}.port")
        env = self.bench.client_env(GLOWTERN_FAKE_PORT_LOG=log, **prefix.env)
        return WineProgram(self.bench.spawn(name, ["wine", program], env=env, cwd=cwd), cwd, log)

    def wine_window(self, condition):
        """A mapped top-level window of the program's own for which `condition(info)` holds."""
        for window in self.screen.tree():
            if window.parent is None and "glowtern.exe" in window.wm_class:
                info = self.screen.info(window.id)
                if info is not None and info["mapped"] and condition(info):
                    return window
        return None


class WineProgram:
    def __init__(self, process, cwd, port_log):
        self.process = process
        self.cwd = cwd
        self.port_log = port_log

    def port(self):
        """The stand-in's log lines: "ATTACH", "DATA 0x02", ..."""
        try:
            with open(self.port_log, encoding="ascii") as log:
                return log.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_port(self, condition, what, timeout=30):
        return poll_until(lambda: condition(self.port()), timeout, what)

    def wait_exit(self, timeout=20):
        return self.process.wait(timeout=timeout)

    def settings(self):
        with open(os.path.join(self.cwd, "setting.dat"), "rb") as file:
            return file.read()


def writes(lines):
    return [line for line in lines if line.startswith(("DATA ", "CONTROL "))]


class ShowTest(WineTestCase):
    sound = True

    def test_the_show_from_the_tray_to_exit_and_the_end_of_the_session(self):
        program = self.install()
        work = self.bench.make_dir("work")
        with open(os.path.join(work, "setting.dat"), "wb") as file:
            file.write(START_SETTINGS)
        started = time.monotonic()
        glowtern = self.start_wine(program, work)

        # Hidden with its tray icon, the lamps driven from the port library mapped from memory.
        poll_until(self.screen.tray_icon, 30, "the tray icon")
        glowtern.wait_port(lambda lines: len(writes(lines)) >= 4, "the first port writes")
        print(f"\nglowtern.exe was in the tray {time.monotonic() - started:.1f} s after its start",
              file=sys.stderr)
        self.assertEqual(glowtern.port()[0], "ATTACH")
        self.assertFalse(self.screen.main_window_visible(), "the window shows at start-up")

        # A second copy ends at once: no show, no settings, no second icon.
        second = self.start_wine(program, work, name="second")
        self.assertEqual(second.wait_exit(), 0)
        self.assertEqual(writes(second.port()), [])
        self.assertEqual(glowtern.settings(), START_SETTINGS)
        icons = [w for w in self.screen.tree()
                 if w.width > 1 and any(a.name == "panel" for a in w.ancestors())
                 and "explorer.exe" in w.wm_class]
        self.assertEqual(len(icons), 1, icons)
        self.assertIsNone(glowtern.process.poll())

        # A 100 Hz tone lights band 5: data line D1.
        self.bench.sound.play(self.bench.sound.tone(100, seconds=30))
        glowtern.wait_port(lambda lines: "DATA 0x02" in lines[-6:], "data 0x02 from the tone")

        # The window opens from the tray at its size on a 96-DPI desktop, band 5's meter up.
        window = self.open_window_from_tray()
        info = self.screen.info(window.id)
        self.assertEqual((info["width"], info["height"]), CLIENT_SIZE)

        def meter_lit():
            shot = self.bench.screenshot("window-and-tray")
            pixels = self.screen.pixels(shot, info["x"] + BAND_5_METER[0],
                                        info["y"] + BAND_5_METER[1], 8, 70)
            return shot if sum(1 for r, g, b in pixels if r > 200 and g < 130) > 100 else None

        shot = poll_until(meter_lit, 20, "band 5's meter to light up", interval=0.5)
        if os.environ.get("GLOWTERN_WINE_SCREENSHOT"):
            self.save_picture(shot, info, os.environ["GLOWTERN_WINE_SCREENSHOT"])

        # Exit from the tray menu: every line off, the library let go, the settings written
        # byte for byte as the Linux build writes them.
        self.choose_from_tray_menu(MENU_EXIT)
        self.assertEqual(glowtern.wait_exit(), 0)
        self.bench.sound.stop()
        lines = glowtern.port()
        self.assertEqual(lines[-3:], ["DATA 0x00", "CONTROL 0x0b", "DETACH"])
        written = glowtern.settings()
        self.assertEqual(written, SHOW_SETTINGS)
        poll_until(lambda: self.screen.tray_icon() is None, 10, "the tray icon to go")

        # Started again on the file it wrote, it ends with the Windows session
        # (WM_QUERYENDSESSION, WM_ENDSESSION) as with Exit.
        again = self.start_wine(program, work, name="again")
        poll_until(self.screen.tray_icon, 30, "the tray icon")
        again.wait_port(lambda lines: len(writes(lines)) >= 4, "port writes after the restart")
        prefix.run(["wineboot", "--end-session"], timeout=60, DISPLAY=self.bench.display)
        self.assertEqual(again.wait_exit(), 0)
        self.assertEqual(writes(again.port())[-2:], ["DATA 0x00", "CONTROL 0x0b"])
        self.assertEqual(again.settings(), written)

    def save_picture(self, shot, window, path):
        """The part of the screen from the window to the tray icon, with a margin."""
        icon = self.screen.info(self.screen.tray_icon().id)
        left = max(0, window["x"] - 40)
        top = max(0, min(window["y"], icon["y"]) - 10)
        right = icon["x"] + icon["width"] + 10
        bottom = window["y"] + window["height"] + 40
        subprocess.run(["convert", shot, "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                        "+repage", path], check=True, timeout=60)


class DriverTest(WineTestCase):
    def test_without_the_port_library_the_driver_message_ends_the_program(self):
        program = self.install(with_port_library=False)
        glowtern = self.start_wine(program, self.bench.make_dir("work"))
        box = poll_until(lambda: self.wine_window(lambda info: info["width"] > 100), 30,
                         "the driver message box")
        shot = self.bench.screenshot("driver-message")
        # The box's stop icon is red.
        info = self.screen.info(box.id)
        pixels = self.screen.pixels(shot, info["x"], info["y"], info["width"], info["height"])
        self.assertGreater(sum(1 for r, g, b in pixels if r > 180 and g < 80 and b < 80), 50,
                           "no stop icon in the message box")
        self.assertFalse(self.screen.main_window_visible())
        self.assertIsNone(glowtern.process.poll())

        self.screen.key("Return")  # OK
        self.assertEqual(glowtern.wait_exit(), 0)
        self.assertFalse(os.path.exists(os.path.join(glowtern.cwd, "setting.dat")))
        self.assertIsNone(self.screen.tray_icon())


if __name__ == "__main__":
    unittest.main()
