# glowtern-panel standing in for the parallel port and the USB light device on a machine
# with neither: a tone lights the port line and the USB pin of its band in the panel's log,
# Glowtern lives through the panel quitting and finds it again, and its end leaves every lamp
# off. (With a working port, the port writes stay on the port: see test_shutdown.py.)

import time

from harness import D1, MANUAL_BAND_5, GlowternTestCase, poll_until


class PanelTest(GlowternTestCase):
    sound = True

    def assert_tone_lights(self, events):
        # A 100 Hz tone lights band 5's line D1 and, through OUT2, pin PD1; silence ends it.
        sound = self.bench.sound
        sound.play(sound.tone(100, seconds=10))
        data = lambda: [int(e[5:], 16) for e in events() if e.startswith("DATA")]  # noqa: E731
        poll_until(lambda: "USB 0x00 0x82" in events() and any(d & D1 for d in data()), 20,
                   "line D1 and pin PD1 to light")
        sound.stop()
        poll_until(lambda: data()[-1] == 0, 10, "line D1 to go dark")

    def test_the_panel_stands_in_for_the_port_and_the_usb_device(self):
        panel, events = self.bench.start_panel()
        glowtern = self.start(settings=MANUAL_BAND_5 + b"OUT2 = 5\r\n", port=False)
        poll_until(lambda: {"HELLO port", "HELLO usb-device", "DATA 0x00", "CONTROL 0x0b",
                            "USB 0x00 0x40"} <= set(events()), 20,
                   "glowtern to find the panel and write every lamp off in silence")
        self.screen.run("xdotool", "search", "--name", "^Glowtern panel$")  # its window is up
        self.assert_tone_lights(events)

        # The panel quits while Glowtern writes: Glowtern goes on, and finds it again.
        self.bench.end_process(panel)
        self.assertEqual(panel.returncode, 0)
        time.sleep(1.5)
        self.assertTrue(glowtern.running(), "glowtern ended when the panel quit")
        panel, events = self.bench.start_panel("panel-again")
        poll_until(lambda: {"HELLO usb-device", "CONTROL 0x0b"} <= set(events()), 20,
                   "glowtern to find the panel again")
        self.assert_tone_lights(events)

        # The end leaves every lamp off: the USB device first, then the port.
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        writes = [e for e in events() if e.startswith(("DATA", "CONTROL", "USB"))]
        self.assertEqual(writes[-5:], ["USB 0x00 0x00", "USB 0x00 0x40", "USB 0x00 0x80",
                                       "DATA 0x00", "CONTROL 0x0b"])
