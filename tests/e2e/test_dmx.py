# DMX through the Open Lighting Architecture: the real glowtern sends a universe to a real
# olad, read back through OLA's own client API and, from olad's Art-Net port, as packets on
# the wire.
#
# These cases run in a network namespace of their own with nothing but loopback (CMakeLists.txt
# starts them under `unshare --net`), so nothing can leave this machine; each case checks that
# first. olad runs as the user `olad` (it refuses root) with a configuration of the bench's, no
# HTTP server and every plugin off but Art-Net, bound to 127.0.0.1 and broadcasting on loopback.

import os
import re
import socket
import subprocess
import time

from harness import MANUAL_BAND_5, TRAY_DMX, GlowternTestCase, poll_until, settings_values

OLA_PLUGINS = ("artnet", "dummy", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet",
               "milinst", "opendmx", "openpixelcontrol", "osc", "pathport", "renard", "sandnet",
               "shownet", "spi", "stageprofi", "uartdmx", "usbdmx", "usbserial")
ARTNET = {"enabled": "true", "ip": "127.0.0.1", "use_loopback": "true",
          "always_broadcast": "true", "use_limited_broadcast": "true", "output_ports": "1"}
BAND_5 = 5  # channel 5 with the start address 1


class OlaDaemon:
    # olad on the bench with its Art-Net plugin alone. start() waits until it answers and patches
    # the Art-Net output port to universe 1 (olad drops a universe that no port is patched to).
    def __init__(self, bench):
        self.bench = bench
        self.config = bench.make_dir("ola", mode=0o700)
        for plugin in OLA_PLUGINS:
            keys = ARTNET if plugin == "artnet" else {"enabled": "false"}
            with open(os.path.join(self.config, f"ola-{plugin}.conf"), "w") as file:
                file.write("".join(f"{key} = {value}\n" for key, value in keys.items()))
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


class ArtNetListener:
    # The ArtDmx packets olad broadcasts on loopback. The socket's buffer keeps the oldest of
    # them when it is full, so each wait starts from an empty one.
    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.socket.bind(("0.0.0.0", 6454))
        self.socket.setblocking(False)

    def received(self):  # the channel values of each packet that came since the last call
        packets = []
        while True:
            try:
                data = self.socket.recv(1024)
            except BlockingIOError:
                return packets
            # "Art-Net\0", opcode 0x5000 little-endian, ..., length big-endian, the channels.
            if data[:10] == b"Art-Net\0\x00\x50":
                packets.append(list(data[18:18 + int.from_bytes(data[16:18], "big")]))

    def wait_for(self, condition, what):  # until a packet from now on meets `condition`
        self.received()
        poll_until(lambda: any(condition(values) for values in self.received()), 10, what)


class DmxTest(GlowternTestCase):
    sound = True

    def setUp(self):
        # Nothing may start unless this process sees loopback alone.
        self.assertEqual([name for _, name in socket.if_nameindex()], ["lo"],
                         "not in a network namespace of its own: run through ctest")
        super().setUp()
        self.olad = OlaDaemon(self.bench)
        self.wire = ArtNetListener()
        self.addCleanup(self.wire.socket.close)

    def wait_channels(self, values, what, timeout=20, first=BAND_5):
        poll_until(lambda: self.olad.universe()[first - 1:first - 1 + len(values)] == values,
                   timeout, what)

    def exit_dark(self, glowtern):  # the universe is sent once more with every channel at 0
        self.wire.received()
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        self.wait_channels([0] * 512, "every channel at 0 in olad", 5, first=1)
        last = []
        poll_until(lambda: last.extend(self.wire.received()) or last[-1:] == [[0] * 512], 10,
                   "the last Art-Net packet with every channel at 0")

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
        self.wire.wait_for(lambda v: len(v) == 512 and v[BAND_5 - 1] == 255,
                           "channel 5 at 255 in an Art-Net packet")

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
