#!/usr/bin/env python3
"""Checks the built uploader.exe: a 32-bit GUI program that needs only system DLLs and carries
exactly one icon group (ID 101, nine images) and an asInvoker manifest."""

import os
import shutil
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

import icon_format
from pe_file import RT_GROUP_ICON, RT_ICON, RT_MANIFEST, SUBSYSTEM_GUI, PeFile, group_icon_entries

EXE = os.environ["UPLOADER_EXE"]
# What every Windows has; msvcrt is what mingw-w64's static runtime is built on.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "ws2_32.dll", "msvcrt.dll"}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


class UploaderExe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as f:
            cls.pe = PeFile(f.read())
        cls.resources = cls.pe.resources()

    def of_type(self, kind):
        return [r for r in self.resources if r[0] == kind]

    def only(self, kind):
        found = self.of_type(kind)
        self.assertEqual(len(found), 1, f"expected one resource of type {kind}, found {len(found)}")
        return found[0]

    def test_is_a_32_bit_gui_program(self):
        self.assertEqual(self.pe.machine, 0x14C, "not an i386 image")
        self.assertEqual(self.pe.subsystem, SUBSYSTEM_GUI, "not the GUI subsystem")

    def test_imports_only_system_dlls(self):
        imports = self.pe.imports()
        for dll in sorted(imports):
            print(f"imports {dll}: {len(imports[dll])} functions")
        self.assertLessEqual(set(imports), SYSTEM_DLLS, "imports beyond the system DLLs")
        self.assertIn("user32.dll", imports)
        self.assertIn("ws2_32.dll", imports)
        self.assertFalse(self.pe.delay_imports(), "delay-loaded imports hide further DLLs")

    def test_resources_are_only_the_icon_group_and_the_manifest(self):
        kinds = sorted({r[0] for r in self.resources}, key=str)
        self.assertEqual(kinds, sorted([RT_ICON, RT_GROUP_ICON, RT_MANIFEST], key=str),
                         "dialogs, menus, strings or a version record must not be present")
        self.assertEqual([r[1] for r in self.of_type(RT_GROUP_ICON)], [101])
        self.assertEqual([r[1] for r in self.of_type(RT_MANIFEST)], [1])

    def test_icon_group_holds_the_nine_images(self):
        group = self.only(RT_GROUP_ICON)
        entries = group_icon_entries(group[3])
        self.assertEqual(sorted((size, bits) for size, bits, _ in entries),
                         icon_format.EXPECTED_IMAGES)
        icons = {r[1]: r[3] for r in self.of_type(RT_ICON)}
        self.assertEqual(sorted(icons), sorted(icon_id for _, _, icon_id in entries),
                         "icons outside the group, or group entries without an icon")
        for size, bits, icon_id in entries:
            with self.subTest(size=size, bits=bits):
                rows = icon_format.read_dib(icons[icon_id], size, bits)
                icon_format.check_transparency(rows, bits)

    def test_manifest_asks_for_as_invoker_and_nothing_that_changes_behaviour(self):
        manifest = self.only(RT_MANIFEST)
        root = ElementTree.fromstring(manifest[3])
        self.assertEqual(root.tag, ASM_V1 + "assembly")
        levels = root.findall(f".//{ASM_V3}requestedExecutionLevel")
        self.assertEqual([level.get("level") for level in levels], ["asInvoker"])
        self.assertEqual(levels[0].get("uiAccess"), "false")
        # A compatibility section would change what GetVersionExW reports, and so the User-Agent.
        self.assertEqual([child.tag for child in root], [ASM_V3 + "trustInfo"])

    def test_wrestool_and_icotool_see_the_same(self):
        for tool in ("wrestool", "icotool"):
            if not shutil.which(tool):
                self.skipTest(f"{tool} (icoutils) is not installed")
        listing = subprocess.run(["wrestool", "-l", EXE], capture_output=True, text=True,
                                 check=True).stdout
        theirs = []
        for line in listing.splitlines():
            fields = dict(p.lstrip("-").split("=", 1) for p in line.split() if p.startswith("--"))
            theirs.append((int(fields["type"]), int(fields["name"])))
        self.assertEqual(sorted(theirs), sorted((r[0], r[1]) for r in self.resources))
        group = subprocess.run(["wrestool", "-x", "--type=14", "--name=101", EXE],
                               capture_output=True, check=True).stdout
        images = subprocess.run(["icotool", "-l", "-"], input=group, capture_output=True,
                                check=True).stdout.decode()
        seen = []
        for line in images.splitlines():
            fields = dict(p.lstrip("-").split("=", 1) for p in line.split() if "=" in p)
            seen.append((int(fields["width"]), int(fields["bit-depth"])))
        self.assertEqual(sorted(seen), icon_format.EXPECTED_IMAGES)


if __name__ == "__main__":
    unittest.main()
