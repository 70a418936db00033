#!/usr/bin/env python3
"""Builds gagent.msi from the i686 stage with wixl and msibuild.

    build-msi.py WXS STAGE OUTPUT [VERSION]

VERSION defaults to the product's own (resources/Version.h). Stops with an
error when the stage and the package's file list differ, when wixl reports
a CRITICAL line (it then leaves things out but still exits with 0), when a
custom action is in no sequence, or when an expandable registry value did
not come out expandable.
"""
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

WIX = '{http://schemas.microsoft.com/wix/2006/wi}'
STAGE_REFERENCE = '$(var.Stage)/'
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


def run(command, folder=None):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=folder)
    if result.stdout:
        sys.stderr.write(result.stdout)
    if result.returncode != 0:
        fail('%s exited with %d' % (command[0], result.returncode))
    return result.stdout


def table_rows(msi, table):
    with tempfile.TemporaryDirectory() as folder:
        text = subprocess.run(['msiinfo', 'export', msi, table], check=True,
                              stdout=subprocess.PIPE, text=True, cwd=folder).stdout
    # Three header lines, then tab-separated rows.
    return [line.split('\t') for line in text.splitlines()[3:] if line]


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
    # wixl takes no absolute source paths: it runs in the stage.
    log = run(['wixl', '-a', 'x86', '-D', 'Version=' + version, '-D', 'Rank=' + package_rank(version),
               '-D', 'Stage=.', '-o', partial, os.path.abspath(source)], stage)
    if 'CRITICAL' in log:
        fail('wixl reported a CRITICAL problem, so the package lacks something')
    make_expandable(partial, expandable_values(wxs))
    clear_no_impersonate(partial)
    check_actions_sequenced(partial)
    os.replace(partial, output)


if __name__ == '__main__':
    main()
