#!/usr/bin/env python3
"""Installs the Windows packages silently into a fresh Wine prefix, uploads one picture with the
installed program to a scripted gallery on 127.0.0.1, uninstalls, and checks nothing is left."""

import os
import random
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest

SETUP = os.environ["UPLOADER_SETUP"]
EXE = os.environ["UPLOADER_EXE"]
PROBE_SETUP = os.environ.get("PROBE_SETUP", "")
PROBE_EXE = os.environ.get("PROBE_EXE", "")
TEST_DIR = os.environ["WINE_TEST_DIR"]
PORT = int(os.environ["GALLERY_TEST_PORT"])
# The Wine that runs this tree's programs: the 32-bit one, or the 64-bit flavour's wrapper.
WINE = os.environ.get("WINE", "wine")
SKIPPED = 77  # ctest's SKIP_RETURN_CODE for this test

NAME = "Gallery Uploader"
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\GalleryUploader"
ALBUM_ADDRESS = b"http://127.0.0.1/album/1"
LIMITS = b"104857600:500:20971520"  # largest upload : most files : largest file
WINE_TIMEOUT = 120


class Wine:
    """One Wine prefix with its own server, kept warm for the length of the test."""

    def __init__(self, prefix):
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                        # No Mono or Gecko prompts while the prefix is made.
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        # Without a display a message box fails at once instead of waiting for a click.
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.output_dir = os.path.dirname(prefix)

    def start(self):
        subprocess.run(["wineserver", "-p", "300"], env=self.env, timeout=WINE_TIMEOUT)
        # Wine's background processes are born here; they must not inherit a pipe that a later
        # run waits on, so this first run talks to /dev/null.
        subprocess.run([WINE, "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=WINE_TIMEOUT)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=WINE_TIMEOUT)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=WINE_TIMEOUT)

    def run(self, *arguments, timeout=WINE_TIMEOUT, extra_env=None):
        """Runs a Wine command; returns (exit status, output). Output goes through files, since a
        process that the command starts in the background could hold a pipe open."""
        out_path = os.path.join(self.output_dir, "last-run.txt")
        with open(out_path, "wb") as out:
            code = subprocess.run([WINE, *arguments], env=dict(self.env, **(extra_env or {})),
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        with open(out_path, "rb") as out:
            return code, out.read().decode("utf-8", "replace")

    def variable(self, name):
        code, text = self.run("cmd", "/c", f"echo %{name}%")
        assert code == 0, text
        return text.strip()

    def unix_path(self, windows_path):
        return subprocess.run([WINE, "winepath.exe", "-u", windows_path], env=self.env, capture_output=True,
                              text=True, check=True, timeout=WINE_TIMEOUT).stdout.strip()

    def windows_path(self, unix_path):
        return subprocess.run([WINE, "winepath.exe", "-w", unix_path], env=self.env, capture_output=True,
                              text=True, check=True, timeout=WINE_TIMEOUT).stdout.strip()

    def key_exists(self, key):
        return self.run("reg", "query", key)[0] == 0


class ScriptedGallery:
    """Answers the limits query and one upload on 127.0.0.1, and keeps what it received."""

    def __init__(self, port):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # Another test run on this machine may hold the port for a moment; wait for it, briefly.
        deadline = time.monotonic() + 30
        while True:
            try:
                self.listener.bind(("127.0.0.1", port))
                break
            except OSError as error:
                if time.monotonic() > deadline:
                    self.listener.close()
                    raise AssertionError(f"port {port} stays in use by another process") from error
                time.sleep(0.5)
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self.requests = []  # (request line, headers, body)
        self.problems = []
        self.connections = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stopping.is_set() and len(self.connections) < 4:
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            # The program keeps both of its connections open to the end, so they are answered
            # one after the other and left open here too.
            self.connections.append(connection)
            try:
                self.answer(connection)
            except (OSError, ValueError) as error:
                self.problems.append(f"connection {len(self.connections)}: {error}")

    def answer(self, connection):
        connection.settimeout(30)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = connection.recv(4096)
            if not chunk or len(data) > 65536:
                raise ValueError(f"request head incomplete: {data[:200]!r}")
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        request_line, *header_lines = head.decode("latin-1").split("\r\n")
        headers = {}
        for line in header_lines:
            key, _, value = line.partition(":")
            headers[key.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        if length > 64 << 20:
            raise ValueError(f"Content-Length {length} is beyond this test")
        while len(body) < length:
            chunk = connection.recv(65536)
            if not chunk:
                raise ValueError(f"body ended after {len(body)} of {length} bytes")
            body += chunk
        self.requests.append((request_line, headers, body))
        if request_line == "GET /add/limits.aspx HTTP/1.1":
            reply = LIMITS
        elif request_line == "POST /add/Client.aspx HTTP/1.1":
            reply = ALBUM_ADDRESS
        else:
            raise ValueError(f"unexpected request {request_line!r}")
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(reply) + reply)

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=10)
        for connection in self.connections:
            connection.close()
        self.listener.close()


def setUpModule():
    global wine, paths
    shutil.rmtree(TEST_DIR, ignore_errors=True)
    prefix = os.path.join(TEST_DIR, "prefix")
    os.makedirs(prefix)
    wine = Wine(prefix)
    try:
        wine.start()
        local, roaming = wine.variable("LOCALAPPDATA"), wine.variable("APPDATA")
        install_dir = local + "\\Programs\\" + NAME
        send_to = roaming + r"\Microsoft\Windows\SendTo"
        paths = {
            "install_dir": install_dir,
            "unix_install_dir": wine.unix_path(install_dir),
            "unix_programs": wine.unix_path(local + "\\Programs"),
            "unix_send_to": wine.unix_path(send_to),
            "unix_shortcut": wine.unix_path(send_to + "\\" + NAME + ".lnk"),
        }
    except BaseException:
        wine.stop()  # tearDownModule does not run after a failed set-up
        raise


def tearDownModule():
    wine.stop()


def listing(folder):
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


class InstallCycle(unittest.TestCase):
    """Shared steps: install silently, check what is in place, uninstall silently."""

    def install(self, setup, program):
        self.before = {p: listing(paths[p]) for p in ("unix_programs", "unix_send_to")}
        self.addCleanup(self.remove_leftovers)
        code, output = wine.run(setup, "/S")
        self.assertEqual(code, 0, f"installer failed: {output}")
        folder = paths["unix_install_dir"]
        self.assertEqual(listing(folder), ["uninstall.exe", "uploader.exe"])
        with open(os.path.join(folder, "uploader.exe"), "rb") as installed, \
                open(program, "rb") as built:
            self.assertTrue(installed.read() == built.read(), "installed program differs")
        # The shortcut's link data names the installed program.
        with open(paths["unix_shortcut"], "rb") as f:
            shortcut = f.read().lower()
        target = (paths["install_dir"] + "\\uploader.exe").lower()
        self.assertTrue(target.encode("latin-1") in shortcut
                        or target.encode("utf-16-le") in shortcut,
                        f"Send To shortcut does not point at {target}")
        code, output = wine.run("reg", "query", UNINSTALL_KEY)
        self.assertEqual(code, 0, f"no uninstall key: {output}")
        self.assertIn(NAME, output)
        self.assertIn(paths["install_dir"] + "\\uninstall.exe", output)

    def uninstall(self):
        code, output = wine.run(paths["install_dir"] + "\\uninstall.exe", "/S")
        self.assertEqual(code, 0, f"uninstaller failed: {output}")
        self.await_removal()
        self.assertFalse(os.path.exists(paths["unix_install_dir"]), "install folder left behind")
        self.assertFalse(os.path.exists(paths["unix_shortcut"]), "Send To shortcut left behind")
        self.assertFalse(wine.key_exists(UNINSTALL_KEY), "uninstall key left behind")
        for folder in ("unix_programs", "unix_send_to"):
            self.assertEqual(listing(paths[folder]), self.before[folder], f"{folder} changed")


    @staticmethod
    def await_removal():
        # The uninstaller hands over to a copy of itself in the temporary folder and returns at
        # once, so the removal is awaited, within a bound.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if not (os.path.exists(paths["unix_install_dir"])
                    or os.path.exists(paths["unix_shortcut"])
                    or wine.key_exists(UNINSTALL_KEY)):
                return
            time.sleep(0.3)

    def remove_leftovers(self):
        """After a failed step, so that the next test starts from an empty prefix again."""
        if os.path.exists(os.path.join(paths["unix_install_dir"], "uninstall.exe")):
            wine.run(paths["install_dir"] + "\\uninstall.exe", "/S")
            self.await_removal()


class ReleaseInstaller(InstallCycle):
    def test_installs_and_uninstalls_cleanly(self):
        self.install(SETUP, EXE)
        self.uninstall()


class InstalledProgramUploads(InstallCycle):
    """The test installer packs the probe build, which talks to the scripted gallery's port."""

    def setUp(self):
        if not PROBE_SETUP:
            self.skipTest("no uploader_probe target in this build")
        # The probe build writes the addresses it would open to this file instead.
        self.opened = os.path.join(TEST_DIR, "opened.txt")

    def test_installed_program_uploads_one_picture(self):
        self.install(PROBE_SETUP, PROBE_EXE)
        picture_dir = os.path.join(wine.unix_path("C:\\"), "upload-test")
        os.makedirs(picture_dir, exist_ok=True)
        generator = random.Random(5)
        picture = b"\xff\xd8\xff\xe0" + bytes(generator.randrange(256) for _ in range(6000)) \
            + b"\xff\xd9"
        with open(os.path.join(picture_dir, "beach.jpg"), "wb") as f:
            f.write(picture)

        gallery = ScriptedGallery(PORT)
        try:
            code, output = wine.run(paths["install_dir"] + "\\uploader.exe",
                                    r"C:\upload-test\beach.jpg",
                                    extra_env={"UPLOADER_OPEN_LOG": wine.windows_path(self.opened)})
        finally:
            gallery.stop()
        self.assertEqual(gallery.problems, [], output)
        self.assertEqual(code, 0, f"program output: {output}")
        lines = [request[0] for request in gallery.requests]
        self.assertEqual(lines, ["GET /add/limits.aspx HTTP/1.1", "POST /add/Client.aspx HTTP/1.1"],
                         output)
        body = gallery.requests[1][2]
        self.assertIn("beach.jpg".encode("utf-16-le"), body, "file name missing from the upload")
        self.assertTrue(body.endswith(picture), "the picture's bytes are not what was sent last")

        self.assertTrue(os.path.exists(self.opened), f"no address was opened; output: {output}")
        with open(self.opened, "rb") as f:
            self.assertEqual(f.read(), ALBUM_ADDRESS + b"\0", "album address not opened once")

        self.uninstall()


def wine_starts():
    """False where this Wine's loader cannot run at all, e.g. the 32-bit one on a kernel without
    32-bit support."""
    try:
        return subprocess.run([WINE, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=WINE_TIMEOUT).returncode == 0
    except OSError:
        return False


if __name__ == "__main__":
    if not wine_starts():
        print(f"skipped: {WINE} cannot start here (no 32-bit support in this kernel?); "
              "the 64-bit flavour runs this test instead")
        sys.exit(SKIPPED)
    outcome = unittest.main(exit=False).result
    # A prefix is some 600 MB; it is kept only when it can tell what went wrong.
    if outcome.wasSuccessful():
        shutil.rmtree(TEST_DIR, ignore_errors=True)
    sys.exit(0 if outcome.wasSuccessful() else 1)
