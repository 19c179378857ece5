#!/usr/bin/env python3
'''The unit's drive handed back through a mocked UDisks2 on a private
system bus: mount when needed, marker, unmount, eject, power off, and every
refused step reported by name.

usage: test_udisks2_probe.py STORAGE_PROBE_PROGRAM
'''

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import dbusmock

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(HERE, 'udisks2_template.py')
PROBE = None
DRIVE = '/org/freedesktop/UDisks2/drives/Kelvora_Unit_0001'
FS = '/org/freedesktop/UDisks2/block_devices/sdz1'


class UdisksHandBack(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.dbus_con = cls.get_dbus(system_bus=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='trevik-udisks-')
        self.mnt = os.path.join(self.dir, 'media', 'GPS UNIT')
        os.makedirs(self.mnt)
        block = os.path.join(self.dir, 'sys', 'block')
        for disk, model, removable in (('sda', 'KELVORA', '0'), ('sdz', 'KELVORA ', '1')):
            os.makedirs(os.path.join(block, disk, 'device'))
            with open(os.path.join(block, disk, 'removable'), 'w') as f:
                f.write(removable + '\n')
            with open(os.path.join(block, disk, 'device', 'model'), 'w') as f:
                f.write(model + '\n')
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.terminate()
            self.server.wait()
        shutil.rmtree(self.dir)

    def start(self, **parameters):
        parameters.setdefault('disk', 'sdz')
        parameters.setdefault('mount_dir', self.mnt)
        self.server, _ = self.spawn_server_template(TEMPLATE, parameters,
                                                    stdout=subprocess.DEVNULL)

    def probe(self):
        out = subprocess.run([PROBE, os.path.join(self.dir, 'sys')], check=True,
                             capture_output=True, text=True).stdout
        return out.splitlines()

    def calls(self, path):
        mock = self.dbus_con.get_object('org.freedesktop.UDisks2', path)
        return [str(c[1]) for c in mock.GetCalls(dbus_interface=dbusmock.MOCK_IFACE)]

    def marker(self):
        with open(os.path.join(self.mnt, '1.txt'), 'rb') as f:
            return f.read()

    def test_unmounted_drive_is_mounted_marked_and_handed_back(self):
        self.start()
        self.assertEqual(self.probe(), ['found 1'])
        self.assertEqual(self.marker(), b'abcdefd')
        self.assertEqual(self.calls(FS), ['Mount', 'Unmount'])
        self.assertEqual(self.calls(DRIVE), ['Eject', 'PowerOff'])

    def test_mounted_drive_is_not_mounted_again_and_old_marker_is_truncated(self):
        with open(os.path.join(self.mnt, '1.txt'), 'w') as f:
            f.write('a much longer old marker')
        self.start(mounted=True)
        self.assertEqual(self.probe(), ['found 1'])
        self.assertEqual(self.marker(), b'abcdefd')
        self.assertEqual(self.calls(FS), ['Unmount'])
        self.assertEqual(self.calls(DRIVE), ['Eject', 'PowerOff'])

    def test_filesystem_on_the_whole_disk(self):
        self.start(whole_disk=True)
        self.assertEqual(self.probe(), ['found 1'])
        self.assertEqual(self.marker(), b'abcdefd')
        self.assertEqual(self.calls('/org/freedesktop/UDisks2/block_devices/sdz'),
                         ['Mount', 'Unmount'])

    def test_refused_mount_is_reported_and_the_drive_still_goes(self):
        self.start(refuse=['Mount'])
        lines = self.probe()
        self.assertEqual(lines[0], 'found 1')
        self.assertEqual(len(lines), 2)
        self.assertTrue(lines[1].startswith('mount failed: Not authorized'), lines[1])
        self.assertFalse(os.path.exists(os.path.join(self.mnt, '1.txt')))
        self.assertEqual(self.calls(FS), ['Mount'])
        self.assertEqual(self.calls(DRIVE), ['Eject', 'PowerOff'])

    def test_each_refused_step_is_named(self):
        self.start(refuse=['Unmount', 'Eject', 'PowerOff'])
        lines = self.probe()
        self.assertEqual([l.split(':')[0] for l in lines[1:]],
                         ['unmount failed', 'eject failed', 'power off failed'])
        self.assertEqual(self.marker(), b'abcdefd')

    def test_drive_unknown_to_udisks_is_reported(self):
        self.start(disk='sdy')
        lines = self.probe()
        self.assertEqual(lines, ['found 1', 'find the drive failed: UDisks2 knows no drive of /dev/sdz'])

    def test_no_udisks_on_the_bus_is_reported(self):
        lines = self.probe()
        self.assertEqual(lines[0], 'found 1')
        self.assertTrue(lines[1].startswith('find the drive failed: UDisks2: '), lines[1])


if __name__ == '__main__':
    PROBE = sys.argv.pop(1)
    unittest.main(verbosity=2)
