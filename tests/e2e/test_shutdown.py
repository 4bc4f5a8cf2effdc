# The ways a running show ends: the close button, and the ends nobody chose (the sound server
# stopped and killed, the X server gone, the session manager's Die at logout). Each saves the
# settings, leaves every port line and USB output off, gives the lock LEDs back where their
# display still exists, and ends within 2 s. (Exit ends the shows of the other files; the
# order of an end's steps is checked by the lifecycle's unit tests.)

import os
import signal
import subprocess
import sys
import time

from harness import (D1, DARK, MANUAL_BAND_5, GlowternTestCase, poll_until, read_text,
                     settings_values)

LEDS_AT_START = {"caps": 1, "num": 0, "scroll": 1}


class ShutdownTest(GlowternTestCase):
    # The USB light device is the light panel's, without a display so that it outlives the
    # X server, and band 5 drives its pin PD0 (OUT1); the port is the stand-in.
    sound = True

    def setUp(self):
        super().setUp()
        _, self.panel_events = self.bench.start_panel(QT_QPA_PLATFORM="offscreen")

    def start_show(self, late_server=False, **env):
        # Caps Lock and Scroll Lock on, then glowtern in Manual mode with a 100 Hz tone, until
        # the show has switched the LEDs, line D1 and pin PD0 on and off. With `late_server`
        # the sound server comes only after the program: the show runs dark until then.
        self.screen.key("Caps_Lock")
        self.screen.run(self.bench.probe, "scroll-lock", "1")
        poll_until(lambda: self.screen.leds() == LEDS_AT_START, 10, "the LEDs set before start")
        if late_server:
            self.bench.sound.process.kill()
            self.bench.sound.process.wait()
        glowtern = self.start(settings=MANUAL_BAND_5 + b"OUT1 = 5\r\n", **env)
        leds = self.screen.watch_leds()
        if late_server:
            glowtern.wait_cycles(10)
            self.assertEqual({c[1:] for c in glowtern.cycles()}, {DARK})
            self.bench.start_sound().wait_recording()
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
        # (The panel logs what it was sent a moment after the program has gone.)
        events = poll_until(lambda: "BYE usb-device" in self.panel_events() and self.panel_events(),
                            5, "the panel to see the device go")
        self.assertEqual([e for e in events if e.startswith("USB")][-3:],
                         ["USB 0x00 0x00", "USB 0x00 0x40", "USB 0x00 0x80"])
        self.assertEqual([e for e in events if e.startswith(("DATA", "CONTROL", "HELLO port"))],
                         [])
        values = settings_values(glowtern.settings())
        self.assertEqual((values["Effect"], values["fr5"], values["OUT1"]), ("1", "3", "5"))
        self.assertEqual(len(values), 43, sorted(values))
        if not display_gone:
            self.assertEqual(self.screen.leds(), LEDS_AT_START)

    def test_the_close_button(self):
        glowtern = self.start_show()
        self.click_title_bar_button(self.open_window_from_tray(), 0)
        self.assert_safe_end(glowtern, time.monotonic())

    def test_sound_server_late_then_stopped_killed_and_back(self):
        glowtern = self.start_show(late_server=True)
        server = self.bench.sound.process
        server.send_signal(signal.SIGSTOP)
        # No sound comes any more: the lamps do not go on following the last of it, and
        # nothing spins, whether the server hangs or is gone.
        dark = glowtern.wait_lines(time.monotonic_ns(), 0x00, cycles=1, timeout=5,
                                   what="line D1 to go dark")
        self.assertLess(glowtern.cpu_share(), 0.2, "the program spins without sound")
        server.kill()
        away = glowtern.cpu_share(seconds=4.0)
        print(f"\nCPU while the server is away: {100 * away:.1f} % of a core", file=sys.stderr)
        self.assertLess(away, 0.05, "the program spins without its server")

        # Back: heard within 2 s of the server answering again, dark until then.
        server.wait()
        sound = self.bench.start_sound()
        back = time.monotonic_ns()
        sound.play(sound.tone(100, seconds=30))
        heard = glowtern.wait_lines(back, D1, cycles=1, what="the tone after the restart")
        print(f"band 5 back {(heard - back) / 1e6:.0f} ms after the server answered",
              file=sys.stderr)
        self.assertLess(heard - back, 2_000_000_000)
        self.assertEqual({c[1:] for c in glowtern.cycles(dark) if c[0] < back}, {DARK})
        triggered = time.monotonic()
        os.kill(glowtern.pid, signal.SIGTERM)
        self.assert_safe_end(glowtern, triggered)

    def test_sound_server_stopped_then_sigterm(self):
        glowtern = self.start_show()
        server = self.bench.sound.process
        server.send_signal(signal.SIGSTOP)
        self.addCleanup(server.send_signal, signal.SIGCONT)
        glowtern.wait_lines(time.monotonic_ns(), 0x00, cycles=1, timeout=5, what="D1 to go dark")
        triggered = time.monotonic()
        os.kill(glowtern.pid, signal.SIGTERM)
        self.assert_safe_end(glowtern, triggered)

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
