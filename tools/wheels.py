#!/usr/bin/env python3
"""Assembles corvane's binary wheels and checks them (used by tools/build-wheels).

  wheels.py assemble BASE STAGE TAG OUTDIR
      BASE is a wheel of corvane built from the sdist (its metadata, Python
      files, data, stubs); STAGE holds corvane/**.so built for another
      interpreter or machine. Writes OUTDIR/corvane-VERSION-TAG.whl: BASE with
      its extension modules replaced by STAGE's, its tag set to TAG (e.g.
      cp312-cp312-linux_x86_64) and its RECORD written anew.

  wheels.py check WHEEL SDIST [--max-glibc 2.31]
      Fails unless the wheel's platform tag is manylinux with a glibc no newer
      than the limit; its extension modules need no GLIBC symbol version newer
      than the limit and nothing at all of libstdc++ or libgcc_s (read from
      the ELF dynamic section and the version needs, for any architecture);
      and its files are the sdist's package files plus one module each of
      corvane.dsp.resampler and corvane.datasets.sarchip.
"""

import argparse
import base64
import csv
import hashlib
import io
import os
import re
import struct
import sys
import tarfile
import zipfile

MODULES = ("corvane/dsp/resampler", "corvane/datasets/sarchip")
# What a module may never need: a second copy of the C++ runtime would have
# its own global state beside the interpreter's.
FORBIDDEN_LIBS = ("libstdc++.so", "libgcc_s.so")
FORBIDDEN_VERSIONS = ("GLIBCXX_", "CXXABI_", "GCC_")


class ElfError(ValueError):
    pass


def elf_needs(data):
    """(needed sonames, {soname: [version names]}) of an ELF shared object."""
    if data[:4] != b"\x7fELF":
        raise ElfError("not an ELF file")
    bits = {1: 32, 2: 64}.get(data[4])
    end = {1: "<", 2: ">"}.get(data[5])
    if bits is None or end is None:
        raise ElfError("unknown ELF class or byte order")
    if bits == 64:
        shoff, = struct.unpack_from(end + "Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(end + "HHH", data, 0x3A)
        sh_fmt = end + "IIQQQQIIQQ"
    else:
        shoff, = struct.unpack_from(end + "I", data, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(end + "HHH", data, 0x2E)
        sh_fmt = end + "IIIIIIIIII"
    if shoff == 0 or shoff + shnum * shentsize > len(data):
        raise ElfError("no section headers")
    sections = []
    for i in range(shnum):
        name, type_, _flags, _addr, offset, size, link, info, _align, entsize = struct.unpack_from(
            sh_fmt, data, shoff + i * shentsize)
        sections.append((type_, offset, size, link, info, entsize))

    def string(section, at):
        offset, size = sections[section][1], sections[section][2]
        stop = data.index(b"\0", offset + at, offset + size)
        return data[offset + at:stop].decode()

    needed, versions = [], {}
    for type_, offset, size, link, info, entsize in sections:
        if type_ == 6:  # SHT_DYNAMIC: DT_NEEDED entries name the libraries
            fmt = end + ("qQ" if bits == 64 else "iI")
            step = struct.calcsize(fmt)
            for at in range(offset, offset + size, step):
                tag, value = struct.unpack_from(fmt, data, at)
                if tag == 0:
                    break
                if tag == 1:
                    needed.append(string(link, value))
        elif type_ == 0x6FFFFFFE:  # SHT_GNU_verneed: versions per library
            at = offset
            for _ in range(info):
                _ver, cnt, file_, aux, next_ = struct.unpack_from(end + "HHIII", data, at)
                names = versions.setdefault(string(link, file_), [])
                a = at + aux
                for _ in range(cnt):
                    _hash, _flags, _other, name, anext = struct.unpack_from(end + "IHHII", data, a)
                    names.append(string(link, name))
                    a += anext
                at += next_
                if next_ == 0:
                    break
    return needed, versions


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def module_problems(name, data, max_glibc):
    """What makes one extension module unfit for the wheel, as sentences."""
    needed, versions = elf_needs(data)
    problems = []
    for lib in needed:
        if lib.startswith(FORBIDDEN_LIBS):
            problems.append(f"{name} needs {lib}")
    for lib, names in sorted(versions.items()):
        for v in names:
            if v.startswith(FORBIDDEN_VERSIONS):
                problems.append(f"{name} needs {v} (from {lib})")
            elif v.startswith("GLIBC_") and not v.startswith("GLIBC_PRIVATE"):
                if version_tuple(v[len("GLIBC_"):]) > max_glibc:
                    problems.append(f"{name} needs {v}, newer than glibc {'.'.join(map(str, max_glibc))}")
    if not any(v.startswith("GLIBC_") for names in versions.values() for v in names):
        problems.append(f"{name} has no GLIBC version needs at all: not a module linked against glibc")
    return problems


def wheel_tag(wheel_name):
    """'cp312-cp312-manylinux_2_17_x86_64.manylinux2014_x86_64' of a wheel's file name."""
    parts = os.path.basename(wheel_name)[:-len(".whl")].split("-")
    return "-".join(parts[-3:])


def platform_problems(tag, max_glibc):
    problems = []
    platforms = tag.split("-")[2].split(".")
    newest = None
    for p in platforms:
        m = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", p)
        if m:
            glibc = (int(m.group(1)), int(m.group(2)))
        elif p.startswith("manylinux2014_"):
            glibc = (2, 17)
        elif p.startswith("manylinux2010_"):
            glibc = (2, 12)
        elif p.startswith("manylinux1_"):
            glibc = (2, 5)
        else:
            problems.append(f"platform tag {p} is not a manylinux one")
            continue
        newest = glibc if newest is None else max(newest, glibc)
    if newest is not None and newest > max_glibc:
        problems.append(f"platform tag {tag.split('-')[2]} asks for glibc {newest[0]}.{newest[1]}")
    return problems


def sdist_package_files(sdist):
    """The package's files in an sdist, as paths inside the wheel (corvane/...)."""
    files = set()
    with tarfile.open(sdist) as t:
        for member in t.getmembers():
            if not member.isfile():
                continue
            path = member.name.split("/", 1)[1] if "/" in member.name else member.name
            if path.startswith("src/corvane/") and "__pycache__" not in path and not path.endswith((".pyc", ".so")):
                files.add(path[len("src/"):])
    return files


def check(wheel, sdist, max_glibc=(2, 31)):
    """Every problem of a wheel, as sentences; none means it is fit to ship."""
    tag = wheel_tag(wheel)
    problems = platform_problems(tag, max_glibc)
    python_tag, abi_tag = tag.split("-")[:2]
    with zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        modules = [n for n in names if n.endswith(".so")]
        for m in modules:
            problems += module_problems(m, z.read(m), max_glibc)
    for base in MODULES:
        found = [m for m in modules if m.startswith(base + ".")]
        if len(found) != 1:
            problems.append(f"{len(found)} modules {base}.*.so (one expected)")
        elif not re.fullmatch(re.escape(base) + rf"\.cpython-{abi_tag[2:]}d?-[\w-]+\.so", found[0]):
            problems.append(f"{found[0]} does not match the wheel's tag {python_tag}-{abi_tag}")
    package = {n for n in names if not n.startswith("corvane-") and n not in modules}
    expected = sdist_package_files(sdist)
    for n in sorted(expected - package):
        problems.append(f"the wheel lacks {n}, which the sdist has")
    for n in sorted(package - expected):
        problems.append(f"the wheel has {n}, which the sdist does not")
    return problems


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [name, f"sha256={digest}", str(len(data))]


def assemble(base, stage, tag, outdir):
    """Writes the wheel for TAG from the base wheel and the staged modules; returns its path."""
    staged = {}
    for folder, _dirs, files in os.walk(stage):
        for f in files:
            if f.endswith(".so"):
                path = os.path.join(folder, f)
                staged[os.path.relpath(path, stage).replace(os.sep, "/")] = path
    if sorted(m.split(".")[0] for m in staged) != sorted(MODULES):
        raise SystemExit(f"{stage}: expected one module each of {', '.join(MODULES)}, found {sorted(staged)}")
    with zipfile.ZipFile(base) as z:
        infos = [i for i in z.infolist() if not i.filename.endswith("/")]
        dist_info = {i.filename.split("/")[0] for i in infos if i.filename.split("/")[0].endswith(".dist-info")}
        if len(dist_info) != 1:
            raise SystemExit(f"{base}: {len(dist_info)} .dist-info folders")
        dist_info = dist_info.pop()
        name_version = dist_info[:-len(".dist-info")]
        out = os.path.join(outdir, f"{name_version}-{tag}.whl")
        records = []
        with zipfile.ZipFile(out + ".part", "w", zipfile.ZIP_DEFLATED) as w:
            def add(name, data, mode=0o644):
                info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
                info.external_attr = (0o100000 | mode) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                w.writestr(info, data)
                records.append(record_line(name, data))

            for i in infos:
                n = i.filename
                if n.endswith(".so") or n == f"{dist_info}/RECORD":
                    continue
                data = z.read(n)
                if n == f"{dist_info}/WHEEL":
                    lines = [ln for ln in data.decode().splitlines() if not ln.startswith(("Tag:", "Root-Is-Purelib:"))]
                    lines += ["Root-Is-Purelib: false", f"Tag: {tag}"]
                    data = ("\n".join(lines) + "\n").encode()
                add(n, data, (i.external_attr >> 16) & 0o777 or 0o644)
            for n in sorted(staged):
                with open(staged[n], "rb") as f:
                    add(n, f.read(), 0o755)
            buf = io.StringIO()
            writer = csv.writer(buf, lineterminator="\n")
            writer.writerows(records)
            writer.writerow([f"{dist_info}/RECORD", "", ""])
            add(f"{dist_info}/RECORD", buf.getvalue().encode())
    os.replace(out + ".part", out)
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    a = sub.add_parser("assemble")
    a.add_argument("base")
    a.add_argument("stage")
    a.add_argument("tag")
    a.add_argument("outdir")
    c = sub.add_parser("check")
    c.add_argument("wheel")
    c.add_argument("sdist")
    c.add_argument("--max-glibc", default="2.31")
    args = parser.parse_args(argv)
    if args.command == "assemble":
        print(assemble(args.base, args.stage, args.tag, args.outdir))
        return 0
    problems = check(args.wheel, args.sdist, version_tuple(args.max_glibc))
    for p in problems:
        print(f"{os.path.basename(args.wheel)}: {p}", file=sys.stderr)
    if not problems:
        print(f"{os.path.basename(args.wheel)}: ok (glibc <= {args.max_glibc}, no C++ runtime needed, files as in the sdist)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
