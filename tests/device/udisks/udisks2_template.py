'''A small UDisks2 for tests: the ObjectManager, one removable drive with a
whole-disk block device and one partition holding a filesystem.

Parameters:
  disk         name of the whole-disk node, e.g. "sdz" (device /dev/sdz)
  mount_dir    directory Mount reports (and that the test created)
  mounted      True when the filesystem is mounted at mount_dir already
  refuse       method names that fail ("Mount", "Unmount", "Eject",
               "PowerOff") with a polkit-like refusal
  whole_disk   True: the filesystem is on the disk itself, no partition

Calls are recorded by the mock; read them with GetMethodCalls.
'''

import dbus

from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2'
MAIN_IFACE = 'org.freedesktop.UDisks2.Manager'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

BLOCK = 'org.freedesktop.UDisks2.Block'
PARTITION = 'org.freedesktop.UDisks2.Partition'
PARTITION_TABLE = 'org.freedesktop.UDisks2.PartitionTable'
FILESYSTEM = 'org.freedesktop.UDisks2.Filesystem'
DRIVE = 'org.freedesktop.UDisks2.Drive'
DRIVE_PATH = '/org/freedesktop/UDisks2/drives/Kelvora_Unit_0001'


def byte_string(text):
    return dbus.Array([dbus.Byte(b) for b in text.encode() + b'\0'], signature='y')


def refused(method):
    return dbus.exceptions.DBusException(
        'Not authorized to perform operation (%s)' % method,
        name='org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain')


def method(name, refuse, body=None):
    """A method taking the options dictionary; refused when named in refuse."""
    def run(self, options):
        if name in refuse:
            raise refused(name)
        return body(self) if body else None
    return run


def load(mock, parameters):
    disk = parameters.get('disk', 'sdz')
    mount_dir = parameters.get('mount_dir', '/nonexistent')
    mounted = parameters.get('mounted', False)
    refuse = parameters.get('refuse', [])
    whole_disk = parameters.get('whole_disk', False)

    mock.AddProperties(MAIN_IFACE, {'Version': '2.9.4'})

    mock.AddObject(DRIVE_PATH, DRIVE, {
        'Vendor': 'Kelvora', 'Model': 'KELVORA', 'Removable': True, 'Ejectable': True,
        'CanPowerOff': True, 'MediaRemovable': True,
    }, [])
    drive = mockobject.objects[DRIVE_PATH]
    drive.AddMethod(DRIVE, 'Eject', 'a{sv}', '', method('Eject', refuse))
    drive.AddMethod(DRIVE, 'PowerOff', 'a{sv}', '', method('PowerOff', refuse))

    disk_path = '/org/freedesktop/UDisks2/block_devices/' + disk
    mock.AddObject(disk_path, BLOCK, {
        'Device': byte_string('/dev/' + disk), 'Drive': dbus.ObjectPath(DRIVE_PATH),
        'Size': dbus.UInt64(64 << 20), 'IdUsage': 'filesystem' if whole_disk else '',
    }, [])
    fs_path = disk_path
    if not whole_disk:
        mockobject.objects[disk_path].AddProperties(PARTITION_TABLE, {'Type': 'dos'})
        fs_path = disk_path + '1'
        mock.AddObject(fs_path, BLOCK, {
            'Device': byte_string('/dev/' + disk + '1'), 'Drive': dbus.ObjectPath(DRIVE_PATH),
            'Size': dbus.UInt64(63 << 20), 'IdUsage': 'filesystem', 'IdType': 'vfat',
        }, [])
        mockobject.objects[fs_path].AddProperties(PARTITION, {
            'Number': dbus.UInt32(1), 'Table': dbus.ObjectPath(disk_path)})

    fs = mockobject.objects[fs_path]
    points = dbus.Array([byte_string(mount_dir)] if mounted else [], signature='ay')
    fs.AddProperties(FILESYSTEM, {'MountPoints': points})

    def mount(self):
        self.props[FILESYSTEM]['MountPoints'] = dbus.Array([byte_string(mount_dir)],
                                                          signature='ay')
        return mount_dir

    def unmount(self):
        self.props[FILESYSTEM]['MountPoints'] = dbus.Array([], signature='ay')

    fs.AddMethod(FILESYSTEM, 'Mount', 'a{sv}', 's', method('Mount', refuse, mount))
    fs.AddMethod(FILESYSTEM, 'Unmount', 'a{sv}', '', method('Unmount', refuse, unmount))
