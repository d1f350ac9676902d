'''UDisks2 stand-in for python3-dbusmock: drives whose media are image files.

Each drive is a Drive object and a whole-disk Block object (/dev/NAME); the
partition table of its image (read with sfdisk) gives Partition objects,
and blkid gives each file system's type, version and label, as udisksd
learns them from udev. Block.OpenDevice("r", {}) and Block.OpenForBackup
return a read-only descriptor of the image; any other mode is refused, as
udisksd's polkit check would refuse it here.

Parameters: {"drives": [DRIVE...]} with DRIVE = {"name": "sdb", "image":
PATH or "", "vendor", "model", "serial", "bus" ("usb", "sdio", ""),
"removable": bool, "system": bool, "mounts": {"1": "/media/CARD"}}.

Mock methods on /org/freedesktop/UDisks2 (interface org.freedesktop.DBus.Mock):
  AddDrive(s json)           plugs in a drive (InterfacesAdded for each object)
  RemoveDrive(s name)        unplugs it (InterfacesRemoved)
  InsertCard(s name, s image) a card goes into a reader whose /dev/NAME stays:
  RemoveCard(s name)          Size and MediaAvailable change, partitions come and go
  SetOpenError(s error, s message)  OpenDevice fails with that D-Bus error ('' = none)
  SetOpenDelay(d seconds)    OpenDevice answers after that long (a password dialog)
Every OpenDevice and OpenForBackup call is in the Block object's call log
(org.freedesktop.DBus.Mock.GetCalls).
'''
import json
import os
import subprocess
import time

import dbus

from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

PREFIX = 'org.freedesktop.UDisks2.'
DRIVE_IFACE = PREFIX + 'Drive'
BLOCK_IFACE = PREFIX + 'Block'
PART_IFACE = PREFIX + 'Partition'
TABLE_IFACE = PREFIX + 'PartitionTable'
FS_IFACE = PREFIX + 'Filesystem'

state = {'drives': {}, 'open_error': ('', ''), 'open_delay': 0.0}


def _bytes(text):
    return dbus.ByteArray(text.encode() + b'\0')


def _probe(image, offset=0, size=0):
    '''blkid's low-level probe of the image at offset: TYPE, VERSION, LABEL...'''
    cmd = ['blkid', '-p', '-o', 'export', '-O', str(offset)]
    if size:
        cmd += ['-S', str(size)]
    out = subprocess.run(cmd + [image], capture_output=True, text=True).stdout
    return dict(line.split('=', 1) for line in out.splitlines() if '=' in line)


def _table(image):
    out = subprocess.run(['sfdisk', '--json', image], capture_output=True, text=True)
    if out.returncode != 0:
        return None
    return json.loads(out.stdout)['partitiontable']


def _drive_path(d):
    ident = '_'.join(x for x in (d.get('vendor', ''), d.get('model', ''), d.get('serial', '')) if x)
    return MAIN_OBJ + '/drives/' + ''.join(c if c.isalnum() else '_' for c in ident)


def _block_path(name):
    return MAIN_OBJ + '/block_devices/' + name


def _id_props(probe):
    return {'IdUsage': probe.get('USAGE', ''), 'IdType': probe.get('TYPE', ''),
            'IdVersion': probe.get('VERSION', ''), 'IdLabel': probe.get('LABEL', ''),
            'IdUUID': probe.get('UUID', '')}


def _open(name, mode):
    d = state['drives'][name]
    if state['open_delay']:
        time.sleep(state['open_delay'])
    error, message = state['open_error']
    if error:
        raise dbus.exceptions.DBusException(message or error, name=error)
    if mode != 'r':
        raise dbus.exceptions.DBusException('Not authorized to perform operation',
                                            name='org.freedesktop.UDisks2.Error.NotAuthorized')
    if not d.get('image'):
        raise dbus.exceptions.DBusException(f'Error opening device /dev/{name}: No medium found',
                                            name='org.freedesktop.UDisks2.Error.Failed')
    fd = os.open(d['image'], os.O_RDONLY | os.O_CLOEXEC)
    try:
        return dbus.types.UnixFd(fd)  # sends a duplicate; ours is closed below
    finally:
        os.close(fd)


def _add(path, props_by_iface, methods=(), emit=True):
    '''One object with all its interfaces, announced as udisksd announces it.'''
    ifaces = list(props_by_iface)
    mock = state['mock']
    mock.AddObject(path, ifaces[0], props_by_iface[ifaces[0]], list(methods))
    obj = mockobject.objects[path]
    for iface in ifaces[1:]:
        obj.AddProperties(iface, props_by_iface[iface])
    if emit:
        mock.object_manager_emit_added(path)


def _remove(path, emit=True):
    mock = state['mock']
    if path not in mockobject.objects:
        return
    if emit:
        mock.object_manager_emit_removed(path)
    mock.RemoveObject(path)


def _media_objects(name, emit):
    '''Partition objects of the drive's medium; the table on the disk's block.'''
    d = state['drives'][name]
    image = d.get('image', '')
    disk = _block_path(name)
    d['parts'] = []
    if not image:
        return
    # blkid, as udev, tells a partition table from a FAT boot sector, which
    # sfdisk would take for an empty MBR.
    table = _table(image) if 'PTTYPE' in _probe(image) else None
    if not table:
        return
    sector = table.get('sectorsize', 512)
    paths = []
    for i, p in enumerate(table.get('partitions', [])):
        node = p['node']
        number = int(''.join(c for c in node[len(image):] if c.isdigit()) or i + 1)
        offset, size = p['start'] * sector, p['size'] * sector
        container = table['label'] == 'dos' and p['type'] in ('5', 'f', '85')
        part_name = f'{name}{number}'
        path = _block_path(part_name)
        probe = {} if container else _probe(image, offset, size)
        mount = d.get('mounts', {}).get(str(number), '')
        ifaces = {
            BLOCK_IFACE: dict({'Device': _bytes('/dev/' + part_name), 'PreferredDevice': _bytes('/dev/' + part_name),
                               'Drive': dbus.ObjectPath(_drive_path(d)), 'Size': dbus.UInt64(size),
                               'ReadOnly': False, 'HintSystem': bool(d.get('system', False)), 'HintIgnore': False,
                               'HintPartitionable': False}, **_id_props(probe)),
            PART_IFACE: {'Number': dbus.UInt32(number), 'Type': ('0x' + p['type'].lower().rjust(2, '0'))
                         if table['label'] == 'dos' else p['type'].lower(),
                         'Flags': dbus.UInt64(0x80 if p.get('bootable') else 0), 'Offset': dbus.UInt64(offset),
                         'Size': dbus.UInt64(size), 'Name': p.get('name', ''), 'UUID': p.get('uuid', ''),
                         'Table': dbus.ObjectPath(disk), 'IsContainer': container,
                         'IsContained': table['label'] == 'dos' and number > 4},
        }
        if probe.get('USAGE') == 'filesystem':
            ifaces[FS_IFACE] = {'MountPoints': dbus.Array([_bytes(mount)] if mount else [], signature='ay'),
                                'Size': dbus.UInt64(size)}
        _add(path, ifaces, emit=emit)
        paths.append(dbus.ObjectPath(path))
        d['parts'].append(path)
    mockobject.objects[disk].AddProperties(TABLE_IFACE, {'Type': table['label'],
                                                         'Partitions': dbus.Array(paths, signature='o')})


def _add_drive(d, emit=True):
    name = d['name']
    state['drives'][name] = d
    image = d.get('image', '')
    size = dbus.UInt64(os.path.getsize(image) if image else 0)
    bus = d.get('bus', 'usb')
    removable = bool(d.get('removable', bus in ('usb', 'sdio')))
    _add(_drive_path(d), {DRIVE_IFACE: {
        'Vendor': d.get('vendor', ''), 'Model': d.get('model', ''), 'Revision': '1.00',
        'Serial': d.get('serial', ''), 'Id': _drive_path(d).rsplit('/', 1)[1], 'ConnectionBus': bus,
        'Removable': removable, 'MediaRemovable': removable, 'MediaAvailable': bool(image),
        'MediaChangeDetected': True, 'Media': 'flash_sd' if bus == 'sdio' else '',
        'MediaCompatibility': dbus.Array(['flash_sd'] if removable else [], signature='s'),
        'Ejectable': removable, 'Size': size, 'SortKey': ('01hotplug/' if removable else '00coldplug/') + name,
        'TimeDetected': dbus.UInt64(int(time.time() * 1e6)), 'CanPowerOff': removable}}, emit=emit)
    probe = _probe(image) if image else {}
    if 'PTTYPE' in probe:
        probe = {}  # the table is no file system
    block = {BLOCK_IFACE: dict({
        'Device': _bytes('/dev/' + name), 'PreferredDevice': _bytes('/dev/' + name),
        'Symlinks': dbus.Array([], signature='ay'), 'Drive': dbus.ObjectPath(_drive_path(d)), 'Size': size,
        'ReadOnly': False, 'HintSystem': bool(d.get('system', False)), 'HintIgnore': False,
        'HintPartitionable': True}, **_id_props(probe))}
    if probe.get('USAGE') == 'filesystem':
        mount = d.get('mounts', {}).get('0', '')
        block[FS_IFACE] = {'MountPoints': dbus.Array([_bytes(mount)] if mount else [], signature='ay'),
                           'Size': size}
    _add(_block_path(name), block, [
        ('OpenForBackup', 'a{sv}', 'h', lambda self, options, n=name: _open(n, 'r')),
        ('OpenDevice', 'sa{sv}', 'h', lambda self, mode, options, n=name: _open(n, str(mode))),
    ], emit=False)
    _media_objects(name, emit)
    if emit:
        state['mock'].object_manager_emit_added(_block_path(name))


def _remove_drive(name):
    d = state['drives'].pop(name)
    for path in d.get('parts', []):
        _remove(path)
    _remove(_block_path(name))
    _remove(_drive_path(d))


def _set_card(name, image):
    d = state['drives'][name]
    for path in d.get('parts', []):
        _remove(path)
    d['image'] = image
    block = mockobject.objects[_block_path(name)]
    size = dbus.UInt64(os.path.getsize(image) if image else 0)
    probe = _probe(image) if image else {}
    if 'PTTYPE' in probe:
        probe = {}
    block.UpdateProperties(BLOCK_IFACE, dict({'Size': size}, **_id_props(probe)))
    mockobject.objects[_drive_path(d)].UpdateProperties(DRIVE_IFACE, {'Size': size, 'MediaAvailable': dbus.Boolean(bool(image))})
    if TABLE_IFACE in block.props:
        del block.props[TABLE_IFACE]
        state['mock'].EmitSignal('org.freedesktop.DBus.ObjectManager', 'InterfacesRemoved', 'oas',
                                                [dbus.ObjectPath(_block_path(name)), [TABLE_IFACE]])
    _media_objects(name, True)


def load(mock, parameters):
    state['mock'] = mock
    mock.AddObject(MAIN_OBJ + '/Manager', PREFIX + 'Manager',
                   {'Version': '2.9.4', 'SupportedFilesystems': dbus.Array(['vfat', 'ntfs', 'exfat'], signature='s')},
                   [])
    for d in parameters.get('drives', []):
        _add_drive(d, emit=False)
    mock.AddMethod(MOCK_IFACE, 'AddDrive', 's', '', lambda self, text: _add_drive(json.loads(str(text))))
    mock.AddMethod(MOCK_IFACE, 'RemoveDrive', 's', '', lambda self, name: _remove_drive(str(name)))
    mock.AddMethod(MOCK_IFACE, 'InsertCard', 'ss', '', lambda self, name, image: _set_card(str(name), str(image)))
    mock.AddMethod(MOCK_IFACE, 'RemoveCard', 's', '', lambda self, name: _set_card(str(name), ''))
    mock.AddMethod(MOCK_IFACE, 'SetOpenError', 'ss', '',
                   lambda self, error, message: state.__setitem__('open_error', (str(error), str(message))))
    mock.AddMethod(MOCK_IFACE, 'SetOpenDelay', 'd', '',
                   lambda self, seconds: state.__setitem__('open_delay', float(seconds)))
