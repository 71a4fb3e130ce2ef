"""A small reader for 32-bit PE files: subsystem, imported DLLs and functions, and resources."""

import struct

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
SUBSYSTEM_GUI = 2


class PeError(Exception):
    pass


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ" or len(data) < 0x40:
            raise PeError("no MZ header")
        (pe_at,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe_at:pe_at + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from(
            "<HHIIIHH", data, pe_at + 4)
        optional_at = pe_at + 24
        (magic,) = struct.unpack_from("<H", data, optional_at)
        if magic != 0x10B:
            raise PeError(f"optional header magic {magic:#x}, expected PE32 (0x10b)")
        (self.subsystem,) = struct.unpack_from("<H", data, optional_at + 68)
        (directory_count,) = struct.unpack_from("<I", data, optional_at + 92)
        self.directories = [struct.unpack_from("<II", data, optional_at + 96 + 8 * i)
                            for i in range(min(directory_count, 16))]
        self.sections = []
        table_at = optional_at + optional_size
        for i in range(sections):
            name, virtual_size, rva, raw_size, raw_at = struct.unpack_from(
                "<8sIIII", data, table_at + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), rva,
                                  max(virtual_size, raw_size), raw_at, raw_size))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for _, start, size, raw_at, raw_size in self.sections:
            if start <= rva < start + size:
                if rva - start >= raw_size:
                    raise PeError(f"RVA {rva:#x} lies in uninitialised data")
                return raw_at + rva - start
        raise PeError(f"RVA {rva:#x} is in no section")

    def c_string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        """{dll name in lower case: [function names or '#ordinal']}"""
        rva, _ = self.directory(1)
        result = {}
        if not rva:
            return result
        at = self.offset(rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", self.data, at)
            if not (lookup or name_rva or thunk):
                return result
            functions = []
            entry = self.offset(lookup or thunk)
            while True:
                (value,) = struct.unpack_from("<I", self.data, entry)
                if not value:
                    break
                functions.append(f"#{value & 0xFFFF}" if value & 0x80000000
                                 else self.c_string(value + 2))
                entry += 4
            result.setdefault(self.c_string(name_rva).lower(), []).extend(functions)
            at += 20

    def delay_imports(self):
        rva, _ = self.directory(13)
        return rva != 0

    def resources(self):
        """[(type, name, language, bytes)]; names are numbers or strings."""
        root_rva, _ = self.directory(2)
        if not root_rva:
            return []
        root = self.offset(root_rva)

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if key & 0x80000000:
                    name_at = root + (key & 0x7FFFFFFF)
                    (length,) = struct.unpack_from("<H", self.data, name_at)
                    key = self.data[name_at + 2:name_at + 2 + 2 * length].decode("utf-16-le")
                yield key, target

        found = []
        for kind, kinds in entries(root):
            for name, names in entries(root + (kinds & 0x7FFFFFFF)):
                for language, leaf in entries(root + (names & 0x7FFFFFFF)):
                    if leaf & 0x80000000:
                        raise PeError("resource tree deeper than type/name/language")
                    data_rva, size, _, _ = struct.unpack_from("<IIII", self.data, root + leaf)
                    at = self.offset(data_rva)
                    found.append((kind, name, language, self.data[at:at + size]))
        return found


def group_icon_entries(data):
    """[(size, bits, icon id)] of an RT_GROUP_ICON resource."""
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or kind != 1 or len(data) != 6 + 14 * count:
        raise PeError("malformed icon group")
    result = []
    for i in range(count):
        width, height, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        if width != height:
            raise PeError(f"icon group entry {i} is {width}x{height}")
        result.append((width or 256, bits, icon_id))
    return result
