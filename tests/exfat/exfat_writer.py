#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes folders and files into a freshly made exFAT volume image, and deletes them the way
the operating system does (in-use bits of the entry set and the clusters' bitmap bits
cleared, the table left as it was), so that tests can build volumes without mounting.

Usage: exfat_writer.py IMAGE < SCRIPT, one command a line, fields separated by tabs:
  sectors4k                      turn a 512-byte-sector volume into a 4096-byte-sector one
  mkdir   PATH
  put     PATH  SIZE  SEED  [frag] [valid=N] [sparse] [quick] [save=HOSTFILE] [tz=STEPS]
                                 [from=HOSTFILE]
  delete  PATH  [clearfat]       (a folder: its contents first, deepest first)
PATH is /-separated from the root, UTF-8. Content is a pattern from SEED; `sparse` writes
only the first and last 64 KiB of each 1 GiB (the rest reads as zeros in a sparse image).
`quick` fills each cluster with one repeated word (for large benchmark volumes).
`from` takes the content from HOSTFILE instead (zeros past its end).
`frag` leaves one free cluster between the file's clusters and chains them in the table.
"""
import struct
import sys

ENTRY = 32


def checksum_set(data):
    s = 0
    for i, b in enumerate(data):
        if i in (2, 3):
            continue
        if i % ENTRY == 0:
            b |= 0x80
        s = (((s & 1) << 15) + (s >> 1) + b) & 0xFFFF
    return s


def boot_checksum(sectors, bps):
    s = 0
    for n, sec in enumerate(sectors):
        for i, b in enumerate(sec):
            if n == 0 and i in (106, 107, 112):
                continue
            s = (((s & 1) << 31) + (s >> 1) + b) & 0xFFFFFFFF
    return s


def pattern(seed, offset, n):
    # 8-byte words: (seed, word index) mixed; cheap and position dependent.
    out = bytearray()
    first = offset // 8
    last = (offset + n + 7) // 8
    for w in range(first, last):
        v = (w * 0x9E3779B97F4A7C15 + seed * 0xC2B2AE3D27D4EB4F) & 0xFFFFFFFFFFFFFFFF
        v ^= v >> 29
        out += struct.pack('<Q', v & 0xFFFFFFFFFFFFFFFF)
    start = offset - first * 8
    return bytes(out[start:start + n])


class Node:
    def __init__(self, name, is_dir):
        self.name = name
        self.is_dir = is_dir
        self.entries = []      # absolute byte offsets of the set's entries
        self.clusters = []
        self.no_fat_chain = True
        self.children = {}
        self.end = 0           # directories: byte index of the end-of-directory entry
        self.length = 0


class Volume:
    def __init__(self, path):
        self.f = open(path, 'r+b')
        self.load()

    def load(self):
        b = self.read(0, 512)
        assert b[3:11] == b'EXFAT   ', 'not an exFAT volume'
        (self.vol_len, self.fat_off, self.fat_len, self.heap_off, self.count, self.root,
         _serial, _rev, _flags, bss, spcs, self.nfats) = struct.unpack_from('<QIIIIIIHHBBB', b, 0x48)
        self.bps = 1 << bss
        self.cs = 1 << (bss + spcs)
        self.fat = bytearray(self.read(self.fat_off * self.bps, (self.count + 2) * 4))
        self.root_node = Node('', True)
        self.root_node.no_fat_chain = False
        self.root_node.clusters = self.chain(self.root)
        # System entries of the root: bitmap, up-case table; the end of the directory.
        data = b''.join(self.read_cluster(x) for x in self.root_node.clusters)
        pos = 0
        while pos < len(data) and data[pos] != 0:
            t = data[pos]
            if t == 0x81:
                self.bitmap_cluster, = struct.unpack_from('<I', data, pos + 20)
                self.bitmap_len, = struct.unpack_from('<Q', data, pos + 24)
            elif t == 0x82:
                up_cluster, = struct.unpack_from('<I', data, pos + 20)
                up_len, = struct.unpack_from('<Q', data, pos + 24)
                self.load_upcase(up_cluster, up_len)
            pos += ENTRY
        self.root_node.length = len(data)
        self.bitmap = bytearray(self.read(self.offset(self.bitmap_cluster), self.bitmap_len))
        self.load_dir(self.root_node)
        self.next_hint = 2

    def load_dir(self, d):
        """The live sets of directory `d` (written by an earlier run) become its children."""
        data = b''.join(self.read_cluster(x) for x in d.clusters)
        pos = 0
        while pos < len(data) and data[pos] != 0:
            if data[pos] != 0x85:
                pos += ENTRY
                continue
            count = data[pos + 1] + 1
            s = pos + ENTRY
            name_len = data[s + 3]
            units = []
            for i in range((name_len + 14) // 15):
                e = s + (1 + i) * ENTRY
                units += struct.unpack_from('<15H', data, e + 2)
            node = Node(struct.pack('<%dH' % name_len, *units[:name_len]).decode('utf-16-le'),
                        bool(struct.unpack_from('<H', data, pos + 4)[0] & 0x10))
            node.entries = [self.dir_byte_offset(d, pos + i * ENTRY) for i in range(count)]
            node.no_fat_chain = bool(data[s + 1] & 2)
            node.valid, = struct.unpack_from('<Q', data, s + 8)
            first, = struct.unpack_from('<I', data, s + 20)
            node.length, = struct.unpack_from('<Q', data, s + 24)
            n = (node.length + self.cs - 1) // self.cs
            if first == 0 or n == 0:
                node.clusters = []
            elif node.no_fat_chain:
                node.clusters = list(range(first, first + n))
            else:
                node.clusters = self.chain(first)[:n]
            d.children[node.name] = node
            if node.is_dir:
                self.load_dir(node)
            pos += count * ENTRY
        d.end = pos

    def load_upcase(self, cluster, length):
        raw = self.read(self.offset(cluster), length)
        table = {}
        ch = 0
        i = 0
        while i + 1 < len(raw):
            v, = struct.unpack_from('<H', raw, i)
            i += 2
            if v == 0xFFFF and i + 1 < len(raw):
                skip, = struct.unpack_from('<H', raw, i)
                i += 2
                ch += skip
                continue
            table[ch] = v
            ch += 1
        self.upcase = table

    # --- bytes, clusters, table, bitmap ---
    def read(self, off, n):
        self.f.seek(off)
        return self.f.read(n).ljust(n, b'\0')

    def write(self, off, data):
        self.f.seek(off)
        self.f.write(data)

    def offset(self, x):
        return self.heap_off * self.bps + (x - 2) * self.cs

    def read_cluster(self, x):
        return self.read(self.offset(x), self.cs)

    def fat_get(self, x):
        return struct.unpack_from('<I', self.fat, 4 * x)[0]

    def fat_set(self, x, v):
        struct.pack_into('<I', self.fat, 4 * x, v)

    def chain(self, x):
        out = []
        while 2 <= x <= self.count + 1 and x not in out:
            out.append(x)
            x = self.fat_get(x)
        return out

    def used(self, x):
        return self.bitmap[(x - 2) // 8] >> ((x - 2) % 8) & 1

    def mark(self, x, value):
        if value:
            self.bitmap[(x - 2) // 8] |= 1 << ((x - 2) % 8)
        else:
            self.bitmap[(x - 2) // 8] &= ~(1 << ((x - 2) % 8)) & 0xFF

    def allocate(self, n, frag=False, after=None):
        """n clusters: contiguous (first fit from the hint) or every other free cluster."""
        if frag:
            out = []
            x = self.next_hint
            while len(out) < n:
                if x > self.count + 1:
                    raise SystemExit('volume full')
                if not self.used(x) and (not out or x > out[-1] + 1):
                    out.append(x)
                x += 1
            self.next_hint = out[-1] + 1
        else:
            x = self.next_hint
            run = 0
            while run < n:
                if x > self.count + 1:
                    raise SystemExit('volume full')
                run = 0 if self.used(x) else run + 1
                x += 1
            out = list(range(x - n, x))
            self.next_hint = x
        for c in out:
            self.mark(c, 1)
        return out

    # --- directories ---
    def lookup(self, path):
        node = self.root_node
        parts = [p for p in path.split('/') if p]
        for p in parts:
            node = node.children[p]
        return node

    def parent_and_name(self, path):
        parts = [p for p in path.split('/') if p]
        return self.lookup('/'.join(parts[:-1])), parts[-1]

    def dir_byte_offset(self, d, index):
        return self.offset(d.clusters[index // self.cs]) + index % self.cs

    def grow_dir(self, d):
        if d.no_fat_chain:
            nxt = d.clusters[-1] + 1
            if nxt <= self.count + 1 and not self.used(nxt):
                self.mark(nxt, 1)
                new = nxt
            else:
                new = self.allocate(1)[0]
                # No longer contiguous: chain what it has in the table.
                for a, b in zip(d.clusters, d.clusters[1:]):
                    self.fat_set(a, b)
                self.fat_set(d.clusters[-1], 0xFFFFFFFF)
                d.no_fat_chain = False
        else:
            new = self.allocate(1)[0]
        if not d.no_fat_chain:
            self.fat_set(d.clusters[-1], new)
            self.fat_set(new, 0xFFFFFFFF)
        d.clusters.append(new)
        self.write(self.offset(new), bytes(self.cs))
        d.length += self.cs
        if d is not self.root_node:
            self.update_stream(d)

    def update_stream(self, node):
        """Rewrites the stream extension's flags, lengths and the set checksum of `node`."""
        data = bytearray(b''.join(self.read(o, ENTRY) for o in node.entries))
        data[ENTRY + 1] = 0x01 | (0x02 if node.no_fat_chain else 0)
        length = node.length
        struct.pack_into('<Q', data, ENTRY + 8, length if node.is_dir else node.valid)
        struct.pack_into('<Q', data, ENTRY + 24, length)
        struct.pack_into('<H', data, 2, checksum_set(data))
        for i, o in enumerate(node.entries):
            self.write(o, bytes(data[i * ENTRY:(i + 1) * ENTRY]))

    def name_hash(self, units):
        h = 0
        for u in units:
            u = self.upcase.get(u, u)
            for b in (u & 0xFF, u >> 8):
                h = (((h & 1) << 15) + (h >> 1) + b) & 0xFFFF
        return h

    def add_set(self, d, node, attributes, first, length, valid, no_fat_chain, tz):
        units = list(struct.unpack('<%dH' % (len(node.name.encode('utf-16-le')) // 2),
                                   node.name.encode('utf-16-le')))
        assert 1 <= len(units) <= 255, node.name
        names = (len(units) + 14) // 15
        count = 1 + 1 + names
        ts = (45 << 25) | (6 << 21) | (15 << 16) | (13 << 11) | (37 << 5) | 21  # 2025-06-15 13:37:42
        data = bytearray(count * ENTRY)
        data[0] = 0x85
        data[1] = count - 1
        struct.pack_into('<H', data, 4, attributes)
        struct.pack_into('<III', data, 8, ts, ts, ts)
        data[20] = 123
        data[21] = 45
        off = (0x80 | (tz & 0x7F)) if tz is not None else 0
        data[22] = data[23] = data[24] = off
        s = ENTRY
        data[s] = 0xC0
        # A file without clusters has neither AllocationPossible nor NoFatChain set.
        data[s + 1] = (0x01 | (0x02 if no_fat_chain else 0)) if first else 0
        data[s + 3] = len(units)
        struct.pack_into('<H', data, s + 4, self.name_hash(units))
        struct.pack_into('<Q', data, s + 8, valid)
        struct.pack_into('<I', data, s + 20, first)
        struct.pack_into('<Q', data, s + 24, length)
        for i in range(names):
            e = (2 + i) * ENTRY
            data[e] = 0xC1
            piece = units[i * 15:(i + 1) * 15]
            struct.pack_into('<%dH' % len(piece), data, e + 2, *piece)
        struct.pack_into('<H', data, 2, checksum_set(data))
        # The set goes at the end of the directory, leaving deleted sets before it alone.
        while d.end + len(data) + ENTRY > d.length:
            self.grow_dir(d)
        node.entries = [self.dir_byte_offset(d, d.end + i * ENTRY) for i in range(count)]
        for i, o in enumerate(node.entries):
            self.write(o, bytes(data[i * ENTRY:(i + 1) * ENTRY]))
        d.end += len(data)
        d.children[node.name] = node

    def mkdir(self, path):
        d, name = self.parent_and_name(path)
        node = Node(name, True)
        node.clusters = self.allocate(1)
        node.length = self.cs
        self.write(self.offset(node.clusters[0]), bytes(self.cs))
        self.add_set(d, node, 0x10, node.clusters[0], self.cs, self.cs, True, None)

    def put(self, path, size, seed, opts):
        d, name = self.parent_and_name(path)
        node = Node(name, False)
        frag = 'frag' in opts
        valid = int(opts.get('valid', size))
        n = (size + self.cs - 1) // self.cs
        node.clusters = self.allocate(n, frag) if n else []
        node.no_fat_chain = not frag
        node.length = size
        node.valid = valid
        if frag:
            for a, b in zip(node.clusters, node.clusters[1:]):
                self.fat_set(a, b)
            if node.clusters:
                self.fat_set(node.clusters[-1], 0xFFFFFFFF)
        save = open(opts['save'], 'wb') if 'save' in opts else None
        source = None
        if 'from' in opts:
            with open(opts['from'], 'rb') as f:
                source = f.read()
        gib = 1 << 30
        for i, x in enumerate(node.clusters):
            pos = i * self.cs
            if source is not None:
                chunk = source[pos:pos + self.cs].ljust(self.cs, b'\0')
                self.write(self.offset(x), chunk)
            elif 'quick' in opts:
                chunk = struct.pack('<Q', seed * 0x9E3779B97F4A7C15 + i & 0xFFFFFFFFFFFFFFFF) * (self.cs // 8)
                self.write(self.offset(x), chunk)
            elif 'sparse' in opts and (64 << 10) <= pos % gib < gib - (64 << 10) and pos + self.cs < valid:
                chunk = bytes(self.cs)
            else:
                chunk = pattern(seed, pos, self.cs)
                self.write(self.offset(x), chunk)
            if save:
                keep = max(0, min(self.cs, valid - pos))
                save.write(chunk[:keep] + bytes(min(self.cs, size - pos) - keep))
        if save:
            save.close()
        tz = int(opts['tz']) if 'tz' in opts else None
        self.add_set(d, node, 0x20, node.clusters[0] if node.clusters else 0, size, valid,
                     node.no_fat_chain, tz)

    def delete(self, path, clearfat=False):
        d, name = self.parent_and_name(path)
        node = d.children.pop(name)
        self.delete_node(node, clearfat)

    def delete_node(self, node, clearfat):
        for child in list(node.children.values()):
            self.delete_node(child, clearfat)
        for o in node.entries:
            t = self.read(o, 1)[0]
            self.write(o, bytes([t & 0x7F]))
        for x in node.clusters:
            self.mark(x, 0)
            if clearfat:
                self.fat_set(x, 0)
        self.next_hint = min([self.next_hint] + node.clusters)

    def to_4k_sectors(self):
        assert self.bps == 512
        for v in (self.fat_off, self.fat_len, self.heap_off, self.vol_len):
            assert v % 8 == 0, 'offsets not 4 KiB aligned'
        main = bytearray(self.read(0, 512))
        struct.pack_into('<QIII', main, 0x48, self.vol_len // 8, self.fat_off // 8,
                         self.fat_len // 8, self.heap_off // 8)
        main[0x6C] = 12
        main[0x6D] -= 3
        assert main[0x6D] <= 13
        sectors = [bytes(main).ljust(4096, b'\0')]
        for _ in range(8):  # extended boot sectors end in their signature
            sectors.append(bytes(4092) + b'\0\0\x55\xAA')
        sectors += [bytes(4096), bytes(4096)]
        s = boot_checksum(sectors, 4096)
        region = b''.join(sectors) + struct.pack('<I', s) * 1024
        self.write(0, region)
        self.write(12 * 4096, region)
        self.f.flush()
        self.load()

    def close(self):
        for k in range(self.nfats):
            self.write((self.fat_off + k * self.fat_len) * self.bps, bytes(self.fat))
        self.write(self.offset(self.bitmap_cluster), bytes(self.bitmap))
        self.f.close()


def main():
    v = Volume(sys.argv[1])
    for line in sys.stdin:
        line = line.rstrip('\n')
        if not line:
            continue
        f = line.split('\t')
        cmd = f[0]
        if cmd == 'sectors4k':
            v.to_4k_sectors()
        elif cmd == 'mkdir':
            v.mkdir(f[1])
        elif cmd == 'put':
            opts = {}
            for o in f[4:]:
                k, _, val = o.partition('=')
                opts[k] = val
            v.put(f[1], int(f[2]), int(f[3]), opts)
        elif cmd == 'delete':
            v.delete(f[1], len(f) > 2 and f[2] == 'clearfat')
        else:
            raise SystemExit('unknown command ' + cmd)
    v.close()


if __name__ == '__main__':
    main()
