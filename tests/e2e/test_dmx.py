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
import struct
import subprocess
import time

from harness import (MANUAL_BAND_5, TRAY_DMX, GlowternTestCase, poll_until, settings_values)

OLA_PLUGINS = ("artnet", "dummy", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet",
               "milinst", "opendmx", "openpixelcontrol", "osc", "pathport", "renard", "sandnet",
               "shownet", "spi", "stageprofi", "uartdmx", "usbdmx", "usbserial")
ARTNET_CONFIG = {"enabled": "true", "ip": "127.0.0.1", "use_loopback": "true",
                 "always_broadcast": "true", "use_limited_broadcast": "true", "output_ports": "1"}
BAND_5 = 5  # channel 5 with the start address 1


class OlaDaemon:
    # olad on the bench with one plugin on, `output`: "artnet" (see above) or "dummy" (which
    # sends nothing anywhere). start() waits until it answers and patches that plugin's output
    # port to universe 1 (olad drops a universe that no port is patched to).
    def __init__(self, bench, output="artnet"):
        self.bench = bench
        self.config = bench.make_dir("ola", mode=0o700)
        for plugin in OLA_PLUGINS:
            keys = {"enabled": "false"} if plugin != output else (
                ARTNET_CONFIG if plugin == "artnet" else {"enabled": "true"})
            with open(os.path.join(self.config, f"ola-{plugin}.conf"), "w") as file:
                file.write("".join(f"{key} = {value}\n" for key, value in keys.items()))
        subprocess.run(["chown", "-R", "olad:nogroup", self.config], check=True)

    def start(self):
        # Starts olad; returns time.monotonic() when it first answered.
        self.process = self.bench.spawn("olad", [
            "setpriv", "--reuid=olad", "--regid=nogroup", "--clear-groups", "--pdeathsig=KILL",
            "olad", "--config-dir", self.config, "--no-http", "--no-register-with-dns-sd"])
        poll_until(lambda: self.ola("ola_uni_info").returncode == 0, 20, "olad to answer", 0.02)
        answered = time.monotonic()
        patch = self.ola("ola_patch", "--device", "1", "--port", "0", "--universe", "1")
        if patch.returncode:
            raise AssertionError(f"ola_patch failed: {patch.stderr}")
        return answered

    def ola(self, *argv):
        return subprocess.run(argv, env=self.bench.client_env(), capture_output=True, text=True,
                              timeout=15)

    def universe(self):
        # Universe 1's channel values as olad holds them ([] while it has none).
        fetched = self.ola(os.environ["GLOWTERN_E2E_OLA_FETCH"], "1").stdout  # "" on failure
        return [int(v) for v in re.findall(r"\d+", fetched)]


class ArtNetListener:
    # The ArtDmx packets of universe 1 broadcast on loopback: (time.monotonic() when read,
    # channel values), read whenever since() is called.
    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.socket.bind(("0.0.0.0", 6454))
        self.socket.setblocking(False)
        self.packets = []

    def since(self, moment):
        while True:
            try:
                data = self.socket.recv(1024)
            except BlockingIOError:
                return [values for at, values in self.packets if at > moment]
            # "Art-Net\0", opcode 0x5000 (little-endian), version, sequence, physical, port
            # address (little-endian), length (big-endian), the channels.
            if data[:10] == b"Art-Net\0\x00\x50" and struct.unpack_from("<H", data, 14)[0] == 1:
                length = struct.unpack_from(">H", data, 16)[0]
                self.packets.append((time.monotonic(), list(data[18:18 + length])))


class DmxTest(GlowternTestCase):
    sound = True

    def setUp(self):
        # Nothing may start unless this process sees loopback alone.
        self.assertEqual([name for _, name in socket.if_nameindex()], ["lo"],
                         "not in a network namespace of its own: run through ctest")
        super().setUp()
        self.olad = OlaDaemon(self.bench)
        self.artnet = ArtNetListener()
        self.addCleanup(self.artnet.socket.close)

    def wait_channel_5(self, value, what, timeout=20):
        poll_until(lambda: self.olad.universe()[BAND_5 - 1:BAND_5] == [value], timeout, what)

    def wait_dark_universe_after_exit(self, glowtern):
        self.artnet.since(0)
        exiting = time.monotonic()
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        # (olad takes in what the program sent last on its own time)
        poll_until(lambda: self.olad.universe() == [0] * 512, 5, "every channel at 0 in olad")
        poll_until(lambda: (self.artnet.since(exiting) or [[1]])[-1] == [0] * 512, 10,
                   "an Art-Net packet with every channel at 0")

    def test_switch_mode_follows_the_tone_outlives_olad_and_ends_dark(self):
        # olad is not running yet: the show goes on, with no message, and DMX is tried again
        # until olad answers.
        glowtern = self.start(settings=MANUAL_BAND_5 + b"DMX = 1\r\n")
        glowtern.wait_port_writes(60)
        self.assertIsNone(self.screen.message_box())
        answered = self.olad.start()
        poll_until(lambda: len(self.olad.universe()) == 512, 3.0 - (time.monotonic() - answered),
                   "the universe within 3 s of olad answering")
        self.wait_channel_5(0, "channel 5 dark in silence")

        sound = self.bench.sound
        tone = sound.tone(100, seconds=30)
        played = time.monotonic()
        sound.play(tone)
        self.wait_channel_5(255, "channel 5 at 255 with the tone")
        poll_until(lambda: any(v[BAND_5 - 1] == 255 for v in self.artnet.since(played)), 10,
                   "channel 5 at 255 in an Art-Net packet")
        self.assertEqual({len(v) for v in self.artnet.since(played)}, {512})
        poll_until(lambda: any(v[18] == 255 for v in self.artnet.since(played)), 10,
                   "a low beat on channel 19")

        # olad killed and started again mid-show: the values are back within 3 s.
        self.olad.process.kill()
        self.olad.process.wait()
        time.sleep(1)
        self.assertTrue(glowtern.running())
        answered = self.olad.start()
        self.wait_channel_5(255, "channel 5 back at 255 within 3 s of olad answering again",
                            3.0 - (time.monotonic() - answered))
        sound.stop()
        self.wait_channel_5(0, "channel 5 dark after the tone")

        # Exit: the universe is sent once more with every channel at 0, on the wire too.
        sound.play(tone)
        self.wait_channel_5(255, "channel 5 lit again")
        self.wait_dark_universe_after_exit(glowtern)

    def test_level_mode_rises_and_falls_with_the_tone_and_dmx_is_ticked_in_the_tray(self):
        self.olad.start()
        # Level 20 keeps band 5's level of a soft tone inside the meter's 0..40.
        glowtern = self.start(settings=MANUAL_BAND_5.replace(b"Level = 35", b"Level = 20")
                              + b"DMX_Mode = 1\r\n")
        self.choose_from_tray_menu(TRAY_DMX)
        self.wait_channel_5(0, "the universe, channel 5 dark in silence")
        sound = self.bench.sound
        sound.play(sound.make("swell.wav", "sine", "100", "fade", "q", "3", "6", "3", "vol",
                              "0.5", seconds=6.0))
        seen = set()

        def rose_and_fell():
            seen.update(value := self.olad.universe()[BAND_5 - 1:BAND_5])
            return len(seen - {0}) >= 3 and value == [0]

        poll_until(rose_and_fell, 30, "channel 5 to rise through several levels and fall to 0")
        self.assertTrue(any(0 < v < 255 for v in seen), seen)
        self.wait_dark_universe_after_exit(glowtern)
        values = settings_values(glowtern.settings())
        self.assertEqual((values["DMX"], values["DMX_Mode"]), ("1", "1"))
