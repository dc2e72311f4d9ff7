#!/usr/bin/env python3
"""Writes bundles on which a build host's tar and the device's BusyBox tar disagree, into OUTDIR,
and OUTDIR/cases with one "NAME ARCHIVE" line each. Usage: odd_bundles.py OUTDIR"""
import gzip
import io
import os
import subprocess
import sys
import tarfile
import tempfile
import zipfile

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
cases = []


def member(name, data=b"", kind=tarfile.REGTYPE, **fields):
    info = tarfile.TarInfo(name)
    info.type = kind
    info.mode = 0o755 if kind == tarfile.DIRTYPE else 0o644
    info.mtime = 1700000000
    for key, value in fields.items():
        setattr(info, key, value)
    if kind == tarfile.REGTYPE:
        info.size = len(data)
    return info, data


def tar_bytes(members, fmt=tarfile.USTAR_FORMAT):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=fmt) as tar:
        for info, data in members:
            tar.addfile(info, io.BytesIO(data) if info.size else None)
    return raw.getvalue()


def with_typeflag(raw, name, flag):
    """The archive with the header of member `name` given another type flag."""
    at = 0
    while at < len(raw):
        header = bytearray(raw[at:at + 512])
        if header[:len(name) + 1] == name.encode() + b"\0":
            header[156] = ord(flag)
            header[148:156] = b" " * 8
            header[148:156] = b"%06o\0 " % sum(header)
            return raw[:at] + bytes(header) + raw[at + 512:]
        size = int(header[124:136].strip(b"\0 ") or b"0", 8)
        at += 512 + (size + 511) // 512 * 512
    raise SystemExit("no member " + name)


def write(case, archive, data):
    with open(os.path.join(out, archive), "wb") as f:
        f.write(data)
    cases.append((case, archive))


def gz(raw):
    return gzip.compress(raw, mtime=0)


MANIFEST = b'{"order":["a.ipk"]}'

# Two folders, each with a manifest: "/tmp" lists the newest entry first, so the device takes the
# one in the folder unpacked last.
write("two-manifests", "two.tar.gz", gz(tar_bytes([
    member("two/", kind=tarfile.DIRTYPE),
    member("two/manifest.txt", b'{"order":["a.ipk"]}'),
    member("two/a.ipk", b"a"),
    member("other/", kind=tarfile.DIRTYPE),
    member("other/manifest.txt", b'{"order":["b.ipk"]}'),
])))

# Sparse members as GNU tar writes them for a file with a hole.
for case, base, options in (("gnu-sparse", "gsparse", ["--format=gnu"]),
                            ("pax-sparse", "psparse", ["--format=pax", "--sparse-version=1.0"])):
    with tempfile.TemporaryDirectory() as stage:
        os.makedirs(os.path.join(stage, base))
        with open(os.path.join(stage, base, "manifest.txt"), "wb") as f:
            f.write(MANIFEST)
        with open(os.path.join(stage, base, "a.ipk"), "wb") as f:
            f.seek(1 << 20)
            f.write(b"a")
        raw = subprocess.run(["tar", "-S", "--sort=name", "--owner=0", "--group=0",
                              "--numeric-owner", "--mtime=@1700000000", "-cf", "-", *options,
                              "-C", stage, base], check=True, stdout=subprocess.PIPE).stdout
    write(case, base + ".tar.gz", gz(raw))

zipped = io.BytesIO()
with zipfile.ZipFile(zipped, "w") as z:
    z.writestr("zip/manifest.txt", MANIFEST)
    z.writestr("zip/a.ipk", b"a")
write("zip-named-tar-gz", "zip.tar.gz", zipped.getvalue())

for flag in "AN":
    top = "flag" + flag.lower()
    members = [member(top + "/manifest.txt", MANIFEST), member(top + "/a.ipk", b"a"),
               member(top + "/odd", b"odd")]
    write("typeflag-" + flag, top + ".tar.gz",
          gz(with_typeflag(tar_bytes(members), top + "/odd", flag)))

write("dotdot-member", "dotdot.tar.gz", gz(tar_bytes([
    member("dotdot/manifest.txt", MANIFEST),
    member("dotdot/a.ipk", b"a"),
    member("dotdot/../../etc/evil", b"evil"),
])))

write("trailing-garbage", "garbage.tar.gz", gz(tar_bytes([
    member("garbage/manifest.txt", MANIFEST),
    member("garbage/a.ipk", b"a"),
])) + b"\x00garbage after the gzip stream\n" * 4)

write("char-device", "chr.tar.gz", gz(tar_bytes([
    member("chr/manifest.txt", MANIFEST),
    member("chr/a.ipk", b"a"),
    member("chr/null", kind=tarfile.CHRTYPE, devmajor=1, devminor=3),
])))

write("climbing-element", "fw.tar.gz", gz(tar_bytes([
    member("fw/manifest.txt", b'{"order":["../../../tmp/update/fw/a.ipk"]}'),
    member("fw/a.ipk", b"a"),
])))

write("manifest-link-into-update", "linked.tar.gz", gz(tar_bytes([
    member("linked/meta/order.json", MANIFEST),
    member("linked/manifest.txt", kind=tarfile.SYMTYPE,
           linkname="/tmp/update/linked/meta/order.json"),
    member("linked/a.ipk", b"a"),
])))

write("failure-stops-the-run", "stop.tar.gz", gz(tar_bytes([
    member("stop/manifest.txt", b'{"order":["a.ipk","b.ipk","c.ipk"]}'),
    member("stop/a.ipk", b"a"),
    member("stop/c.ipk", b"c"),
])))

# What "tar -czf b.tar.gz -C folder ." gives an ordinary user: "./" first, owned by that user.
owned = dict(uid=1000, gid=1000, uname="user", gname="user")
write("dot-member-by-user", "dot.tar.gz", gz(tar_bytes([
    member("./", kind=tarfile.DIRTYPE, mode=0o775, **owned),
    member("./dot/", kind=tarfile.DIRTYPE, mode=0o775, **owned),
    member("./dot/manifest.txt", MANIFEST, mode=0o664, **owned),
    member("./dot/a.ipk", b"a", mode=0o664, **owned),
], fmt=tarfile.GNU_FORMAT)))

with open(os.path.join(out, "cases"), "w") as f:
    for case, archive in cases:
        f.write("%s %s\n" % (case, archive))
