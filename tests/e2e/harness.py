# Test bench for Glowtern's end-to-end tests.
#
# Each test gets a bench of its own: a private X server (Xvfb picks a free display), openbox,
# trayer as the tray, a private PulseAudio server where sound is needed, temporary working
# and runtime directories and the log of the /dev/parport0 stand-in. The real `glowtern` runs
# on it and is driven and watched only from outside: mouse and keys through xdotool, windows
# through xwininfo and xprop, pictures through ImageMagick, lock LEDs through a small X11
# probe, the port through the stand-in's log, the settings through the file it writes.
#
# Every process is started in a session of its own and ended with its whole process group
# when the test ends (and gets SIGKILL if the test process dies). Screenshots and logs go to
# $GLOWTERN_E2E_ARTIFACTS/<test id>, replaced by the next run of the test.
#
# Paths come from the environment (set by CMakeLists.txt): GLOWTERN_E2E_PROGRAM,
# GLOWTERN_E2E_PRELOAD (LD_PRELOAD value for the port stand-in), GLOWTERN_E2E_X11_PROBE,
# GLOWTERN_E2E_PANEL, GLOWTERN_E2E_SESSION_MANAGER, GLOWTERN_E2E_OLA_FETCH,
# GLOWTERN_E2E_ARTIFACTS. `python3 harness.py --list` prints the id of every test case.

import ctypes
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

SCREEN_WIDTH, SCREEN_HEIGHT = 1280, 800
CLIENT_SIZE = (315, 245)  # the main window's client area
# Points of the window's controls, in client coordinates.
MANUAL_BUTTON, RND_BUTTON, AUTO_BUTTON = (35, 215), (90, 215), (145, 215)
KEY_CHECK_BOX, LPT_CHECK_BOX = (18, 235), (128, 235)
STATUS_LABEL = (10, 4, 161, 16)  # x, y, width, height
# Items of the tray menu (separators are not items).
TRAY_OPEN, TRAY_CLOSE, TRAY_ABOUT, TRAY_SOUND_FROM, TRAY_DMX, TRAY_EXIT = range(1, 7)
DARK = (0x00, 0x0B)  # data and control bytes with every port line off
D1 = 0x02  # data line D1: band 5, "53 Hz", where a 100 Hz tone falls


# Calls `condition` until it returns a true value, which is returned; fails the test with
# `what` when `timeout` seconds pass first.
def poll_until(condition, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)
    return value


def read_text(path):
    with open(path, errors="replace") as file:
        return file.read()


def settings_file(**keys):  # a setting.dat with these keys
    return "".join(f"{k} = {v}\r\n" for k, v in keys.items()).encode("ascii")


def defaults_file(outputs=None, x=0, y=0):  # what a first end writes (outputs and place)
    outputs = outputs or [-1] * 18
    return settings_file(Level=35, ARU=35, Effect=0, KEY_LED=1,
                         **{f"OUT{n}": v for n, v in enumerate(outputs, 1)},
                         LPT_LED=1, X_form=x, Y_form=y)


def settings_values(data):  # the first value of each key the program wrote
    lines = [line.partition(" = ") for line in data.decode("cp1251").split("\r\n")]
    return {key: value for key, sep, value in reversed(lines) if sep}


# Manual mode with band 5's threshold low and every other band's out of reach.
MANUAL_BAND_5 = settings_file(**{f"fr{n}": (3 if n == 5 else 39) for n in range(1, 19)},
                              Effect=1, Level=35, ARU=35, KEY_LED=1, LPT_LED=1)


_libc = ctypes.CDLL(None)


def _die_with_test():  # between fork and exec: SIGKILL when the test process dies
    _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Window:  # a window of `xwininfo -root -tree`, with its absolute place and its parent
    LINE = re.compile(r'^(\s*)(0x[0-9a-f]+) (?:"(.*?)"|\(has no name\)): \((.*?)\)\s+(\d+)x(\d+)'
                      r'\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)')

    def __init__(self, match, parent):
        self.depth, self.name, self.wm_class = len(match[1]), match[3], match[4]
        self.id = int(match[2], 16)
        self.width, self.height, self.x, self.y = (int(match[i]) for i in range(5, 9))
        self.parent = parent

    def centre(self):
        return self.x + self.width // 2, self.y + self.height // 2


# What one test runs on (see above), and its X display seen and driven as a user would: the
# tests call it `screen` where they drive the display.
class Bench:
    def __init__(self, test_id):
        self.program = os.environ["GLOWTERN_E2E_PROGRAM"]
        self.probe = os.environ["GLOWTERN_E2E_X11_PROBE"]
        self.artifacts = os.path.join(os.environ["GLOWTERN_E2E_ARTIFACTS"],
                                      re.sub(r"[^\w.-]", "_", test_id))
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)
        # Short: PulseAudio's socket path has to fit in 108 bytes. Open to other users, for
        # olad, which runs as a user of its own.
        self.root = tempfile.mkdtemp(prefix="glowtern-e2e-")
        os.chmod(self.root, 0o711)
        self.home = self.make_dir("home")
        self.runtime = self.make_dir("runtime", mode=0o700)
        self.processes = []  # (name, Popen), in start order
        self.display = self.sound = None
        self.shots = 0
        self.tray_icon_class = "glowtern"  # the class of the window that shows the icon
        self.last_tray_press = {}  # button: time.monotonic() of its last press

    def make_dir(self, name, mode=0o755):
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        return path

    def log_path(self, name):
        return os.path.join(self.artifacts, name)

    # Starts `argv` in a new session; its output goes to <artifacts>/<name>.log.
    def spawn(self, name, argv, env=None, cwd=None, pass_fds=(), stdout=None, stdin=None):
        with open(self.log_path(f"{name}.log"), "ab") as log:
            process = subprocess.Popen(
                argv, env=env or self.client_env(), cwd=cwd or self.root,
                stdin=stdin or subprocess.DEVNULL, stdout=stdout or log, stderr=log,
                pass_fds=pass_fds, start_new_session=True, preexec_fn=_die_with_test)
        self.processes.append((name, process))
        return process

    # SIGTERM to the process group, SIGKILL after three seconds (and to what is left of the
    # group in any case).
    def end_process(self, process):
        if process.stdin:
            process.stdin.close()
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(process.pid, sig)
                process.wait(timeout=3)
            except (ProcessLookupError, PermissionError, subprocess.TimeoutExpired):
                pass
        process.wait(timeout=5)

    def close(self):
        for _, process in reversed(self.processes):
            self.end_process(process)
        shutil.rmtree(self.root, ignore_errors=True)

    def client_env(self, **extra):  # for the programs under test and the X tools
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8",
               "HOME": self.home, "XDG_RUNTIME_DIR": self.runtime,
               "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
               # No session bus: Qt uses the X11 tray protocol, nothing autolaunches a bus.
               "DBUS_SESSION_BUS_ADDRESS": f"unix:path={self.root}/no-bus",
               "QT_QPA_PLATFORM": "xcb",
               # Without a sound server: one that is not there, so libpulse never autospawns.
               "PULSE_SERVER": f"unix:{self.root}/pulse/pulse/native",
               "PULSE_COOKIE": f"{self.root}/pulse/cookie",
               **{k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")}, **extra}
        return dict(env, DISPLAY=self.display) if self.display else env

    def start_display(self, window_manager=True, tray=True):
        read_end, write_end = os.pipe()
        self.spawn("xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                            f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}x24", "-noreset", "-nolisten", "tcp"],
                   pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.display = ":" + pipe.readline().strip()
        if self.display == ":":
            raise AssertionError("Xvfb did not report its display number")
        if window_manager:
            self.spawn("openbox", ["openbox"])
            poll_until(lambda: "window id" in self.prop("-root", "_NET_SUPPORTING_WM_CHECK"),
                       20, "openbox to manage the screen")
        if tray:
            self.spawn("trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                  "request", "--height", "26"])
            poll_until(lambda: self.run(self.probe, "owner", "_NET_SYSTEM_TRAY_S0",
                                        check=False).returncode == 0, 20, "trayer's tray")
        return self

    # glowtern-panel with its log; returns it and a function that gives the log's events.
    def start_panel(self, name="panel", **env):
        log = self.log_path(f"{name}.log")
        panel = self.spawn(name, [os.environ["GLOWTERN_E2E_PANEL"], "--log", log],
                           env=self.client_env(**env))
        poll_until(lambda: os.path.exists(f"{self.runtime}/glowtern-panel.sock"), 20,
                   "the light panel to listen")
        return panel, lambda: [line.split(" ", 1)[1] for line in read_text(log).splitlines()]

    def start_sound(self):
        self.sound = SoundServer(self)
        return self.sound

    # With `port` the /dev/parport0 stand-in is preloaded and logs to <name>-port.log.
    def start_glowtern(self, cwd, port=True, name="glowtern", **env):
        port_log = self.log_path(f"{name}-port.log")
        if port:
            env = {"LD_PRELOAD": os.environ["GLOWTERN_E2E_PRELOAD"],
                   "GLOWTERN_FAKE_PARPORT_LOG": port_log, **env}
            open(port_log, "w").close()
        process = self.spawn(name, [self.program], env=self.client_env(**env), cwd=cwd)
        return Glowtern(process, cwd, port_log, self.log_path(f"{name}.log"))

    def screenshot(self, label):  # the whole screen as <artifacts>/NN-<label>.png
        self.shots += 1
        path = self.log_path(f"{self.shots:02d}-{label}.png")
        self.run("import", "-window", "root", path, timeout=30)
        return path

    def run(self, *argv, check=True, timeout=15):
        result = subprocess.run(argv, env=self.client_env(), capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(argv)} failed: {result.stderr.strip()}")
        return result

    def tree(self):
        windows, stack = [], []
        for match in map(Window.LINE.match, self.run("xwininfo", "-root", "-tree").stdout
                         .splitlines()):
            if match:
                while stack and stack[-1].depth >= len(match[1]):
                    stack.pop()
                stack.append(Window(match, stack[-1] if stack else None))
                windows.append(stack[-1])
        return windows

    def main_window(self):  # its client window, or None
        return next((w for w in self.tree() if w.name == "Glowtern" and "glowtern" in w.wm_class),
                    None)

    def tray_icons(self):  # the icon's windows inside trayer's "panel"
        def in_tray(window):
            while window := window.parent:
                if window.name == "panel":
                    return True

        return [w for w in self.tree() if self.tray_icon_class in w.wm_class and in_tray(w)]

    def tray_icon(self):
        return next(iter(self.tray_icons()), None)

    def info(self, window_id):  # map state and absolute geometry, or None when gone
        result = self.run("xwininfo", "-id", hex(window_id), check=False)
        fields = {k.strip(): v.strip() for k, _, v in (line.partition(":") for line in
                                                          result.stdout.splitlines())}
        return None if result.returncode else {
            "mapped": fields["Map State"] == "IsViewable",
            "override_redirect": fields["Override Redirect State"] == "yes",
            "x": int(fields["Absolute upper-left X"]), "y": int(fields["Absolute upper-left Y"]),
            "width": int(fields["Width"]), "height": int(fields["Height"])}

    def popups(self, wm_class="glowtern"):  # mapped, straight under the root (menus, ...)
        return [w for w in self.tree() if w.parent is None and wm_class in w.wm_class
                and self.mapped(w)]

    def mapped(self, window):
        return window is not None and (self.info(window.id) or {}).get("mapped")

    def main_window_visible(self):
        return self.mapped(self.main_window())

    def message_box(self):  # a mapped dialog window of the program's, or None
        return next((w for w in self.tree() if "glowtern" in w.wm_class and w.parent and
                     "DIALOG" in self.prop(w.id, "_NET_WM_WINDOW_TYPE") and self.mapped(w)),
                    None)

    def prop(self, window_id, *names):
        target = ["-root"] if window_id == "-root" else ["-id", hex(window_id)]
        return self.run("xprop", *target, *names, check=False).stdout

    def frame_extents(self, window_id):  # (left, right, top, bottom) of its frame
        text = self.prop(window_id, "_NET_FRAME_EXTENTS").split("=", 1)[-1]
        return tuple(int(n) for n in re.findall(r"\d+", text))

    def frame_corner(self, window_id):  # the frame's top-left corner, as settings keep it
        info, (left, _, top, _) = self.info(window_id), self.frame_extents(window_id)
        return info["x"] - left, info["y"] - top

    def active_window(self):
        result = self.run("xdotool", "getactivewindow", check=False)
        return int(result.stdout) if result.returncode == 0 and result.stdout.strip() else None

    def click(self, x, y, button=1):
        # (--sync waits for the pointer to move, so for ever when it is there already.)
        if self.pointer() != (x, y):
            self.run("xdotool", "mousemove", "--sync", str(x), str(y))
        self.run("xdotool", "click", str(button))

    def pointer(self):
        text = self.run("xdotool", "getmouselocation").stdout
        return tuple(int(re.search(rf"{axis}:(-?\d+)", text)[1]) for axis in "xy")

    def key(self, *keys):
        self.run("xdotool", "key", "--delay", "60", *keys)

    def click_in_window(self, *points):  # in the main window's client coordinates
        info = self.info(self.main_window().id)
        for x, y in points:
            self.click(info["x"] + x, info["y"] + y)

    # Presses of one button within Qt's double-click time (400 ms) make a double click, so
    # single presses on the tray icon are kept further apart.
    def click_tray_icon(self, button=1):
        icon = poll_until(self.tray_icon, 20, "the tray icon")
        time.sleep(max(0.0, 0.6 - (time.monotonic() - self.last_tray_press.get(button, 0.0))))
        self.click(*icon.centre(), button=button)
        self.last_tray_press[button] = time.monotonic()
        return icon

    def leds(self):  # {"caps": 0/1, "num": 0/1, "scroll": 0/1}
        states = re.findall(r"(Caps|Num|Scroll) Lock:\s+(on|off)", self.run("xset", "q").stdout)
        return {k.lower(): int(v == "on") for k, v in states}

    # Starts logging every indicator change; returns a function that gives the changes so
    # far as (monotonic ns, {"caps", "num", "scroll"}).
    def watch_leds(self):
        path = self.log_path("leds.log")
        with open(path, "wb") as out:
            self.spawn("leds-watch", [self.probe, "watch-leds"], stdout=out)

        def changes():
            return [(int(p[0]), {k: int(v) for k, v in (f.split("=") for f in p[1:])})
                    for p in map(str.split, read_text(path).splitlines()) if len(p) == 4]

        poll_until(changes, 10, "the LED watcher to start")
        return changes

    def pixels(self, path, x, y, width, height):  # RGB triples of a PNG's region, by rows
        data = subprocess.run(["convert", path, "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                               "-depth", "8", "rgb:-"], capture_output=True, timeout=30,
                              check=True).stdout
        return [tuple(data[i:i + 3]) for i in range(0, len(data), 3)]


class Glowtern:  # one running copy of the program
    def __init__(self, process, cwd, port_log, log):
        self.process, self.cwd, self.port_log, self.log = process, cwd, port_log, log
        self.pid = process.pid
        self.settings_path = os.path.join(cwd, "setting.dat")

    def running(self):
        return self.process.poll() is None

    def wait_exit(self, timeout=15):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"glowtern still runs {timeout} s after it was asked to end")

    def port(self):  # the port stand-in's log: (ns, kind, value or None) a line
        lines = read_text(self.port_log).splitlines() if os.path.exists(self.port_log) else []
        return [(int(p[0]), p[1], int(p[2], 16) if p[2:] and p[2][:2] == "0x" else None)
                for p in map(str.split, lines) if len(p) >= 2]

    def cycles(self, since=0):  # (ns, data, control) of each write pair logged after `since` ns
        w = [e for e in self.port() if e[1] in ("DATA", "CONTROL")]
        return [(w[i][0], w[i][2], w[i + 1][2]) for i in range(len(w) - 1)
                if w[i][1] == "DATA" and w[i + 1][1] == "CONTROL" and w[i][0] > since]

    def wait_cycles(self, more, timeout=20):  # `more` beyond those logged now
        start = len(self.cycles())
        poll_until(lambda: len(self.cycles()) >= start + more, timeout, f"{more} more port cycles")

    # Waits until the last `cycles` port cycles after `since` (ns) all were (data, control);
    # returns the time of the first of them.
    def wait_lines(self, since, data, control=0x0B, cycles=5, timeout=10, what="the port"):
        def settled():
            recent = self.cycles(since)[-cycles:]
            return len(recent) == cycles and {r[1:] for r in recent} == {(data, control)} and (
                recent[0][0])

        return poll_until(settled, timeout, f"{what} to show {data:#04x} {control:#04x}")

    def settings(self):
        with open(self.settings_path, "rb") as file:
            return file.read()

    def cpu_share(self, seconds=1.5):  # of one core, over the next `seconds`
        def ticks():
            with open(f"/proc/{self.pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])
        before = ticks()
        time.sleep(seconds)
        return (ticks() - before) / os.sysconf("SC_CLK_TCK") / seconds


# A private PulseAudio with a null sink "t" whose monitor is the default source: what is
# played into the sink is what a recording from the default device hears. It lives in
# <bench>/pulse, where every client of the bench looks for it.
class SoundServer:
    def __init__(self, bench):
        self.bench, self.player = bench, None
        self.directory = bench.make_dir("pulse", mode=0o700)
        self.process = bench.spawn(
            "pulseaudio",
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--high-priority=no",
             "--realtime=no", "--log-target=stderr", "--load=module-null-sink sink_name=t",
             "--load=module-native-protocol-unix auth-anonymous=1"],
            env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.directory,
                 "XDG_RUNTIME_DIR": self.directory, "XDG_CONFIG_HOME": self.directory + "/config",
                 "DBUS_SESSION_BUS_ADDRESS": f"unix:path={self.directory}/no-bus"})
        poll_until(lambda: self.pactl("set-default-source", "t.monitor").returncode == 0, 20,
                   "the sound server (see pulseaudio.log)")

    def pactl(self, *args, check=False):
        return self.bench.run("pactl", *args, check=check)

    def wait_recording(self):
        poll_until(lambda: self.pactl("list", "short", "source-outputs").stdout.strip(), 20,
                   "glowtern's recording stream")

    def make(self, name, *sox_effects, seconds=4.0):  # by `sox -n ... synth ...`
        path = os.path.join(self.directory, name)
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", path, "synth", str(seconds),
                        *sox_effects], check=True, timeout=60, capture_output=True)
        return path

    def tone(self, hertz, seconds=4.0):  # at half scale
        return self.make(f"tone-{hertz}-{seconds}.wav", "sine", str(hertz), "vol", "0.5",
                         seconds=seconds)

    # Starts playing `path` into the sink; returns the CLOCK_MONOTONIC ns before. A null sink
    # renders ahead by as much latency as its clients allow, two seconds while none has asked
    # for less, and takes a smaller latency only at its next wake-up. The player asks for
    # 20 ms, and suspending and resuming the sink makes it take that at once.
    def play(self, path):
        self.stop()
        started = time.monotonic_ns()
        self.player = self.bench.spawn("paplay", ["paplay", "--device=t", "--latency-msec=20",
                                                  path])
        poll_until(lambda: self.pactl("list", "short", "sink-inputs").stdout.strip(), 10,
                   "the player's stream", interval=0.01)
        for suspend in ("1", "0"):
            self.pactl("suspend-sink", "t", suspend)
        return started

    def stop(self):  # ends the playback; returns the CLOCK_MONOTONIC ns after
        if self.player is not None:
            self.bench.end_process(self.player)
            self.player = None
        return time.monotonic_ns()


def _abort(signum, frame):
    raise TimeoutError(f"the test case ran too long or was terminated (signal {signum})")


# Starts a bench with X, openbox (`window_manager`) and trayer (`tray`) for each test, and a
# sound server with `sound`; ends everything afterwards.
class GlowternTestCase(unittest.TestCase):
    window_manager = tray = True
    sound = False

    def setUp(self):
        # An ordinary error, so that the clean-ups still run.
        signal.signal(signal.SIGALRM, _abort)
        signal.signal(signal.SIGTERM, _abort)
        signal.alarm(200)
        self.addCleanup(signal.alarm, 0)
        self.bench = Bench(self.id())
        self.addCleanup(self.bench.close)
        self.screen = self.bench.start_display(self.window_manager, self.tray)
        if self.sound:
            self.bench.start_sound()

    # Starts glowtern in a fresh working directory (or `cwd`) with `settings` as setting.dat;
    # waits until it writes the port and records.
    def start(self, settings=None, cwd=None, **options):
        cwd = cwd or tempfile.mkdtemp(dir=self.bench.root)
        if settings is not None:
            with open(os.path.join(cwd, "setting.dat"), "wb") as file:
                file.write(settings)
        glowtern = self.bench.start_glowtern(cwd, **options)
        if options.get("port", True):
            glowtern.wait_cycles(1)
        if self.bench.sound and self.bench.sound.process.poll() is None:
            self.bench.sound.wait_recording()
        return glowtern

    def wait_window_shown(self):
        def shown():
            window = self.screen.main_window()
            return window if self.screen.mapped(window) and (
                self.screen.active_window() == window.id) else None

        return poll_until(shown, 20, "the main window to be shown and active")

    def open_window_from_tray(self):
        self.screen.click_tray_icon(1)
        return self.wait_window_shown()

    def wait_window_hidden(self):
        poll_until(lambda: not self.screen.main_window_visible(), 20, "the window to hide")

    # openbox's title bar buttons stand 16 pixels apart from the right: close (0), maximise
    # (1), iconify (2).
    def click_title_bar_button(self, window, from_right):
        info = self.screen.info(window.id)
        left, right, top, bottom = self.screen.frame_extents(window.id)
        self.screen.click(info["x"] + info["width"] + right - 11 - 16 * from_right,
                          info["y"] - top + top // 2)

    def open_tray_menu(self):  # returns (the menu's info, the pointer)
        self.screen.click_tray_icon(3)
        pointer = self.screen.pointer()

        def menu():
            for window in self.screen.popups():
                info = self.screen.info(window.id)
                if info and info["override_redirect"] and "TOOLTIP" not in self.screen.prop(
                        window.id, "_NET_WM_WINDOW_TYPE"):
                    return info

        return poll_until(menu, 20, "the tray menu"), pointer

    # Picks menu item `item` (TRAY_...) with the keyboard; with `sound_from`, that entry of
    # the Sound from submenu (1 Default input, 2 What this computer plays, 3... the sources).
    def choose_from_tray_menu(self, item, sound_from=None):
        self.open_tray_menu()
        more = ["Right", *["Down"] * (sound_from - 1)] if sound_from else []
        self.screen.key(*["Down"] * item, *more, "Return")

    def exit_from_tray(self, glowtern):
        self.choose_from_tray_menu(TRAY_EXIT)
        return glowtern.wait_exit()

    # Status 0; the port was opened and claimed once, written in DATA, CONTROL pairs with
    # every line off last, released and closed; the settings are `settings`; nothing printed.
    # (With the display gone, the program ends without letting go of the port, and says why.)
    def assert_ended_cleanly(self, glowtern, status=None, settings=None, display_gone=False):
        self.assertEqual(glowtern.wait_exit() if status is None else status, 0)
        kinds = [kind for _, kind, _ in glowtern.port()]
        if not display_gone:
            self.assertEqual(read_text(glowtern.log), "")
            self.assertEqual(kinds[-2:], ["RELEASE", "CLOSE"])
            kinds = kinds[:-2]
        self.assertEqual([kinds[0][:4], kinds[1]], ["OPEN", "CLAIM"], kinds[:3])
        self.assertEqual(kinds[2:], ["DATA", "CONTROL"] * ((len(kinds) - 2) // 2))
        self.assertEqual(glowtern.cycles()[-1][1:], DARK)
        if settings is not None:
            self.assertEqual(glowtern.settings(), settings)


if __name__ == "__main__":  # (--list, as CMakeLists.txt asks)
    def cases(suite):
        for case in suite:
            yield from cases(case) if isinstance(case, unittest.TestSuite) else [case.id()]

    here = os.path.dirname(os.path.abspath(__file__))
    print("\n".join(cases(unittest.defaultTestLoader.discover(here))))
