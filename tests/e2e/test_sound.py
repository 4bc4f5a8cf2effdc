"""Sound to light: tones and noise played into the sound server that glowtern records
from, and what reaches the parallel port and the lock LEDs."""

import time

from harness import (
    AUTO_BUTTON,
    KEY_CHECK_BOX,
    LPT_CHECK_BOX,
    D1,
    DARK,
    MANUAL_BAND_5,
    MANUAL_BUTTON,
    GlowternTestCase,
    poll_until,
    settings_file,
)

class SoundTest(GlowternTestCase):
    sound = True

    def start_listening(self, **options):
        glowtern = self.start(**options)
        sound = self.bench.sound
        poll_until(lambda: sound.recording_clients() > 0, 20, "glowtern's recording stream")
        return glowtern, sound

    def cycles_between(self, glowtern, start, end=None):
        return [(data, control) for ns, data, control in glowtern.port().cycles()
                if ns > start and (end is None or ns < end)]

    def wait_dark(self, glowtern, after, cycles=10):
        """Waits until the last `cycles` port cycles after `after` were all dark."""
        def dark():
            recent = self.cycles_between(glowtern, after)[-cycles:]
            return len(recent) == cycles and set(recent) == {DARK}

        poll_until(dark, 20, "the port to go dark")

    def test_a_tone_drives_line_d1_and_num_lock_and_lpt_unticked_holds_the_port(self):
        glowtern, sound = self.start_listening(settings=MANUAL_BAND_5)
        leds = self.screen.watch_leds()
        tone = sound.tone(100, seconds=10)

        played = sound.play(tone)
        poll_until(lambda: D1 in [d for d, _ in self.cycles_between(glowtern, played)], 20,
                   "line D1 to come on with the tone")
        poll_until(lambda: [t for t in leds.times("num", 1) if t > played], 10,
                   "the Num Lock LED to come on with the tone")
        glowtern.wait_port_writes(20)
        stopped = sound.stop()
        self.wait_dark(glowtern, stopped)
        poll_until(lambda: self.screen.leds()["num"] == 0, 10, "Num Lock to go off in silence")

        cycles = glowtern.port().cycles()
        before = [(d, c) for ns, d, c in cycles if ns < played]
        during = [(d, c) for ns, d, c in cycles if played < ns < stopped]
        self.assertTrue(before and set(before) == {DARK}, "lines on before the tone")
        self.assertEqual({d for d, c in during} - {0x00}, {D1}, "a line other than D1 came on")
        self.assertEqual({c for d, c in during}, {0x0B})
        # The LED comes on at the tone's onset: within a few cycles of line D1's first
        # cycle, and never before the tone.
        first_d1 = next(ns for ns, d, c in cycles if ns > played and d == D1)
        first_num = min(t for t in leds.times("num", 1) if t > played)
        cycle_times = [ns for ns, d, c in cycles]
        between = [ns for ns in cycle_times if min(first_d1, first_num) < ns < max(
            first_d1, first_num)]
        self.assertLessEqual(len(between), 3, "Num Lock came on apart from line D1")
        self.assertEqual([t for t in leds.times("num", 1) if t < played], [])

        # LPT unticked: the same tone leaves the port at rest, while the LEDs still react.
        self.open_window_from_tray()
        unticked = glowtern.port().count()
        self.screen.click_in_window(LPT_CHECK_BOX)
        glowtern.wait_port_writes(10)
        self.bench.screenshot("lpt-unticked")
        played = sound.play(tone)
        poll_until(lambda: [t for t in leds.times("num", 1) if t > played], 20,
                   "the Num Lock LED to react to the tone")
        glowtern.wait_port_writes(40)
        sound.stop()
        held = glowtern.port().cycles()[unticked // 2 + 1:]
        self.assertEqual(set((d, c) for _, d, c in held), {DARK})

        self.assertEqual(self.exit_from_tray(glowtern), 0)
        port = glowtern.port()
        self.assert_port_protocol(port)
        self.assert_outputs_off_last(port)
        values = self.settings_values(self.read_settings(glowtern))
        self.assertEqual(values["LPT_LED"], "0")
        self.assertEqual(values["KEY_LED"], "1")
        self.assertEqual(values["Effect"], "1")

    def test_key_unticked_hands_the_lock_leds_back(self):
        self.screen.key("Caps_Lock")
        poll_until(lambda: self.screen.leds()["caps"] == 1, 10, "Caps Lock on before start")
        glowtern, sound = self.start_listening(settings=MANUAL_BAND_5)
        leds = self.screen.watch_leds()
        # The show owns the LEDs: in silence every one is off.
        poll_until(lambda: self.screen.leds() == {"caps": 0, "num": 0, "scroll": 0}, 10,
                   "the show to take the LEDs")
        self.open_window_from_tray()
        self.screen.click_in_window(KEY_CHECK_BOX)
        poll_until(lambda: self.screen.leds() == {"caps": 1, "num": 0, "scroll": 0}, 10,
                   "the LEDs to be handed back")
        handed_back = len(leds.changes())
        self.bench.screenshot("key-unticked")

        # A tone still lights line D1, and leaves the LEDs alone.
        played = sound.play(sound.tone(100, seconds=10))
        poll_until(lambda: D1 in [d for d, _ in self.cycles_between(glowtern, played)], 20,
                   "line D1 to come on with the tone")
        glowtern.wait_port_writes(20)
        sound.stop()
        self.assertEqual(len(leds.changes()), handed_back, leds.changes()[handed_back:])
        self.assertEqual(self.screen.leds(), {"caps": 1, "num": 0, "scroll": 0})

        self.assertEqual(self.exit_from_tray(glowtern), 0)
        self.assertEqual(self.screen.leds(), {"caps": 1, "num": 0, "scroll": 0})
        self.assertEqual(self.settings_values(self.read_settings(glowtern))["KEY_LED"], "0")

    def test_auto_mode_moves_the_band_sliders_to_the_sound(self):
        # No settings file: Manual then keeps the sliders where Auto left them, and the
        # Exit in Manual mode saves them.
        glowtern, sound = self.start_listening()
        self.open_window_from_tray()
        self.screen.click_in_window(AUTO_BUTTON)
        played = sound.play(sound.tone(100, seconds=12))
        poll_until(lambda: D1 in [d for d, _ in self.cycles_between(glowtern, played)], 20,
                   "line D1 to come on with the tone")
        glowtern.wait_port_writes(40)
        self.bench.screenshot("auto-during-tone")
        self.screen.click_in_window(MANUAL_BUTTON)
        glowtern.wait_port_writes(4)
        sound.stop()
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        values = self.settings_values(self.read_settings(glowtern))
        self.assertEqual(values["Effect"], "1")
        bands = [int(values[f"fr{n}"]) for n in range(1, 19)]
        print(f"\nband sliders after Auto with a 100 Hz tone: {bands}")
        # Band 5 holds the tone: its threshold went up to the tone's level, well above
        # the bands from 9 up, which hear only the tone's faint spread.
        self.assertGreaterEqual(bands[4], 20, bands)
        self.assertEqual(max(bands), bands[4], bands)
        self.assertTrue(all(b < bands[4] / 2 for b in bands[8:]), bands)

    def test_rnd_mode_flickers_with_noise_and_goes_dark_in_silence(self):
        glowtern, sound = self.start_listening(
            settings=settings_file(Effect=3, Level=35, ARU=35, KEY_LED=1, LPT_LED=1))
        noise = sound.make("noise.wav", "pinknoise", "vol", "0.5", seconds=10)
        played = sound.play(noise)
        poll_until(lambda: len(set(self.cycles_between(glowtern, played))) >= 4, 20,
                   "the port to flicker with the noise")
        glowtern.wait_port_writes(40)
        stopped = sound.stop()
        self.wait_dark(glowtern, stopped)

        during = self.cycles_between(glowtern, played, stopped)
        lit = [c for c in during if c != DARK]
        changes = sum(1 for a, b in zip(during, during[1:]) if a != b)
        self.assertGreaterEqual(len(set(lit)), 4, during)
        self.assertGreaterEqual(changes, 10, during)
        # Lines of the control register flicker too (bands 12 to 15).
        self.assertGreater(len({c for _, c in during}), 1, during)
        self.assertEqual(set(self.cycles_between(glowtern, 0, played)), {DARK})
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        self.assert_port_protocol(glowtern.port())

    def wait_lines(self, glowtern, since, data, control=0x0B, cycles=5, timeout=10,
                   what="the port"):
        """Waits until the last `cycles` port cycles after `since` all were (data, control);
        returns the time of the first of them."""
        def settled():
            recent = [(ns, d, c) for ns, d, c in glowtern.port().cycles() if ns > since][-cycles:]
            if len(recent) == cycles and {(d, c) for _, d, c in recent} == {(data, control)}:
                return recent[0][0]
            return None

        return poll_until(settled, timeout, f"{what} to show {data:#04x} {control:#04x}")

    def recording_application(self, sound):
        """The application name of the recording stream the server has."""
        text = sound.pactl("list", "source-outputs").stdout
        names = [line.split("=", 1)[1].strip().strip('"') for line in text.splitlines()
                 if line.strip().startswith("application.name =")]
        return names

    def test_what_this_computer_plays_is_heard_and_follows_the_default_output(self):
        # The default input is a second null sink's monitor, where nothing ever plays.
        sound = self.bench.sound
        self.assertEqual(sound.pactl("load-module", "module-null-sink", "sink_name=quiet")
                         .returncode, 0)
        for setting in (("set-default-sink", "t"), ("set-default-source", "quiet.monitor")):
            self.assertEqual(sound.pactl(*setting).returncode, 0, setting)
        glowtern, _ = self.start_listening(settings=MANUAL_BAND_5 + b"Sound_From = 1\r\n")
        # Recorded through the sound server's own client, not through ALSA's plug-in.
        self.assertEqual(self.recording_application(sound), ["Glowtern"])
        played = sound.play(sound.tone(100, seconds=60))
        on = self.wait_lines(glowtern, played, D1, what="the tone on the default output")

        # The default output changes (the server moves the tone along; it is put back): the
        # recording follows the default output, where nothing plays, and comes back with it.
        self.assertEqual(sound.pactl("set-default-sink", "quiet").returncode, 0)
        tone_stream = sound.pactl("list", "short", "sink-inputs").stdout.split()[0]
        self.assertEqual(sound.pactl("move-sink-input", tone_stream, "t").returncode, 0)
        off = self.wait_lines(glowtern, on, 0x00, what="the new default output's silence")
        self.assertEqual(sound.pactl("set-default-sink", "t").returncode, 0)
        on = self.wait_lines(glowtern, off, D1, what="the tone again")

        # Chosen in the tray menu: the default input hears nothing, this computer the tone.
        self.choose_sound_from(1)
        off = self.wait_lines(glowtern, on, 0x00, what="the default input's silence")
        self.bench.screenshot("default-input")
        self.choose_sound_from(2)
        self.wait_lines(glowtern, off, D1, what="the tone with this computer chosen")
        sound.stop()
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        values = self.settings_values(self.read_settings(glowtern))
        self.assertEqual(values["Sound_From"], "1")
        self.assertEqual(len(values), 44, sorted(values))

    def test_a_named_source_that_goes_away_gives_the_default_input_until_it_is_back(self):
        # A 2400 Hz source (band 14, the port's Initialize line, control bit 0x04) is chosen;
        # a 100 Hz tone plays to the default input (band 5, line D1).
        sound = self.bench.sound
        sine = ("module-sine-source", "source_name=sine", "frequency=2400")
        self.assertEqual(sound.pactl("load-module", *sine).returncode, 0)
        settings = settings_file(
            Effect=1, **{f"fr{n}": (3 if n in (5, 14) else 39) for n in range(1, 19)},
            Level=35, ARU=35, KEY_LED=0, LPT_LED=1, Sound_From=2, Sound_Source="sine")
        glowtern, _ = self.start_listening(settings=settings)
        played = sound.play(sound.tone(100, seconds=60))
        sine_on = self.wait_lines(glowtern, played, 0x00, 0x0F, what="the named source")

        self.assertEqual(sound.pactl("unload-module", "module-sine-source").returncode, 0)
        tone_on = self.wait_lines(glowtern, sine_on, D1, what="the default input's tone")
        self.assertEqual(sound.pactl("load-module", *sine).returncode, 0)
        self.wait_lines(glowtern, tone_on, 0x00, 0x0F, what="the named source again")
        sound.stop()
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        values = self.settings_values(self.read_settings(glowtern))
        self.assertEqual((values["Sound_From"], values["Sound_Source"]), ("2", "sine"))

    def test_a_sound_server_that_comes_goes_and_comes_back(self):
        # No server at the start: the show runs dark, and takes the server when it comes.
        first = self.bench.sound.process
        first.kill()
        first.wait()
        glowtern = self.start(settings=MANUAL_BAND_5)
        glowtern.wait_port_writes(20)
        sound = self.bench.start_sound()  # the same place the program looks for it
        poll_until(lambda: sound.recording_clients() > 0, 20, "glowtern to start recording")
        tone = sound.tone(100, seconds=30)
        on = self.wait_lines(glowtern, sound.play(tone), D1, what="the tone")

        # Killed mid-show: the lamps go off and stay off, and nothing spins while it is away.
        sound.process.kill()
        killed = time.monotonic_ns()
        self.wait_lines(glowtern, on, 0x00, what="silence without the server")
        away = glowtern.cpu_share(seconds=4.0)
        print(f"\nCPU while the server is away: {100 * away:.1f} % of a core")
        self.assertLess(away, 0.05)

        # Back: heard within 2 s of the server answering again.
        sound.process.wait()
        sound = self.bench.start_sound()
        back = time.monotonic_ns()
        sound.play(tone)
        self.wait_lines(glowtern, back, D1, cycles=1, what="the tone after the restart")
        heard = next(ns for ns, d, c in glowtern.port().cycles() if ns > back and d == D1)
        print(f"band 5 back {(heard - back) / 1e6:.0f} ms after the server answered")
        self.assertLess(heard - back, 2_000_000_000)
        away_cycles = {(d, c) for ns, d, c in glowtern.port().cycles()
                       if killed + 200_000_000 < ns < back}
        self.assertEqual(away_cycles, {DARK})
        self.assertEqual(self.exit_from_tray(glowtern), 0)
