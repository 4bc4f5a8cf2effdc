# DMX through the Open Lighting Architecture: the real glowtern sends a universe to a real
# olad, read back through OLA's own client API.
#
# These cases run in a network namespace of their own with nothing but loopback (CMakeLists.txt
# starts them under `unshare --net`), so nothing can leave this machine; each case checks that
# first. olad runs as the user `olad` (it refuses root) with a configuration of the bench's, no
# HTTP server and every plugin off but the dummy one, whose port sends nothing anywhere.

import os
import re
import socket
import subprocess
import time

from harness import MANUAL_BAND_5, TRAY_DMX, GlowternTestCase, poll_until, settings_values

OLA_PLUGINS = ("artnet", "dummy", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet",
               "milinst", "opendmx", "openpixelcontrol", "osc", "pathport", "renard", "sandnet",
               "shownet", "spi", "stageprofi", "uartdmx", "usbdmx", "usbserial")
BAND_5 = 5  # channel 5 with the start address 1


class OlaDaemon:
    # olad on the bench with its dummy plugin alone. start() waits until it answers and patches
    # the dummy output port to universe 1 (olad drops a universe that no port is patched to).
    def __init__(self, bench):
        self.bench = bench
        self.config = bench.make_dir("ola", mode=0o700)
        for plugin in OLA_PLUGINS:
            with open(os.path.join(self.config, f"ola-{plugin}.conf"), "w") as file:
                file.write(f"enabled = {'true' if plugin == 'dummy' else 'false'}\n")
        subprocess.run(["chown", "-R", "olad:nogroup", self.config], check=True)

    def start(self):  # returns time.monotonic() when olad first answered
        self.process = self.bench.spawn("olad", [
            "setpriv", "--reuid=olad", "--regid=nogroup", "--clear-groups", "--pdeathsig=KILL",
            "olad", "--config-dir", self.config, "--no-http", "--no-register-with-dns-sd"])
        poll_until(lambda: self.bench.run("ola_uni_info", check=False).returncode == 0, 20,
                   "olad to answer", 0.02)
        answered = time.monotonic()
        self.bench.run("ola_patch", "--device", "1", "--port", "0", "--universe", "1")
        return answered

    def universe(self):  # universe 1's channel values as olad holds them ([] while it has none)
        fetched = self.bench.run(os.environ["GLOWTERN_E2E_OLA_FETCH"], "1", check=False).stdout
        return [int(v) for v in re.findall(r"\d+", fetched)]


class DmxTest(GlowternTestCase):
    sound = True

    def setUp(self):
        # Nothing may start unless this process sees loopback alone.
        self.assertEqual([name for _, name in socket.if_nameindex()], ["lo"],
                         "not in a network namespace of its own: run through ctest")
        super().setUp()
        self.olad = OlaDaemon(self.bench)

    def wait_channels(self, values, what, timeout=20, first=BAND_5):
        poll_until(lambda: self.olad.universe()[first - 1:first - 1 + len(values)] == values,
                   timeout, what)

    def exit_dark(self, glowtern):  # the universe is sent once more with every channel at 0
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        self.wait_channels([0] * 512, "every channel at 0 in olad", 5, first=1)

    def test_switch_and_level_modes_follow_the_tone_outlive_olad_and_end_dark(self):
        # olad is not running yet: the show goes on, with no message, and DMX is tried again
        # until olad answers.
        glowtern = self.start(settings=MANUAL_BAND_5 + b"DMX = 1\r\n")
        glowtern.wait_cycles(30)
        self.assertIsNone(self.screen.message_box())
        answered = self.olad.start()
        poll_until(lambda: len(self.olad.universe()) == 512, 3.0 - (time.monotonic() - answered),
                   "the universe within 3 s of olad answering")
        self.wait_channels([0], "channel 5 dark in silence")
        sound = self.bench.sound
        tone = sound.tone(100, seconds=30)
        sound.play(tone)
        self.wait_channels([255], "channel 5 at 255 with the tone")
        self.wait_channels([255], "a low beat on channel 19", first=19)

        # olad killed and started again mid-show: the values are back within 3 s.
        self.olad.process.kill()
        self.olad.process.wait()
        time.sleep(1)
        self.assertTrue(glowtern.running())
        answered = self.olad.start()
        self.wait_channels([255], "channel 5 back at 255 within 3 s of olad answering again",
                           3.0 - (time.monotonic() - answered))
        sound.stop()
        self.wait_channels([0], "channel 5 dark after the tone")
        sound.play(tone)
        self.wait_channels([255], "channel 5 lit again")
        self.exit_dark(glowtern)
        sound.stop()

        # The level mode, DMX ticked in the tray menu: channel 5 rises through several levels
        # with a swelling tone and falls back to 0. (Level 20 keeps band 5's level of a soft
        # tone inside the meter's 0..40.)
        glowtern = self.start(settings=MANUAL_BAND_5.replace(b"Level = 35", b"Level = 20")
                              + b"DMX_Mode = 1\r\n")
        self.choose_from_tray_menu(TRAY_DMX)
        self.wait_channels([0], "the universe, channel 5 dark in silence")
        sound.play(sound.make("swell.wav", "sine", "100", "fade", "q", "3", "6", "3", "vol",
                              "0.5", seconds=6.0))
        seen = set()

        def rose_and_fell():
            seen.update(value := self.olad.universe()[BAND_5 - 1:BAND_5])
            return len(seen - {0}) >= 3 and value == [0]

        poll_until(rose_and_fell, 30, "channel 5 to rise through several levels and fall to 0")
        self.assertTrue(any(0 < v < 255 for v in seen), seen)
        self.exit_dark(glowtern)
        values = settings_values(glowtern.settings())
        self.assertEqual((values["DMX"], values["DMX_Mode"]), ("1", "1"))
