#!/usr/bin/env python3
"""Checks the icon generator's output: the nine-image .ico (also read by icotool) and the theme PNGs."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import icon_format

GENERATOR = os.environ["MAKE_ICON"]
THEME_DIR = os.environ.get("THEME_DIR", "")
THEME_SIZES = [int(s) for s in os.environ.get("THEME_SIZES", "").split(",") if s]
ICON_NAME = os.environ.get("ICON_NAME", "gallery-uploader")


def generate(*arguments):
    return subprocess.run([sys.executable, GENERATOR, *arguments], capture_output=True, text=True,
                          timeout=120)


class WindowsIcon(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.ico = os.path.join(cls.folder, "uploader.ico")
        result = generate("--ico", cls.ico)
        if result.returncode != 0:
            raise AssertionError(f"generator failed: {result.stderr}")
        with open(cls.ico, "rb") as f:
            cls.images = icon_format.read_ico(f.read())

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_exactly_the_nine_sizes_and_depths(self):
        self.assertEqual(sorted((size, bits) for size, bits, _ in self.images),
                         icon_format.EXPECTED_IMAGES)

    def test_every_image_has_a_consistent_mask(self):
        for size, bits, data in self.images:
            with self.subTest(size=size, bits=bits):
                rows = icon_format.read_dib(data, size, bits)
                icon_format.check_transparency(rows, bits)

    def test_palettised_images_use_several_colours(self):
        # A broken quantiser tends to collapse everything into one or two entries.
        for size, bits, data in self.images:
            if bits > 8:
                continue
            with self.subTest(size=size, bits=bits):
                rows = icon_format.read_dib(data, size, bits)
                colours = {p[:3] for row in rows for p in row if not p[4]}
                self.assertGreaterEqual(len(colours), 5)

    def test_icotool_reads_the_same_directory(self):
        if not shutil.which("icotool"):
            self.skipTest("icotool (icoutils) is not installed")
        listing = subprocess.run(["icotool", "-l", self.ico], capture_output=True, text=True,
                                 check=True).stdout
        seen = []
        for line in listing.splitlines():
            fields = dict(part.lstrip("-").split("=", 1) for part in line.split() if "=" in part)
            seen.append((int(fields["width"]), int(fields["bit-depth"])))
        self.assertEqual(sorted(seen), icon_format.EXPECTED_IMAGES)


class ThemePngs(unittest.TestCase):
    def test_each_theme_size_is_a_valid_png_of_that_size(self):
        if not THEME_DIR:
            self.skipTest("no theme folder in this build (Windows tree)")
        self.assertTrue(THEME_SIZES)
        for size in THEME_SIZES:
            with self.subTest(size=size):
                path = os.path.join(THEME_DIR, f"{size}x{size}", "apps", ICON_NAME + ".png")
                with open(path, "rb") as f:
                    self.assertEqual(icon_format.read_png_size(f.read()), (size, size))


class GeneratorInput(unittest.TestCase):
    def test_bad_sizes_are_refused_with_a_message(self):
        for sizes in ("16,x", "0", "5000"):
            with self.subTest(sizes=sizes):
                with tempfile.TemporaryDirectory() as folder:
                    result = generate("--theme-dir", folder, "--png-sizes", sizes)
                    self.assertEqual(result.returncode, 2)
                    self.assertIn("--png-sizes", result.stderr)
                    self.assertEqual(os.listdir(folder), [])

    def test_unwritable_target_is_reported_not_raised(self):
        with tempfile.TemporaryDirectory() as folder:
            blocker = os.path.join(folder, "file")
            open(blocker, "w").close()
            result = generate("--ico", os.path.join(blocker, "uploader.ico"))
            self.assertEqual(result.returncode, 1)
            self.assertIn("cannot write", result.stderr)
            self.assertNotIn("Traceback", result.stderr)

    def test_nothing_to_do_is_an_error(self):
        result = generate()
        self.assertEqual(result.returncode, 2)
        self.assertIn("nothing to write", result.stderr)


if __name__ == "__main__":
    unittest.main()
