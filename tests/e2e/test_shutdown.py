"""The ways a running show ends (Exit, the close button, a termination request, and the ends
nobody chose: the sound server killed or stopped, the X server gone, the session manager's
"die" at logout): each saves the settings, leaves every port line and USB output off, gives
the lock LEDs back where their display still exists, and ends within 2 s; Exit and the close
button do it in their own order."""

import os
import signal
import sys
import time

from harness import (D1, MANUAL_BAND_5, GlowternTestCase, SessionManager, StraceLog,
                     poll_until, setting)

LEDS_AT_START = {"caps": 1, "num": 0, "scroll": 1}


def is_port_write(call):
    """A write of the port stand-in's log line for a port write."""
    return call.name == "write" and call.descriptor.endswith("-port.log>") and (
        "DATA" in call.args or "CONTROL" in call.args)


class ShutdownTest(GlowternTestCase):
    sound = True

    def start_show(self, settings=MANUAL_BAND_5, **options):
        """Caps Lock and Scroll Lock on, then glowtern in Manual mode with a 100 Hz tone
        playing, until the show has switched the LEDs and line D1 on and off."""
        self.screen.key("Caps_Lock")
        self.screen.run(self.bench.probe, "scroll-lock", "1")
        poll_until(lambda: self.screen.leds() == LEDS_AT_START, 10, "the LEDs set before start")
        glowtern = self.start(settings=settings, **options)
        leds = self.screen.watch_leds()
        sound = self.bench.sound
        poll_until(lambda: sound.recording_clients() > 0, 20, "glowtern's recording stream")
        played = sound.play(sound.tone(100, seconds=30))
        poll_until(lambda: any(d == D1 for ns, d, c in glowtern.port().cycles() if ns > played),
                   20, "line D1 to come on with the tone")
        poll_until(lambda: len({s["caps"] for _, s in leds.changes()}) == 2 and len(
            {s["num"] for _, s in leds.changes()}) == 2, 20, "the show to flash the LEDs")
        return glowtern

    def assert_ended_cleanly(self, glowtern, status):
        self.assertEqual(status, 0)
        port = glowtern.port()
        self.assert_port_protocol(port)
        self.assert_outputs_off_last(port)
        self.assertEqual(self.screen.leds(), LEDS_AT_START)
        values = self.settings_values(self.read_settings(glowtern))
        self.assertEqual(values["Effect"], "1")
        self.assertEqual(values["fr5"], "3")
        self.assertEqual(values["Level"], "35")
        self.assertEqual(len(values), 43, sorted(values))

    def shutdown_steps(self, trace, since):
        """The main thread's shutdown work as seen by strace, each step with the index of
        its calls: "save" (setting.dat), "leds" (requests on the keyboard's own X
        connection, the second one the program opens) and "off" (the port writes)."""
        log = StraceLog(trace)
        connections = log.x_connections()
        self.assertGreaterEqual(len(connections), 2, "no X connection for the keyboard")
        keyboard = f"UNIX-STREAM:[{connections[1]}-"
        steps = {"save": [], "leds": [], "off": []}
        calls = log.main_thread_calls(since)
        for index, call in enumerate(calls):
            if "setting.dat" in call.args:
                steps["save"].append(index)
            elif call.name in ("write", "writev") and keyboard in call.descriptor:
                steps["leds"].append(index)
            elif is_port_write(call):
                steps["off"].append(index)
        for name, indices in steps.items():
            self.assertTrue(indices, f"no {name} step in the main thread's shutdown")
        # After the main thread's own port writes nobody writes the port again.
        first_off = calls[steps["off"][0]].time
        later = [c for c in log.calls
                 if c.time >= first_off and is_port_write(c) and c.thread != log.main_thread]
        self.assertEqual(later, [], "the worker wrote the port after the switch-off")
        return steps

    def test_exit_saves_restores_the_leds_and_switches_off_in_that_order(self):
        trace = self.bench.log_path("strace.log")
        glowtern = self.start_show(strace_log=trace)
        since = time.time()
        status = self.exit_from_tray(glowtern)
        self.assert_ended_cleanly(glowtern, status)
        steps = self.shutdown_steps(trace, since)
        self.assertLess(max(steps["save"]), min(steps["leds"]), steps)
        # (The keyboard's connection is closed at the very end, after the switch-off.)
        self.assertTrue([i for i in steps["leds"] if i < min(steps["off"])], steps)

    def test_the_close_button_switches_off_saves_and_restores_the_leds_in_that_order(self):
        trace = self.bench.log_path("strace.log")
        glowtern = self.start_show(strace_log=trace)
        window = self.open_window_from_tray()
        since = time.time()
        self.click_close_button(window)
        status = glowtern.wait_exit()
        self.assert_ended_cleanly(glowtern, status)
        steps = self.shutdown_steps(trace, since)
        self.assertLess(max(steps["off"]), min(steps["save"]), steps)
        self.assertLess(max(steps["save"]), min(steps["leds"]), steps)
        poll_until(lambda: self.screen.tray_icon() is None, 10, "the tray icon to go")

    def test_a_termination_request_ends_the_show_like_exit(self):
        glowtern = self.start_show()
        glowtern.terminate()
        self.assert_ended_cleanly(glowtern, glowtern.wait_exit())


USB_OFF = ["USB 0x00 0x00", "USB 0x00 0x40", "USB 0x00 0x80"]
USB_PD0_ON = "USB 0x00 0x81"  # group D with PD0 (OUT1, driven by band 5) on


class FailureEndTest(ShutdownTest):
    """Ends that nobody chose. The USB light device is the light panel's, run without a
    display so that it outlives the X server; band 5 drives its pin PD0."""

    def setUp(self):
        super().setUp()
        self.panel_log = self.bench.log_path("panel.log")
        self.bench.spawn("panel", [setting("GLOWTERN_E2E_PANEL"), "--log", self.panel_log],
                         env=self.bench.client_env(QT_QPA_PLATFORM="offscreen"))
        poll_until(lambda: os.path.exists(os.path.join(self.bench.runtime,
                                                       "glowtern-panel.sock")),
                   20, "the light panel to listen")

    # The cases of ShutdownTest run once, there.
    test_exit_saves_restores_the_leds_and_switches_off_in_that_order = None
    test_the_close_button_switches_off_saves_and_restores_the_leds_in_that_order = None
    test_a_termination_request_ends_the_show_like_exit = None

    def start_lit_show(self, **options):
        glowtern = self.start_show(settings=MANUAL_BAND_5 + b"OUT1 = 5\r\n", **options)
        poll_until(lambda: USB_PD0_ON in self.usb_reports(), 20, "PD0 to light with the tone")
        return glowtern

    def usb_reports(self):
        with open(self.panel_log, encoding="ascii") as log:
            return [line.split(" ", 1)[1] for line in log.read().splitlines()
                    if " USB " in line]

    def assert_safe_end(self, glowtern, triggered, leds=True):
        """Ended with status 0 within 2 s of `triggered` (time.monotonic()), every port line
        and USB output off last, the settings saved (and the LEDs given back)."""
        status = poll_until(lambda: glowtern.process.poll() is not None, 10,
                            "glowtern to end") and glowtern.process.returncode
        took = time.monotonic() - triggered
        print(f"\n{self.id()}: ended {took:.2f} s after the trigger", file=sys.stderr)
        self.assertLess(took, 2.0, "the end took too long")
        self.assertEqual(status, 0)
        self.assert_outputs_off_last(glowtern.port())
        self.assertEqual(self.usb_reports()[-3:], USB_OFF)
        values = self.settings_values(self.read_settings(glowtern))
        self.assertEqual((values["Effect"], values["fr5"], values["OUT1"]), ("1", "3", "5"))
        self.assertEqual(len(values), 43, sorted(values))
        if leds:
            self.assertEqual(self.screen.leds(), LEDS_AT_START)

    def test_sound_server_killed_mid_show(self):
        glowtern = self.start_lit_show()
        self.bench.sound.process.kill()
        self.assertLess(glowtern.cpu_share(), 0.2, "the program spins without its server")
        triggered = time.monotonic()
        glowtern.terminate()
        self.assert_safe_end(glowtern, triggered)

    def test_sound_server_stopped_mid_show(self):
        glowtern = self.start_lit_show()
        server = self.bench.sound.process
        server.send_signal(signal.SIGSTOP)
        self.addCleanup(server.send_signal, signal.SIGCONT)
        # No sound comes any more: the lamps do not go on following the last of it.
        stopped = time.monotonic_ns()
        poll_until(lambda: any(ns > stopped and d == 0 for ns, d, c in glowtern.port().cycles()),
                   5, "line D1 to go dark")
        self.assertLess(glowtern.cpu_share(), 0.2, "the program spins without sound")
        triggered = time.monotonic()
        glowtern.terminate()
        self.assert_safe_end(glowtern, triggered)

    def test_x_server_gone(self):
        glowtern = self.start_lit_show()
        xvfb = next(process for name, process in self.bench.processes if name == "xvfb")
        triggered = time.monotonic()
        xvfb.kill()
        self.assert_safe_end(glowtern, triggered, leds=False)

    def test_session_manager_says_die(self):
        manager = SessionManager(self.bench)
        glowtern = self.start_lit_show(extra_env=manager.env())
        manager.wait_registered()
        triggered = time.monotonic()
        manager.die()
        self.assert_safe_end(glowtern, triggered)
