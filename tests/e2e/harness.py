"""Test bench for Glowtern's end-to-end tests.

Each test gets a bench of its own: a private X server (Xvfb picks a free display), the
openbox window manager, trayer as the tray, a private PulseAudio server where sound is
needed, temporary working and runtime directories and the log of the /dev/parport0
stand-in. The real `glowtern` runs on it and is driven and watched only from outside:
mouse and keys through xdotool, window state through xwininfo and xprop, screenshots
through ImageMagick, lock LEDs and selection owners through a small X11 probe, the port
through the stand-in's log, the settings through the file the program writes, and the
order of the shutdown steps through strace.

Every process is started in a session of its own and ended with its whole process group
when the test ends, whatever way it ends; the processes also get SIGKILL if the test
process itself dies. Screenshots and logs go to
$GLOWTERN_E2E_ARTIFACTS/<test id>; they are removed when the test passes (unless
GLOWTERN_E2E_KEEP is set) and kept (the path is printed) when it fails.

Paths come from the environment (set by e2e.cmake): GLOWTERN_E2E_PROGRAM (glowtern),
GLOWTERN_E2E_PRELOAD (LD_PRELOAD value for the port stand-in, where the program is started
with it), GLOWTERN_E2E_X11_PROBE,
GLOWTERN_E2E_SESSION_MANAGER (see SessionManager), GLOWTERN_E2E_OLA_FETCH (test_dmx.py),
GLOWTERN_E2E_ARTIFACTS.

`python3 harness.py --list` prints the id of every test case, one a line.
"""

import ctypes
import importlib
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

# Longest a test case may run before it is failed (and everything it started ended).
CASE_TIME_LIMIT = 180
SCREEN_WIDTH = 1280
SCREEN_HEIGHT = 800

# The main window's client area and controls (pixels of the client area).
CLIENT_WIDTH = 315
CLIENT_HEIGHT = 245
MANUAL_BUTTON = (35, 215)
AUTO_BUTTON = (145, 215)
KEY_CHECK_BOX = (18, 235)
LPT_CHECK_BOX = (128, 235)
STATUS_LABEL = (10, 4, 161, 16)  # x, y, width, height
# Places of the tray menu's items for choose_from_tray_menu.
TRAY_OPEN, TRAY_CLOSE, TRAY_ABOUT, TRAY_SOUND_FROM, TRAY_DMX, TRAY_EXIT = 1, 2, 3, 4, 5, 6
# Qt's double-click time is 400 ms; presses further apart are single presses.
DOUBLE_CLICK_SECONDS = 0.6


def setting(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} is not set: run the end-to-end tests through ctest")
    return value


def poll_until(condition, timeout, what, interval=0.05):
    """Calls `condition` until it returns a true value, which is returned; fails the test
    with `what` when `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_test():
    # Runs in the child between fork and exec: SIGKILL when the test process goes.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


# ---- the port stand-in's log -------------------------------------------------------------


class PortLog:
    """The lines of the /dev/parport0 stand-in's log: (ns, kind, value or None)."""

    def __init__(self, path):
        self.events = []
        try:
            with open(path, encoding="ascii") as log:
                lines = log.read().splitlines()
        except FileNotFoundError:
            lines = []
        for line in lines:
            parts = line.split()
            if len(parts) < 2:
                continue
            value = int(parts[2], 16) if len(parts) > 2 and parts[2].startswith("0x") else None
            self.events.append((int(parts[0]), parts[1], value))

    def writes(self):
        """(ns, "DATA" or "CONTROL", value) of every port write, in order."""
        return [e for e in self.events if e[1] in ("DATA", "CONTROL")]

    def cycles(self):
        """(ns of the DATA write, data byte, control byte) for each DATA+CONTROL pair."""
        writes = self.writes()
        return [
            (writes[i][0], writes[i][2], writes[i + 1][2])
            for i in range(0, len(writes) - 1, 2)
            if writes[i][1] == "DATA" and writes[i + 1][1] == "CONTROL"
        ]

    def count(self):
        return len(self.writes())

    def kinds(self):
        return [e[1] for e in self.events]


# ---- what strace saw ------------------------------------------------------------------------

_STRACE_LINE = re.compile(r"^(?P<tid>\d+)\s+(?P<time>\d+\.\d+) (?P<call>\w+)\((?P<args>.*)$")
_SOCKET_INODE = re.compile(r"UNIX-STREAM:\[(\d+)")


class StraceCall:
    def __init__(self, match):
        self.thread = int(match["tid"])
        self.time = float(match["time"])  # realtime seconds, as time.time()
        self.name = match["call"]
        self.args = match["args"]
        # The first argument, for calls on a descriptor: "5<UNIX-STREAM:[1234->5678]>" or
        # "11</tmp/.../glowtern-port.log>".
        self.descriptor = self.args.split(", ", 1)[0]

    def __repr__(self):
        return f"{self.thread} {self.time:.6f} {self.name}({self.args[:80]}"


class StraceLog:
    """The calls that `strace -f -ttt -yy` saw the program make, in order."""

    def __init__(self, path):
        self.calls = []
        with open(path, encoding="utf-8", errors="replace") as log:
            for line in log:
                match = _STRACE_LINE.match(line.rstrip("\n"))
                if match:
                    self.calls.append(StraceCall(match))
        # The first call comes from the main thread, before any other thread exists.
        self.main_thread = self.calls[0].thread if self.calls else None

    def x_connections(self):
        """Socket inodes of the program's X server connections, in the order made."""
        return [
            _SOCKET_INODE.search(call.descriptor).group(1)
            for call in self.calls
            if call.name == "connect" and ".X11-unix/X" in call.args and "= -1" not in call.args
            and _SOCKET_INODE.search(call.descriptor)
        ]

    def main_thread_calls(self, since):
        return [c for c in self.calls if c.thread == self.main_thread and c.time >= since]


# ---- window geometry from xwininfo --------------------------------------------------------

_TREE_LINE = re.compile(
    r"^(?P<indent>\s*)(?P<id>0x[0-9a-f]+) (?:\"(?P<name>.*?)\"|\(has no name\)): "
    r"\((?P<class>.*?)\)\s+(?P<w>\d+)x(?P<h>\d+)\+-?\d+\+-?\d+\s+\+(?P<x>-?\d+)\+(?P<y>-?\d+)"
)


class TreeWindow:
    def __init__(self, match, parent):
        self.id = int(match["id"], 16)
        self.name = match["name"]
        self.wm_class = match["class"]
        self.width, self.height = int(match["w"]), int(match["h"])
        self.x, self.y = int(match["x"]), int(match["y"])
        self.depth = len(match["indent"])
        self.parent = parent

    def ancestors(self):
        window = self.parent
        while window is not None:
            yield window
            window = window.parent

    def centre(self):
        return self.x + self.width // 2, self.y + self.height // 2

    def __repr__(self):
        return f"<0x{self.id:x} {self.name!r} {self.width}x{self.height}+{self.x}+{self.y}>"


# ---- the bench -----------------------------------------------------------------------------


class Bench:
    """What one test runs on; see the module's comment."""

    def __init__(self, test_id):
        self.program = setting("GLOWTERN_E2E_PROGRAM")
        self.probe = setting("GLOWTERN_E2E_X11_PROBE")
        name = re.sub(r"[^A-Za-z0-9_.-]", "_", test_id)
        self.artifacts = os.path.join(setting("GLOWTERN_E2E_ARTIFACTS"), name)
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)
        # Short: PulseAudio's socket path has to fit in 108 bytes.
        self.root = tempfile.mkdtemp(prefix="glowtern-e2e-")
        os.chmod(self.root, 0o711)  # a program run as another user must reach its dirs
        self.home = self.make_dir("home")
        self.runtime = self.make_dir("runtime", mode=0o700)
        self.processes = []  # (name, Popen), in start order
        self.display = None
        self.sound = None
        self.shots = 0

    def make_dir(self, name, mode=0o755):
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        return path

    def log_path(self, name):
        return os.path.join(self.artifacts, name)

    # -- processes --

    def spawn(self, name, argv, env, cwd=None, pass_fds=(), stdout=None, stdin=None):
        """Starts `argv` in a new session; its output goes to <artifacts>/<name>.log."""
        log = open(self.log_path(f"{name}.log"), "ab")
        try:
            process = subprocess.Popen(
                argv,
                env=env,
                cwd=cwd or self.root,
                stdin=stdin if stdin is not None else subprocess.DEVNULL,
                stdout=stdout if stdout is not None else log,
                stderr=log,
                pass_fds=pass_fds,
                start_new_session=True,
                preexec_fn=_die_with_test,
            )
        finally:
            log.close()
        self.processes.append((name, process))
        return process

    def end_process(self, process, grace=3.0):
        """SIGTERM to the process group, SIGKILL after `grace` seconds."""
        if process.stdin:
            process.stdin.close()
        if process.poll() is None:
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                process.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                pass
        # The group may outlive its leader (a child of a child): end it in any case.
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        if process.poll() is None:
            process.wait(timeout=5)

    def close(self):
        for _, process in reversed(self.processes):
            self.end_process(process)
        self.processes.clear()
        for name in os.listdir(self.root):
            if name.endswith(".log"):
                shutil.copy(os.path.join(self.root, name), self.artifacts)
        shutil.rmtree(self.root, ignore_errors=True)

    # -- environment --

    def client_env(self, **extra):
        """A clean environment for the programs under test and the X tools."""
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LANG": "C.UTF-8",
            "HOME": self.home,
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            # No session bus: Qt uses the X11 tray protocol, nothing autolaunches a bus.
            "DBUS_SESSION_BUS_ADDRESS": f"unix:path={self.root}/no-bus",
            "QT_QPA_PLATFORM": "xcb",
        }
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        if self.display:
            env["DISPLAY"] = self.display
        if self.sound:
            env.update(self.sound.client_env)
        else:
            # A named server that is not there: no sound, and libpulse never autospawns.
            env["PULSE_SERVER"] = f"unix:{self.root}/no-sound-server"
        env.update(extra)
        return env

    # -- X server, window manager, tray --

    def start_display(self, window_manager=True, tray=True):
        read_end, write_end = os.pipe()
        self.spawn(
            "xvfb",
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}x24", "-noreset", "-nolisten", "tcp"],
            env=self.client_env(),
            pass_fds=(write_end,),
        )
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        try:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise AssertionError("Xvfb did not report its display number")
                chunk = os.read(read_end, 16)
                if not chunk:
                    raise AssertionError("Xvfb ended before reporting its display number")
                number += chunk
        finally:
            os.close(read_end)
        self.display = ":" + number.decode().strip()
        self.screen = Screen(self)
        if window_manager:
            self.spawn("openbox", ["openbox"], env=self.client_env())
            poll_until(self.screen.window_manager_running, 20, "openbox to manage the screen")
        if tray:
            self.spawn(
                "trayer",
                ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                 "--height", "26"],
                env=self.client_env(),
            )
            poll_until(lambda: self.screen.selection_owner("_NET_SYSTEM_TRAY_S0"), 20,
                       "trayer to take the tray selection")
        return self.screen

    # -- sound --

    def start_sound(self):
        self.sound = SoundServer(self)
        return self.sound

    # -- the program --

    def work_dir(self, name="work", owner=None):
        path = self.make_dir(name)
        if owner is not None:
            os.chown(path, owner[0], owner[1])
        return path

    def start_glowtern(self, cwd, port=True, user=None, strace_log=None, name="glowtern",
                       extra_env=None):
        """Starts the program in `cwd`. With `port` the /dev/parport0 stand-in is preloaded
        and logs to <artifacts>/<name>-port.log. `user` runs it as that (unprivileged) user
        name; `strace_log` traces it with strace into that file."""
        # A program run as another user may not reach the build tree: its log lives in
        # the bench's own directory then, and is copied to the artifacts at the end.
        port_log = self.log_path(f"{name}-port.log") if user is None else os.path.join(
            self.root, f"{name}-port.log")
        program_env = {}
        if port:
            program_env["LD_PRELOAD"] = setting("GLOWTERN_E2E_PRELOAD")
            program_env["GLOWTERN_FAKE_PARPORT_LOG"] = port_log
            open(port_log, "w").close()
            if user is not None:
                shutil.chown(port_log, user=user)
        if extra_env:
            program_env.update(extra_env)
        argv = [self.program]
        if user is not None:
            argv = ["setpriv", f"--reuid={user}", "--regid=nogroup", "--clear-groups",
                    "--pdeathsig=KILL"] + argv
        if strace_log is not None:
            # The preload goes to the traced program only, not to strace itself.
            trace = ["strace", "-f", "-ttt", "-yy", "-qq", "-s", "64", "-o", strace_log,
                     "-e", "signal=none",
                     "-e", "trace=connect,openat,write,writev,rename,renameat,renameat2"]
            for key, value in program_env.items():
                trace += ["-E", f"{key}={value}"]
            argv = trace + argv
            env = self.client_env()
        else:
            env = self.client_env(**program_env)
        process = self.spawn(name, argv, env=env, cwd=cwd)
        return Glowtern(self, process, cwd, port_log if port else None)

    def screenshot(self, label):
        """Saves the whole screen as <artifacts>/NN-<label>.png and returns the path."""
        self.shots += 1
        path = self.log_path(f"{self.shots:02d}-{label}.png")
        self.screen.screenshot(path)
        return path


class Glowtern:
    """One running copy of the program."""

    def __init__(self, bench, process, cwd, port_log):
        self.bench = bench
        self.process = process
        self.cwd = cwd
        self.port_log_path = port_log

    @property
    def pid(self):
        return self.process.pid

    def running(self):
        return self.process.poll() is None

    def wait_exit(self, timeout=15):
        """The exit status; fails when the program has not ended within `timeout` s."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"glowtern still runs {timeout} s after it was asked to end")

    def port(self):
        return PortLog(self.port_log_path)

    def wait_port_writes(self, more, timeout=20):
        """Waits until the port has taken `more` writes beyond those logged now."""
        start = self.port().count()
        poll_until(lambda: self.port().count() >= start + more, timeout,
                   f"{more} more port writes")

    def settings_path(self):
        return os.path.join(self.cwd, "setting.dat")

    def terminate(self):
        os.kill(self.process.pid, signal.SIGTERM)

    def cpu_share(self, seconds=1.5):
        """The share of one core the program used over the next `seconds`."""
        def ticks():
            with open(f"/proc/{self.pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])
        before = ticks()
        time.sleep(seconds)
        return (ticks() - before) / os.sysconf("SC_CLK_TCK") / seconds


class Screen:
    """The X display of a bench, seen and driven as a user would."""

    def __init__(self, bench):
        self.bench = bench
        self.last_tray_press = {}  # button: time.monotonic() of its last press
        # The class of the window that shows the program's tray icon (under Wine, the
        # desktop process's).
        self.tray_icon_class = "glowtern"

    def env(self):
        return self.bench.client_env()

    def run(self, *argv, check=True, timeout=15):
        result = subprocess.run(argv, env=self.env(), capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(argv)} failed ({result.returncode}): "
                                 f"{result.stderr.strip()}")
        return result

    # -- windows --

    def tree(self):
        windows, stack = [], []
        for line in self.run("xwininfo", "-root", "-tree").stdout.splitlines():
            match = _TREE_LINE.match(line)
            if not match:
                continue
            depth = len(match["indent"])
            while stack and stack[-1].depth >= depth:
                stack.pop()
            window = TreeWindow(match, stack[-1] if stack else None)
            windows.append(window)
            stack.append(window)
        return windows

    def main_window(self):
        """The main window's client window, or None while the program has made none."""
        for window in self.tree():
            if window.name == "Glowtern" and "glowtern" in window.wm_class:
                return window
        return None

    def tray_icon(self):
        """The program's icon window inside trayer's panel, or None."""
        for window in self.tree():
            if self.tray_icon_class in window.wm_class and any(
                a.name == "panel" for a in window.ancestors()
            ):
                return window
        return None

    def top_level_windows(self, wm_class="glowtern"):
        """Mapped windows of `wm_class` straight under the root (menus, tooltips, and
        windows the window manager has not framed)."""
        windows = [w for w in self.tree() if w.parent is None and wm_class in w.wm_class]
        return [w for w in windows if self.info(w.id)["mapped"]]

    def info(self, window_id):
        """Map state and absolute geometry of a window, or None when it is gone."""
        result = self.run("xwininfo", "-id", hex(window_id), check=False)
        if result.returncode != 0:
            return None
        fields = {}
        for line in result.stdout.splitlines():
            if ":" in line:
                key, _, value = line.strip().partition(":")
                fields[key.strip()] = value.strip()
        return {
            "mapped": fields.get("Map State") == "IsViewable",
            "override_redirect": fields.get("Override Redirect State") == "yes",
            "x": int(fields["Absolute upper-left X"]),
            "y": int(fields["Absolute upper-left Y"]),
            "width": int(fields["Width"]),
            "height": int(fields["Height"]),
        }

    def main_window_visible(self):
        window = self.main_window()
        return window is not None and self.info(window.id)["mapped"]

    def message_box(self):
        """The program's mapped message box (a dialog window of its class), or None."""
        for window in self.tree():
            if "glowtern" in window.wm_class and window.parent is not None and (
                    "DIALOG" in self.window_type(window.id)) and self.info(window.id)["mapped"]:
                return window
        return None

    def prop(self, window_id, *names):
        return self.run("xprop", "-id", hex(window_id), *names, check=False).stdout

    def window_type(self, window_id):
        return self.prop(window_id, "_NET_WM_WINDOW_TYPE")

    def wm_state(self, window_id):
        """"Normal", "Iconic" or None (withdrawn: the window is hidden)."""
        match = re.search(r"window state: (\w+)", self.prop(window_id, "WM_STATE"))
        return match.group(1) if match else None

    def net_wm_state(self, window_id):
        return self.prop(window_id, "_NET_WM_STATE")

    def frame_extents(self, window_id):
        """(left, right, top, bottom) of the window manager's frame."""
        text = self.prop(window_id, "_NET_FRAME_EXTENTS")
        numbers = [int(n) for n in re.findall(r"\d+", text.split("=", 1)[-1])]
        if len(numbers) != 4:
            raise AssertionError(f"no frame extents on 0x{window_id:x}: {text!r}")
        return tuple(numbers)

    def active_window(self):
        result = self.run("xdotool", "getactivewindow", check=False)
        return int(result.stdout) if result.returncode == 0 and result.stdout.strip() else None

    def window_manager_running(self):
        return "window id" in self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK",
                                       check=False).stdout

    def selection_owner(self, selection):
        return self.run(self.bench.probe, "owner", selection, check=False).returncode == 0

    # -- mouse and keys --

    def click(self, x, y, button=1):
        self.move_pointer(x, y)
        self.run("xdotool", "click", str(button))

    def move_pointer(self, x, y):
        # (--sync waits for the pointer to move, so it would wait for ever when the
        # pointer is there already.)
        if self.pointer() != (x, y):
            self.run("xdotool", "mousemove", "--sync", str(x), str(y))

    def pointer(self):
        text = self.run("xdotool", "getmouselocation").stdout
        return int(re.search(r"x:(-?\d+)", text)[1]), int(re.search(r"y:(-?\d+)", text)[1])

    def key(self, *keys):
        self.run("xdotool", "key", "--delay", "60", *keys)

    def click_in_window(self, point, button=1):
        """Clicks a point given in the main window's client coordinates."""
        window = self.main_window()
        if window is None:
            raise AssertionError("the main window does not exist")
        info = self.info(window.id)
        self.click(info["x"] + point[0], info["y"] + point[1], button)

    def click_tray_icon(self, button=1):
        """One press and release on the tray icon. A press of the same button on the same
        spot within the double-click time is a double click, whose second press does
        nothing; so presses here are kept further apart, as a person's would be."""
        icon = poll_until(self.tray_icon, 20, "the tray icon")
        since = time.monotonic() - self.last_tray_press.get(button, 0.0)
        if since < DOUBLE_CLICK_SECONDS:
            time.sleep(DOUBLE_CLICK_SECONDS - since)
        self.click(*icon.centre(), button=button)
        self.last_tray_press[button] = time.monotonic()
        return icon

    def double_click_tray_icon(self, button=1):
        icon = poll_until(self.tray_icon, 20, "the tray icon")
        self.move_pointer(*icon.centre())
        self.run("xdotool", "click", "--repeat", "2", "--delay", "80", str(button))
        self.last_tray_press[button] = time.monotonic()
        return icon

    # -- lock LEDs --

    def leds(self):
        """{"caps": 0/1, "num": 0/1, "scroll": 0/1} from the XKB named indicators."""
        text = self.run(self.bench.probe, "leds").stdout
        return {k: int(v) for k, v in re.findall(r"(\w+)=(\d)", text)}

    def watch_leds(self, name="leds"):
        """Starts logging every indicator change; returns an LedWatch."""
        path = self.bench.log_path(f"{name}.log")
        out = open(path, "wb")
        try:
            self.bench.spawn(name + "-watch", [self.bench.probe, "watch-leds"],
                             env=self.env(), stdout=out)
        finally:
            out.close()
        watch = LedWatch(path)
        poll_until(lambda: watch.changes(), 10, "the LED watcher to start")
        return watch

    # -- pictures --

    def screenshot(self, path):
        self.run("import", "-window", "root", path, timeout=30)

    def pixels(self, path, x, y, width, height):
        """The RGB triples of a region of a PNG, row by row (via ImageMagick)."""
        result = subprocess.run(
            ["convert", path, "-crop", f"{width}x{height}+{x}+{y}", "+repage", "-depth", "8",
             "rgb:-"],
            capture_output=True, timeout=30, check=True)
        data = result.stdout
        return [tuple(data[i:i + 3]) for i in range(0, len(data), 3)]


class LedWatch:
    """The log of `x11_probe watch-leds`: (monotonic ns, {"caps", "num", "scroll"})."""

    def __init__(self, path):
        self.path = path

    def changes(self):
        entries = []
        with open(self.path, encoding="ascii") as log:
            for line in log.read().splitlines():
                parts = line.split()
                if len(parts) == 4:
                    state = {k: int(v) for k, v in (p.split("=") for p in parts[1:])}
                    entries.append((int(parts[0]), state))
        return entries

    def times(self, led, value):
        """Times at which `led` became `value` (the first entry is the starting state)."""
        entries = self.changes()
        return [t for i, (t, s) in enumerate(entries)
                if s[led] == value and (i == 0 or entries[i - 1][1][led] != value)]


class SessionManager:
    """A small X session manager on the bench (session_manager.c), so that a test can end
    the program the way a desktop does at logout, with an XSMP Die message:

        manager = SessionManager(self.bench)
        glowtern = self.start(extra_env=manager.env())
        client = manager.wait_registered()
        manager.die()
        ...                                 # the program ends, saving and switching off
        manager.wait_closed(client)

    It listens on a local (abstract unix) socket only. Its events are kept one a line in
    <artifacts>/session-events.log ("REGISTER <id>", "DIE sent <id>", "CLOSE <id>", ...;
    the list is in session_manager.c), its errors in session-manager.log."""

    def __init__(self, bench):
        self.path = bench.log_path("session-events.log")
        out = open(self.path, "wb")
        try:
            self.process = bench.spawn("session-manager",
                                       [setting("GLOWTERN_E2E_SESSION_MANAGER")],
                                       env=bench.client_env(), stdin=subprocess.PIPE, stdout=out)
        finally:
            out.close()
        self.address = poll_until(lambda: next(iter(self.lines()), None), 10,
                                  "the session manager to listen")

    def lines(self):
        with open(self.path, encoding="utf-8", errors="replace") as log:
            text = log.read()
        return text[:text.rfind("\n") + 1].splitlines()  # whole lines only

    def env(self):
        """The program's extra environment: SESSION_MANAGER."""
        return {"SESSION_MANAGER": self.address}

    def events(self, kind):
        """The words after `kind` of each event of that kind, in order."""
        return [line.split()[1:] for line in self.lines()[1:] if line.split()[:1] == [kind]]

    def wait_registered(self, timeout=20):
        """The id of the first client that registered."""
        return poll_until(lambda: next(iter(self.events("REGISTER")), [None])[0], timeout,
                          "a client to register with the session manager")

    def die(self):
        """Sends Die to every registered client."""
        self.process.stdin.write(b"die\n")
        self.process.stdin.flush()

    def closed(self, client):
        return any(words[:1] == [client] for words in self.events("CLOSE"))

    def wait_closed(self, client, timeout=15):
        poll_until(lambda: self.closed(client), timeout,
                   f"session client {client}'s connection to close")


class SoundServer:
    """A private PulseAudio with a null sink "t" whose monitor is the default source: what
    is played into the sink is what a recording from the default device hears. Runs in the
    foreground as a child of the test; lives in its own directory."""

    def __init__(self, bench):
        self.bench = bench
        self.directory = bench.make_dir("pulse", mode=0o700)
        server_env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.directory,
            "XDG_CONFIG_HOME": os.path.join(self.directory, "config"),
            "XDG_RUNTIME_DIR": self.directory,
            # Pointed at nothing, so that it never autolaunches a session bus.
            "DBUS_SESSION_BUS_ADDRESS": f"unix:path={self.directory}/no-bus",
        }
        self.process = bench.spawn(
            "pulseaudio",
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--high-priority=no",
             "--realtime=no", "--log-target=stderr", "--load=module-null-sink sink_name=t",
             "--load=module-native-protocol-unix auth-anonymous=1"],
            env=server_env,
        )
        self.client_env = {
            "PULSE_SERVER": f"unix:{self.directory}/pulse/native",
            "PULSE_COOKIE": os.path.join(self.directory, "cookie"),
        }
        self.player = None

        def ready():
            if self.process.poll() is not None:
                raise AssertionError("pulseaudio ended by itself (see pulseaudio.log)")
            return self.pactl("set-default-source", "t.monitor").returncode == 0

        poll_until(ready, 20, "the sound server")

    def env(self):
        env = self.bench.client_env()
        env.update(self.client_env)
        return env

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env(), capture_output=True, text=True,
                              timeout=15)

    def recording_clients(self):
        """How many recording streams are connected to the server."""
        result = self.pactl("list", "short", "source-outputs")
        return len(result.stdout.splitlines()) if result.returncode == 0 else 0

    def make(self, name, *sox_effects, seconds=4.0):
        """A 44.1 kHz stereo WAV made by `sox -n ... synth <seconds> <effects>`."""
        path = os.path.join(self.directory, name)
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", path, "synth", str(seconds),
                        *sox_effects], check=True, timeout=60, capture_output=True)
        return path

    def tone(self, hertz, seconds=4.0, volume=0.5):
        return self.make(f"tone-{hertz}-{seconds}.wav", "sine", str(hertz), "vol", str(volume),
                         seconds=seconds)

    def play(self, path, sink="t"):
        """Starts playing `path` into `sink`; returns the CLOCK_MONOTONIC ns before.

        A null sink renders ahead by as much latency as its clients allow, two seconds while
        none has asked for less, and takes a smaller latency only at its next wake-up: on a
        fresh server the first sound would reach the monitor up to two seconds late, whoever
        listens. The player asks for 20 ms, and suspending and resuming the sink once it plays
        makes the sink take that at once."""
        self.stop()
        started = time.monotonic_ns()
        self.player = self.bench.spawn(
            "paplay", ["paplay", f"--device={sink}", "--latency-msec=20", path], env=self.env())
        poll_until(lambda: self.pactl("list", "short", "sink-inputs").stdout.strip(), 10,
                   "the player's stream", interval=0.01)
        for suspend in ("1", "0"):
            self.pactl("suspend-sink", sink, suspend)
        return started

    def stop(self):
        """Ends the playback, if any; returns the CLOCK_MONOTONIC ns after."""
        if self.player is not None:
            self.bench.end_process(self.player)
            self.player = None
        return time.monotonic_ns()


# ---- the test case base --------------------------------------------------------------------


class _CaseTimeout(Exception):
    pass


def _on_alarm(signum, frame):
    raise _CaseTimeout(f"the test case ran longer than {CASE_TIME_LIMIT} s")


def _on_terminate(signum, frame):
    # An ordinary error, so that the case fails and its clean-ups still run.
    raise _CaseTimeout("the test was terminated")


class GlowternTestCase(unittest.TestCase):
    """Starts a bench with X, openbox and trayer for each test (`window_manager = False`
    leaves openbox out, `tray = False` the tray, `sound = True` adds a sound server); ends
    everything afterwards."""

    window_manager = True
    tray = True
    sound = False

    def setUp(self):
        signal.signal(signal.SIGALRM, _on_alarm)
        signal.signal(signal.SIGTERM, _on_terminate)
        signal.alarm(CASE_TIME_LIMIT)
        self.addCleanup(signal.alarm, 0)
        self.bench = Bench(self.id())
        self.addCleanup(self.bench.close)
        self.screen = self.bench.start_display(window_manager=self.window_manager,
                                               tray=self.tray)
        # Cleanups run last-in first-out: this picture is taken before anything ends.
        self.addCleanup(self._final_screenshot)
        if self.sound:
            self.bench.start_sound()

    def _final_screenshot(self):
        try:
            self.bench.screenshot("final")
        except Exception:  # the X server may be gone already; the logs still tell
            pass

    def run(self, result=None):
        result = result if result is not None else self.defaultTestResult()
        before = len(result.failures) + len(result.errors)
        super().run(result)
        bench = getattr(self, "bench", None)
        if bench is not None:
            if len(result.failures) + len(result.errors) > before:
                print(f"\nscreenshots and logs kept in {bench.artifacts}", file=sys.stderr)
            elif not os.environ.get("GLOWTERN_E2E_KEEP"):
                shutil.rmtree(bench.artifacts, ignore_errors=True)
        return result

    # -- helpers shared by the suites --

    def start(self, settings=None, **options):
        """Starts glowtern in a fresh working directory, with `settings` (bytes) as its
        setting.dat when given; waits until its worker writes the port."""
        cwd = options.pop("cwd", None) or self.bench.work_dir()
        if settings is not None:
            with open(os.path.join(cwd, "setting.dat"), "wb") as file:
                file.write(settings)
        glowtern = self.bench.start_glowtern(cwd, **options)
        if glowtern.port_log_path:
            glowtern.wait_port_writes(2)
        return glowtern

    def wait_tray_icon(self):
        return poll_until(self.screen.tray_icon, 20, "glowtern's icon in the tray")

    def open_window_from_tray(self):
        """Left press on the tray icon; waits for the window to be visible and active."""
        self.screen.click_tray_icon(1)
        return self.wait_window_shown()

    def wait_window_shown(self):
        def shown():
            window = self.screen.main_window()
            if window is None or not self.screen.info(window.id)["mapped"]:
                return None
            if self.screen.active_window() != window.id:
                return None
            return window

        return poll_until(shown, 20, "the main window to be shown and active")

    def wait_window_hidden(self):
        poll_until(lambda: not self.screen.main_window_visible(), 20,
                   "the main window to be hidden")

    def click_title_bar_button(self, window, from_right):
        """Clicks a button of the title bar that openbox draws around `window`: with its
        default layout and theme the buttons are 16 pixels apart from the right, close (0),
        maximise (1), iconify (2)."""
        info = self.screen.info(window.id)
        left, right, top, bottom = self.screen.frame_extents(window.id)
        frame_right = info["x"] + info["width"] + right
        frame_top = info["y"] - top
        self.screen.click(frame_right - 11 - 16 * from_right, frame_top + top // 2)

    def click_close_button(self, window):
        self.click_title_bar_button(window, 0)

    def click_minimise_button(self, window):
        self.click_title_bar_button(window, 2)

    def open_tray_menu(self):
        """Right press on the tray icon; returns (menu window info, pointer position)."""
        self.screen.click_tray_icon(3)
        pointer = self.screen.pointer()

        def menu():
            for window in self.screen.top_level_windows():
                info = self.screen.info(window.id)
                if info["override_redirect"] and "TOOLTIP" not in self.screen.window_type(
                        window.id):
                    return info
            return None

        return poll_until(menu, 20, "the tray menu"), pointer

    def choose_from_tray_menu(self, position):
        """Opens the tray menu and picks the item at `position` (1 "Open", 2 "Close",
        3 "About", 4 "Sound from", 5 "DMX", 6 "Exit"; separators are not items) with the
        keyboard."""
        self.open_tray_menu()
        self.screen.key(*(["Down"] * position), "Return")

    def choose_sound_from(self, position):
        """Picks the entry at `position` of the tray menu's "Sound from" submenu (1 "Default
        input", 2 "What this computer plays", 3... the sources) with the keyboard."""
        self.open_tray_menu()
        self.screen.key(*(["Down"] * TRAY_SOUND_FROM), "Right", *(["Down"] * (position - 1)),
                        "Return")

    def exit_from_tray(self, glowtern):
        self.choose_from_tray_menu(TRAY_EXIT)
        return glowtern.wait_exit()

    def assert_port_protocol(self, port, ended=True):
        """The port was opened and claimed once, then written in DATA, CONTROL pairs
        only, nothing was refused, and (when `ended`) it was released and closed last."""
        kinds = port.kinds()
        self.assertGreaterEqual(len(kinds), 2, "the port was never opened")
        self.assertTrue(kinds[0].startswith("OPEN"), kinds[:3])
        self.assertEqual(kinds[1], "CLAIM", kinds[:3])
        body = kinds[2:-2] if ended else kinds[2:]
        if ended:
            self.assertEqual(kinds[-2:], ["RELEASE", "CLOSE"])
        self.assertNotIn("REJECTED", " ".join(kinds))
        self.assertEqual(len(body) % 2, 0, "a DATA write without its CONTROL write")
        for i in range(0, len(body), 2):
            self.assertEqual(body[i:i + 2], ["DATA", "CONTROL"],
                             f"port writes out of order at write {i}")

    def assert_outputs_off_last(self, port):
        writes = port.writes()
        self.assertGreaterEqual(len(writes), 2)
        self.assertEqual([(k, v) for _, k, v in writes[-2:]],
                         [("DATA", 0x00), ("CONTROL", 0x0B)])

    def read_settings(self, glowtern_or_path):
        path = glowtern_or_path if isinstance(glowtern_or_path, str) else (
            glowtern_or_path.settings_path())
        with open(path, "rb") as file:
            return file.read()

    def settings_values(self, data):
        """The key = value lines of a settings file the program wrote, as a dict."""
        values = {}
        for line in data.decode("cp1251").split("\r\n"):
            if " = " in line:
                key, _, value = line.partition(" = ")
                values.setdefault(key, value)
        return values


def defaults_file(level=35, aru=35, effect=0, key_led=1, outputs=None, lpt_led=1, x=0, y=0,
                  bands=None):
    """The bytes the program writes to a new setting.dat: the band values first when
    given, then the other keys in save order, each as key " = " value CR LF."""
    outputs = outputs if outputs is not None else [-1] * 18
    lines = []
    if bands is not None:
        lines += [f"fr{n} = {v}" for n, v in enumerate(bands, start=1)]
    lines += [f"Level = {level}", f"ARU = {aru}", f"Effect = {effect}", f"KEY_LED = {key_led}"]
    lines += [f"OUT{n} = {v}" for n, v in enumerate(outputs, start=1)]
    lines += [f"LPT_LED = {lpt_led}", f"X_form = {x}", f"Y_form = {y}"]
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def settings_file(**keys):
    """A setting.dat with the given keys (fr5=2 as fr5=2), CR LF line ends."""
    return "".join(f"{k} = {v}\r\n" for k, v in keys.items()).encode("ascii")


DARK = (0x00, 0x0B)  # data and control bytes with every line off
D1 = 0x02  # data line D1: band 5, "53 Hz", where a 100 Hz tone falls

# Manual mode with band 5's threshold low and every other band's out of reach.
MANUAL_BAND_5 = settings_file(
    Effect=1, **{f"fr{n}": (3 if n == 5 else 39) for n in range(1, 19)}, Level=35, ARU=35,
    KEY_LED=1, LPT_LED=1)


def _list_cases():
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    loader = unittest.TestLoader()
    for name in sorted(os.listdir(here)):
        if name.startswith("test_") and name.endswith(".py"):
            module = importlib.import_module(name[:-3])
            for suite in loader.loadTestsFromModule(module):
                for case in suite:
                    print(case.id())


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        _list_cases()
    else:
        print(__doc__)
