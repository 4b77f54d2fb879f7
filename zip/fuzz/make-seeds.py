#!/usr/bin/env python3
"""Writes the seed corpus of the ZIP reader's fuzz target into the folder
given as argument: small archives of every shape the reader handles, plus
hostile ones (escaping paths, links to write through, bombs, damage)."""
import io, os, struct, sys, zipfile, zlib

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def save(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)


def archive(entries, comment=b""):
    """entries: (name bytes, data bytes, method, external attributes, flags, host, descriptor);
    method 8 compresses the data, method -8 takes it as already compressed."""
    body, directory = b"", b""
    for name, data, method, attributes, flags, host, descriptor in entries:
        stored = zlib.compress(data)[2:-4] if method == 8 else data
        if method == -8:
            method, data = 8, zlib.decompressobj(-15).decompress(data)
        crc = zlib.crc32(data)
        offset = len(body)
        sizes = (0, 0, 0) if descriptor else (crc, len(stored), len(data))
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x5A21, *sizes, len(name), 0) + name + stored
        if descriptor:
            body += struct.pack("<IIII", 0x08074B50, crc, len(stored), len(data))
        directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, host << 8 | 30, 20, flags, method, 0, 0x5A21,
                                 crc, len(stored), len(data), len(name), 0, 0, 0, 0, attributes, offset) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(directory), len(body), len(comment))
    return body + directory + end + comment


F, D, L = 0o100644 << 16, 0o40755 << 16, 0o120777 << 16
save("stored", archive([(b"a.txt", b"hello\n", 0, F, 0, 3, False)]))
save("deflated", archive([(b"dir/", b"", 0, D, 0, 3, False), (b"dir/b.txt", b"abc" * 100, 8, F, 0, 3, False)]))
save("descriptor", archive([(b"c.txt", b"streamed " * 20, 8, F, 8, 3, True)]))
save("symlink", archive([(b"target", b"x", 0, F, 0, 3, False), (b"link", b"target", 0, L, 0, 3, False)]))
save("utf8", archive([("é/ü.txt".encode(), b"u", 0, F, 0x800, 3, False)]))
save("dos", archive([(b"FOLDER", b"", 0, 0x10, 0, 0, False)], b"a comment"))
save("dotdot", archive([(b"../escape.txt", b"no", 0, F, 0, 3, False)]))
save("absolute", archive([(b"/tmp/tavik-absolute.txt", b"no", 0, F, 0, 3, False)]))
save("through-link", archive([(b"out", b"..", 0, L, 0, 3, False), (b"out/escape.txt", b"no", 0, F, 0, 3, False)]))
save("encrypted", archive([(b"one", b"1", 0, F, 0, 3, False), (b"two", b"2", 0, F, 1, 3, False), (b"three", b"3", 0, F, 0, 3, False)]))
bomb = bytearray(archive([(b"bomb", b"\0" * 100000, 8, F, 0, 3, False)]))
save("bomb", bytes(bomb).replace(struct.pack("<I", 100000), struct.pack("<I", 10)))
stream = zlib.compress(bytes(range(256)) * 40)[2:-4]
save("truncated", archive([(b"cut", stream[: len(stream) // 2], -8, F, 0, 3, False)]))

buffer = io.BytesIO()
with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
    z.comment = b"made by zipfile"
    z.writestr("App.app/Contents/Info.plist", "<plist/>\n")
    z.writestr(zipfile.ZipInfo("App.app/Contents/MacOS/"), "")
    z.writestr("App.app/Contents/MacOS/App", "#!/bin/sh\n" * 10)
save("zipfile", buffer.getvalue())


def zip64_archive(entries, marked_offset=True):
    """Stored entries whose central directory records their sizes (and local
    header offset) only in ZIP64 extra fields, ended by the 64-bit end record
    and its locator; the 32-bit end record holds the markers."""
    body, directory = b"", b""
    for name, data in entries:
        crc, offset = zlib.crc32(data), len(body)
        local_extra = struct.pack("<HHQQ", 1, 16, len(data), len(data))
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 0, 0, 0x5A21, crc, 0xFFFFFFFF, 0xFFFFFFFF,
                            len(name), len(local_extra)) + name + local_extra + data
        values = [len(data), len(data)] + ([offset] if marked_offset else [])
        extra = struct.pack("<HH", 1, 8 * len(values)) + struct.pack("<%dQ" % len(values), *values)
        directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 3 << 8 | 45, 45, 0, 0, 0, 0x5A21, crc,
                                 0xFFFFFFFF, 0xFFFFFFFF, len(name), len(extra), 0, 0, 0, F,
                                 0xFFFFFFFF if marked_offset else offset) + name + extra
    end64_offset = len(body) + len(directory)
    end64 = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 3 << 8 | 45, 45, 0, 0, len(entries), len(entries),
                        len(directory), len(body))
    locator = struct.pack("<IIQI", 0x07064B50, 0, end64_offset, 1)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    return body + directory + end64 + locator + end


save("zip64", zip64_archive([(b"dir/", b""), (b"dir/big.txt", b"sixty-four " * 20), (b"small", b"s")]))
save("zip64-unmarked-offset", zip64_archive([(b"one", b"1"), (b"two", b"22")], marked_offset=False))

buffer = io.BytesIO()
with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
    with z.open("App.app/Contents/MacOS/App", "w", force_zip64=True) as entry:
        entry.write(b"#!/bin/sh\n" * 10)
    z.writestr("App.app/Contents/Info.plist", "<plist/>\n")
save("zipfile-zip64", buffer.getvalue())
