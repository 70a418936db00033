#!/usr/bin/env python3
"""Read what the linker and the resource compiler left in our binaries.

    python3 tools/inspect-pe.py headers   FILE.exe|FILE.dll
    python3 tools/inspect-pe.py resources FILE.exe|FILE.dll [--decode]
    python3 tools/inspect-pe.py imports   FILE.exe|FILE.dll
    python3 tools/inspect-pe.py exports   FILE.exe|FILE.dll
    python3 tools/inspect-pe.py symbols   FILE.a|FILE.obj ... [--undefined]

Handles PE32 (i686) and PE32+ (x86_64) images, COFF objects (normal and
"bigobj") and the ar archives that hold them.  Besides listing, it decodes
the resource formats our resource scripts produce: version blocks, string
bundles, dialog templates (DIALOG and DIALOGEX), menus (MENU and MENUEX),
icon groups and the icon images they point to.

Only the Python standard library is used, so the Windows builds can check
their own output on a bare Linux host; tests/binaries imports this file.
Every reader raises PEError on data that does not add up instead of
returning what it managed to read: a check built on a half-read table
would otherwise pass for the wrong reason.
"""

import argparse
import os
import struct
import sys
from dataclasses import dataclass, field
from typing import List, Optional, Union

MACHINES = {0x14C: "i386", 0x8664: "x86-64", 0x1C0: "arm", 0xAA64: "arm64"}
SUBSYSTEMS = {1: "native", 2: "windows GUI", 3: "windows console"}

PE32_MAGIC = 0x10B
PE32_PLUS_MAGIC = 0x20B

DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE = 0, 1, 2

IMAGE_FILE_DLL = 0x2000

RT_CURSOR, RT_BITMAP, RT_ICON, RT_MENU, RT_DIALOG, RT_STRING = 1, 2, 3, 4, 5, 6
RT_ACCELERATOR, RT_RCDATA, RT_GROUP_CURSOR, RT_GROUP_ICON = 9, 10, 12, 14
RT_VERSION, RT_MANIFEST = 16, 24
RESOURCE_TYPES = {
    1: "RT_CURSOR", 2: "RT_BITMAP", 3: "RT_ICON", 4: "RT_MENU", 5: "RT_DIALOG",
    6: "RT_STRING", 7: "RT_FONTDIR", 8: "RT_FONT", 9: "RT_ACCELERATOR",
    10: "RT_RCDATA", 11: "RT_MESSAGETABLE", 12: "RT_GROUP_CURSOR",
    14: "RT_GROUP_ICON", 16: "RT_VERSION", 17: "RT_DLGINCLUDE",
    19: "RT_PLUGPLAY", 20: "RT_VXD", 21: "RT_ANICURSOR", 22: "RT_ANIICON",
    23: "RT_HTML", 24: "RT_MANIFEST",
}

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class PEError(Exception):
    pass


def _unpack(fmt, data, offset, what):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise PEError(f"{what} at 0x{offset:x} runs past the end of the data")
    return struct.unpack_from(fmt, data, offset)


def _c_string(data, offset, what, encoding="latin-1"):
    end = data.find(b"\0", offset)
    if offset < 0 or offset >= len(data) or end < 0:
        raise PEError(f"{what} at 0x{offset:x} is not terminated")
    return data[offset:end].decode(encoding)


def _wide_string(data, offset, what):
    """A zero-terminated UTF-16LE string; returns it and the offset after it."""
    pos = offset
    while True:
        if pos + 2 > len(data):
            raise PEError(f"{what} at 0x{offset:x} is not terminated")
        if data[pos] == 0 and data[pos + 1] == 0:
            return data[offset:pos].decode("utf-16-le"), pos + 2
        pos += 2


def _align4(value):
    return (value + 3) & ~3


def resource_type_name(kind):
    if isinstance(kind, int):
        return RESOURCE_TYPES.get(kind, str(kind))
    return f'"{kind}"'


# ------------------------------------------------------------------ images

@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_offset: int
    raw_size: int
    characteristics: int


@dataclass
class Resource:
    type: Union[int, str]
    name: Union[int, str]
    language: int
    code_page: int
    data: bytes


@dataclass
class ImportedFunction:
    name: Optional[str]        # None when imported by ordinal
    ordinal: Optional[int]     # the ordinal, or the hint for a named import
    by_ordinal: bool


@dataclass
class ImportedLibrary:
    dll: str
    functions: List[ImportedFunction]


@dataclass
class Export:
    ordinal: int
    names: List[str]           # empty for a NONAME export
    rva: int
    forwarder: Optional[str] = None


class PEImage:
    """A PE32 or PE32+ image, read whole into memory."""

    def __init__(self, data, path="<memory>"):
        self.data = bytes(data)
        self.path = path
        data = self.data
        if data[:2] != b"MZ":
            raise PEError(f"{path}: no MZ header")
        (pe_offset,) = _unpack("<I", data, 0x3C, "e_lfanew")
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PEError(f"{path}: no PE signature at 0x{pe_offset:x}")
        (self.machine, section_count, self.timestamp, symbol_table, symbol_count,
         optional_size, self.characteristics) = _unpack(
             "<HHIIIHH", data, pe_offset + 4, "file header")
        optional = pe_offset + 24
        (self.magic,) = _unpack("<H", data, optional, "optional header")
        if self.magic == PE32_MAGIC:
            directory_offset = 96
            (self.image_base,) = _unpack("<I", data, optional + 28, "image base")
        elif self.magic == PE32_PLUS_MAGIC:
            directory_offset = 112
            (self.image_base,) = _unpack("<Q", data, optional + 24, "image base")
        else:
            raise PEError(f"{path}: unknown optional header magic 0x{self.magic:x}")
        if optional_size < directory_offset:
            raise PEError(f"{path}: optional header too short ({optional_size} bytes)")
        (self.entry_point,) = _unpack("<I", data, optional + 16, "entry point")
        (self.subsystem, self.dll_characteristics) = _unpack(
            "<HH", data, optional + 68, "subsystem")
        (directory_count,) = _unpack("<I", data, optional + directory_offset - 4,
                                     "NumberOfRvaAndSizes")
        directory_count = min(directory_count, (optional_size - directory_offset) // 8)
        self.directories = [
            _unpack("<II", data, optional + directory_offset + 8 * i, "data directory")
            for i in range(directory_count)]
        (self.size_of_headers,) = _unpack("<I", data, optional + 60, "SizeOfHeaders")

        strings = None
        if symbol_table:
            # Long section names ("/4") point into the COFF string table,
            # which MinGW keeps in images that are not stripped.
            table = symbol_table + 18 * symbol_count
            if table + 4 <= len(data):
                strings = data[table:]
        self.sections = []
        first = optional + optional_size
        for i in range(section_count):
            (raw_name, virtual_size, virtual_address, raw_size, raw_offset,
             _relocs, _lines, _nrelocs, _nlines, characteristics) = _unpack(
                 "<8sIIIIIIHHI", data, first + 40 * i, "section header")
            name = raw_name.rstrip(b"\0").decode("latin-1")
            if name.startswith("/") and name[1:].isdigit() and strings is not None:
                name = _c_string(strings, int(name[1:]), "section name")
            self.sections.append(Section(name, virtual_address, virtual_size,
                                         raw_offset, raw_size, characteristics))

    @classmethod
    def load(cls, path):
        with open(path, "rb") as handle:
            return cls(handle.read(), str(path))

    @property
    def is_pe32_plus(self):
        return self.magic == PE32_PLUS_MAGIC

    @property
    def is_dll(self):
        return bool(self.characteristics & IMAGE_FILE_DLL)

    @property
    def pointer_size(self):
        return 8 if self.is_pe32_plus else 4

    def directory(self, index):
        if index < len(self.directories):
            return self.directories[index]
        return (0, 0)

    def read(self, rva, size):
        """Bytes at an RVA; the part of a section past its raw data reads as
        zeros, as the loader would map it."""
        if rva + size <= self.size_of_headers:
            return self.data[rva:rva + size]
        for section in self.sections:
            span = max(section.virtual_size, section.raw_size)
            if section.virtual_address <= rva and rva + size <= section.virtual_address + span:
                start = rva - section.virtual_address
                raw = self.data[section.raw_offset + start:
                                section.raw_offset + min(start + size, section.raw_size)]
                return raw + b"\0" * (size - len(raw))
        raise PEError(f"{self.path}: RVA 0x{rva:x}+{size} lies in no section")

    def section_tail(self, rva):
        """Everything from an RVA to the end of its section, for strings and
        tables whose length is only known once they are read."""
        for section in self.sections:
            span = max(section.virtual_size, section.raw_size)
            if section.virtual_address <= rva < section.virtual_address + span:
                return self.read(rva, section.virtual_address + span - rva)
        if rva < self.size_of_headers:
            return self.data[rva:self.size_of_headers]
        raise PEError(f"{self.path}: RVA 0x{rva:x} lies in no section")

    def string_at(self, rva, what):
        return _c_string(self.section_tail(rva), 0, what)

    # ------------------------------------------------------------ resources

    def resources(self):
        """Every resource as (type, name, language) with its data, in the
        order the resource directory lists them (named entries first, as
        the format requires)."""
        rva, size = self.directory(DIR_RESOURCE)
        if not rva:
            return []
        tree = self.read(rva, size)
        found = []

        def directory_entries(offset):
            (_chars, _time, _major, _minor, named, numbered) = _unpack(
                "<IIHHHH", tree, offset, "resource directory")
            for i in range(named + numbered):
                name_field, target = _unpack("<II", tree, offset + 16 + 8 * i,
                                             "resource directory entry")
                if name_field & 0x80000000:
                    name_at = name_field & 0x7FFFFFFF
                    (length,) = _unpack("<H", tree, name_at, "resource name")
                    raw = tree[name_at + 2:name_at + 2 + 2 * length]
                    if len(raw) != 2 * length:
                        raise PEError("resource name runs past the directory")
                    key = raw.decode("utf-16-le")
                    if i >= named:
                        raise PEError("named resource entry among the numbered ones")
                else:
                    if i < named:
                        raise PEError("numbered resource entry among the named ones")
                    key = name_field & 0xFFFF
                yield key, target

        for kind, type_target in directory_entries(0):
            if not type_target & 0x80000000:
                raise PEError(f"resource type {kind} is a leaf, not a directory")
            for name, name_target in directory_entries(type_target & 0x7FFFFFFF):
                if not name_target & 0x80000000:
                    raise PEError(f"resource {kind}/{name} is a leaf, not a directory")
                for language, leaf in directory_entries(name_target & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise PEError(f"resource {kind}/{name}/{language} nests too deep")
                    data_rva, data_size, code_page, _reserved = _unpack(
                        "<IIII", tree, leaf, "resource data entry")
                    found.append(Resource(kind, name, language, code_page,
                                          self.read(data_rva, data_size)))
        return found

    # -------------------------------------------------------------- imports

    def _thunks(self, rva, what):
        pointer = self.pointer_size
        flag = 1 << (8 * pointer - 1)
        fmt = "<Q" if pointer == 8 else "<I"
        functions = []
        while True:
            (value,) = struct.unpack(fmt, self.read(rva, pointer))
            if value == 0:
                return functions
            if value & flag:
                functions.append(ImportedFunction(None, value & 0xFFFF, True))
            else:
                hint_and_name = self.section_tail(value & 0x7FFFFFFF)
                (hint,) = _unpack("<H", hint_and_name, 0, what)
                functions.append(ImportedFunction(
                    _c_string(hint_and_name, 2, what), hint, False))
            rva += pointer

    def imports(self):
        """Imported libraries with their functions.  Delay-load tables are
        not read: GNU ld does not fill in their directory entry."""
        libraries = []
        rva, _size = self.directory(DIR_IMPORT)
        while rva:
            (lookup, _time, _chain, name_rva, address_table) = struct.unpack(
                "<IIIII", self.read(rva, 20))
            if not (lookup or name_rva or address_table):
                break
            dll = self.string_at(name_rva, "imported library name")
            libraries.append(ImportedLibrary(
                dll, self._thunks(lookup or address_table, f"import from {dll}")))
            rva += 20
        return libraries

    # -------------------------------------------------------------- exports

    def export_directory_name(self):
        rva, _size = self.directory(DIR_EXPORT)
        if not rva:
            return None
        (name_rva,) = struct.unpack("<I", self.read(rva + 12, 4))
        return self.string_at(name_rva, "export directory name") if name_rva else None

    def exports(self):
        """Every used slot of the export address table, with the names that
        point to it; a slot no name points to is exported by ordinal only."""
        rva, size = self.directory(DIR_EXPORT)
        if not rva:
            return []
        (_chars, _time, _major, _minor, _name, base, function_count, name_count,
         functions_rva, names_rva, ordinals_rva) = struct.unpack(
             "<IIHHIIIIIII", self.read(rva, 40))
        addresses = struct.unpack(f"<{function_count}I",
                                  self.read(functions_rva, 4 * function_count))
        name_rvas = struct.unpack(f"<{name_count}I", self.read(names_rva, 4 * name_count))
        indices = struct.unpack(f"<{name_count}H", self.read(ordinals_rva, 2 * name_count))
        names = {}
        for name_rva, index in zip(name_rvas, indices):
            if index >= function_count:
                raise PEError(f"export name points to slot {index} of {function_count}")
            names.setdefault(index, []).append(self.string_at(name_rva, "export name"))
        exports = []
        for index, address in enumerate(addresses):
            if address == 0:
                if index in names:
                    raise PEError(f"export {names[index]} has no address")
                continue
            forwarder = None
            if rva <= address < rva + size:
                forwarder = self.string_at(address, "export forwarder")
            exports.append(Export(base + index, names.get(index, []), address, forwarder))
        return exports


# ------------------------------------------------------- objects and archives

IMAGE_SYM_CLASS_EXTERNAL = 2
IMAGE_SYM_CLASS_WEAK_EXTERNAL = 105
BIGOBJ_CLASS_ID = bytes.fromhex("c7a1bad1eebaa94baf20faf66aa4dcb8")


@dataclass
class Symbol:
    name: str
    value: int
    section: int               # 0: undefined, -1: absolute, -2: debug
    storage_class: int

    @property
    def is_undefined_reference(self):
        # Section 0 with a value is a common (tentative) definition, not a
        # reference; a weak external with section 0 still needs its target.
        if self.section != 0:
            return False
        if self.storage_class == IMAGE_SYM_CLASS_EXTERNAL:
            return self.value == 0
        return self.storage_class == IMAGE_SYM_CLASS_WEAK_EXTERNAL

    @property
    def is_definition(self):
        if self.storage_class != IMAGE_SYM_CLASS_EXTERNAL:
            return False
        return self.section != 0 or self.value != 0


@dataclass
class ObjectFile:
    name: str                  # "archive.a(member.obj)" or the path
    machine: int
    symbols: List[Symbol] = field(default_factory=list)


def read_coff_object(data, name):
    """The symbol table of one COFF object, a bigobj object or a short
    import record (as found in import libraries)."""
    if data[:4] == b"BC\xc0\xde":
        raise PEError(f"{name}: LLVM bitcode, not a COFF object")
    sig1, sig2 = _unpack("<HH", data, 0, f"{name}: header")
    if sig1 == 0 and sig2 == 0xFFFF:
        version, machine = _unpack("<HH", data, 4, f"{name}: header")
        if version == 0:
            # Short import record: it defines the function and its __imp_ slot.
            symbol = _c_string(data, 20, f"{name}: import symbol")
            return ObjectFile(name, machine, [
                Symbol(symbol, 0, 1, IMAGE_SYM_CLASS_EXTERNAL),
                Symbol("__imp_" + symbol, 0, 1, IMAGE_SYM_CLASS_EXTERNAL)])
        if data[12:28] != BIGOBJ_CLASS_ID:
            raise PEError(f"{name}: anonymous object of an unknown kind")
        (section_count, symbol_table, symbol_count) = _unpack(
            "<III", data, 44, f"{name}: bigobj header")
        record, fmt = 20, "<8sIiHBB"
        sections_at = 56
    else:
        machine = sig1
        (section_count, _time, symbol_table, symbol_count, optional_size,
         _chars) = _unpack("<HIIIHH", data, 2, f"{name}: file header")
        if machine not in MACHINES:
            raise PEError(f"{name}: not a COFF object (machine 0x{machine:x})")
        record, fmt = 18, "<8sIhHBB"
        sections_at = 20 + optional_size
    obj = ObjectFile(name, machine)
    for i in range(section_count):
        (raw,) = _unpack("8s", data, sections_at + 40 * i, f"{name}: section header")
        if raw.startswith(b".gnu.lto_"):
            # The symbol table of a GCC LTO object does not describe the code.
            raise PEError(f"{name}: LTO object; its calls cannot be read from symbols")
    if not symbol_table:
        return obj
    strings_at = symbol_table + record * symbol_count
    (strings_size,) = _unpack("<I", data, strings_at, f"{name}: string table")
    strings = data[strings_at:strings_at + strings_size]
    index = 0
    while index < symbol_count:
        (raw_name, value, section, _type, storage_class, aux) = _unpack(
            fmt, data, symbol_table + record * index, f"{name}: symbol")
        if raw_name[:4] == b"\0\0\0\0":
            (offset,) = struct.unpack_from("<I", raw_name, 4)
            symbol_name = _c_string(strings, offset, f"{name}: symbol name")
        else:
            symbol_name = raw_name.rstrip(b"\0").decode("latin-1")
        obj.symbols.append(Symbol(symbol_name, value, section, storage_class))
        index += 1 + aux
    return obj


def read_archive(data, name, directory=None):
    """The COFF members of an ar archive (GNU, BSD or Microsoft naming;
    thin archives when `directory` says where their members live)."""
    thin = data[:8] == b"!<thin>\n"
    if data[:8] != b"!<arch>\n" and not thin:
        raise PEError(f"{name}: not an ar archive")
    if thin and directory is None:
        raise PEError(f"{name}: thin archive without a folder to find its members")
    long_names = b""
    members = []
    pos = 8
    while pos < len(data):
        if data[pos:pos + 1] == b"\n":      # padding some writers leave
            pos += 1
            continue
        header = data[pos:pos + 60]
        if len(header) < 60 or header[58:60] != b"`\n":
            raise PEError(f"{name}: bad member header at 0x{pos:x}")
        member_name = header[:16].decode("latin-1").rstrip(" ")
        size = int(header[48:58].decode("ascii").strip() or 0)
        body_at = pos + 60
        table_member = member_name in ("/", "//", "/SYM64/", "__.SYMDEF", "__.SYMDEF SORTED")
        stored = size if (not thin or table_member) else 0
        body = data[body_at:body_at + stored]
        if len(body) != stored:
            raise PEError(f"{name}: member {member_name!r} is cut short")
        if member_name == "//":
            long_names = body
        elif table_member:
            pass
        else:
            if member_name.startswith("#1/"):
                length = int(member_name[3:])
                member_name = body[:length].rstrip(b"\0").decode("latin-1")
                body = body[length:]
            elif member_name.startswith("/") and member_name[1:].isdigit():
                start = int(member_name[1:])
                end = start
                while end < len(long_names) and long_names[end:end + 1] not in (b"\0", b"\n"):
                    end += 1
                member_name = long_names[start:end].decode("latin-1")
            member_name = member_name[:-1] if member_name.endswith("/") else member_name
            if thin:
                with open(os.path.join(directory, member_name), "rb") as handle:
                    body = handle.read()
            members.append(read_coff_object(body, f"{name}({member_name})"))
        pos = body_at + stored + (stored & 1)
    return members


def read_objects(path):
    """The COFF objects in a file: the members of an archive, or the object."""
    with open(path, "rb") as handle:
        data = handle.read()
    if data[:8] in (b"!<arch>\n", b"!<thin>\n"):
        return read_archive(data, str(path), os.path.dirname(os.path.abspath(path)))
    return [read_coff_object(data, str(path))]


# ----------------------------------------------------------- resource formats

@dataclass
class VersionNode:
    key: str
    type: int                  # 1: text value, 0: binary value
    value: Union[str, bytes]
    children: List["VersionNode"]

    def child(self, key):
        matches = [c for c in self.children if c.key == key]
        return matches[0] if matches else None


@dataclass
class FixedFileInfo:
    file_version: tuple
    product_version: tuple
    flags_mask: int
    flags: int
    os: int
    file_type: int
    file_subtype: int


def parse_version_info(data):
    """A VS_VERSIONINFO block as a tree of nodes.  Each node is wLength,
    wValueLength, wType, a WCHAR key, padding to 32 bits, the value,
    padding, then children up to wLength; alignment is counted from the
    start of the block, which the resource compiler places on a DWORD."""

    def node(offset, limit):
        length, value_length, kind = _unpack("<HHH", data, offset, "version node")
        end = offset + length
        if length < 6 or end > limit:
            raise PEError(f"version node at 0x{offset:x} claims {length} bytes, "
                          f"{limit - offset} available")
        if kind not in (0, 1):
            raise PEError(f"version node at 0x{offset:x} has type {kind}")
        key, pos = _wide_string(data[:end], offset + 6, "version node key")
        pos = _align4(pos)
        if kind == 1:
            raw = data[pos:min(pos + 2 * value_length, end)]
            if len(raw) != 2 * value_length:
                raise PEError(f"text value of {key!r} runs past its node")
            value = raw.decode("utf-16-le")
            if value.endswith("\0"):
                value = value[:-1]
            if "\0" in value:
                raise PEError(f"text value of {key!r} holds a NUL before its end")
            pos += 2 * value_length
        else:
            value = data[pos:pos + value_length]
            if len(value) != value_length or pos + value_length > end:
                raise PEError(f"value of {key!r} runs past its node")
            pos += value_length
        children = []
        pos = _align4(pos)
        while pos < end:
            child, child_end = node(pos, end)
            children.append(child)
            pos = _align4(child_end)
        return VersionNode(key, kind, value, children), end

    root, _end = node(0, len(data))
    return root


def fixed_file_info(root):
    if len(root.value) != 52:
        raise PEError(f"VS_FIXEDFILEINFO is {len(root.value)} bytes, not 52")
    (signature, _struct_version, file_ms, file_ls, product_ms, product_ls, mask, flags,
     os_, file_type, subtype, _date_ms, _date_ls) = struct.unpack("<13I", root.value)
    if signature != 0xFEEF04BD:
        raise PEError(f"VS_FIXEDFILEINFO signature is 0x{signature:08x}")

    def parts(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return FixedFileInfo(parts(file_ms, file_ls), parts(product_ms, product_ls),
                         mask, flags, os_, file_type, subtype)


def string_file_info(root):
    """{table key: {name: value}} from StringFileInfo."""
    info = root.child("StringFileInfo")
    if info is None:
        return {}
    return {table.key: {entry.key: entry.value for entry in table.children}
            for table in info.children}


def translations(root):
    """(language, code page) pairs from VarFileInfo\\Translation."""
    info = root.child("VarFileInfo")
    entry = info.child("Translation") if info is not None else None
    if entry is None:
        return []
    if entry.type != 0 or len(entry.value) % 4:
        raise PEError("Translation is not a list of (language, code page) words")
    return [struct.unpack_from("<HH", entry.value, i) for i in range(0, len(entry.value), 4)]


def string_bundle(bundle, data):
    """The strings of one RT_STRING bundle, {string id: text}; a bundle
    holds the sixteen ids (bundle - 1) * 16 .. + 15, each a WORD count of
    UTF-16 units followed by the units, empty slots having count 0."""
    strings = {}
    pos = 0
    for index in range(16):
        (count,) = _unpack("<H", data, pos, f"string bundle {bundle}")
        text = data[pos + 2:pos + 2 + 2 * count]
        if len(text) != 2 * count:
            raise PEError(f"string {(bundle - 1) * 16 + index} runs past its bundle")
        if count:
            strings[(bundle - 1) * 16 + index] = text.decode("utf-16-le")
        pos += 2 + 2 * count
    return strings


def string_table(resources, language=None):
    """All strings of a module, {string id: text}."""
    strings = {}
    for resource in resources:
        if resource.type == RT_STRING and (language is None or resource.language == language):
            if not isinstance(resource.name, int):
                raise PEError(f"string bundle with a name ({resource.name!r})")
            strings.update(string_bundle(resource.name, resource.data))
    return strings


def string_bundle_of(string_id):
    return (string_id >> 4) + 1


def _name_or_ordinal(data, pos, what):
    (first,) = _unpack("<H", data, pos, what)
    if first == 0:
        return None, pos + 2
    if first == 0xFFFF:
        (ordinal,) = _unpack("<H", data, pos + 2, what)
        return ordinal, pos + 4
    return _wide_string(data, pos, what)


@dataclass
class DialogControl:
    id: int
    control_class: Union[int, str, None]   # 0x80 button ... 0x85 combo box
    text: Union[int, str, None]
    style: int
    ex_style: int
    rect: tuple


@dataclass
class DialogTemplate:
    extended: bool
    style: int
    ex_style: int
    rect: tuple
    menu: Union[int, str, None]
    window_class: Union[int, str, None]
    title: str
    font: Optional[tuple]                   # (point size, typeface)
    controls: List[DialogControl]


DS_SETFONT = 0x40


def parse_dialog(data):
    """A DLGTEMPLATE or DLGTEMPLATEEX with its controls."""
    version, signature = _unpack("<HH", data, 0, "dialog header")
    extended = version == 1 and signature == 0xFFFF
    if extended:
        (_help, ex_style, style, count, x, y, cx, cy) = _unpack(
            "<IIIHhhhh", data, 4, "DIALOGEX header")
        pos = 26
    else:
        (style, ex_style, count, x, y, cx, cy) = _unpack("<IIHhhhh", data, 0, "DIALOG header")
        pos = 18
    menu, pos = _name_or_ordinal(data, pos, "dialog menu")
    window_class, pos = _name_or_ordinal(data, pos, "dialog class")
    title, pos = _wide_string(data, pos, "dialog title")
    font = None
    if style & DS_SETFONT:
        (points,) = _unpack("<H", data, pos, "dialog font")
        pos += 2
        if extended:
            pos += 4                          # weight, italic, character set
        typeface, pos = _wide_string(data, pos, "dialog typeface")
        font = (points, typeface)
    controls = []
    for number in range(count):
        pos = _align4(pos)
        what = f"dialog control {number + 1} of {count}"
        if extended:
            (_help, item_ex_style, item_style, ix, iy, icx, icy, control_id) = _unpack(
                "<IIIhhhhi", data, pos, what)
            pos += 24
        else:
            (item_style, item_ex_style, ix, iy, icx, icy, control_id) = _unpack(
                "<IIhhhhH", data, pos, what)
            pos += 18
        control_class, pos = _name_or_ordinal(data, pos, what)
        text, pos = _name_or_ordinal(data, pos, what)
        (extra,) = _unpack("<H", data, pos, what)
        pos += 2 + extra
        if pos > len(data):
            raise PEError(f"creation data of {what} runs past the template")
        controls.append(DialogControl(control_id, control_class, text, item_style,
                                      item_ex_style, (ix, iy, icx, icy)))
    return DialogTemplate(extended, style, ex_style, (x, y, cx, cy), menu,
                          window_class, title, font, controls)


MF_GRAYED, MF_DISABLED, MF_CHECKED, MF_POPUP, MF_END = 0x1, 0x2, 0x8, 0x10, 0x80


@dataclass
class MenuItem:
    id: int                    # 0 for a pop-up in a plain menu, and separators
    text: str
    flags: int                 # MF_* for a plain menu, MFT_*|MFS_* for MENUEX
    popup: bool
    children: List["MenuItem"] = field(default_factory=list)

    @property
    def separator(self):
        return not self.popup and self.id == 0 and self.text == ""


def parse_menu(data):
    """A MENU or MENUEX template as a list of top-level items."""
    version, header_size = _unpack("<HH", data, 0, "menu header")
    if version == 0:
        items, pos = _plain_menu_items(data, 4 + header_size)
    elif version == 1:
        items, pos = _extended_menu_items(data, 4 + header_size)
    else:
        raise PEError(f"menu template version {version}")
    return items


def _plain_menu_items(data, pos):
    items = []
    while True:
        (option,) = _unpack("<H", data, pos, "menu item")
        pos += 2
        popup = bool(option & MF_POPUP)
        item_id = 0
        if not popup:
            (item_id,) = _unpack("<H", data, pos, "menu item id")
            pos += 2
        text, pos = _wide_string(data, pos, "menu item text")
        item = MenuItem(item_id, text, option & ~MF_END, popup)
        if popup:
            item.children, pos = _plain_menu_items(data, pos)
        items.append(item)
        if option & MF_END:
            return items, pos


def _extended_menu_items(data, pos):
    items = []
    while True:
        (kind, state, item_id, flags) = _unpack("<IIIH", data, pos, "MENUEX item")
        text, pos = _wide_string(data, pos + 14, "MENUEX item text")
        pos = _align4(pos)
        popup = bool(flags & 0x01)
        item = MenuItem(item_id, text, kind | state, popup)
        if popup:
            pos += 4                          # the pop-up's help id
            item.children, pos = _extended_menu_items(data, pos)
        items.append(item)
        if flags & MF_END:
            return items, pos


def menu_items(items):
    """Every item of a menu tree, depth first."""
    for item in items:
        yield item
        yield from menu_items(item.children)


@dataclass
class GroupIconEntry:
    width: int
    height: int
    colour_count: int
    planes: int
    bit_count: int
    bytes_in_resource: int
    icon_id: int


def parse_group_icon(data):
    reserved, kind, count = _unpack("<HHH", data, 0, "icon group header")
    if reserved != 0 or kind != 1:
        raise PEError(f"icon group header says reserved={reserved}, type={kind}")
    if len(data) != 6 + 14 * count:
        raise PEError(f"icon group of {count} entries is {len(data)} bytes")
    entries = []
    for i in range(count):
        (width, height, colours, _reserved, planes, bits, size, icon_id) = _unpack(
            "<BBBBHHIH", data, 6 + 14 * i, "icon group entry")
        entries.append(GroupIconEntry(width or 256, height or 256, colours, planes,
                                      bits, size, icon_id))
    return entries


@dataclass
class IconImage:
    png: bool
    width: int
    height: int                # of the picture, the AND mask not counted
    planes: int
    bit_count: int
    expected_size: Optional[int]  # what a DIB of this shape occupies


def parse_icon_image(data):
    """The shape of one RT_ICON image: a BITMAPINFOHEADER whose height
    covers the colour bitmap and the AND mask, or a PNG."""
    if data[:8] == PNG_SIGNATURE:
        if data[12:16] != b"IHDR":
            raise PEError("PNG icon image without IHDR first")
        width, height, depth, colour_type = struct.unpack_from(">IIBB", data, 16)
        channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour_type)
        if channels is None:
            raise PEError(f"PNG colour type {colour_type}")
        return IconImage(True, width, height, 1, depth * channels, None)
    (header_size, width, double_height, planes, bits, compression, _image_size, _xppm,
     _yppm, colours_used, _important) = _unpack("<IiiHHIIiiII", data, 0, "BITMAPINFOHEADER")
    if header_size != 40:
        raise PEError(f"icon image header is {header_size} bytes, not 40")
    if compression != 0:
        raise PEError(f"icon image is compressed ({compression})")
    if double_height % 2:
        raise PEError(f"icon image height {double_height} is not colour plus mask")
    height = double_height // 2
    palette = (colours_used or (1 << bits)) if bits <= 8 else 0
    colour_row = ((width * bits + 31) // 32) * 4
    mask_row = ((width + 31) // 32) * 4
    expected = 40 + 4 * palette + height * (colour_row + mask_row)
    return IconImage(False, width, height, planes, bits, expected)


# ------------------------------------------------------------------ commands

def _show_key(key):
    return f'"{key}"' if isinstance(key, str) else str(key)


def _decode_resource(resource, resources):
    try:
        if resource.type == RT_VERSION:
            root = parse_version_info(resource.data)
            fixed = fixed_file_info(root)
            lines = [f"file {'.'.join(map(str, fixed.file_version))}, "
                     f"product {'.'.join(map(str, fixed.product_version))}"]
            for table, values in string_file_info(root).items():
                lines.append(f"table {table}")
                lines.extend(f"  {k} = {v!r}" for k, v in values.items())
            lines.extend(f"translation {lang:04x} {cp}" for lang, cp in translations(root))
            return lines
        if resource.type == RT_STRING:
            return [f"{k}: {v!r}" for k, v in string_bundle(resource.name, resource.data).items()]
        if resource.type == RT_GROUP_ICON:
            return [f"icon {e.icon_id}: {e.width}x{e.height} {e.bit_count} bpp, "
                    f"{e.bytes_in_resource} bytes" for e in parse_group_icon(resource.data)]
        if resource.type == RT_ICON:
            image = parse_icon_image(resource.data)
            return [f"{'PNG' if image.png else 'DIB'} {image.width}x{image.height} "
                    f"{image.bit_count} bpp"]
        if resource.type == RT_DIALOG:
            dialog = parse_dialog(resource.data)
            lines = [f"{'DIALOGEX' if dialog.extended else 'DIALOG'} {dialog.rect} "
                     f"{dialog.title!r} font {dialog.font}"]
            lines.extend(f"control {c.id}: class {_show_key(c.control_class)} "
                         f"text {c.text!r}" for c in dialog.controls)
            return lines
        if resource.type == RT_MENU:
            lines = []

            def walk(items, depth):
                for item in items:
                    if item.separator:
                        lines.append("  " * depth + "----")
                    else:
                        lines.append("  " * depth + f"{item.id} {item.text!r}"
                                     + (" (pop-up)" if item.popup else ""))
                    walk(item.children, depth + 1)

            walk(parse_menu(resource.data), 0)
            return lines
        if resource.type == RT_MANIFEST:
            return resource.data.decode("utf-8", "replace").splitlines()
    except PEError as error:
        return [f"cannot decode: {error}"]
    return []


def command_headers(image):
    print(f"format      {'PE32+' if image.is_pe32_plus else 'PE32'}")
    print(f"machine     0x{image.machine:x} ({MACHINES.get(image.machine, '?')})")
    print(f"subsystem   {image.subsystem} ({SUBSYSTEMS.get(image.subsystem, '?')})")
    print(f"kind        {'DLL' if image.is_dll else 'executable'}")
    print(f"entry point 0x{image.entry_point:x}")
    print(f"image base  0x{image.image_base:x}")
    for section in image.sections:
        print(f"section     {section.name:<10} rva 0x{section.virtual_address:08x} "
              f"size 0x{section.virtual_size:x}")


def command_resources(image, decode):
    resources = image.resources()
    for resource in resources:
        print(f"{resource_type_name(resource.type):<16} {_show_key(resource.name):<24} "
              f"lang 0x{resource.language:04x} {len(resource.data):6} bytes")
        if decode:
            for line in _decode_resource(resource, resources):
                print("    " + line)


def command_imports(image):
    for library in image.imports():
        print(library.dll)
        for function in library.functions:
            if function.by_ordinal:
                print(f"    ordinal {function.ordinal}")
            else:
                print(f"    {function.name} (hint {function.ordinal})")


def command_exports(image):
    name = image.export_directory_name()
    if name:
        print(f"library {name}")
    for export in image.exports():
        names = ", ".join(export.names) if export.names else "(NONAME)"
        target = f" -> {export.forwarder}" if export.forwarder else f" rva 0x{export.rva:x}"
        print(f"ordinal {export.ordinal:5} {names}{target}")


def command_symbols(paths, undefined_only):
    for path in paths:
        for obj in read_objects(path):
            print(f"{obj.name} ({MACHINES.get(obj.machine, hex(obj.machine))})")
            for symbol in obj.symbols:
                if undefined_only and not symbol.is_undefined_reference:
                    continue
                if symbol.is_undefined_reference:
                    kind = "U"
                elif symbol.is_definition:
                    kind = "D"
                else:
                    continue                  # locals, sections, files
                print(f"    {kind} {symbol.name}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("headers", "imports", "exports"):
        commands.add_parser(name).add_argument("image")
    resources = commands.add_parser("resources")
    resources.add_argument("image")
    resources.add_argument("--decode", action="store_true",
                           help="also show what each resource holds")
    symbols = commands.add_parser("symbols")
    symbols.add_argument("files", nargs="+")
    symbols.add_argument("--undefined", action="store_true",
                         help="only the references other objects must satisfy")
    args = parser.parse_args(argv)
    try:
        if args.command == "symbols":
            command_symbols(args.files, args.undefined)
            return 0
        image = PEImage.load(args.image)
        if args.command == "headers":
            command_headers(image)
        elif args.command == "resources":
            command_resources(image, args.decode)
        elif args.command == "imports":
            command_imports(image)
        else:
            command_exports(image)
    except (OSError, PEError) as error:
        print(f"inspect-pe: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
