#!/usr/bin/env python3
"""Rewrites a release archive (.zip, .tar.gz or .deb) so that the same sources give
the same bytes whoever builds them, wherever, whenever and under whatever
umask: members sorted by name, owner and group 0 with no names, folders and
programs 755, everything else 644, every time the given epoch (the newest
release's date in CHANGELOG.md), and no other metadata (no zip extra fields,
no gzip file name).
Usage: repack.py EPOCH ARCHIVE..."""

import gzip
import io
import sys
import tarfile
import time
import zipfile

FOLDER_MODE = 0o755
PROGRAM_MODE = 0o755
DOCUMENT_MODE = 0o644
# Zip's DOS times start in 1980.
ZIP_EARLIEST = (1980, 1, 1, 0, 0, 0)
UNIX = 3  # the "made by" system that gives external_attr its Unix mode


def mode_of(is_folder, mode):
    if is_folder:
        return FOLDER_MODE
    return PROGRAM_MODE if mode & 0o111 else DOCUMENT_MODE


def normal_tar_gz(packed, epoch, owner_name=""):
    """The gzipped tar packed, rewritten."""
    with tarfile.open(fileobj=io.BytesIO(packed)) as old:
        members = [(m, old.extractfile(m).read() if m.isfile() else None) for m in old.getmembers()]
    body = io.BytesIO()
    with tarfile.open(fileobj=body, mode="w", format=tarfile.GNU_FORMAT) as new:
        for member, data in sorted(members, key=lambda pair: pair[0].name):
            member.mode = mode_of(member.isdir(), member.mode)
            member.uid = member.gid = 0
            member.uname = member.gname = owner_name
            member.mtime = epoch
            member.pax_headers = {}
            new.addfile(member, io.BytesIO(data) if data is not None else None)
    out = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=epoch, compresslevel=9) as gz:
        gz.write(body.getvalue())
    return out.getvalue()


def repack_tar_gz(path, epoch):
    with open(path, "rb") as packed:
        data = packed.read()
    with open(path, "wb") as out:
        out.write(normal_tar_gz(data, epoch))


# A Debian package is an ar archive: debian-binary, control.tar.gz and
# data.tar.gz, in that order, which stays; each tar is rewritten, owned by
# root by name as dpkg-deb makes them, and each ar header made fixed.
AR_MAGIC = b"!<arch>\n"
AR_HEADER = 60
AR_MODE = 0o100644


def repack_deb(path, epoch):
    with open(path, "rb") as packed:
        data = packed.read()
    assert data.startswith(AR_MAGIC), path
    out, at = [AR_MAGIC], len(AR_MAGIC)
    while at < len(data):
        header = data[at:at + AR_HEADER]
        name = header[:16].decode().strip()
        size = int(header[48:58])
        body = data[at + AR_HEADER:at + AR_HEADER + size]
        at += AR_HEADER + size + size % 2
        if name.rstrip("/").endswith(".tar.gz"):
            body = normal_tar_gz(body, epoch, "root")
        out.append(b"%-16s%-12d%-6d%-6d%-8o%-10d`\n" % (name.encode(), epoch, 0, 0, AR_MODE, len(body)))
        out.append(body + (b"\n" if len(body) % 2 else b""))
    with open(path, "wb") as result:
        result.write(b"".join(out))


def repack_zip(path, epoch):
    with zipfile.ZipFile(path) as old:
        members = [(i.filename, i.external_attr >> 16, i.is_dir(), old.read(i)) for i in old.infolist()]
    when = max(time.gmtime(epoch)[:6], ZIP_EARLIEST)
    with zipfile.ZipFile(path, "w") as new:
        for name, mode, is_folder, data in sorted(members):
            info = zipfile.ZipInfo(name, date_time=when)
            info.create_system = UNIX
            info.external_attr = mode_of(is_folder, mode) << 16 | (0x10 if is_folder else 0)
            info.compress_type = zipfile.ZIP_STORED if is_folder else zipfile.ZIP_DEFLATED
            new.writestr(info, data, compresslevel=9)


if __name__ == "__main__":
    source_epoch = int(sys.argv[1])
    for archive in sys.argv[2:]:
        if archive.endswith(".zip"):
            repack_zip(archive, source_epoch)
        elif archive.endswith(".tar.gz"):
            repack_tar_gz(archive, source_epoch)
        elif archive.endswith(".deb"):
            repack_deb(archive, source_epoch)
