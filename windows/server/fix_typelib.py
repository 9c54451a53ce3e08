#!/usr/bin/env python3
"""Puts right what widl cannot write into the type library of Vardenix.dll.

1. sngChkRate's default, 0.1 in single precision.

widl parses no floating-point constants and stores a single's default inline, as the bits of an
integer, which readers take as a tiny denormal. The IDL therefore gives the placeholder
defaultvalue(12345); this script finds that inline VT_R4 default in the type library's parameter
records, appends a proper VT_R4 value (bits 0x3DCCCCCD) to the custom-data segment, which it moves
to the end of the file, and points the parameter there. It fails loudly when the placeholder is not
found exactly once, so a change of widl cannot slip through.

2. Unnamed parameters. widl names every parameter it is given without a name "a"; the property
puts' vData and the return values stay unnamed, so their name offsets are set to -1 (none).

3. Help strings of enumeration members, which widl refuses: each member of ChkPingConstants gets
its own name as help string. The string table is moved to the end of the file with the new strings,
and the enumeration's member records are rewritten there in their longer form (with HelpContext
and HelpString), the type info pointed at them.
"""
import struct
import sys

PLACEHOLDER = 0x80000000 | (4 << 26) | 12345  # inline VT_R4 holding 12345
VALUE = struct.pack('<Hf', 4, 0.1)  # VT_R4, then the single 0.1 (0x3DCCCCCD)


def segment(data, segdir, index):
    return struct.unpack_from('<ii', data, segdir + index * 16)


def names(data, segdir):
    """Name table: offset -> name."""
    off, length = segment(data, segdir, 7)
    out = {}
    i = off
    while i < off + length:
        _, _, namelen = struct.unpack_from('<3i', data, i)
        n = namelen & 0xff
        out[i - off] = data[i + 12:i + 12 + n].decode('latin-1')
        i += 12 + (n + 3) // 4 * 4
    return out


def append_aligned(data, blob):
    at = len(data) + ((-len(data)) % 4)
    data += b'\x57' * (at - len(data))
    data += blob
    return at


def unname_parameters(data, segdir, ntypeinfos):
    table = names(data, segdir)
    placeholder = [o for o, n in table.items() if n == 'a']
    if not placeholder:
        return
    tinfo_off, _ = segment(data, segdir, 0)
    for t in range(ntypeinfos):
        base = tinfo_off + t * 0x64
        memoffset, = struct.unpack_from('<i', data, base + 4)
        celement, = struct.unpack_from('<i', data, base + 0x18)
        cfuncs = celement & 0xffff
        rec = memoffset + 4
        for _ in range(cfuncs):
            info, = struct.unpack_from('<i', data, rec)
            reclen = info & 0xffff
            nargs, = struct.unpack_from('<H', data, rec + 20)
            params = rec + reclen - nargs * 12
            for k in range(nargs):
                oname, = struct.unpack_from('<i', data, params + k * 12 + 4)
                if oname in placeholder:
                    struct.pack_into('<i', data, params + k * 12 + 4, -1)
            rec += reclen


def enum_help_strings(data, segdir, ntypeinfos):
    table = names(data, segdir)
    tinfo_off, _ = segment(data, segdir, 0)
    str_off, str_len = segment(data, segdir, 8)
    strings = bytearray(data[str_off:str_off + str_len]) if str_off >= 0 else bytearray()
    for t in range(ntypeinfos):
        base = tinfo_off + t * 0x64
        kind, memoffset = struct.unpack_from('<ii', data, base)
        celement, = struct.unpack_from('<i', data, base + 0x18)
        if kind & 0xf != 0 or celement & 0xffff:  # TKIND_ENUM, variables only
            continue
        nvars = celement >> 16
        infolen, = struct.unpack_from('<i', data, memoffset)
        arrays = memoffset + 4 + infolen
        memids = data[arrays:arrays + 4 * nvars]
        name_offs = struct.unpack_from('<%di' % nvars, data, arrays + 4 * nvars)
        rec_offs = struct.unpack_from('<%di' % nvars, data, arrays + 8 * nvars)
        records = bytearray()
        new_offs = []
        for k in range(nvars):
            rec = memoffset + 4 + rec_offs[k]
            info, = struct.unpack_from('<i', data, rec)
            fixed = bytes(data[rec + 4:rec + 20])
            name = table[name_offs[k]].encode('latin-1')
            help_at = len(strings)
            strings += struct.pack('<H', len(name)) + name
            strings += b'\x57' * ((-len(strings)) % 4)
            new_offs.append(len(records))
            records += struct.pack('<i', (info & ~0xffff) | 28) + fixed + struct.pack('<ii', 0, help_at)
        block = struct.pack('<i', len(records)) + records + memids + bytes(data[arrays + 4 * nvars:arrays + 8 * nvars])
        block += struct.pack('<%di' % nvars, *new_offs)
        at = append_aligned(data, block)
        struct.pack_into('<i', data, base + 4, at)
    at = append_aligned(data, bytes(strings))
    struct.pack_into('<ii', data, segdir + 8 * 16, at, len(strings))


def main(path):
    data = bytearray(open(path, 'rb').read())
    magic, _, _, _, _, varflags, _, _, ntypeinfos = struct.unpack_from('<9i', data, 0)
    if magic != 0x5446534D:
        sys.exit(f'{path}: not an MSFT type library')
    segdir = 0x54 + (4 if varflags & 0x100 else 0) + 4 * ntypeinfos
    cust_entry = segdir + 11 * 16  # the twelfth segment: custom data and default values
    cust_offset, cust_length = struct.unpack_from('<ii', data, cust_entry)

    hits = [i for i in range(0, len(data) - 3, 4) if struct.unpack_from('<I', data, i)[0] == PLACEHOLDER]
    if len(hits) != 1:
        sys.exit(f'{path}: expected one placeholder default, found {len(hits)}')

    old = bytes(data[cust_offset:cust_offset + cust_length]) if cust_offset >= 0 else b''
    new_segment = old + VALUE + b'\x57' * ((-len(old + VALUE)) % 4)
    new_offset = len(data) + ((-len(data)) % 4)
    data += b'\x57' * (new_offset - len(data))
    data += new_segment
    struct.pack_into('<ii', data, cust_entry, new_offset, len(new_segment))
    struct.pack_into('<i', data, hits[0], len(old))  # offset of the value within the segment
    unname_parameters(data, segdir, ntypeinfos)
    enum_help_strings(data, segdir, ntypeinfos)
    open(path, 'wb').write(bytes(data))


if __name__ == '__main__':
    main(sys.argv[1])
