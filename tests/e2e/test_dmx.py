"""DMX through the Open Lighting Architecture: the real glowtern sends a universe to a real
olad, read back through OLA's own client API and, from olad's Art-Net port, as packets on
the wire.

These cases run in a network namespace of their own with nothing but loopback (e2e.cmake
starts them under `unshare --net`), so olad, the program and the listener below can send
nothing beyond this machine; each case checks that first. olad runs as the user `olad`
(it refuses root) with a configuration directory of the bench's, no HTTP server and every
plugin off but Art-Net, which is bound to 127.0.0.1 and broadcasts on loopback.
"""

import os
import socket
import struct
import subprocess
import threading
import time

from harness import (
    MANUAL_BAND_5,
    TRAY_DMX,
    GlowternTestCase,
    poll_until,
    setting,
    settings_file,
)

ARTNET_PORT = 6454
# Every plugin olad has; all but Art-Net are switched off.
OLA_PLUGINS = ("artnet", "dummy", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet",
               "milinst", "opendmx", "openpixelcontrol", "osc", "pathport", "renard", "sandnet",
               "shownet", "spi", "stageprofi", "uartdmx", "usbdmx", "usbserial")
ARTNET_CONFIG = {"enabled": "true", "ip": "127.0.0.1", "use_loopback": "true",
                 "always_broadcast": "true", "use_limited_broadcast": "true",
                 "output_ports": "1"}
BAND_5 = 5  # channel 5 with the start address 1
BEATS = (19, 20, 21)


class OlaDaemon:
    """olad on the bench with one plugin on, `output`: "artnet" (see above) or "dummy"
    (which sends nothing anywhere). start() waits until it answers and patches that
    plugin's output port 0 to universe 1 (olad drops a universe that no port is patched
    to)."""

    def __init__(self, bench, output="artnet"):
        self.bench = bench
        self.config = bench.make_dir("ola", mode=0o700)
        for plugin in OLA_PLUGINS:
            keys = {"enabled": "false"}
            if plugin == output:
                keys = ARTNET_CONFIG if plugin == "artnet" else {"enabled": "true"}
            with open(os.path.join(self.config, f"ola-{plugin}.conf"), "w") as file:
                file.write("".join(f"{key} = {value}\n" for key, value in keys.items()))
        subprocess.run(["chown", "-R", "olad:nogroup", self.config], check=True)
        self.process = None

    def start(self):
        """Starts olad; returns time.monotonic() when it first answered."""
        self.process = self.bench.spawn(
            "olad",
            ["setpriv", "--reuid=olad", "--regid=nogroup", "--clear-groups", "--pdeathsig=KILL",
             "olad", "--config-dir", self.config, "--no-http", "--no-register-with-dns-sd",
             "-l", "3"],
            env=self.bench.client_env())
        poll_until(lambda: self.ola("ola_uni_info").returncode == 0, 20, "olad to answer",
                   interval=0.02)
        answered = time.monotonic()
        self.ola("ola_patch", "--device", "1", "--port", "0", "--universe", "1", check=True)
        return answered

    def kill(self):
        self.process.kill()
        self.process.wait(timeout=10)

    def ola(self, *argv, check=False):
        result = subprocess.run(argv, env=self.bench.client_env(), capture_output=True,
                                text=True, timeout=15)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(argv)} failed: {result.stderr.strip()}")
        return result

    def universe(self):
        """Universe 1's channel values as olad holds them ([] while it has none)."""
        result = self.ola(setting("GLOWTERN_E2E_OLA_FETCH"), "1")
        return [int(v) for v in result.stdout.split()] if result.returncode == 0 else []

    def channel(self, number):
        values = self.universe()
        return values[number - 1] if len(values) >= number else None


class ArtNetListener:
    """Takes every ArtDmx packet broadcast on loopback, on a thread of its own, and keeps
    (time.monotonic(), Art-Net universe, channel values)."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.socket.bind(("0.0.0.0", ARTNET_PORT))
        self.socket.settimeout(0.2)
        self.packets = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self.listen, daemon=True)
        self.thread.start()

    def listen(self):
        while self.running:
            try:
                data = self.socket.recv(1024)
            except socket.timeout:
                continue
            # "Art-Net\0", opcode 0x5000 (little-endian), version, sequence, physical,
            # port address (little-endian), length (big-endian), the channels.
            if len(data) < 18 or data[:8] != b"Art-Net\0" or data[8:10] != b"\x00\x50":
                continue
            universe, = struct.unpack_from("<H", data, 14)
            length, = struct.unpack_from(">H", data, 16)
            with self.lock:
                self.packets.append((time.monotonic(), universe, list(data[18:18 + length])))

    def close(self):
        self.running = False
        self.thread.join()
        self.socket.close()

    def since(self, moment):
        with self.lock:
            return [values for at, universe, values in self.packets
                    if at > moment and universe == 1]


def with_dmx(settings, **keys):
    return settings + settings_file(**keys)


class DmxTest(GlowternTestCase):
    sound = True

    def setUp(self):
        # Nothing may start unless this process sees loopback alone.
        self.assertEqual([name for _, name in socket.if_nameindex()], ["lo"],
                         "not in a network namespace of its own: run through ctest")
        super().setUp()
        self.olad = OlaDaemon(self.bench)
        self.listener = ArtNetListener()
        self.addCleanup(self.listener.close)

    def start_listening(self, settings):
        glowtern = self.start(settings=settings)
        poll_until(lambda: self.bench.sound.recording_clients() > 0, 20,
                   "glowtern's recording stream")
        return glowtern

    def wait_channel(self, number, condition, what, timeout=20):
        poll_until(lambda: (value := self.olad.channel(number)) is not None and condition(value),
                   timeout, what)

    def test_switch_mode_follows_the_tone_outlives_olad_and_ends_dark(self):
        # olad is not running yet: the show goes on, with no message, and DMX is tried
        # again until olad answers.
        glowtern = self.start_listening(with_dmx(MANUAL_BAND_5, DMX=1))
        glowtern.wait_port_writes(60)
        self.assertTrue(glowtern.running())
        self.assertIsNone(self.screen.message_box())
        answered = self.olad.start()
        poll_until(lambda: len(self.olad.universe()) == 512, 3.0 - (time.monotonic() - answered),
                   "the universe within 3 s of olad answering")
        self.wait_channel(BAND_5, lambda v: v == 0, "channel 5 dark in silence")

        sound = self.bench.sound
        tone = sound.tone(100, seconds=30)
        played = time.monotonic()
        sound.play(tone)
        self.wait_channel(BAND_5, lambda v: v == 255, "channel 5 at 255 with the tone")
        poll_until(lambda: any(len(v) >= BAND_5 and v[BAND_5 - 1] == 255
                               for v in self.listener.since(played)), 10,
                   "channel 5 at 255 in an Art-Net packet")
        self.assertEqual({len(v) for v in self.listener.since(played)}, {512})
        poll_until(lambda: any(v[BEATS[0] - 1] == 255 for v in self.listener.since(played)),
                   10, "a low beat on channel 19")

        # olad killed and started again mid-show: the values are back within 3 s.
        self.olad.kill()
        time.sleep(1)
        self.assertTrue(glowtern.running())
        answered = self.olad.start()
        poll_until(lambda: self.olad.channel(BAND_5) == 255, 3.0 - (time.monotonic() - answered),
                   "channel 5 back at 255 within 3 s of olad answering again")

        stopped = sound.stop()
        self.wait_channel(BAND_5, lambda v: v == 0, "channel 5 dark after the tone")
        self.bench.screenshot("show")

        # Exit: the universe is sent once more with every channel at 0, on the wire too.
        sound.play(tone)
        self.wait_channel(BAND_5, lambda v: v == 255, "channel 5 lit again")
        exiting = time.monotonic()
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        # (olad takes in what the program sent last on its own time)
        poll_until(lambda: self.olad.universe() == [0] * 512, 5, "every channel at 0 in olad")
        poll_until(lambda: (self.listener.since(exiting) or [[1]])[-1] == [0] * 512, 10,
                   "an Art-Net packet with every channel at 0")
        self.assertGreater(stopped, played)

    def test_level_mode_rises_and_falls_with_the_tone_and_dmx_is_ticked_in_the_tray(self):
        self.olad.start()
        # Level 20 keeps band 5's level of a soft tone inside the meter's 0..40.
        settings = with_dmx(MANUAL_BAND_5.replace(b"Level = 35", b"Level = 20"), DMX_Mode=1)
        glowtern = self.start_listening(settings)
        self.wait_tray_icon()
        self.choose_from_tray_menu(TRAY_DMX)
        self.wait_channel(BAND_5, lambda v: v == 0, "the universe, channel 5 dark in silence")

        sound = self.bench.sound
        sound.play(sound.make("swell.wav", "sine", "100", "fade", "q", "3", "6", "3",
                              "vol", "0.5", seconds=6.0))
        seen = set()

        def peaked():
            value = self.olad.channel(BAND_5)
            seen.add(value)
            return len(seen - {0, None}) >= 3 and value == 0

        poll_until(peaked, 30, "channel 5 to rise through several levels and fall back to 0")
        self.assertTrue(any(0 < v < 255 for v in seen - {None}), seen)
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        values = self.settings_values(self.read_settings(glowtern))
        self.assertEqual((values["DMX"], values["DMX_Mode"]), ("1", "1"))
        poll_until(lambda: self.olad.universe() == [0] * 512, 5, "every channel at 0 in olad")
