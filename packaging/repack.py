#!/usr/bin/env python3
"""Rewrites a release archive (.zip, .tar.gz or .deb) so that the same sources give
the same bytes whoever builds them, wherever, whenever and under whatever
umask: members sorted by name, owner and group 0 with no names, folders and
programs 755, everything else 644, every time the given epoch (the newest
release's date in CHANGELOG.md), and no other metadata (no zip extra fields,
no gzip file name). An archive, or a member of a .deb, that it cannot
normalise (an xz or zstd tar, say) is refused, not passed through.
Usage: repack.py [--built-using FIELD] EPOCH ARCHIVE...
  --built-using: the value of the .deb's Built-Using field, added to its
  control file before the description"""

import argparse
import gzip
import io
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


def refuse(why):
    raise SystemExit("repack.py: " + why)


def normal_tar_gz(packed, epoch, owner_name="", rewrite=None):
    """The gzipped tar packed, rewritten; rewrite(name, data) gives each
    file's new data where it is given."""
    if not packed.startswith(GZIP_MAGIC):
        refuse("cannot normalise what is not a gzipped tar")
    try:
        with tarfile.open(fileobj=io.BytesIO(packed), mode="r:gz") as old:
            members = [(m, old.extractfile(m).read() if m.isfile() else None) for m in old.getmembers()]
    except (tarfile.TarError, OSError, EOFError) as error:
        refuse("cannot normalise a broken tar: %s" % error)
    if rewrite:
        members = [(m, rewrite(m.name, d) if d is not None else d) for m, d in members]
        for member, data in members:
            member.size = len(data) if data is not None else member.size
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
# root by name as dpkg-deb makes them, and each ar header made fixed. Any
# other member (data.tar.xz, control.tar.zst) is refused.
AR_MAGIC = b"!<arch>\n"
GZIP_MAGIC = b"\x1f\x8b"
DEB_MEMBERS = ("debian-binary", "control.tar.gz", "data.tar.gz")
AR_HEADER = 60
AR_MODE = 0o100644


def with_field(control, field):
    """The control file with field, a line, before its Description."""
    text = control.decode()
    at = text.find("\nDescription:") + 1
    if at == 0:
        refuse("the control file has no Description")
    return (text[:at] + field + "\n" + text[at:]).encode()


def repack_deb(path, epoch, built_using):
    with open(path, "rb") as packed:
        data = packed.read()
    if not data.startswith(AR_MAGIC):
        refuse(path + " is not a Debian package")
    members, at = [], len(AR_MAGIC)
    while at < len(data):
        header = data[at:at + AR_HEADER]
        size = int(header[48:58])
        members.append((header[:16].decode().strip().rstrip("/"), data[at + AR_HEADER:at + AR_HEADER + size]))
        at += AR_HEADER + size + size % 2
    names = tuple(name for name, _ in members)
    if names != DEB_MEMBERS:
        refuse("cannot normalise %s: it holds %s, not %s" % (path, ", ".join(names), ", ".join(DEB_MEMBERS)))

    def control(name, text):
        return with_field(text, "Built-Using: " + built_using) if name == "./control" else text
    out = [AR_MAGIC]
    for name, body in members:
        if name.endswith(".tar.gz"):
            body = normal_tar_gz(body, epoch, "root",
                                 control if built_using and name == "control.tar.gz" else None)
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--built-using")
    parser.add_argument("epoch", type=int)
    parser.add_argument("archives", nargs="+")
    args = parser.parse_args()
    for archive in args.archives:
        if archive.endswith(".zip"):
            repack_zip(archive, args.epoch)
        elif archive.endswith(".tar.gz"):
            repack_tar_gz(archive, args.epoch)
        elif archive.endswith(".deb"):
            repack_deb(archive, args.epoch, args.built_using)
        else:
            refuse("cannot normalise " + archive)


if __name__ == "__main__":
    main()
