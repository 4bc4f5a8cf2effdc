"""The three ways a running show ends (Exit, the close button, a termination request):
each saves the settings, leaves every port line off and gives the lock LEDs back as they
were at start-up, whatever the show did with them; Exit and the close button do it in
their own order."""

import os
import time

from harness import D1, MANUAL_BAND_5, GlowternTestCase, StraceLog, poll_until

LEDS_AT_START = {"caps": 1, "num": 0, "scroll": 1}


def is_port_write(call):
    """A write of the port stand-in's log line for a port write."""
    return call.name == "write" and call.descriptor.endswith("-port.log>") and (
        "DATA" in call.args or "CONTROL" in call.args)


class ShutdownTest(GlowternTestCase):
    sound = True

    def start_show(self, **options):
        """Caps Lock and Scroll Lock on, then glowtern in Manual mode with a 100 Hz tone
        playing, until the show has switched the LEDs and line D1 on and off."""
        self.screen.key("Caps_Lock")
        self.screen.run(self.bench.probe, "scroll-lock", "1")
        poll_until(lambda: self.screen.leds() == LEDS_AT_START, 10, "the LEDs set before start")
        glowtern = self.start(settings=MANUAL_BAND_5, **options)
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
