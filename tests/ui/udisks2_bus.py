#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
'''Runs a test program against a private system bus on which the udisks2 mock
(udisks2_mock.py) serves a FAT image made here with mkfs.fat and mtools: the file
"holiday photo.jpg" (12345 bytes) is deleted, "keep.txt" stays. The program finds the bus
through DBUS_SYSTEM_BUS_ADDRESS and the image through PYRALIS_MOCK_IMAGE.

  udisks2_bus.py PROGRAM [ARGUMENT...]
'''

import os
import subprocess
import sys
import tempfile

import dbusmock


def make_image(folder):
    image = os.path.join(folder, 'stick.img')
    env = dict(os.environ, MTOOLS_SKIP_CHECK='1')
    subprocess.run(['mkfs.fat', '-C', '-n', 'HOLIDAY', image, '4096'], check=True,
                   stdout=subprocess.DEVNULL)
    for name, size in (('holiday photo.jpg', 12345), ('keep.txt', 100)):
        path = os.path.join(folder, name)
        with open(path, 'wb') as f:
            f.write(bytes(i % 251 for i in range(size)))
        subprocess.run(['mcopy', '-i', image, path, '::/' + name], check=True, env=env)
    subprocess.run(['mdel', '-i', image, '::/holiday photo.jpg'], check=True, env=env)
    return image


def main():
    template = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'udisks2_mock.py')
    with tempfile.TemporaryDirectory() as folder:
        image = make_image(folder)
        dbusmock.DBusTestCase.start_system_bus()
        server = dbusmock.DBusTestCase.spawn_server_template(
            template, {'image': image}, stdout=subprocess.DEVNULL)[0]
        try:
            status = subprocess.call(sys.argv[1:], env=dict(os.environ, PYRALIS_MOCK_IMAGE=image))
        finally:
            server.terminate()
            server.wait()
            dbusmock.DBusTestCase.tearDownClass()
    sys.exit(status)


if __name__ == '__main__':
    main()
