"""Checks the staged Windows binaries as the loader and the shell see them.

CTest runs this once per Windows build (see CMakeLists.txt here), with:

    GAGENT_STAGE_DIR    the build's stage folder (gagent.exe, zelmsi13.dll,
                        1033/gagent.dll)
    GAGENT_ARCH         i686 or x86_64, the build's CMAKE_SYSTEM_PROCESSOR
    GAGENT_OWN_OBJECTS  ';'-separated static libraries and object files
                        that hold the program's own code
    GAGENT_OBJDUMP      the build's MinGW objdump, which reads their symbols

By hand, after building gagent, gagent_lang_1033 and zelmsi13:

    GAGENT_STAGE_DIR=build/i686/stage GAGENT_ARCH=i686 GAGENT_OBJDUMP=i686-w64-mingw32-objdump \\
    GAGENT_OWN_OBJECTS="build/i686/libgagent_core.a;build/i686/libgagent_pure.a;build/i686/CMakeFiles/gagent.dir/app/Startup.cpp.obj" \\
        /usr/bin/python3 -m unittest discover -s tests/binaries -v

Everything is read on this machine (pe_reading.py here, with Debian's
python3-pefile and the MinGW objdump), so no Windows tool and no Wine are
needed.
"""

import collections
import os
import re
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pe_reading as pe

MACHINE = {"i686": 0x14C, "x86_64": 0x8664}
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
LANG_EN_US = 0x0409

# The icon files hold these images, (size, bits per pixel); the shell picks
# the best fit for the display, from 16-colour VGA up.
ICON_LAYOUT = collections.Counter([
    (16, 32), (32, 32), (48, 32), (16, 8), (32, 8), (48, 8), (16, 4), (32, 4)])

# System DLLs whose every text-taking function comes in an A and a W form.
# KERNEL32 is left out: the C runtime's start-up code links against it on
# its own terms, so it is the program's own objects that are held to the A
# forms (OwnCodeTest), not the finished import table.
ANSI_ONLY_DLLS = ("USER32", "COMCTL32", "GDI32", "ADVAPI32", "SHELL32", "COMDLG32", "VERSION")

# Resource and command ids, as in resources/resource.h.
IDS_APP_TITLE = 101
IDR_MAIN_MENU = 101
IDI_KEY = 101
IDD_KEY_MANAGER = 110
KEY_MANAGER_CONTROLS = {111, 112, 113, 114, 119, 120, 136}
MENU_COMMANDS = {103, 104, 105, 106, 107, 108, 109, 185, 186, 202, 203}
COLUMN_TITLES = {115, 116, 117}

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"


def environment():
    stage = os.environ.get("GAGENT_STAGE_DIR")
    arch = os.environ.get("GAGENT_ARCH")
    if not stage or arch not in MACHINE:
        raise RuntimeError("set GAGENT_STAGE_DIR to a stage folder and GAGENT_ARCH "
                           f"to one of {sorted(MACHINE)} (got {stage!r}, {arch!r})")
    return Path(stage), arch


STAGE, ARCH = None, None


def setUpModule():
    global STAGE, ARCH
    STAGE, ARCH = environment()


def load_image(relative):
    path = STAGE / relative
    if not path.is_file():
        raise AssertionError(f"{path} is missing; build gagent, gagent_lang_1033 and zelmsi13")
    return pe.Image(path)


def find_resources(resources, kind, name):
    return [r for r in resources if r.type == kind and r.name == name]


def undecorated(symbol):
    """The C name behind an import reference or a direct call: i686 puts an
    underscore in front and @bytes behind stdcall names, x86_64 neither."""
    if ARCH == "i686":
        if not symbol.startswith("_"):
            return None
        symbol = symbol[1:]
    return re.sub(r"@\d+$", "", symbol)


class IconGroupChecks:
    """Shared by the executable and the language module, which both carry
    icons drawn from resources/icons."""

    def check_icon_group(self, resources, group):
        entries = pe.parse_group_icon(group.data)
        shapes = collections.Counter((e.width, e.bit_count) for e in entries)
        self.assertEqual(shapes, ICON_LAYOUT, f"images of icon group {group.name!r}")
        for entry in entries:
            with self.subTest(group=group.name, icon=entry.icon_id):
                self.assertEqual(entry.width, entry.height)
                self.assertEqual(entry.planes, 1)
                images = [r for r in find_resources(resources, pe.RT_ICON, entry.icon_id)
                          if r.language == group.language]
                self.assertEqual(len(images), 1, f"RT_ICON {entry.icon_id} the group names")
                data = images[0].data
                self.assertEqual(len(data), entry.bytes_in_resource)
                image = pe.parse_icon_image(data)
                self.assertEqual((image.width, image.height, image.bit_count),
                                 (entry.width, entry.height, entry.bit_count))
                self.assertEqual(image.planes, 1)
                if not image.png:
                    self.assertEqual(len(data), image.expected_size,
                                     "colour bitmap, palette and AND mask of the image")


class ExecutableTest(unittest.TestCase, IconGroupChecks):
    """gagent.exe: what Windows reads before and while starting it."""

    @classmethod
    def setUpClass(cls):
        cls.image = load_image("gagent.exe")
        cls.resources = cls.image.resources()

    def test_headers_match_the_build(self):
        self.assertEqual(self.image.machine, MACHINE[ARCH], "machine")
        expected_magic = pe.PE32_MAGIC if ARCH == "i686" else pe.PE32_PLUS_MAGIC
        self.assertEqual(self.image.magic, expected_magic, "PE32 for i686, PE32+ for x86_64")
        self.assertFalse(self.image.is_dll)
        self.assertEqual(self.image.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI,
                         "a console subsystem would open a console window with the program")

    def test_manifest_names_the_program_and_common_controls_6(self):
        manifests = find_resources(self.resources, pe.RT_MANIFEST, 1)
        self.assertEqual(len(manifests), 1, "manifest resource 1")
        root = ElementTree.fromstring(manifests[0].data)
        self.assertEqual(root.tag, ASM_V1 + "assembly")
        self.assertEqual(root.get("manifestVersion"), "1.0")

        identities = root.findall(ASM_V1 + "assemblyIdentity")
        self.assertEqual(len(identities), 1, "the program's own assemblyIdentity")
        identity = identities[0].attrib
        # The shipped program says "x86"; the x86_64 test build names its own
        # architecture, or a loader with 32-bit common controls installed
        # would bind the 64-bit process to them and refuse to start it.
        architecture = "x86" if ARCH == "i686" else "amd64"
        self.assertEqual(identity.get("name"), "VAQ.Glimmerpad.GAgent")
        self.assertEqual(identity.get("processorArchitecture"), architecture)
        self.assertEqual(identity.get("type"), "win32")

        dependencies = [identity.attrib
                        for dependency in root.findall(ASM_V1 + "dependency")
                        for assembly in dependency.findall(ASM_V1 + "dependentAssembly")
                        for identity in assembly.findall(ASM_V1 + "assemblyIdentity")]
        self.assertEqual(dependencies, [{
            "type": "win32",
            "name": "Microsoft.Windows.Common-Controls",
            "version": "6.0.0.0",
            "processorArchitecture": architecture,
            "publicKeyToken": "6595b64144ccf1df",
            "language": "*",
        }])

    def test_version_block_has_one_us_english_string_table(self):
        blocks = find_resources(self.resources, pe.RT_VERSION, 1)
        self.assertEqual(len(blocks), 1, "version resource 1")
        version = self.image.version()

        self.assertEqual(list(version.tables), ["040904E4"], "StringFileInfo tables")
        values = version.tables["040904E4"]
        # Both texts come from the same header as the binary version; the
        # shell shows the text, the installer compares the numbers.
        dotted = ".".join(map(str, version.file_version))
        self.assertEqual(values.get("FileVersion"), dotted)
        self.assertEqual(values.get("ProductVersion"), ".".join(map(str, version.product_version)))
        # The shell finds the table through the translation list.
        self.assertIn((0x0409, 0x04E4), version.translations)

    def test_icon_groups_are_named_with_the_program_icon_first(self):
        groups = [r for r in self.resources if r.type == pe.RT_GROUP_ICON]
        # The shell shows the first group as the program's icon.
        self.assertEqual([g.name for g in groups], ["IDI_ICON_GAGENT", "IDI_ICON_GAGENT_LOCK"])
        for group in groups:
            self.check_icon_group(self.resources, group)

    def test_no_wide_functions_imported_from_system_dlls(self):
        libraries = {library.dll.upper().removesuffix(".DLL"): library
                     for library in self.image.imports()}
        self.assertIn("USER32", libraries, "a dialog program that imports nothing from USER32")
        wide = [f"{dll}!{function}"
                for dll, library in libraries.items() if dll in ANSI_ONLY_DLLS
                for function in library.functions
                if function and function.endswith("W")]
        if wide:
            self.fail("wide forms imported: " + ", ".join(wide))


class OwnCodeTest(unittest.TestCase):
    """The program is ANSI throughout.  Its own objects are read rather than
    the finished import table, which also holds the C runtime's needs."""

    @classmethod
    def setUpClass(cls):
        listed = os.environ.get("GAGENT_OWN_OBJECTS", "")
        cls.paths = [path for path in listed.split(";") if path]
        objdump = os.environ.get("GAGENT_OBJDUMP", "")
        cls.objects = [obj for path in cls.paths for obj in pe.read_objects(objdump, path)]

    def test_objects_are_of_this_build(self):
        self.assertTrue(self.paths, "GAGENT_OWN_OBJECTS names no file")
        for obj in self.objects:
            self.assertEqual(obj.machine, MACHINE[ARCH], obj.name)

    def test_only_ansi_forms_of_windows_functions_are_called(self):
        defined = {s.name for obj in self.objects for s in obj.symbols if s.is_definition}
        imported, wide = set(), []
        for obj in self.objects:
            for symbol in obj.symbols:
                if not symbol.is_undefined_reference or symbol.name in defined:
                    continue
                name = symbol.name
                through_table = name.startswith("__imp_")
                if through_table:
                    name = name[len("__imp_"):]
                name = undecorated(name)
                # C++ names are mangled and never a Windows function's.
                if name is None or name.startswith("_Z"):
                    continue
                if through_table:
                    imported.add(name)
                if name.endswith("W"):
                    wide.append(f"{obj.name}: {symbol.name}")
        # The program calls Windows, so an empty set means the symbol tables
        # were not read, not that all is well.
        self.assertTrue(any(name.endswith("A") for name in imported),
                        f"no A-form import references found in {self.paths}")
        if wide:
            self.fail("wide forms referenced:\n  " + "\n  ".join(wide))


class LanguageModuleTest(unittest.TestCase, IconGroupChecks):
    """1033/gagent.dll: every text, template and menu of the English UI."""

    @classmethod
    def setUpClass(cls):
        cls.image = load_image(Path("1033") / "gagent.dll")
        cls.resources = cls.image.resources()
        cls.strings = pe.string_table(cls.resources, LANG_EN_US)

    def only(self, kind, name):
        found = find_resources(self.resources, kind, name)
        self.assertEqual(len(found), 1, f"{pe.resource_type_name(kind)} {name}")
        return found[0]

    def test_module_is_data_only(self):
        self.assertEqual(self.image.machine, MACHINE[ARCH], "machine")
        self.assertTrue(self.image.is_dll)
        # The program maps it with LoadLibraryA: an entry point or an import
        # would run code in our process for what is only data.
        self.assertEqual(self.image.entry_point, 0, "entry point")
        self.assertEqual([library.dll for library in self.image.imports()], [])

    def test_every_resource_is_us_english(self):
        self.assertTrue(self.resources)
        other = {(pe.resource_type_name(r.type), r.name, hex(r.language))
                 for r in self.resources if r.language != LANG_EN_US}
        self.assertEqual(other, set())

    def test_strings(self):
        needed = {IDS_APP_TITLE} | MENU_COMMANDS | COLUMN_TITLES
        for string_id in sorted(needed):
            with self.subTest(string=string_id):
                self.assertTrue(self.strings.get(string_id, "").strip(),
                                f"string {string_id} in bundle {pe.string_bundle_of(string_id)}")

    def test_key_manager_dialog_has_its_controls(self):
        dialog = pe.parse_dialog(self.only(pe.RT_DIALOG, IDD_KEY_MANAGER).data)
        self.assertTrue(dialog.extended, "DIALOGEX template")
        ids = collections.Counter(control.id for control in dialog.controls)
        for control_id in sorted(KEY_MANAGER_CONTROLS):
            with self.subTest(control=control_id):
                self.assertEqual(ids[control_id], 1, "controls with this id")

    def test_main_menu_has_every_command(self):
        items = list(pe.menu_items(pe.parse_menu(self.only(pe.RT_MENU, IDR_MAIN_MENU).data)))
        commands = collections.Counter(
            item.id for item in items if not item.popup and not item.separator)
        for command in sorted(MENU_COMMANDS):
            with self.subTest(command=command):
                self.assertEqual(commands[command], 1, "menu items with this id")
        for item in items:
            if not item.separator:
                self.assertTrue(item.text, f"menu item {item.id} without text")

    def test_window_icon(self):
        self.check_icon_group(self.resources, self.only(pe.RT_GROUP_ICON, IDI_KEY))


# The translated modules: (folder, language id, ANSI code page their texts
# must fit, since the program reads every text back in that code page).
TRANSLATIONS = (("1031", 0x0407, "cp1252", 1252),
                ("1036", 0x040C, "cp1252", 1252),
                ("1041", 0x0411, "cp932", 932))

PLACEHOLDER = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?[hlL]?[sdiuxXcp%]")
# An access key is one "&" before a character; "&&" is a plain ampersand.
ACCESS_KEY = re.compile(r"&(?!&)(.)")


def access_key(text):
    keys = ACCESS_KEY.findall(text.replace("&&", "")) if isinstance(text, str) else []
    return keys[0].casefold() if keys else None


def module_texts(resources, strings):
    """(where, text) of everything a user reads in a module."""
    for string_id, text in strings.items():
        yield f"string {string_id}", text
    for resource in resources:
        if resource.type == pe.RT_DIALOG:
            dialog = pe.parse_dialog(resource.data)
            yield f"template {resource.name} caption", dialog.title
            for control in dialog.controls:
                if isinstance(control.text, str):
                    yield f"template {resource.name} control {control.id}", control.text
        elif resource.type == pe.RT_MENU:
            for item in pe.menu_items(pe.parse_menu(resource.data)):
                yield f"menu {resource.name} item {item.id}", item.text


def menu_shape(items):
    return [(item.id, item.popup, item.separator, item.flags, menu_shape(item.children))
            for item in items]


class TranslationChecks:
    """A translation's strings and templates against the English ones."""

    def check_strings(self, strings, english_strings):
        self.assertEqual(sorted(strings), sorted(english_strings))
        for string_id, english in english_strings.items():
            with self.subTest(string=string_id):
                text = strings[string_id]
                self.assertTrue(text.strip())
                self.assertEqual(PLACEHOLDER.findall(text), PLACEHOLDER.findall(english))
                self.assertEqual(text.count("\n\n"), english.count("\n\n"), "paragraphs")

    def check_template(self, translated_data, english_data):
        """The same controls of the same kinds in the same order, with the
        same placeholders and access keys; the access keys, in order."""
        theirs = pe.parse_dialog(translated_data)
        ours = pe.parse_dialog(english_data)
        self.assertEqual((theirs.extended, theirs.style, theirs.ex_style),
                         (ours.extended, ours.style, ours.ex_style))
        self.assertEqual(
            [(c.id, c.control_class, c.style, c.ex_style) for c in theirs.controls],
            [(c.id, c.control_class, c.style, c.ex_style) for c in ours.controls])
        keys = []
        for mine, english_control in zip(theirs.controls, ours.controls):
            self.assertEqual(PLACEHOLDER.findall(str(mine.text)),
                             PLACEHOLDER.findall(str(english_control.text)), mine.id)
            expected = access_key(english_control.text) is not None
            self.assertEqual(access_key(mine.text) is not None, expected,
                             f"access key of control {mine.id}: {mine.text!r}")
            if expected:
                keys.append(access_key(mine.text))
                self.check_access_key_form(mine.text)
        self.assertEqual(len(keys), len(set(keys)), f"access keys repeat: {keys}")
        return keys

    def check_access_key_form(self, text):
        if self.language == 0x0411:
            # Japanese has no letters to underline: the key follows the text
            # as "(&K)", before a trailing "..." or ":".
            self.assertRegex(text, r"\(&[A-Z0-9]\)(\.\.\.|:)?$")


class TranslatedModuleChecks(TranslationChecks):
    """Each language module against the English one: the program loads every
    id by number, so a missing, extra or re-kinded id breaks that language
    alone and only when that window or message comes up."""

    folder = language = codec = code_page = None

    @classmethod
    def setUpClass(cls):
        cls.english_image = load_image(Path("1033") / "gagent.dll")
        cls.english = cls.english_image.resources()
        cls.english_strings = pe.string_table(cls.english, LANG_EN_US)
        cls.image = load_image(Path(cls.folder) / "gagent.dll")
        cls.resources = cls.image.resources()
        cls.strings = pe.string_table(cls.resources, cls.language)

    def by_name(self, resources, kind):
        return {r.name: r for r in resources if r.type == kind}

    def test_same_resources_all_in_the_language(self):
        self.assertEqual(self.image.machine, MACHINE[ARCH], "machine")
        self.assertEqual(self.image.entry_point, 0, "entry point")
        self.assertEqual(self.image.imports(), [])
        ids = lambda resources: sorted((r.type, r.name) for r in resources)
        self.assertEqual(ids(self.resources), ids(self.english))
        other = {(pe.resource_type_name(r.type), r.name, hex(r.language))
                 for r in self.resources if r.language != self.language}
        self.assertEqual(other, set())

    def test_strings_keep_ids_placeholders_and_line_breaks(self):
        self.check_strings(self.strings, self.english_strings)

    def test_templates_keep_controls_kinds_order_and_access_keys(self):
        english = self.by_name(self.english, pe.RT_DIALOG)
        translated = self.by_name(self.resources, pe.RT_DIALOG)
        menu_keys = {access_key(item.text) for item in pe.parse_menu(
            self.by_name(self.resources, pe.RT_MENU)[IDR_MAIN_MENU].data)}
        for name, resource in english.items():
            with self.subTest(template=name):
                keys = self.check_template(translated[name].data, resource.data)
                if name == IDD_KEY_MANAGER:
                    # Alt+key goes to the menu bar first in this window.
                    self.assertEqual(set(keys) & menu_keys, set(), "taken by the menu bar")

    def test_menu_keeps_its_shape_and_access_keys(self):
        english = pe.parse_menu(self.by_name(self.english, pe.RT_MENU)[IDR_MAIN_MENU].data)
        translated = pe.parse_menu(self.by_name(self.resources, pe.RT_MENU)[IDR_MAIN_MENU].data)
        self.assertEqual(menu_shape(translated), menu_shape(english))

        def check_level(items):
            keys = [access_key(item.text) for item in items if not item.separator]
            self.assertNotIn(None, keys, [item.text for item in items])
            self.assertEqual(len(keys), len(set(keys)), [item.text for item in items])
            for item in items:
                if not item.separator:
                    self.check_access_key_form(item.text)
                if item.popup:
                    check_level(item.children)
        check_level(translated)

    def test_every_text_fits_the_code_page(self):
        for where, text in module_texts(self.resources, self.strings):
            with self.subTest(where):
                text.encode(self.codec)

    def test_version_block_in_the_language(self):
        version = self.image.version()
        english = self.english_image.version()
        self.assertEqual(version.translations, [(self.language, self.code_page)])
        tables = version.tables
        key = f"{self.language:04X}{self.code_page:04X}"
        self.assertEqual(list(tables), [key])
        english_table = next(iter(english.tables.values()))
        self.assertEqual(sorted(tables[key]), sorted(english_table))
        for name in ("ProductVersion", "FileVersion", "OriginalFilename", "CompanyName"):
            self.assertEqual(tables[key][name], english_table[name], name)
        self.assertNotEqual(tables[key]["FileDescription"], english_table["FileDescription"])


class GermanModuleTest(TranslatedModuleChecks, unittest.TestCase):
    folder, language, codec, code_page = TRANSLATIONS[0]


class FrenchModuleTest(TranslatedModuleChecks, unittest.TestCase):
    folder, language, codec, code_page = TRANSLATIONS[1]


class JapaneseModuleTest(TranslatedModuleChecks, unittest.TestCase):
    folder, language, codec, code_page = TRANSLATIONS[2]


class CompanionLanguageChecks(TranslationChecks):
    """The key agent and its library hold every language in one file, each
    under its own language id. A text missing in one language is shown in
    English there, so nothing would fail where a check does not look."""

    file = None

    @classmethod
    def setUpClass(cls):
        cls.resources = load_image(cls.file).resources()

    def texts_in(self, language):
        dialogs = {r.name: r for r in self.resources if r.type == pe.RT_DIALOG and r.language == language}
        return dialogs, pe.string_table(self.resources, language)

    def test_each_language_has_every_english_text(self):
        english_dialogs, english_strings = self.texts_in(LANG_EN_US)
        self.assertTrue(english_strings)
        languages = {r.language for r in self.resources if r.type in (pe.RT_DIALOG, pe.RT_STRING)}
        self.assertEqual(languages, {LANG_EN_US} | {language for _, language, _, _ in TRANSLATIONS})
        for folder, language, codec, _ in TRANSLATIONS:
            self.language = language  # for the form of its access keys
            with self.subTest(language=folder):
                dialogs, strings = self.texts_in(language)
                self.check_strings(strings, english_strings)
                self.assertEqual(sorted(dialogs), sorted(english_dialogs))
                for name, resource in english_dialogs.items():
                    with self.subTest(template=name):
                        self.check_template(dialogs[name].data, resource.data)
                for where, text in module_texts(dialogs.values(), strings):
                    with self.subTest(where):
                        text.encode(codec)


class AgentLibraryLanguagesTest(CompanionLanguageChecks, unittest.TestCase):
    file = "OPENSSH.DLL"


class KeyAgentLanguagesTest(CompanionLanguageChecks, unittest.TestCase):
    file = "gkeyagent.exe"

    def test_platform_crypto_is_loaded_not_imported(self):
        """Windows XP has no bcrypt.dll: imported, the agent would not start
        there at all; loaded, it signs with libgcrypt."""
        dlls = {library.dll.upper() for library in load_image(self.file).imports()}
        self.assertNotIn("BCRYPT.DLL", dlls)


class InstallerSupportLanguagesTest(CompanionLanguageChecks, unittest.TestCase):
    file = "zelmsi13.dll"


class RelayTest(unittest.TestCase):
    """gagent-relay.exe: socat starts it through WSL's interop with the
    connection as its standard input and output, so it must be a console
    program, and it stands beside the agent without libgcrypt's DLLs."""

    @classmethod
    def setUpClass(cls):
        cls.image = load_image("gagent-relay.exe")

    def test_a_console_program_of_the_build(self):
        self.assertEqual(self.image.machine, MACHINE[ARCH], "machine")
        self.assertFalse(self.image.is_dll)
        self.assertEqual(self.image.subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI,
                         "a GUI program gets no standard input and output from its starter")

    def test_imports_system_libraries_only_in_their_ansi_forms(self):
        libraries = {library.dll.upper().removesuffix(".DLL"): library for library in self.image.imports()}
        self.assertLessEqual(set(libraries), {"KERNEL32", "ADVAPI32", "USER32", "MSVCRT"})
        wide = [f"{dll}!{function}"
                for dll, library in libraries.items() if dll in ANSI_ONLY_DLLS
                for function in library.functions
                if function and function.endswith("W")]
        self.assertEqual(wide, [])


class InstallerSupportLibraryTest(unittest.TestCase):
    """zelmsi13.dll: the installer finds these exports by exactly these names
    and the repair operation by ordinal alone."""

    @classmethod
    def setUpClass(cls):
        cls.image = load_image("zelmsi13.dll")
        cls.exports = cls.image.exports()

    def test_library_matches_the_build(self):
        self.assertEqual(self.image.machine, MACHINE[ARCH], "machine")
        self.assertTrue(self.image.is_dll)

    def test_named_exports(self):
        named = {name: export for export in self.exports for name in export.names}
        for name in ("_ZELMSIgetFileLocale@24", "_ZELMSIexpandFolder@12"):
            with self.subTest(export=name):
                self.assertIn(name, named)
                self.assertIsNone(named[name].forwarder)

    def test_ordinal_12_has_no_name(self):
        by_ordinal = {export.ordinal: export for export in self.exports}
        self.assertIn(12, by_ordinal, f"ordinals: {sorted(by_ordinal)}")
        self.assertEqual(by_ordinal[12].names, [], "ordinal 12 must be NONAME")
        self.assertIsNone(by_ordinal[12].forwarder)


if __name__ == "__main__":
    unittest.main()
