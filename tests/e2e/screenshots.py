# Refreshes the screenshots in docs/ from the real program:
#
#     python3 tests/e2e/screenshots.py [BUILD_DIR]
#
# BUILD_DIR is a build tree with glowtern, the port stand-in, the X11 probe and the OLA reader
# built (default build/test, the one ./test makes). On a private X server with openbox,
# trayer, a private sound server and a private olad with only its dummy plugin (run as root:
# olad runs as the user olad), it writes
#   docs/screenshots/tray-menu.png        the tray menu, with DMX on and connected
#   docs/screenshots/tray-sound-from.png  its "Sound from" submenu, with a desktop's sources
#   docs/screenshots/window-music.png     the window while "music" plays (noise and a drum)

import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import harness  # noqa: E402
import test_dmx  # noqa: E402

# A show that looks alive: Manual mode, thresholds rising from the bass to the treble, a few
# USB outputs assigned.
SETTINGS = harness.settings_file(
    **{f"fr{n}": 8 + n for n in range(1, 19)}, Level=30, ARU=20, Effect=1, KEY_LED=1,
    **{f"OUT{n}": (n if n <= 12 else 0) for n in range(1, 19)}, LPT_LED=1, X_form=40,
    Y_form=60, DMX=1)


def make_music(sound, seconds=30):
    # Pink noise and a kick drum on every half second, mixed.
    noise = sound.make("noise.wav", "pinknoise", "vol", "0.12", seconds=seconds)
    kick = sound.make("kick.wav", "sine", "90-45", "fade", "0", "0.18", "0.15", "vol", "0.9",
                      "pad", "0", "0.32", "repeat", str(seconds * 2 - 1), seconds=0.18)
    music = os.path.join(sound.directory, "music.wav")
    subprocess.run(["sox", "-m", noise, kick, music, "trim", "0", str(seconds)], check=True,
                   capture_output=True, timeout=120)
    return music


def crop(source, target, x, y, width, height):
    target = os.path.join(REPO, "docs", target)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    subprocess.run(["convert", source, "-crop", f"{width}x{height}+{x}+{y}", "+repage", "-strip",
                    target], check=True, timeout=60)
    print(f"wrote {os.path.relpath(target, REPO)}")


def shoot_menus(bench, screen, icon, name, count, *keys):
    # Opens the tray menu, presses `keys`, and keeps the `count` menus then open, and the
    # icon.
    screen.click_tray_icon(3)
    if keys:
        screen.key(*keys)
    harness.poll_until(lambda: len(screen.popups()) == count, 20, "the menus")
    menus = [screen.info(w.id) for w in screen.popups()]
    time.sleep(0.3)  # let them finish drawing
    left = min([m["x"] for m in menus] + [icon.x]) - 20
    crop(bench.screenshot(name), f"screenshots/{name}.png", left, 0,
         harness.SCREEN_WIDTH - left, max(m["y"] + m["height"] for m in menus) + 20)
    screen.key("Escape", "Escape")
    harness.poll_until(lambda: not screen.popups(), 20, "the menus to close")


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else f"{REPO}/build/test")
    for name, path in (("PROGRAM", "glowtern"), ("ARTIFACTS", "screenshots-work"),
                       ("PRELOAD", "tests/fakes/libglowtern_fake_parport.so"),
                       ("X11_PROBE", "tests/e2e/glowtern_e2e_x11_probe"),
                       ("OLA_FETCH", "tests/e2e/glowtern_e2e_ola_fetch")):
        os.environ.setdefault(f"GLOWTERN_E2E_{name}", os.path.join(build, path))
        if name != "ARTIFACTS" and not os.path.exists(os.environ[f"GLOWTERN_E2E_{name}"]):
            sys.exit(f"{os.environ[f'GLOWTERN_E2E_{name}']} is missing: build {build} first")
    bench = harness.Bench("screenshots")
    try:
        screen = bench.start_display()
        sound = bench.start_sound()
        olad = test_dmx.OlaDaemon(bench, output="dummy")
        olad.start()
        music = make_music(sound)
        cwd = bench.make_dir("work")
        with open(os.path.join(cwd, "setting.dat"), "wb") as file:
            file.write(SETTINGS)
        glowtern = bench.start_glowtern(cwd)
        icon = harness.poll_until(screen.tray_icon, 20, "the tray icon")
        sound.wait_recording()
        harness.poll_until(lambda: len(olad.universe()) == 512, 20, "the DMX universe")
        shoot_menus(bench, screen, icon, "tray-menu", 1)
        # The "Sound from" submenu, with a desktop's sources: two microphones and the monitors
        # of two outputs.
        for module in (["module-null-source", "source_name=mic",
                        "description='Built-in Microphone'"],
                       ["module-null-source", "source_name=usb",
                        "description='USB Headset Microphone'"],
                       ["module-null-sink", "sink_name=hdmi",
                        "sink_properties='device.description=\"HDMI Output\"'"]):
            sound.pactl("load-module", *module)
        time.sleep(0.5)  # the program hears of them from the server
        shoot_menus(bench, screen, icon, "tray-sound-from", 2,
                    *["Down"] * harness.TRAY_SOUND_FROM, "Right")

        # The window while the music plays; of a short run of pictures, the one with the most
        # meters lit.
        screen.click_tray_icon(1)
        window = harness.poll_until(lambda: screen.main_window_visible() and screen.main_window(),
                                    20, "the window")
        info, (left, right, top, bottom) = screen.info(window.id), screen.frame_extents(window.id)
        frame = (info["x"] - left, info["y"] - top, info["width"] + left + right,
                 info["height"] + top + bottom)
        sound.play(music)
        time.sleep(3)
        best, best_lit = None, -1
        for attempt in range(8):
            shot = bench.screenshot(f"music-{attempt}")
            meters = screen.pixels(shot, info["x"] + 10, info["y"] + 22, 162, 70)
            lit = sum(p not in ((0, 0, 0), (17, 17, 17)) for p in meters)
            best, best_lit = (shot, lit) if lit > best_lit else (best, best_lit)
            time.sleep(0.37)
        crop(best, "screenshots/window-music.png", *frame)
        sound.stop()
        glowtern.process.terminate()
    finally:
        bench.close()
        shutil.rmtree(bench.artifacts, ignore_errors=True)


if __name__ == "__main__":
    main()
