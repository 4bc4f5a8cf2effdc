# Sound to light: tones and noise played into the sound server that glowtern records from,
# and what reaches the parallel port and the lock LEDs; where the sound comes from.

import re

from harness import (AUTO_BUTTON, D1, DARK, KEY_CHECK_BOX, LPT_CHECK_BOX, MANUAL_BAND_5,
                     MANUAL_BUTTON, RND_BUTTON, TRAY_SOUND_FROM, GlowternTestCase, poll_until,
                     settings_file, settings_values)

CAPS_ONLY = {"caps": 1, "num": 0, "scroll": 0}


class SoundTest(GlowternTestCase):
    sound = True

    def wait_lit(self, glowtern, since, data=D1):
        poll_until(lambda: data in {d for _, d, _ in glowtern.cycles(since)}, 20,
                   f"the port to show {data:#04x}")

    def test_a_tone_lights_d1_and_num_lock_and_key_and_lpt_switch_them_apart(self):
        self.screen.key("Caps_Lock")
        poll_until(lambda: self.screen.leds() == CAPS_ONLY, 10, "Caps Lock on before start")
        glowtern = self.start(settings=MANUAL_BAND_5)
        leds = self.screen.watch_leds()
        num_on = lambda: [t for t, s in leds() if s["num"]]  # noqa: E731
        poll_until(lambda: self.screen.leds() == dict(CAPS_ONLY, caps=0), 10,
                   "the show to take the LEDs (all off in silence)")
        sound = self.bench.sound
        tone = sound.tone(100, seconds=10)
        played = sound.play(tone)
        self.wait_lit(glowtern, played)
        poll_until(num_on, 10, "Num Lock to come on with the tone")
        glowtern.wait_cycles(10)
        stopped = sound.stop()
        glowtern.wait_lines(stopped, 0x00, cycles=10, timeout=20, what="silence")
        poll_until(lambda: self.screen.leds()["num"] == 0, 10, "Num Lock to go off in silence")
        cycles = glowtern.cycles()
        self.assertEqual({c[1:] for c in cycles if c[0] < played}, {DARK})
        self.assertEqual({c[1:] for c in cycles if played < c[0] < stopped} - {DARK}, {(D1, 0x0B)})
        # Num Lock comes on at the tone's onset, within a few cycles of line D1.
        first = sorted([num_on()[0], next(ns for ns, d, _ in cycles if d == D1)])
        self.assertLessEqual(len([c for c in cycles if first[0] < c[0] < first[1]]), 3, first)
        self.assertGreater(first[0], played)

        # KEY unticked hands the LEDs back as they were at the start; a tone still lights
        # line D1 and leaves them alone.
        self.open_window_from_tray()
        self.screen.click_in_window(KEY_CHECK_BOX)
        poll_until(lambda: self.screen.leds() == CAPS_ONLY, 10, "the LEDs to be handed back")
        handed_back = len(leds())
        played = sound.play(tone)
        self.wait_lit(glowtern, played)
        glowtern.wait_cycles(10)
        sound.stop()
        self.assertEqual(leds()[handed_back:], [])
        # KEY ticked again and LPT unticked: the tone reaches the LEDs, the port stays dark.
        self.screen.click_in_window(KEY_CHECK_BOX, LPT_CHECK_BOX)
        glowtern.wait_cycles(5)
        self.bench.screenshot("lpt-unticked")
        played = sound.play(tone)
        poll_until(lambda: [t for t in num_on() if t > played], 20, "Num Lock with the tone")
        glowtern.wait_cycles(20)
        sound.stop()
        self.assertEqual({c[1:] for c in glowtern.cycles(played)}, {DARK})
        self.assert_ended_cleanly(glowtern, self.exit_from_tray(glowtern))
        self.assertEqual(self.screen.leds(), CAPS_ONLY)
        values = settings_values(glowtern.settings())
        self.assertEqual((values["LPT_LED"], values["KEY_LED"], values["Effect"]), ("0", "1", "1"))

    def test_rnd_flickers_with_noise_and_auto_moves_the_sliders_to_a_tone(self):
        # No settings file: no effect until a button is pressed, and Manual then keeps the
        # sliders where Auto left them, which the Exit in Manual mode saves.
        glowtern = self.start()
        sound = self.bench.sound
        self.open_window_from_tray()
        self.screen.click_in_window(RND_BUTTON)
        played = sound.play(sound.make("noise.wav", "pinknoise", "vol", "0.5", seconds=10))
        poll_until(lambda: len({c[1:] for c in glowtern.cycles(played)}) >= 4, 20,
                   "the port to flicker with the noise")
        glowtern.wait_cycles(20)
        stopped = sound.stop()
        glowtern.wait_lines(stopped, 0x00, cycles=10, timeout=20, what="silence")
        during = [c[1:] for c in glowtern.cycles(played) if c[0] < stopped]
        self.assertGreaterEqual(len(set(during) - {DARK}), 4, during)
        self.assertGreaterEqual(sum(a != b for a, b in zip(during, during[1:])), 10, during)
        self.assertGreater(len({c for _, c in during}), 1, "no control line flickers")
        self.assertEqual({c[1:] for c in glowtern.cycles() if c[0] < played}, {DARK})

        self.screen.click_in_window(AUTO_BUTTON)
        played = sound.play(sound.tone(100, seconds=12))
        self.wait_lit(glowtern, played)
        glowtern.wait_cycles(20)
        self.bench.screenshot("auto-during-tone")
        self.screen.click_in_window(MANUAL_BUTTON)
        glowtern.wait_cycles(2)
        sound.stop()
        self.assert_ended_cleanly(glowtern, self.exit_from_tray(glowtern))
        values = settings_values(glowtern.settings())
        bands = [int(values[f"fr{n}"]) for n in range(1, 19)]
        print(f"\nband sliders after Auto with a 100 Hz tone: {bands}")
        # Band 5 holds the tone: its threshold went up to the tone's level, well above the
        # bands from 9 up, which hear only the tone's faint spread.
        self.assertEqual(values["Effect"], "1")
        self.assertGreaterEqual(bands[4], 20, bands)
        self.assertEqual(max(bands), bands[4], bands)
        self.assertTrue(all(b < bands[4] / 2 for b in bands[8:]), bands)

    def test_what_this_computer_plays_is_heard_and_follows_the_default_output(self):
        # The default input is a second null sink's monitor, where nothing ever plays.
        sound = self.bench.sound
        sound.pactl("load-module", "module-null-sink", "sink_name=quiet", check=True)
        sound.pactl("set-default-source", "quiet.monitor", check=True)
        glowtern = self.start(settings=MANUAL_BAND_5 + b"Sound_From = 1\r\n")
        # Recorded through the sound server's own client, not through ALSA's plug-in.
        self.assertEqual(re.findall(r'application.name = "(.*)"',
                                    sound.pactl("list", "source-outputs").stdout), ["Glowtern"])
        on = glowtern.wait_lines(sound.play(sound.tone(100, seconds=60)), D1, what="the tone")
        # The default output changes (the tone is put back where it played): the recording
        # follows it, where nothing plays, and comes back with it.
        sound.pactl("set-default-sink", "quiet", check=True)
        tone_stream = sound.pactl("list", "short", "sink-inputs").stdout.split()[0]
        sound.pactl("move-sink-input", tone_stream, "t", check=True)
        off = glowtern.wait_lines(on, 0x00, what="the new default output's silence")
        sound.pactl("set-default-sink", "t", check=True)
        on = glowtern.wait_lines(off, D1, what="the tone again")
        # Chosen in the tray menu: the default input hears nothing, this computer the tone.
        self.choose_from_tray_menu(TRAY_SOUND_FROM, sound_from=1)
        off = glowtern.wait_lines(on, 0x00, what="the default input's silence")
        self.choose_from_tray_menu(TRAY_SOUND_FROM, sound_from=2)
        glowtern.wait_lines(off, D1, what="the tone with this computer chosen")
        sound.stop()
        self.assert_ended_cleanly(glowtern, self.exit_from_tray(glowtern))
        values = settings_values(glowtern.settings())
        self.assertEqual((values["Sound_From"], len(values)), ("1", 44), sorted(values))

    def test_a_named_source_that_goes_away_gives_the_default_input_until_it_is_back(self):
        # A 2400 Hz source (band 14, the port's Initialize line, control bit 0x04) is
        # chosen; a 100 Hz tone plays to the default input (band 5, line D1).
        sound = self.bench.sound
        sine = ("module-sine-source", "source_name=sine", "frequency=2400")
        sound.pactl("load-module", *sine, check=True)
        glowtern = self.start(settings=MANUAL_BAND_5.replace(b"fr14 = 39", b"fr14 = 3")
                              + settings_file(Sound_From=2, Sound_Source="sine"))
        played = sound.play(sound.tone(100, seconds=60))
        sine_on = glowtern.wait_lines(played, 0x00, 0x0F, what="the named source")
        sound.pactl("unload-module", "module-sine-source", check=True)
        tone_on = glowtern.wait_lines(sine_on, D1, what="the default input's tone")
        sound.pactl("load-module", *sine, check=True)
        glowtern.wait_lines(tone_on, 0x00, 0x0F, what="the named source again")
        sound.stop()
        self.assert_ended_cleanly(glowtern, self.exit_from_tray(glowtern))
        values = settings_values(glowtern.settings())
        self.assertEqual((values["Sound_From"], values["Sound_Source"]), ("2", "sine"))
