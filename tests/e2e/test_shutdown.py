# The ways a running show ends: Exit and the close button, each in its own order, and the
# ends nobody chose (the sound server killed or stopped, the X server gone, the session
# manager's Die at logout). Each saves the settings, leaves every port line and USB output
# off, gives the lock LEDs back where their display still exists, and ends within 2 s.

import os
import re
import signal
import subprocess
import sys
import time

from harness import (D1, MANUAL_BAND_5, TRAY_EXIT, GlowternTestCase, poll_until, read_text,
                     settings_values)

LEDS_AT_START = {"caps": 1, "num": 0, "scroll": 1}
STRACE_LINE = re.compile(r"^(\d+)\s+(\d+\.\d+) (\w+)\((.*)$")


class ShutdownTest(GlowternTestCase):
    # The USB light device is the light panel's, without a display so that it outlives the
    # X server, and band 5 drives its pin PD0 (OUT1); the port is the stand-in.
    sound = True

    def setUp(self):
        super().setUp()
        _, self.panel_events = self.bench.start_panel(QT_QPA_PLATFORM="offscreen")

    def start_show(self, **options):
        # Caps Lock and Scroll Lock on, then glowtern in Manual mode with a 100 Hz tone, until
        # the show has switched the LEDs, line D1 and pin PD0 on and off.
        self.screen.key("Caps_Lock")
        self.screen.run(self.bench.probe, "scroll-lock", "1")
        poll_until(lambda: self.screen.leds() == LEDS_AT_START, 10, "the LEDs set before start")
        glowtern = self.start(settings=MANUAL_BAND_5 + b"OUT1 = 5\r\n", **options)
        leds = self.screen.watch_leds()
        sound = self.bench.sound
        glowtern.wait_lines(sound.play(sound.tone(100, seconds=30)), D1, cycles=1, timeout=20)
        poll_until(lambda: "USB 0x00 0x81" in self.panel_events(), 20, "PD0 to light")
        poll_until(lambda: all(len({s[led] for _, s in leds()}) == 2 for led in ("caps", "num")),
                   20, "the show to flash the LEDs")
        return glowtern

    def assert_safe_end(self, glowtern, triggered=None, display_gone=False):
        # Ended with status 0 (within 2 s of `triggered`, time.monotonic()), every port line
        # and USB output off last, the port never written through the panel, the settings
        # saved and (unless the display is gone) the LEDs given back and the port let go.
        status = glowtern.wait_exit()
        if triggered:
            took = time.monotonic() - triggered
            print(f"\n{self.id()}: ended {took:.2f} s after the trigger", file=sys.stderr)
            self.assertLess(took, 2.0, "the end took too long")
        self.assert_ended_cleanly(glowtern, status, display_gone=display_gone)
        events = self.panel_events()
        self.assertEqual([e for e in events if e.startswith("USB")][-3:],
                         ["USB 0x00 0x00", "USB 0x00 0x40", "USB 0x00 0x80"])
        self.assertEqual([e for e in events if e.startswith(("DATA", "CONTROL", "HELLO port"))],
                         [])
        values = settings_values(glowtern.settings())
        self.assertEqual((values["Effect"], values["fr5"], values["OUT1"]), ("1", "3", "5"))
        self.assertEqual(len(values), 43, sorted(values))
        if not display_gone:
            self.assertEqual(self.screen.leds(), LEDS_AT_START)

    def end_traced(self, close_button):
        # Ends a show traced by strace with Exit or the close button; returns the main
        # thread's shutdown steps, each with the index of its calls: "save" (setting.dat),
        # "leds" (requests on the keyboard's own X connection, the program's second) and
        # "off" (the port writes).
        trace = self.bench.log_path("strace.log")
        glowtern = self.start_show(trace=trace)
        window = close_button and self.open_window_from_tray()
        since = time.time()
        if window:
            self.click_title_bar_button(window, 0)
        else:
            self.choose_from_tray_menu(TRAY_EXIT)
        self.assert_safe_end(glowtern)
        calls = [(int(m[1]), float(m[2]), m[3], m[4].split(", ", 1)[0], m[4])
                 for m in map(STRACE_LINE.match, read_text(trace).splitlines()) if m]
        main = calls[0][0]  # the first call comes from the main thread
        x = [re.search(r"UNIX-STREAM:\[(\d+)", fd)[1] for _, _, name, fd, args in calls
             if name == "connect" and ".X11-unix/X" in args and "= -1" not in args]
        steps = {"save": [], "leds": [], "off": []}
        ports = [(thread, at) for thread, at, name, fd, args in calls if name == "write" and
                 fd.endswith("-port.log>") and ("DATA" in args or "CONTROL" in args)]
        calls = [c for c in calls if c[0] == main and c[1] >= since]
        for index, (thread, at, name, fd, args) in enumerate(calls):
            if "setting.dat" in args:
                steps["save"].append(index)
            elif name in ("write", "writev") and f"UNIX-STREAM:[{x[1]}-" in fd:
                steps["leds"].append(index)
            elif (thread, at) in ports:
                steps["off"].append(index)
        self.assertTrue(all(steps.values()), steps)
        # After the main thread's own port writes nobody writes the port again.
        off = calls[steps["off"][0]][1]
        self.assertEqual([p for p in ports if p[1] >= off and p[0] != main], [])
        return steps

    def test_exit_saves_restores_the_leds_and_switches_off_in_that_order(self):
        steps = self.end_traced(close_button=False)
        self.assertLess(max(steps["save"]), min(steps["leds"]), steps)
        # (The keyboard's connection is closed at the very end, after the switch-off.)
        self.assertLess(min(steps["leds"]), min(steps["off"]), steps)

    def test_the_close_button_switches_off_saves_and_restores_the_leds_in_that_order(self):
        steps = self.end_traced(close_button=True)
        self.assertLess(max(steps["off"]), min(steps["save"]), steps)
        self.assertLess(max(steps["save"]), min(steps["leds"]), steps)

    def end_by_terminate(self, glowtern):
        triggered = time.monotonic()
        os.kill(glowtern.pid, signal.SIGTERM)
        self.assert_safe_end(glowtern, triggered)

    def test_sound_server_killed_mid_show(self):
        glowtern = self.start_show()
        self.bench.sound.process.kill()
        self.assertLess(glowtern.cpu_share(), 0.2, "the program spins without its server")
        self.end_by_terminate(glowtern)

    def test_sound_server_stopped_mid_show(self):
        glowtern = self.start_show()
        server = self.bench.sound.process
        stopped = time.monotonic_ns()
        server.send_signal(signal.SIGSTOP)
        self.addCleanup(server.send_signal, signal.SIGCONT)
        # No sound comes any more: the lamps do not go on following the last of it.
        glowtern.wait_lines(stopped, 0x00, cycles=1, timeout=5, what="line D1 to go dark")
        self.assertLess(glowtern.cpu_share(), 0.2, "the program spins without sound")
        self.end_by_terminate(glowtern)

    def test_x_server_gone(self):
        glowtern = self.start_show()
        triggered = time.monotonic()
        next(process for name, process in self.bench.processes if name == "xvfb").kill()
        self.assert_safe_end(glowtern, triggered, display_gone=True)

    def test_session_manager_says_die(self):
        events = self.bench.log_path("session-events.log")
        with open(events, "wb") as out:
            manager = self.bench.spawn("session-manager",
                                       [os.environ["GLOWTERN_E2E_SESSION_MANAGER"]],
                                       stdin=subprocess.PIPE, stdout=out)
        lines = lambda: read_text(events).splitlines()  # noqa: E731
        address = poll_until(lines, 10, "the session manager to listen")[0]
        glowtern = self.start_show(SESSION_MANAGER=address)
        poll_until(lambda: any(line.startswith("REGISTER ") for line in lines()), 20,
                   "glowtern to register with the session manager")
        triggered = time.monotonic()
        manager.stdin.write(b"die\n")
        manager.stdin.flush()
        self.assert_safe_end(glowtern, triggered)
