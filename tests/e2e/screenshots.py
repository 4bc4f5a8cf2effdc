"""Refreshes the screenshots in docs/ from the real program:

    python3 tests/e2e/screenshots.py [BUILD_DIR]

BUILD_DIR is a build tree with glowtern, the port stand-in, the X11 probe and the OLA
reader built (default build/test, the one ./test makes). On a private X server with
openbox, trayer, a private sound server and a private olad with only its dummy plugin
(run as root: olad runs as the user olad), it writes
  docs/screenshots/tray-menu.png     the tray icon's menu, open, with DMX on and connected
  docs/screenshots/tray-sound-from.png  its "Sound from" submenu, with a desktop's sources
  docs/screenshots/window-music.png  the window while music plays (pink noise, a kick
                                     drum and a melody, made by sox)
  docs/window.png                    the window with some meters up
"""

import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import harness  # noqa: E402  (the path above first)
import test_dmx  # noqa: E402

# A show that looks alive: Manual mode, thresholds rising from the bass to the treble, a
# few USB outputs assigned.
SETTINGS = harness.settings_file(
    **{f"fr{n}": 8 + n for n in range(1, 19)}, Level=30, ARU=20, Effect=1, KEY_LED=1,
    **{f"OUT{n}": (n if n <= 12 else 0) for n in range(1, 19)}, LPT_LED=1, X_form=40,
    Y_form=60, DMX=1)


def make_music(sound, seconds=30):
    """Pink noise, a kick drum on every half second and a looping melody, mixed."""
    directory = sound.directory

    def sox(*args):
        subprocess.run(["sox", *args], check=True, capture_output=True, timeout=120)

    noise = os.path.join(directory, "noise.wav")
    sox("-n", "-r", "44100", "-c", "2", noise, "synth", str(seconds), "pinknoise", "vol", "0.12")
    kick = os.path.join(directory, "kick.wav")
    sox("-n", "-r", "44100", "-c", "2", kick, "synth", "0.18", "sine", "90-45", "fade", "0",
        "0.18", "0.15", "vol", "0.9", "pad", "0", "0.32", "repeat", str(seconds * 2 - 1))
    notes = []
    for index, hertz in enumerate([440, 554, 659, 880, 659, 554, 494, 587, 740, 988, 740, 587]):
        note = os.path.join(directory, f"note{index}.wav")
        sox("-n", "-r", "44100", "-c", "2", note, "synth", "0.25", "pluck", str(hertz), "vol",
            "0.5")
        notes.append(note)
    phrase = os.path.join(directory, "phrase.wav")
    sox(*notes, phrase)
    melody = os.path.join(directory, "melody.wav")
    sox(phrase, melody, "repeat", str(int(seconds / 3)))
    music = os.path.join(directory, "music.wav")
    sox("-m", noise, kick, melody, music, "trim", "0", str(seconds))
    return music


def window_frame(screen, window):
    """x, y, width, height of the window with the window manager's frame."""
    info = screen.info(window.id)
    left, right, top, bottom = screen.frame_extents(window.id)
    return (info["x"] - left, info["y"] - top, info["width"] + left + right,
            info["height"] + top + bottom)


def crop(source, target, x, y, width, height):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    subprocess.run(["convert", source, "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                    "-strip", target], check=True, timeout=60)
    print(f"wrote {os.path.relpath(target, REPO)}")


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(REPO, "build",
                                                                                 "test"))
    os.environ.setdefault("GLOWTERN_E2E_PROGRAM", os.path.join(build, "glowtern"))
    os.environ.setdefault("GLOWTERN_E2E_PRELOAD",
                          os.path.join(build, "tests", "fakes", "libglowtern_fake_parport.so"))
    os.environ.setdefault("GLOWTERN_E2E_X11_PROBE",
                          os.path.join(build, "tests", "e2e", "glowtern_e2e_x11_probe"))
    os.environ.setdefault("GLOWTERN_E2E_OLA_FETCH",
                          os.path.join(build, "tests", "e2e", "glowtern_e2e_ola_fetch"))
    os.environ.setdefault("GLOWTERN_E2E_ARTIFACTS", os.path.join(build, "screenshots-work"))
    for name in ("GLOWTERN_E2E_PROGRAM", "GLOWTERN_E2E_PRELOAD", "GLOWTERN_E2E_X11_PROBE",
                 "GLOWTERN_E2E_OLA_FETCH"):
        if not os.path.exists(os.environ[name]):
            sys.exit(f"{os.environ[name]} is missing: build {build} first")

    bench = harness.Bench("screenshots")
    try:
        screen = bench.start_display()
        sound = bench.start_sound()
        olad = test_dmx.OlaDaemon(bench, output="dummy")
        olad.start()
        music = make_music(sound)
        cwd = bench.work_dir()
        with open(os.path.join(cwd, "setting.dat"), "wb") as file:
            file.write(SETTINGS)
        glowtern = bench.start_glowtern(cwd)
        glowtern.wait_port_writes(2)
        icon = harness.poll_until(screen.tray_icon, 20, "the tray icon")
        harness.poll_until(lambda: sound.recording_clients() > 0, 20, "the recording")
        harness.poll_until(lambda: len(olad.universe()) == 512, 20, "the DMX universe")

        # The tray menu, with the icon it belongs to.
        screen.click_tray_icon(3)
        harness.poll_until(screen.top_level_windows, 20, "the tray menu")
        time.sleep(0.3)  # let it finish drawing
        shot = bench.screenshot("tray-menu")
        menu = screen.info(screen.top_level_windows()[0].id)
        left = min(menu["x"], icon.x) - 20
        crop(shot, os.path.join(REPO, "docs", "screenshots", "tray-menu.png"), left, 0,
             harness.SCREEN_WIDTH - left, menu["y"] + menu["height"] + 20)
        screen.key("Escape")
        harness.poll_until(lambda: not screen.top_level_windows(), 20, "the menu to close")

        # The "Sound from" submenu, with the sources of a desktop: two microphones and the
        # monitors of two outputs.
        for module in (["module-null-source", "source_name=mic",
                        "description='Built-in Microphone'"],
                       ["module-null-source", "source_name=usb",
                        "description='USB Headset Microphone'"],
                       ["module-null-sink", "sink_name=hdmi",
                        "sink_properties='device.description=\"HDMI Output\"'"]):
            sound.pactl("load-module", *module)
        time.sleep(0.5)  # the program hears of them from the server
        screen.click_tray_icon(3)
        harness.poll_until(screen.top_level_windows, 20, "the tray menu")
        screen.key(*(["Down"] * harness.TRAY_SOUND_FROM), "Right")
        menus = harness.poll_until(
            lambda: (lambda w: w if len(w) >= 2 else None)(screen.top_level_windows()), 20,
            "the Sound from submenu")
        time.sleep(0.3)
        shot = bench.screenshot("tray-sound-from")
        boxes = [screen.info(window.id) for window in menus]
        left = min([box["x"] for box in boxes] + [icon.x]) - 20
        bottom = max(box["y"] + box["height"] for box in boxes) + 20
        crop(shot, os.path.join(REPO, "docs", "screenshots", "tray-sound-from.png"), left, 0,
             harness.SCREEN_WIDTH - left, bottom)
        screen.key("Escape", "Escape")

        # The window while the music plays: meters up, lines switching.
        screen.click_tray_icon(1)
        window = harness.poll_until(
            lambda: screen.main_window() if screen.main_window_visible() else None, 20,
            "the window")
        sound.play(music)
        started = glowtern.port().count()
        harness.poll_until(lambda: len({d for _, d, _ in glowtern.port().cycles()[started // 2:]
                                         }) > 4, 30, "the lines to follow the music")
        time.sleep(2)
        # Take the moment with the most meters lit in a short run of pictures.
        best, best_lit = None, -1
        frame = window_frame(screen, window)
        info = screen.info(window.id)
        for attempt in range(8):
            shot = bench.screenshot(f"music-{attempt}")
            meters = screen.pixels(shot, info["x"] + 10, info["y"] + 22, 162, 70)
            lit = sum(1 for p in meters if p not in ((0, 0, 0), (17, 17, 17)))
            if lit > best_lit:
                best, best_lit = shot, lit
            time.sleep(0.37)
        crop(best, os.path.join(REPO, "docs", "screenshots", "window-music.png"), *frame)

        # The window on its own, with the meters moved: a quiet hiss and a low hum, whose
        # band is on.
        sound.stop()
        hiss = sound.make("hiss.wav", "pinknoise", "vol", "0.05", seconds=10)
        hum = sound.tone(110, seconds=10, volume=0.3)
        quiet = os.path.join(sound.directory, "quiet.wav")
        subprocess.run(["sox", "-m", hiss, hum, quiet], check=True, timeout=60)
        sound.play(quiet)
        time.sleep(1.5)
        shot = bench.screenshot("window")
        crop(shot, os.path.join(REPO, "docs", "window.png"), *frame)
        sound.stop()
        screen.key("Escape")
    finally:
        bench.close()
        shutil.rmtree(bench.artifacts, ignore_errors=True)


if __name__ == "__main__":
    main()
