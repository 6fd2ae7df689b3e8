"""What a release owes for the code linked into launcher.exe: NOTICES.txt
(each component whose archive members the linker's map shows in the image,
with its version, licence and those members, then the copyright and licence
texts those members carry) and launcher.cdx.json (a CycloneDX 1.6 bill of
materials with NTIA's minimum elements: supplier, name, version, purl or
CPE of every component and of the launcher, the dependencies, its author
and its time). Every archive member and object file in the map must belong
to a component whose texts cover it, or this refuses, naming it, so that
new code cannot be linked in without its notice.

    scripts/notices DIR OUT_DIR COMMIT [SUPPLIER]

DIR is a build by scripts/clean-build (its map at
DIR/build/windows-x86/launcher.map, whose relative paths are in that
folder; Boost's sources at DIR/boost; the clone the commit's time comes
from); OUT_DIR holds launcher.exe, unsigned. SUPPLIER is the launcher's
(default: the project's name). scripts/sign rewrites the bill of materials
for the signed file."""
import dataclasses
import fnmatch
import hashlib
import os
import re
import time
import urllib.parse
import uuid
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from . import bom, pins, tools
from .buildinfo import CXX
from .errors import Refusal, UsageError

MINGW_COPYRIGHT = "/usr/share/doc/mingw-w64-i686-dev/copyright"
GCC_COPYRIGHT = "/usr/share/doc/gcc-mingw-w64-i686-posix/copyright"
PROJECT = "Quenby launcher"
DEBIAN: dict[str, Any] = {"name": "Debian", "url": ["https://www.debian.org"]}
BOOST: dict[str, Any] = {"name": "Boost", "url": ["https://www.boost.org"]}
MINGW, GCC, GXX = "mingw-w64-i686-dev", "gcc-mingw-w64-i686-posix", "g++-mingw-w64-i686-posix"

# What a component carries for an archive member: (the member's file as
# the map names it, its Debian package: None for the build's own, "" for a
# file of none, the member or else the file's name) -> the keys of the
# texts it carries, or None when it is not this component's.
Carries = Callable[[str, "str | None", str], "list[str] | None"]


@dataclasses.dataclass(frozen=True)
class Text:
    """A licence or copyright text, read only when a member carries it."""
    title: str
    read: Callable[[], str]


@dataclasses.dataclass(frozen=True)
class Component:
    """What may be linked in. PACKAGE: the Debian binary package its purl
    names (PACKAGE_VERSION: its Debian version); else PURL (and CPE, and the SHA-256 of its source tarball).
    STANZAS: its texts and licence are the stanzas of Debian's copyright
    file of mingw-w64 that its members come under (see debian_texts)."""
    name: str
    version: str
    supplier: dict[str, Any]
    carries: Carries
    depends: tuple[str, ...]
    licence: str = ""
    texts: Mapping[str, Text] = dataclasses.field(default_factory=dict)
    package: str = ""
    package_version: str = ""
    purl: str = ""
    cpe: str = ""
    tarball_sha256: str = ""
    stanzas: bool = False


@dataclasses.dataclass(frozen=True)
class Linked:
    """A component the map shows in the image: per archive (or object file)
    it was linked from, the keys of the texts its members carry."""
    component: Component
    archives: Mapping[str, frozenset[str]]

    @property
    def carried(self) -> frozenset[str]:
        return frozenset().union(*self.archives.values())


def deb_field(package: str, field: str) -> str:
    return tools.program_output("dpkg-query", "-W", "-f=${%s}" % field, package)


def upstream(version: str) -> str:
    """12.2.0-14+deb12u1+25.2+b1 -> 12.2.0: Debian's revision and epoch off."""
    return version.split(":")[-1].rsplit("-", 1)[0]


def purl_part(text: str) -> str:
    # As packageurl-python and packageurl-js write them: "+" is %2B.
    return urllib.parse.quote(text, safe=":")


def deb_purl(package: str) -> str:
    return (f"pkg:deb/debian/{purl_part(package)}@{purl_part(deb_field(package, 'Version'))}"
            f"?arch={deb_field(package, 'Architecture')}")


def read_text(path: str) -> str:
    with open(path, encoding="utf-8") as file:
        return file.read()


def gcc_runtime_exception() -> str:
    # Debian's copyright file of the cross compiler quotes the exception in
    # full; it starts at its title and ends before libquadmath's notices.
    text, last = read_text(GCC_COPYRIGHT), "requirements of the license of GCC."
    start = text.index("GCC RUNTIME LIBRARY EXCEPTION")
    return text[start:text.index(last, start) + len(last)] + "\n"


def stl_tree_notices() -> str:
    """libstdc++'s tree.cc carries the Silicon Graphics and Hewlett-Packard
    permission notices of the STL it comes from, which ask to appear in all
    copies and supporting documentation; its sources are not installed, but
    the header it implements carries the same two, in its second comment."""
    # The compiler's own copy: its folder is named after GCC's version.
    stl_tree = tools.program_output(CXX, "-print-file-name=include/c++/bits/stl_tree.h").strip()
    text = read_text(stl_tree)
    start = text.index("/*", text.index("Free Software Foundation"))
    comment = text[start + 2:text.index("*/", start)]
    if "Silicon Graphics" not in comment or "Hewlett-Packard" not in comment:
        raise Refusal(f"{stl_tree} no longer carries the Silicon Graphics and Hewlett-Packard notices where "
                      "scripts/notices looks for them")
    return "\n".join(re.sub(r"^ \*( |$)", "", line) for line in comment.strip("\n").splitlines()).strip() + "\n"


@dataclasses.dataclass(frozen=True)
class Copyright:
    """A machine-readable Debian copyright file: its Files stanzas (the
    patterns, the stanza's text) and its stand-alone License paragraphs."""
    files: list[tuple[list[str], str]]
    licences: dict[str, str]


def debian_stanzas(path: str) -> Copyright:
    files, licences = [], {}
    for paragraph in read_text(path).split("\n\n"):
        paragraph = paragraph.strip("\n")
        field = re.match(r"Files:(.*?)\n(?=\S)", paragraph + "\n", re.S)
        if field:
            files.append((field.group(1).split(), paragraph))
        elif paragraph.startswith("License:"):
            licences[paragraph.splitlines()[0][len("License:"):].strip()] = paragraph
    return Copyright(files, licences)


def licence_field(paragraph: str) -> str:
    found = re.search(r"^License: *(.*)$", paragraph, re.M)
    return found.group(1) if found else ""


def stanza_text(copyright_file: str, pattern: str) -> str:
    """The Files stanza that names PATTERN, with the licence paragraphs it
    refers to when it does not quote them."""
    parsed = debian_stanzas(copyright_file)
    paragraph = next(text for patterns, text in parsed.files if pattern in patterns)
    texts = [paragraph]
    if licence_field(paragraph) and not re.search(r"^License:.*\n ", paragraph, re.M):
        texts += [parsed.licences[name] for name in re.split(r" and | or ", licence_field(paragraph))
                  if name in parsed.licences]
    return "\n\n".join(texts) + "\n"


# libmingwex's gdtoa members, whose sources lie in mingw-w64-crt/gdtoa/.
GDTOA = {"arithchk", "dmisc", "dtoa", "g__fmt", "g_dfmt", "g_ffmt", "g_xfmt", "gdtoa", "gethex", "gmisc",
         "hd_init", "hexnan", "misc", "qnan", "smisc", "strtodg", "strtodnrp", "strtof", "strtopx", "sum",
         "ulp", "strtoIg", "strtoId", "strtoIf", "strtoIx"}


def named_sources(stem: str) -> list[str]:
    """The first patterns of the stanzas that name the runtime's source
    STEM.c apart, by its file name; the rest comes under the first stanza."""
    named = [patterns for patterns, _ in debian_stanzas(MINGW_COPYRIGHT).files
             if any(p.startswith("mingw-w64-crt/") and not p.endswith("/*")
                    and fnmatch.fnmatch(stem + ".c", os.path.basename(p)) for p in patterns)]
    return [patterns[0] for patterns in named] or ["*"]


def mingw_texts(archive: str, member: str) -> list[str] | None:
    """Which stanzas of Debian's copyright file of mingw-w64 a member of the
    runtime comes under, or None when this cannot say."""
    if re.fullmatch(r"crt\w*\.o", archive) or archive == "libmingw32.a":
        # The start-up code: libmingw32 is built from mingw-w64-crt/crt/.
        return ["mingw-w64-crt/crt/*"]
    if re.fullmatch(r"lib\w+?(h|t|s\d+)\.o", member):
        # An import stub, made by dlltool from one of the .def files, which
        # come under the copyright file's first stanza.
        return ["*"]
    stem = re.fullmatch(r"lib32_lib\w+?_a-(.+)\.o", member)
    if archive not in ("libmingwex.a", "libmsvcrt.a") or not stem:
        return None
    if stem.group(1) in GDTOA:
        qnan = ["mingw-w64-crt/gdtoa/qnan.c"] if stem.group(1) in ("qnan", "strtodnrp") else []
        return ["mingw-w64-crt/gdtoa/*", *qnan]
    return named_sources(stem.group(1))


# The licences Debian's copyright file of mingw-w64 names, as SPDX writes
# them (LicenseRef- where SPDX has none).
DEBIAN_SPDX = {"ZPL-2.1": "ZPL-2.1", "public-domain": "LicenseRef-public-domain",
               "Lucent": "LicenseRef-Lucent-gdtoa", "David-Gay": "LicenseRef-David-M-Gay",
               "Keith-Marshall": "LicenseRef-Keith-Marshall", "Permissive-Sun": "LicenseRef-Sun-permissive",
               "BSD-3-clause": "BSD-3-Clause", "BSD-2-clause-NetBSD": "BSD-2-Clause", "ISC": "ISC",
               "expat": "MIT", "BSD-3-clause-Lockless": "BSD-3-Clause"}


def stanza(version: str, pattern: str) -> Text:
    where = "all other files" if pattern == "*" else pattern
    return Text(f"{MINGW} {version}, Debian's copyright file: {where}", lambda: stanza_text(MINGW_COPYRIGHT, pattern))


def spdx_of(component: str, key: str, paragraph: str) -> list[str]:
    """The SPDX names of the licences a stanza's License field names."""
    names = re.split(r" and | or ", licence_field(paragraph))
    unknown = [name for name in names if name not in DEBIAN_SPDX]
    if unknown:
        raise Refusal(f"{component}: the licence {unknown[0]} of Debian's stanza {key} has no SPDX name in "
                      "scripts/launcher_release/notices.py: add it there")
    return [DEBIAN_SPDX[name] for name in names]


def debian_texts(linked: Linked) -> Linked:
    """A component whose texts are stanzas of Debian's copyright file: those
    its members carry, in the file's order (each once, named by its first
    pattern), and its SPDX licence made of theirs."""
    c, files = linked.component, debian_stanzas(MINGW_COPYRIGHT).files
    # A pattern may stand anywhere in its stanza's Files field: Debian 13's
    # file names mingw-w64-crt/crt/* second, after mingw-w64-crt/cfguard/*.
    stanza_of: dict[str, int] = {}
    for index, (patterns, _) in enumerate(files):
        for pattern in patterns:
            stanza_of.setdefault(pattern, index)
    unknown = sorted(linked.carried - stanza_of.keys())
    if unknown:
        raise Refusal(f"{c.name}: Debian's copyright file has no stanza {unknown[0]}")
    chosen = sorted({stanza_of[key] for key in linked.carried})
    licences: list[str] = []
    for index in chosen:
        licences += [n for n in spdx_of(c.name, files[index][0][0], files[index][1]) if n not in licences]
    texts = {files[index][0][0]: stanza(c.package_version, files[index][0][0]) for index in chosen}
    return Linked(dataclasses.replace(c, licence=" AND ".join(licences), texts=texts), linked.archives)


def is_pthread(path: str) -> bool:
    return bool(re.match(r"lib(win)?pthread", os.path.basename(path)))


def crt_carries(path: str, package: str | None, member: str) -> list[str] | None:
    if package != MINGW or is_pthread(path):
        return None
    return mingw_texts(os.path.basename(path), member)


def winpthreads_carries(path: str, package: str | None, member: str) -> list[str] | None:
    # Each of its members includes pthread.h, whose notice is Lockless'.
    if package != MINGW or not is_pthread(path):
        return None
    return ["mingw-w64-libraries/winpthreads/*", "mingw-w64-libraries/winpthreads/include/pthread.h"]


def libgcc_carries(path: str, package: str | None, member: str) -> list[str] | None:
    archive = os.path.basename(path)
    if package != GCC or not re.fullmatch(r"libgcc(_eh)?\.a|libssp(_nonshared)?\.a|crt(begin|end)\.o", archive):
        return None
    return ["exception"]


def libstdcxx_carries(path: str, package: str | None, member: str) -> list[str] | None:
    if package != GXX or os.path.basename(path) not in ("libstdc++.a", "libsupc++.a"):
        return None
    return ["exception", *(["tree"] if member == "tree.o" else [])]


def boost_carries(path: str, package: str | None, member: str) -> list[str] | None:
    if package is not None or not path.startswith("boost/") or not os.path.basename(path).startswith("libboost_"):
        return None
    return ["licence"]


EXCEPTION = Text("GCC's runtime libraries are under the GNU GPL version 3 or later with the GCC Runtime Library "
                 "Exception, which lets them be linked into a program distributed under terms of its own choice; "
                 "the exception's text follows", gcc_runtime_exception)
TREE = Text("the Silicon Graphics and Hewlett-Packard permission notices of libstdc++-v3/src/c++98/tree.cc "
            "(tree.o)", stl_tree_notices)
GCC_LICENCE = "GPL-3.0-or-later WITH GCC-exception-3.1"


def boost_component(source: str) -> Component:
    """Boost, from the pinned source, as Debian's source package names it,
    whichever archive serves it, with the SHA-256 of its upstream tarball."""
    pin = pins.read()
    licence = os.path.join(source, "boost", "LICENSE_1_0.txt")
    return Component("Boost", pin.version, BOOST, boost_carries, ("libstdc++",), licence="BSL-1.0",
                     texts={"licence": Text(f"boost/LICENSE_1_0.txt of {pin.tarball}", lambda: read_text(licence))},
                     purl=f"pkg:deb/debian/{purl_part(pin.source_package)}@{purl_part(pin.source_version)}?arch=source",
                     cpe=f"cpe:2.3:a:boost:boost:{pin.version}:*:*:*:*:*:*:*", tarball_sha256=pin.tarball_sha256)


def components(source: str) -> list[Component]:
    """What may be linked in, in the order the notices list it."""
    mingw, gcc, gxx = (deb_field(package, "Version") for package in (MINGW, GCC, GXX))
    return [
        Component("mingw-w64-crt", upstream(mingw), DEBIAN, crt_carries, (), package=MINGW, package_version=mingw,
                  stanzas=True),
        Component("winpthreads", upstream(mingw), DEBIAN, winpthreads_carries, ("mingw-w64-crt",), package=MINGW,
                  package_version=mingw, stanzas=True),
        Component("libgcc", upstream(gcc), DEBIAN, libgcc_carries, ("mingw-w64-crt",), licence=GCC_LICENCE,
                  texts={"exception": EXCEPTION}, package=GCC),
        Component("libstdc++", upstream(gxx), DEBIAN, libstdcxx_carries, ("libgcc", "winpthreads", "mingw-w64-crt"),
                  licence=GCC_LICENCE, texts={"exception": EXCEPTION, "tree": TREE}, package=GXX),
        boost_component(source),
    ]


def linked_members(map_path: str) -> set[tuple[str, str | None]]:
    """What the map shows in the image: (file, member) for every archive
    member the linker took, and (file, None) for every object file loaded
    whole. An archive it loaded but took nothing from is not in the image."""
    members: set[tuple[str, str | None]] = set()
    in_archive_section = False
    with open(map_path, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            if line.startswith("Archive member included"):
                in_archive_section = True
                continue
            if in_archive_section and re.match(r"[A-Z]", line):
                in_archive_section = False
            match = re.match(r"([^ ()\t]+\.a)\(([^)]+)\)", line) if in_archive_section else None
            if match:
                members.add((match.group(1), match.group(2)))
            match = re.match(r"LOAD ([^ ()\t]+\.(?:o|obj))\s*$", line)
            if match:
                members.add((match.group(1), None))
    return members


def owners(paths: Iterable[str]) -> dict[str, str | None]:
    """Debian package of each absolute path ("" for none; None for the
    build's own, relative ones)."""
    real = {p: os.path.realpath(p) for p in sorted(p for p in paths if os.path.isabs(p))}
    package_of = {}
    for line in tools.program("dpkg", "-S", *real.values())[1].splitlines():
        package, _, path = line.partition(": ")
        package_of[path] = package.split(":")[0]
    return {p: package_of.get(real[p], "") if p in real else None for p in paths}


def owner_of(parts: list[Component], path: str, package: str | None, member: str | None,
             build_dir: str) -> tuple[int, list[str]] | None:
    """Which component a linked member is (its index, the keys its texts
    carry); None for the build's own object files; refused when none
    covers it."""
    for index, c in enumerate(parts):
        keys = c.carries(path, package, member or os.path.basename(path))
        if keys:
            return index, keys
    shown = os.path.basename(path) + (f"({member})" if member else "")
    if package is not None or path.startswith("boost/"):
        raise Refusal(f"the link map shows {shown} in the image ({package or 'no Debian package'}), "
                      "which scripts/notices does not cover: add its component and licence there")
    if not os.path.exists(os.path.join(build_dir, path)):
        raise Refusal(f"the link map names {path}, which is neither a package's nor in {build_dir}")
    return None


def linked(parts: list[Component], build_dir: str) -> list[Linked]:
    """The components the map shows in the image, in PARTS' order."""
    members = linked_members(os.path.join(build_dir, "launcher.map"))
    package_of = owners({path for path, _ in members})
    archives: list[dict[str, set[str]]] = [{} for _ in parts]
    for path, member in sorted(members, key=lambda m: (m[0], m[1] or "")):
        found = owner_of(parts, path, package_of[path], member, build_dir)
        if found:
            archives[found[0]].setdefault(os.path.basename(path), set()).update(found[1])
    found_parts = [Linked(c, {k: frozenset(v) for k, v in archives[i].items()}) for i, c in enumerate(parts)
                   if archives[i]]
    return [debian_texts(part) if part.component.stanzas else part for part in found_parts]


def notices_text(parts: list[Linked], commit: str) -> str:
    lines = [f"launcher.exe ({PROJECT}, commit {commit}) links in these components:\n",
             "| component | version | licence (SPDX) | linked from |", "| --- | --- | --- | --- |"]
    lines += [f"| {c.name} | {c.version} | {c.licence} | {', '.join(sorted(p.archives))} |"
              for p in parts for c in [p.component]]
    for part in parts:
        c = part.component
        # A Debian stanza is named by its first pattern, which its members
        # need not carry (Debian 13's crt/* stands second): each was chosen
        # for what they carry.
        for key, text in c.texts.items():
            if key in part.carried or c.stanzas:
                lines += ["", "=" * 72, f"{c.name} {c.version}: {text.title}", "=" * 72, "", text.read().rstrip()]
    return "\n".join(lines) + "\n"


def component_entry(c: Component) -> dict[str, Any]:
    entry: dict[str, Any] = {"type": "library", "bom-ref": c.name, "supplier": c.supplier, "name": c.name,
                             "version": c.version, "licenses": [{"expression": c.licence}],
                             "purl": deb_purl(c.package) if c.package else c.purl}
    if c.cpe:
        entry["cpe"] = c.cpe
    if c.tarball_sha256:
        hashes = [{"alg": "SHA-256", "content": c.tarball_sha256}]
        entry["hashes"] = hashes
        entry["externalReferences"] = [{"type": "source-distribution", "url": c.purl, "hashes": list(hashes)},
                                       {"type": "website", "url": c.supplier["url"][0]}]
    return entry


def serial_number(unsigned_sha256: str) -> str:
    # The same for every rebuild of a commit, signed or not.
    return "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_URL, "urn:sha256:" + unsigned_sha256))


def bill_of_materials(parts: list[Linked], commit: str, when: int, unsigned: str, supplier: str) -> dict[str, Any]:
    """The unsigned release's CycloneDX bill of materials; WHEN: the
    commit's time, as SOURCE_DATE_EPOCH would give it, the same for every
    rebuild."""
    names = {p.component.name for p in parts}
    launcher = {"type": "application", "bom-ref": "launcher.exe", "supplier": {"name": supplier},
                "name": "launcher.exe", "version": commit, "purl": f"pkg:generic/quenby-launcher@{commit}",
                "hashes": [{"alg": "SHA-256", "content": unsigned}],
                "properties": [{"name": "quenby:unsigned-sha256", "value": unsigned}]}
    tool = {"type": "application", "name": "scripts/notices", "version": commit, "supplier": {"name": PROJECT}}
    return {"bomFormat": "CycloneDX", "specVersion": "1.6", "serialNumber": serial_number(unsigned), "version": 1,
            "metadata": {"timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(when)),
                         "tools": {"components": [tool]}, "authors": [{"name": supplier}], "component": launcher},
            "components": [component_entry(p.component) for p in parts],
            "dependencies": [{"ref": "launcher.exe", "dependsOn": [p.component.name for p in parts]}]
            + [{"ref": p.component.name, "dependsOn": [d for d in p.component.depends if d in names]}
               for p in parts]}


def write(source: str, out_dir: str, commit: str, supplier: str = "") -> None:
    """NOTICES.txt and launcher.cdx.json of the build in SOURCE (a
    scripts/clean-build folder) into OUT_DIR, beside its launcher.exe."""
    parts = linked(components(source), os.path.join(source, "build", "windows-x86"))
    with open(os.path.join(out_dir, "launcher.exe"), "rb") as exe:
        unsigned = hashlib.sha256(exe.read()).hexdigest()
    with open(os.path.join(out_dir, "NOTICES.txt"), "w", encoding="utf-8") as out:
        out.write(notices_text(parts, commit))
    when = int(tools.program_output("git", "-C", source, "show", "-s", "--format=%ct", commit))
    document = bill_of_materials(parts, commit, when, unsigned, supplier or PROJECT)
    with open(os.path.join(out_dir, "launcher.cdx.json"), "wb") as out:
        out.write(bom.write(document))


def main(args: list[str]) -> None:
    """scripts/notices DIR OUT_DIR COMMIT [SUPPLIER]."""
    if len(args) not in (3, 4):
        raise UsageError("scripts/notices DIR OUT_DIR COMMIT [SUPPLIER]")
    write(*args)
