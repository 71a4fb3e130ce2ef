#!/usr/bin/env python3
"""Checks the plain zip for users without the installer: exactly the built uploader.exe, at the top."""

import sys
import unittest
import zipfile

ZIP_PATH, EXE_PATH = sys.argv[1], sys.argv[2]


class PlainZip(unittest.TestCase):
    def test_holds_only_the_program_unchanged(self):
        with zipfile.ZipFile(ZIP_PATH) as archive:
            self.assertIsNone(archive.testzip(), "a damaged member")
            self.assertEqual(archive.namelist(), ["uploader.exe"])
            with open(EXE_PATH, "rb") as f:
                self.assertEqual(archive.read("uploader.exe"), f.read(),
                                 "the zip holds a stale or different program")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + ["-v"])
