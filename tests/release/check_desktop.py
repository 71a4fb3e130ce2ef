#!/usr/bin/env python3
"""Checks the Linux desktop entry: valid, opens files with the uploader, offered for pictures and
never for folders, and its themed icon exists; optionally checks a finished `cmake --install` tree."""

import configparser
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

DESKTOP_FILE = os.environ["DESKTOP_FILE"]
THEME_DIR = os.environ.get("THEME_DIR", "")
BUILD_DIR = os.environ.get("BUILD_DIR", "")  # set when the uploader target exists
THEME_SIZES = [int(s) for s in os.environ.get("THEME_SIZES", "").split(",") if s]

# Types a file manager must offer the uploader for.
REQUIRED_TYPES = {"image/jpeg", "image/png", "image/gif", "image/bmp", "image/*"}


def read_entry(path):
    parser = configparser.ConfigParser(interpolation=None, strict=True)
    parser.optionxform = str  # keys are case-sensitive
    parser.read(path, encoding="utf-8")
    return parser["Desktop Entry"]


def validate(path):
    result = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
    return result.returncode, (result.stdout + result.stderr).strip()


class DesktopEntry(unittest.TestCase):
    def setUp(self):
        if not shutil.which("desktop-file-validate"):
            self.fail("desktop-file-validate (desktop-file-utils) is not installed")

    def test_validator_is_silent(self):
        code, output = validate(DESKTOP_FILE)
        self.assertEqual(code, 0, output)
        self.assertEqual(output, "", "hints or warnings from desktop-file-validate")

    def test_opens_every_chosen_file_with_the_uploader(self):
        entry = read_entry(DESKTOP_FILE)
        self.assertEqual(entry["Type"], "Application")
        self.assertEqual(entry["Exec"], "uploader %F")
        self.assertEqual(entry.get("Terminal"), "false")

    def test_offered_for_pictures_only(self):
        # Claiming inode/directory could make the uploader the desktop's folder opener.
        types = set(filter(None, read_entry(DESKTOP_FILE)["MimeType"].split(";")))
        self.assertLessEqual(REQUIRED_TYPES, types)
        self.assertTrue(all(t.startswith("image/") for t in types), types)

    def test_icon_is_a_theme_name_with_pngs(self):
        icon = read_entry(DESKTOP_FILE)["Icon"]
        self.assertNotIn("/", icon)
        self.assertFalse(icon.endswith(".png"), "a themed icon is named without extension")
        if THEME_DIR:
            for size in THEME_SIZES:
                with self.subTest(size=size):
                    self.assertTrue(os.path.isfile(
                        os.path.join(THEME_DIR, f"{size}x{size}", "apps", icon + ".png")))


class InstalledTree(unittest.TestCase):
    def test_cmake_install_puts_program_entry_and_icons_in_place(self):
        if not BUILD_DIR:
            self.skipTest("no uploader target in this build yet")
        with tempfile.TemporaryDirectory() as prefix:
            result = subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix],
                                    capture_output=True, text=True, timeout=300)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            program = os.path.join(prefix, "bin", "uploader")
            self.assertTrue(os.access(program, os.X_OK), "bin/uploader missing or not executable")
            entry_path = os.path.join(prefix, "share", "applications",
                                      os.path.basename(DESKTOP_FILE))
            code, output = validate(entry_path)
            self.assertEqual(code, 0, output)
            icon = read_entry(entry_path)["Icon"]
            for size in THEME_SIZES:
                with self.subTest(size=size):
                    self.assertTrue(os.path.isfile(os.path.join(
                        prefix, "share", "icons", "hicolor", f"{size}x{size}", "apps",
                        icon + ".png")))


if __name__ == "__main__":
    unittest.main()
