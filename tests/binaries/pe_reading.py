"""The staged binaries as the loader and the shell read them.

Headers, imports, exports, the resource tree and version blocks come from
Debian's python3-pefile; the symbols of the build's own objects from the
MinGW objdump of the build.  What pefile leaves as bytes is decoded here:
string bundles of one language (pefile merges the languages of a bundle),
dialog templates, menus, icon groups and the icon images they point to.

Every reader raises ReadError on data that does not add up instead of
returning what it managed to read: a check built on a half-read table would
pass for the wrong reason.
"""

import re
import struct
import subprocess
from dataclasses import dataclass, field
from typing import List, Optional, Union

import pefile

RT_ICON, RT_MENU, RT_DIALOG, RT_STRING = 3, 4, 5, 6
RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 14, 16, 24

PE32_MAGIC = 0x10B
PE32_PLUS_MAGIC = 0x20B

# pefile notes what it could not parse and goes on; these notes mean a table
# a check reads is incomplete. Its other notes (an entry point of 0, many
# zero bytes) describe what a resource-only module is meant to be.
INCOMPLETE_TABLE = re.compile(r"resource|version|import|export", re.IGNORECASE)

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class ReadError(Exception):
    pass


def _unpack(fmt, data, offset, what):
    if offset < 0 or offset + struct.calcsize(fmt) > len(data):
        raise ReadError(f"{what} at 0x{offset:x} runs past the end of the data")
    return struct.unpack_from(fmt, data, offset)


def _wide_string(data, offset, what):
    """A zero-terminated UTF-16LE string; returns it and the offset after it."""
    for pos in range(offset, len(data) - 1, 2):
        if data[pos] == 0 and data[pos + 1] == 0:
            return data[offset:pos].decode("utf-16-le"), pos + 2
    raise ReadError(f"{what} at 0x{offset:x} is not terminated")


def _align4(value):
    return (value + 3) & ~3


def resource_type_name(kind):
    return pefile.RESOURCE_TYPE.get(kind, str(kind)) if isinstance(kind, int) else f'"{kind}"'


# ------------------------------------------------------------------ images

@dataclass
class Resource:
    type: Union[int, str]
    name: Union[int, str]
    language: int
    data: bytes


@dataclass
class ImportedLibrary:
    dll: str
    functions: List[Optional[str]]   # None for a function imported by ordinal


@dataclass
class Export:
    ordinal: int
    names: List[str]                 # empty for a NONAME export
    forwarder: Optional[str]


@dataclass
class VersionInfo:
    file_version: tuple
    product_version: tuple
    tables: dict                     # {table key: {name: value}}
    translations: list               # [(language, code page)]


def _key(entry):
    return str(entry.name) if entry.name is not None else entry.id


class Image:
    """A PE32 or PE32+ image as pefile reads it."""

    def __init__(self, path):
        try:
            self.pe = pefile.PE(str(path))
        except pefile.PEFormatError as error:
            raise ReadError(f"{path}: {error}") from error
        incomplete = [w for w in self.pe.get_warnings() if INCOMPLETE_TABLE.search(w)]
        if incomplete:
            raise ReadError(f"{path}: " + "; ".join(incomplete))
        self.path = path
        self.machine = self.pe.FILE_HEADER.Machine
        self.magic = self.pe.OPTIONAL_HEADER.Magic
        self.subsystem = self.pe.OPTIONAL_HEADER.Subsystem
        self.entry_point = self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        self.is_dll = self.pe.is_dll()

    def resources(self):
        """Every resource as (type, name, language) with its data, in the
        order of the resource directory."""
        root = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
        found = []
        for kind in root.entries if root else []:
            for name in kind.directory.entries:
                for language in name.directory.entries:
                    entry = language.data.struct
                    found.append(Resource(_key(kind), _key(name), language.id,
                                          self.pe.get_data(entry.OffsetToData, entry.Size)))
        return found

    def imports(self):
        return [ImportedLibrary(library.dll.decode("latin-1"),
                                [f.name.decode("latin-1") if f.name else None
                                 for f in library.imports])
                for library in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])]

    def exports(self):
        """Every used slot of the export address table, with the names that
        point to it; a slot no name points to is exported by ordinal only."""
        directory = getattr(self.pe, "DIRECTORY_ENTRY_EXPORT", None)
        by_ordinal = {}
        for symbol in directory.symbols if directory else []:
            forwarder = symbol.forwarder.decode("latin-1") if symbol.forwarder else None
            export = by_ordinal.setdefault(symbol.ordinal, Export(symbol.ordinal, [], forwarder))
            if symbol.name:
                export.names.append(symbol.name.decode("latin-1"))
        return list(by_ordinal.values())

    def version(self):
        """The one version block of the image."""
        blocks = [r for r in self.resources() if r.type == RT_VERSION]
        if len(blocks) != 1 or len(getattr(self.pe, "VS_FIXEDFILEINFO", [])) != 1:
            raise ReadError(f"{self.path}: {len(blocks)} version resources")
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        if fixed.Signature != 0xFEEF04BD:
            raise ReadError(f"{self.path}: VS_FIXEDFILEINFO signature 0x{fixed.Signature:08x}")
        tables, translations = {}, []
        for info in self.pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                tables[table.LangID.decode("utf-8")] = {
                    key.decode("utf-8"): value.decode("utf-8")
                    for key, value in table.entries.items()}
            for var in getattr(info, "Var", []):
                translations.extend(_translations(var, self.path))
        return VersionInfo(_version(fixed.FileVersionMS, fixed.FileVersionLS),
                           _version(fixed.ProductVersionMS, fixed.ProductVersionLS),
                           tables, translations)


def _version(ms, ls):
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def _translations(var, path):
    # pefile keeps the last (language, code page) pair of a Translation list
    # only, so a list of more than one is refused rather than half read.
    if b"Translation" not in var.entry:
        return []
    if var.ValueLength != 4:
        raise ReadError(f"{path}: Translation holds {var.ValueLength} bytes, not one pair")
    language, code_page = var.entry[b"Translation"].split()
    return [(int(language, 16), int(code_page, 16))]


# ------------------------------------------------------- objects and archives

OBJECT_FORMATS = {"pe-i386": 0x14C, "pe-x86-64": 0x8664}
IMAGE_SYM_CLASS_EXTERNAL = 2
IMAGE_SYM_CLASS_WEAK_EXTERNAL = 105

MEMBER = re.compile(r"^(\S.*):\s+file format (\S+)$")
SYMBOL = re.compile(r"^\[\s*\d+\]\(sec\s+(-?\d+)\)\(fl 0x[0-9a-f]+\)\(ty\s+[0-9a-f]+\)"
                    r"\(scl\s+(\d+)\) \(nx \d+\) 0x([0-9a-f]+) (.*)$")


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
        return self.storage_class == IMAGE_SYM_CLASS_EXTERNAL and (
            self.section != 0 or self.value != 0)


@dataclass
class ObjectFile:
    name: str
    machine: int
    symbols: List[Symbol] = field(default_factory=list)


def read_objects(objdump, path):
    """The COFF objects of an archive or an object file, with their symbol
    tables, as the build's objdump lists them."""
    result = subprocess.run([objdump, "-t", str(path)], capture_output=True, text=True)
    if result.returncode != 0:
        raise ReadError(f"{objdump} -t {path}: {result.stderr.strip()}")
    objects = []
    for line in result.stdout.splitlines():
        member = MEMBER.match(line)
        symbol = SYMBOL.match(line)
        if member:
            if member.group(2) not in OBJECT_FORMATS:
                raise ReadError(f"{path}: {member.group(1)} is {member.group(2)}")
            objects.append(ObjectFile(member.group(1), OBJECT_FORMATS[member.group(2)]))
        elif symbol:
            if not objects:
                raise ReadError(f"{path}: symbols before any object")
            section, storage_class, value, name = symbol.groups()
            objects[-1].symbols.append(Symbol(name, int(value, 16), int(section), int(storage_class)))
    if not objects:
        raise ReadError(f"{path}: objdump lists no object")
    return objects


# ----------------------------------------------------------- resource formats

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
            raise ReadError(f"string {(bundle - 1) * 16 + index} runs past its bundle")
        if count:
            strings[(bundle - 1) * 16 + index] = text.decode("utf-16-le")
        pos += 2 + 2 * count
    return strings


def string_table(resources, language):
    """All strings of a module in one language, {string id: text}."""
    strings = {}
    for resource in resources:
        if resource.type == RT_STRING and resource.language == language:
            if not isinstance(resource.name, int):
                raise ReadError(f"string bundle with a name ({resource.name!r})")
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


@dataclass
class DialogTemplate:
    extended: bool
    style: int
    ex_style: int
    title: str
    controls: List[DialogControl]


DS_SETFONT = 0x40


def parse_dialog(data):
    """A DLGTEMPLATE or DLGTEMPLATEEX with its controls."""
    version, signature = _unpack("<HH", data, 0, "dialog header")
    extended = version == 1 and signature == 0xFFFF
    if extended:
        (ex_style, style, count) = _unpack("<IIH", data, 8, "DIALOGEX header")
        pos = 26
    else:
        (style, ex_style, count) = _unpack("<IIH", data, 0, "DIALOG header")
        pos = 18
    _menu, pos = _name_or_ordinal(data, pos, "dialog menu")
    _window_class, pos = _name_or_ordinal(data, pos, "dialog class")
    title, pos = _wide_string(data, pos, "dialog title")
    if style & DS_SETFONT:
        # Point size, then for DIALOGEX weight, italic and character set.
        pos += 6 if extended else 2
        _typeface, pos = _wide_string(data, pos, "dialog typeface")
    controls = []
    for number in range(count):
        pos = _align4(pos)
        what = f"dialog control {number + 1} of {count}"
        if extended:
            (item_ex_style, item_style, control_id) = _unpack("<4xII8xi", data, pos, what)
            pos += 24
        else:
            (item_style, item_ex_style, control_id) = _unpack("<II8xH", data, pos, what)
            pos += 18
        control_class, pos = _name_or_ordinal(data, pos, what)
        text, pos = _name_or_ordinal(data, pos, what)
        (extra,) = _unpack("<H", data, pos, what)
        pos += 2 + extra
        if pos > len(data):
            raise ReadError(f"creation data of {what} runs past the template")
        controls.append(DialogControl(control_id, control_class, text, item_style, item_ex_style))
    return DialogTemplate(extended, style, ex_style, title, controls)


MF_POPUP, MF_END = 0x10, 0x80


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
        items, _end = _plain_menu_items(data, 4 + header_size)
    elif version == 1:
        items, _end = _extended_menu_items(data, 4 + header_size)
    else:
        raise ReadError(f"menu template version {version}")
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
    planes: int
    bit_count: int
    bytes_in_resource: int
    icon_id: int


def parse_group_icon(data):
    reserved, kind, count = _unpack("<HHH", data, 0, "icon group header")
    if reserved != 0 or kind != 1:
        raise ReadError(f"icon group header says reserved={reserved}, type={kind}")
    if len(data) != 6 + 14 * count:
        raise ReadError(f"icon group of {count} entries is {len(data)} bytes")
    entries = []
    for i in range(count):
        (width, height, planes, bits, size, icon_id) = _unpack(
            "<BB2xHHIH", data, 6 + 14 * i, "icon group entry")
        entries.append(GroupIconEntry(width or 256, height or 256, planes, bits, size, icon_id))
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
            raise ReadError("PNG icon image without IHDR first")
        width, height, depth, colour_type = _unpack(">IIBB", data, 16, "PNG header")
        channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour_type)
        if channels is None:
            raise ReadError(f"PNG colour type {colour_type}")
        return IconImage(True, width, height, 1, depth * channels, None)
    (header_size, width, double_height, planes, bits, compression, colours_used) = _unpack(
        "<IiiHHI12xI4x", data, 0, "BITMAPINFOHEADER")
    if header_size != 40:
        raise ReadError(f"icon image header is {header_size} bytes, not 40")
    if compression != 0:
        raise ReadError(f"icon image is compressed ({compression})")
    if double_height % 2:
        raise ReadError(f"icon image height {double_height} is not colour plus mask")
    height = double_height // 2
    palette = (colours_used or (1 << bits)) if bits <= 8 else 0
    colour_row = ((width * bits + 31) // 32) * 4
    mask_row = ((width + 31) // 32) * 4
    expected = 40 + 4 * palette + height * (colour_row + mask_row)
    return IconImage(False, width, height, planes, bits, expected)
