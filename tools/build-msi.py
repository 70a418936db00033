#!/usr/bin/env python3
"""Builds gagent.msi from the i686 stage with wixl and msibuild.

    build-msi.py WXS STAGE OUTPUT [VERSION]

VERSION defaults to the product's own (resources/Version.h). Stops with an
error when the stage and the package's file list differ, when wixl reports
a CRITICAL line (it then leaves things out but still exits with 0), when a
custom action is in no sequence, when an expandable registry value did
not come out expandable, or when a text or a component's condition did not
reach its table.
"""
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

WIX = '{http://schemas.microsoft.com/wix/2006/wi}'
ET.register_namespace('', WIX[1:-1])
STAGE_REFERENCE = '$(var.Stage)/'
# The tables' code page: the package's texts are in four languages, which
# no ANSI code page holds together (gagent.wxs, at Codepage).
UTF8_CODEPAGE = 65001
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def fail(message):
    sys.exit('build-msi: ' + message)


def product_version():
    with open(os.path.join(ROOT, 'resources', 'Version.h')) as header:
        found = re.search(r'#define GAGENT_VERSION_TEXT "([0-9.]+)"', header.read())
    if not found:
        fail('no GAGENT_VERSION_TEXT in resources/Version.h')
    return found.group(1)


def package_rank(version):
    """A text that sorts like the version, for the package's conditions:
    Windows Installer compares texts, not versions, and would put 1.0.10
    before 1.0.9. All four fields count."""
    fields = [int(f) for f in version.split('.')]
    if len(fields) != 4 or fields[0] > 255 or fields[1] > 255 or max(fields[2:]) > 65535:
        fail('version %s is not major.minor.build.revision within 255.255.65535.65535' % version)
    return 'v%03d%03d%05d%05d' % tuple(fields)


def packaged_files(wxs):
    names = []
    for element in wxs.iter(WIX + 'File'):
        source = element.get('Source', '')
        if not source.startswith(STAGE_REFERENCE):
            fail('file %s does not come from the stage' % element.get('Id'))
        names.append(source[len(STAGE_REFERENCE):])
    return sorted(names)


def staged_files(stage):
    names = []
    for folder, _, files in os.walk(stage):
        for name in files:
            names.append(os.path.relpath(os.path.join(folder, name), stage).replace(os.sep, '/'))
    return sorted(names)


def check_file_lists(wxs, stage):
    packaged = set(packaged_files(wxs))
    staged = set(staged_files(stage))
    problems = ['staged but not in the package: ' + n for n in sorted(staged - packaged)]
    problems += ['in the package but not staged: ' + n for n in sorted(packaged - staged)]
    if problems:
        fail('the package and the stage differ (list every shipped file in the package source):\n  '
             + '\n  '.join(problems))


def expandable_values(wxs):
    return [v.get('Name') for v in wxs.iter(WIX + 'RegistryValue') if v.get('Type') == 'expandable']


class WixlInput:
    """What this wixl cannot carry, taken out of the package source before
    it runs and written into the package after it.

    Texts: wixl writes a neutral database (code page 0) with the texts in
    the build machine's ANSI code page, and leaves out, or crashes on, what
    that code page lacks (the Japanese ones). Every attribute holding more
    than ASCII goes to wixl as an ASCII stand-in; the database then gets
    code page 65001 and the texts replace their stand-ins.

    Components: the Condition and RemoveFile children and the Transitive
    attribute, which this wixl rejects."""

    TRANSITIVE = 0x40
    REMOVE_ON = {'install': '1', 'uninstall': '2', 'both': '3'}

    def __init__(self, wxs):
        self.texts = {}
        self.conditions = {}
        self.transitive = set()
        self.removed_files = []
        for element in wxs.iter():
            for name, value in list(element.attrib.items()):
                if not value.isascii():
                    element.set(name, self.stand_in(value))
        for component in wxs.iter(WIX + 'Component'):
            for condition in component.findall(WIX + 'Condition'):
                self.conditions[component.get('Id')] = condition.text.strip()
                component.remove(condition)
            for removal in component.findall(WIX + 'RemoveFile'):
                self.removed_files.append([removal.get('Id'), component.get('Id'), removal.get('Name'),
                                           removal.get('Directory'), self.REMOVE_ON[removal.get('On')]])
                component.remove(removal)
            if component.attrib.pop('Transitive', 'no') == 'yes':
                self.transitive.add(component.get('Id'))

    def stand_in(self, text):
        if any(c in text for c in '\t\r\n'):
            fail('a text of the package holds a tab or a line break: %r' % text)
        key = 'GlimmerpadText%04d' % len(self.texts)
        self.texts[key] = text
        return key

    def write_into(self, msi):
        set_database_codepage(msi, UTF8_CODEPAGE)
        self.restore_components(msi)
        if self.removed_files:
            header, rows = table_text(msi, 'RemoveFile')
            import_table(msi, 'RemoveFile', header, rows + self.removed_files)
        # Last: the rows written above hold stand-ins too.
        self.restore_texts(msi)

    def restore_texts(self, msi):
        found = set()
        for table in database_tables(msi):
            header, rows = table_text(msi, table)
            hits = {key for key in self.texts if any(key in cell for row in rows for cell in row)}
            if not hits:
                continue
            for row in rows:
                for i, cell in enumerate(row):
                    for key in hits:
                        row[i] = row[i].replace(key, self.texts[key])
            import_table(msi, table, header, rows)
            found |= hits
        missing = sorted(self.texts[key] for key in set(self.texts) - found)
        if missing:
            fail('texts in no table of the package: ' + ', '.join(missing))

    def restore_components(self, msi):
        header, rows = table_text(msi, 'Component')
        columns = header[0]
        key, attributes, condition = (columns.index(c) for c in ('Component', 'Attributes', 'Condition'))
        placed = set()
        for row in rows:
            component = row[key]
            if component in self.conditions:
                row[condition] = self.conditions[component]
                placed.add(component)
            if component in self.transitive:
                row[attributes] = str(int(row[attributes]) | self.TRANSITIVE)
        if placed != set(self.conditions):
            fail('no Component row for ' + ', '.join(sorted(set(self.conditions) - placed)))
        import_table(msi, 'Component', header, rows)



def set_database_codepage(msi, codepage):
    """Windows Installer takes a database's code page only through an import
    of _ForceCodepage; the strings already in it are converted."""
    with tempfile.TemporaryDirectory() as folder:
        idt = os.path.join(folder, '_ForceCodepage.idt')
        with open(idt, 'w', newline='') as archive:
            archive.write('\r\n\r\n%d\t_ForceCodepage\r\n' % codepage)
        run(['msibuild', msi, '-i', idt])
    if database_codepage(msi) != codepage:
        fail('the database code page did not become %d' % codepage)


def database_codepage(msi):
    lines = export(msi, '_ForceCodepage').splitlines()
    return int(lines[2].split('\t')[0])


def database_tables(msi):
    streams = set(run_quietly(['msiinfo', 'streams', msi]).split())
    return [t for t in run_quietly(['msiinfo', 'tables', msi]).split()
            if not t.startswith('_') and t not in streams]


def export(msi, table):
    with tempfile.TemporaryDirectory() as folder:
        # Bytes: text mode would turn the rows' CR LF ends into LF.
        return subprocess.run(['msiinfo', 'export', msi, table], check=True, stdout=subprocess.PIPE,
                              cwd=folder).stdout.decode('utf-8')


def table_text(msi, table):
    """The three header lines and the rows of a table, split at tabs."""
    lines = [line.split('\t') for line in export(msi, table).split('\r\n') if line]
    return lines[:3], lines[3:]


def import_table(msi, table, header, rows):
    with tempfile.TemporaryDirectory() as folder:
        idt = os.path.join(folder, table + '.idt')
        with open(idt, 'w', encoding='utf-8', newline='') as archive:
            archive.writelines('\t'.join(line) + '\r\n' for line in header + rows)
        run(['msibuild', msi, '-i', idt])


def run_quietly(command):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, encoding='utf-8').stdout


def run(command, folder=None):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=folder)
    if result.stdout:
        sys.stderr.write(result.stdout)
    if result.returncode != 0:
        fail('%s exited with %d' % (command[0], result.returncode))
    return result.stdout


def table_rows(msi, table):
    return table_text(msi, table)[1]


def registry_values(msi):
    return {row[3]: row[4] for row in table_rows(msi, 'Registry') if len(row) > 4}


def make_expandable(msi, names):
    """Windows Installer writes a value as REG_EXPAND_SZ when it starts with
    "#%"; wixl writes Type="expandable" without that mark."""
    rows = registry_values(msi)
    for name in names:
        if name not in rows:
            fail('registry value %s is not in the package' % name)
        value = rows[name]
        if not value.startswith('#%'):
            value = '#%' + value
        run(['msibuild', msi, '-q', "UPDATE `Registry` SET `Value` = '%s' WHERE `Name` = '%s'"
             % (value.replace("'", "''"), name)])
    rows = registry_values(msi)
    for name in names:
        if not rows.get(name, '').startswith('#%'):
            fail('registry value %s did not become expandable' % name)


NO_IMPERSONATE = 0x800
IN_SCRIPT = 0x400


def clear_no_impersonate(msi):
    """wixl marks every custom action as not impersonating, a flag meant
    for deferred actions only; the immediate ones are given back their
    plain type."""
    for row in table_rows(msi, 'CustomAction'):
        kind = int(row[1])
        if kind & NO_IMPERSONATE and not kind & IN_SCRIPT:
            run(['msibuild', msi, '-q', "UPDATE `CustomAction` SET `Type` = %d WHERE `Action` = '%s'"
                 % (kind & ~NO_IMPERSONATE, row[0])])


def check_actions_sequenced(msi):
    """wixl leaves some custom actions out of their sequence without a word."""
    sequenced = {row[0] for table in ('InstallExecuteSequence', 'InstallUISequence')
                 for row in table_rows(msi, table)}
    missing = [row[0] for row in table_rows(msi, 'CustomAction') if row[0] not in sequenced]
    if missing:
        fail('custom actions in no sequence: ' + ', '.join(missing))


def main():
    if len(sys.argv) not in (4, 5):
        fail('usage: build-msi.py WXS STAGE OUTPUT [VERSION]')
    source, stage, output = sys.argv[1:4]
    version = sys.argv[4] if len(sys.argv) == 5 else product_version()
    wxs = ET.parse(source).getroot()
    check_file_lists(wxs, stage)
    partial = os.path.abspath(output) + '.partial'
    if os.path.exists(partial):
        os.remove(partial)
    carried = WixlInput(wxs)
    with tempfile.TemporaryDirectory() as folder:
        wixl_source = os.path.join(folder, os.path.basename(source))
        ET.ElementTree(wxs).write(wixl_source, encoding='utf-8', xml_declaration=True)
        # wixl takes no absolute source paths: it runs in the stage.
        log = run(['wixl', '-a', 'x86', '-D', 'Version=' + version, '-D', 'Rank=' + package_rank(version),
                   '-D', 'Stage=.', '-o', partial, wixl_source], stage)
    if 'CRITICAL' in log:
        fail('wixl reported a CRITICAL problem, so the package lacks something')
    carried.write_into(partial)
    make_expandable(partial, expandable_values(wxs))
    clear_no_impersonate(partial)
    check_actions_sequenced(partial)
    os.replace(partial, output)


if __name__ == '__main__':
    main()
