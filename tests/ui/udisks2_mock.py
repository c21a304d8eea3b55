# SPDX-License-Identifier: GPL-3.0-or-later
'''udisks2 as python-dbusmock serves it: an ObjectManager at /org/freedesktop/UDisks2 with
Drive, Block, PartitionTable, Partition and Filesystem objects.

Devices (none of the /dev paths exist, so the program has to go through OpenDevice):
  sdy1  SanDisk Cruzer Blade, vfat "HOLIDAY": OpenDevice hands out a descriptor of the image
        given as parameter "image" (and insists on an int32 "flags" option)
  sdz1  Kingston DataTraveler, exfat "WORK": OpenDevice answers NotAuthorizedDismissed,
        OpenForBackup that the device is busy (it is mounted)
  sdx1  an ext4 partition, which the program must not list
org.freedesktop.UDisks2.Mock.AddDevice(name, vendor, model, label) and RemoveDevice(name)
plug and pull a stick at run time (InterfacesAdded / InterfacesRemoved). A stick added so
opens only through OpenForBackup, as daemons older than 2.7.3 do (the Manager's Version
property can be set to such a version).
'''

import os

import dbus

from dbusmock import OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2'
MAIN_IFACE = 'org.freedesktop.UDisks2.Mock'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

ROOT = '/org/freedesktop/UDisks2'
PREFIX = 'org.freedesktop.UDisks2.'
BLOCKS = ROOT + '/block_devices/'
DRIVES = ROOT + '/drives/'


def open_image(block, mode, options):
    flags = options.get('flags')
    if not isinstance(flags, dbus.Int32) or not flags & os.O_CLOEXEC:
        raise dbus.exceptions.DBusException('flags must be an int32 holding O_CLOEXEC',
                                            name=PREFIX + 'Error.Failed')
    if mode != 'r':
        raise dbus.exceptions.DBusException('read-only only', name=PREFIX + 'Error.Failed')
    fd = os.open(block.image, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return dbus.types.UnixFd(fd)
    finally:
        os.close(fd)


def backup_image(block, options):
    fd = os.open(block.image, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return dbus.types.UnixFd(fd)
    finally:
        os.close(fd)


def no_open_device(block, mode, options):
    raise dbus.exceptions.DBusException('No such method OpenDevice',
                                        name='org.freedesktop.DBus.Error.UnknownMethod')


def refuse(block, *arguments):
    raise dbus.exceptions.DBusException('Not authorized to perform operation',
                                        name=PREFIX + 'Error.NotAuthorizedDismissed')


def busy(block, options):
    raise dbus.exceptions.DBusException('Error opening /dev/sdz1: Device or resource busy',
                                        name=PREFIX + 'Error.Failed')


def device_bytes(path):
    return dbus.Array([dbus.Byte(b) for b in path.encode() + b'\0'], signature='y')


def add_object(mock, path, interfaces, methods=None):
    '''Adds an object with several interfaces and announces it.'''
    first, *rest = interfaces.items()
    mock.AddObject(path, first[0], first[1], [])
    obj = mockobject.objects[path]
    for name, props in rest:
        obj.AddProperties(name, props)
    for iface, calls in (methods or {}).items():
        obj.AddMethods(iface, calls)
    mock.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                    [dbus.ObjectPath(path), {k: v for k, v in interfaces.items()}])
    return obj


def add_stick(mock, name, vendor, model, fs_type, label, size, open_device,
              open_for_backup=refuse):
    drive = DRIVES + f'{vendor}_{model}'.replace(' ', '_')
    add_object(mock, drive, {PREFIX + 'Drive': {
        'Vendor': dbus.String(vendor), 'Model': dbus.String(model),
        'Removable': dbus.Boolean(True), 'MediaRemovable': dbus.Boolean(True),
        'ConnectionBus': dbus.String('usb'), 'Size': dbus.UInt64(size)}})
    disk = BLOCKS + name.rstrip('0123456789')
    block = {'Device': device_bytes('/dev/' + name.rstrip('0123456789')),
             'Size': dbus.UInt64(size), 'IdType': dbus.String(''), 'IdLabel': dbus.String(''),
             'IdUsage': dbus.String(''), 'Drive': dbus.ObjectPath(drive)}
    add_object(mock, disk, {PREFIX + 'Block': block,
                            PREFIX + 'PartitionTable': {'Type': dbus.String('dos')}})
    part = dict(block, Device=device_bytes('/dev/' + name), IdType=dbus.String(fs_type),
                IdLabel=dbus.String(label), IdUsage=dbus.String('filesystem'))
    return add_object(mock, BLOCKS + name, {
        PREFIX + 'Block': part,
        PREFIX + 'Partition': {'Table': dbus.ObjectPath(disk), 'Number': dbus.UInt32(1)},
        PREFIX + 'Filesystem': {'MountPoints': dbus.Array([], signature='ay')}},
        {PREFIX + 'Block': [('OpenDevice', 'sa{sv}', 'h', open_device),
                            ('OpenForBackup', 'a{sv}', 'h', open_for_backup)]})


def load(mock, parameters):
    mock.image = parameters['image']
    mock.AddObject(ROOT + '/Manager', PREFIX + 'Manager',
                   {'Version': dbus.String(parameters.get('version', '2.9.4'))}, [])
    stick = add_stick(mock, 'sdy1', 'SanDisk', 'Cruzer Blade', 'vfat', 'HOLIDAY',
                      os.path.getsize(mock.image), open_image)
    stick.image = mock.image
    add_stick(mock, 'sdz1', 'Kingston', 'DataTraveler', 'exfat', 'WORK', 31 * 10**9, refuse,
              busy)
    add_stick(mock, 'sdx1', 'ATA', 'Samsung SSD', 'ext4', 'root', 500 * 10**9, refuse)


@dbus.service.method(MAIN_IFACE, in_signature='ssss', out_signature='')
def AddDevice(mock, name, vendor, model, label):
    stick = add_stick(mock, name, vendor, model, 'vfat', label, os.path.getsize(mock.image),
                      no_open_device, backup_image)
    stick.image = mock.image


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='')
def RemoveDevice(mock, name):
    for path in (BLOCKS + name, BLOCKS + name.rstrip('0123456789')):
        interfaces = list(mockobject.objects[path].props.keys())
        mock.RemoveObject(path)
        mock.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                        [dbus.ObjectPath(path), interfaces])
