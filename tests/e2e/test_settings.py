"""setting.dat across runs: a hand-edited file comes back with exactly the changes its
rules predict, and a file the user cannot write is left alone."""

import os
import pwd
import shutil

from harness import GlowternTestCase, poll_until

HAND_EDITED = (
    b"; Glowtern settings, kept by hand\r\n"
    b";compact comment\n"
    b"\n"
    b"   level=12\r\n"
    b"fr1 =   20   \r\n"
    b"FR2=$1F\n"
    b"\tfr3 = 12abc\r"
    b"Effect = 1 ; Manual\r\n"
    b"Theme = dark\r\n"
    b"Level = 5\r\n"
    b"x_form = 40\r\n"
    b"Y_FORM=30\r\n"
    b"OUT3 = 5\r\n"
    b"out18 = 19\r\n"
    b" \t \r\n"
    b"KEY_LED = 1\r\n"
    b"\tLPT_LED\t=\t1\r\n"
    b"[Extra]\r\n"
    b"ARU = 50\r\n"
    b"fr4=7\r\n"
    b"; below the group\r\n"
    b"[Broken\r\n"
    b"Colour   =   blue\r\n"
)

# What an Exit makes of it. The program reads: Level 12 (the first "level" line), fr1 20,
# fr2 $1F = 31, fr3 12, Effect 1 (Manual), OUT3 5, OUT18 19 (no such item: nothing
# selected, -1), KEY_LED 1, LPT_LED 1, X_form 40, Y_form 30; ARU and fr4 stand below the
# group header, where the program does not look, so they read as 0 (ARU clamps to 1), as
# do every other fr and OUT key (0 selects "No"). In Manual mode the Exit saves the band
# values first, then the other keys: keys found are rewritten in place as key " = "
# value in the program's spelling, the others are appended at the end of the top
# section, in save order. Comments, unknown keys, the second Level line and everything
# below the group header stay; blank lines go; every line ends in CR LF.
EXPECTED = (
    ["; Glowtern settings, kept by hand", "; compact comment", "Level = 12", "fr1 = 20",
     "fr2 = 31", "fr3 = 12", "Effect = 1", "Theme = dark", "Level = 5", "X_form = 40",
     "Y_form = 30", "OUT3 = 5", "OUT18 = -1", "KEY_LED = 1", "LPT_LED = 1"]
    + [f"fr{n} = 0" for n in range(4, 19)]
    + ["ARU = 1", "OUT1 = 0", "OUT2 = 0"]
    + [f"OUT{n} = 0" for n in range(4, 18)]
    + ["[Extra]", "ARU = 50", "fr4 = 7", "; below the group", "[Broken]", "Colour = blue"]
)


class SettingsTest(GlowternTestCase):
    def test_a_hand_edited_file_survives_exit_with_the_predicted_changes(self):
        glowtern = self.start(settings=HAND_EDITED)
        self.wait_tray_icon()
        self.assertEqual(self.exit_from_tray(glowtern), 0)
        written = self.read_settings(glowtern)
        expected = "".join(line + "\r\n" for line in EXPECTED).encode("ascii")
        self.assertEqual(written.decode("ascii").split("\r\n"),
                         expected.decode("ascii").split("\r\n"))
        self.assertEqual(written, expected)
        self.assertEqual(sorted(os.listdir(glowtern.cwd)), ["setting.dat"])

    def test_a_read_only_file_is_loaded_and_left_untouched(self):
        # Root may write any file, so the program runs as an ordinary user here. It gets
        # copies of the program and the port stand-in, in case the build tree is closed
        # to that user.
        user = "nobody"
        uid, gid = pwd.getpwnam(user).pw_uid, pwd.getpwnam(user).pw_gid
        bin_dir = self.bench.make_dir("bin")
        for path in [self.bench.program] + [p for p in self.bench.preload.split(":")
                                            if "glowtern" in os.path.basename(p)]:
            shutil.copy(path, bin_dir)
        self.bench.program = os.path.join(bin_dir, os.path.basename(self.bench.program))
        self.bench.preload = ":".join(
            os.path.join(bin_dir, os.path.basename(p)) if "glowtern" in os.path.basename(p)
            else p for p in self.bench.preload.split(":"))
        home = self.bench.work_dir("user-home", owner=(uid, gid))
        runtime = self.bench.work_dir("user-runtime", owner=(uid, gid))
        os.chmod(runtime, 0o700)
        cwd = self.bench.work_dir("user-work", owner=(uid, gid))
        settings = os.path.join(cwd, "setting.dat")
        content = ("".join(f"fr{n} = {n}\r\n" for n in range(1, 19)) +
                   "Level = 20\r\nARU = 10\r\nEffect = 1\r\nKEY_LED = 0\r\n" +
                   "".join(f"OUT{n} = 0\r\n" for n in range(1, 19)) +
                   "LPT_LED = 1\r\nX_form = 200\r\nY_form = 150\r\n").encode("ascii")
        with open(settings, "wb") as file:
            file.write(content)
        os.chown(settings, uid, gid)
        os.chmod(settings, 0o444)
        before = os.stat(settings)

        glowtern = self.start(cwd=cwd, user=user,
                              extra_env={"HOME": home, "XDG_RUNTIME_DIR": runtime})
        self.wait_tray_icon()
        with open(f"/proc/{glowtern.pid}/status") as status:
            uids = next(line for line in status if line.startswith("Uid:")).split()[1:]
        self.assertEqual(set(uids), {str(uid)}, "glowtern does not run as the ordinary user")
        # It was read: the window opens where the file says.
        window = self.open_window_from_tray()
        info = self.screen.info(window.id)
        left, right, top, bottom = self.screen.frame_extents(window.id)
        self.assertEqual((info["x"] - left, info["y"] - top), (200, 150))
        # A change that a writable file would keep: a new place.
        self.screen.run("xdotool", "windowmove", str(window.id), "300", "250")
        poll_until(lambda: self.screen.info(window.id)["x"] - left == 300, 10,
                   "the window to move")
        self.choose_from_tray_menu(2)
        self.wait_window_hidden()
        self.assertEqual(self.exit_from_tray(glowtern), 0)

        after = os.stat(settings)
        with open(settings, "rb") as file:
            self.assertEqual(file.read(), content)
        self.assertEqual((after.st_ino, after.st_mtime_ns, after.st_mode, after.st_uid),
                         (before.st_ino, before.st_mtime_ns, before.st_mode, before.st_uid))
        self.assertEqual(sorted(os.listdir(cwd)), ["setting.dat"])
        self.assert_port_protocol(glowtern.port())
