"""scripts/sign's checks of DIR, in order (sign.DIR_CHECKS): each takes the
state, refuses with one line, and records what it found. Only the copies
read here are checked and signed."""
import hashlib
import os

from . import bom, files, folder
from .buildinfo import values as buildinfo_values
from .errors import Large, Missing, NotABom, Odd, Refusal
from .state import Copies, Opened, SignState, Work, known
from .text import errno_text, quoted, shown


def open_dir(s: SignState) -> None:
    """DIR opened once, itself and not through a link ("rel/" included),
    in a folder only the signer can change, and not a mount point; stale
    work folders of killed runs beside it removed, and our own made."""
    given = known(s.o.dir)
    path = given.rstrip("/") or "/"
    if path == "/" or os.path.realpath(path) == "/":
        raise Refusal("/ is not a release")
    name = os.path.basename(path)
    if name in (".", ".."):
        path = os.path.realpath(path)
        name = os.path.basename(path)
    parent = os.path.realpath(os.path.dirname(path))
    parent_fd = folder.open_folder(parent)
    try:
        dir_fd = folder.open_folder(name, parent_fd)
    except OSError:
        if os.path.islink(path):
            raise Refusal(f"{shown(given)} is a symbolic link: give the release's folder itself") from None
        raise Refusal(f"no folder {shown(given)}: sign a release's dist/ as scripts/release made it") from None
    full = parent.rstrip("/") + "/" + name
    s.opened = opened = Opened(parent_fd=parent_fd, dir_fd=dir_fd, name=name, path=full, shown=shown(full))
    _refuse_folder(opened)
    prefix = f".{name}.signing-"
    folder.remove_unheld(parent_fd, prefix)
    try:
        work, work_fd, lock = folder.make_work(parent_fd, prefix)
    except OSError:
        raise Refusal(f"cannot make a work folder beside {opened.shown}: signing needs to write there") from None
    s.work = Work(path=parent.rstrip("/") + "/" + work, fd=work_fd, lock=lock)


def _refuse_folder(opened: Opened) -> None:
    why = folder.changeable_by_others(opened.path)
    if why:
        raise Refusal(f"{opened.shown} could be changed by another user while it is signed ({why}): "
                      "sign a copy in a folder only you can change")
    if folder.mount_id(opened.dir_fd) != folder.mount_id(opened.parent_fd):
        raise Refusal(f"{opened.shown} is a mount point, which cannot be exchanged with the signed release: "
                      "copy the release into a folder beside it to sign it")


def entries(s: SignState) -> None:
    opened = known(s.opened)
    odd = folder.odd_entry(opened.dir_fd)
    if odd is not None:
        raise Refusal(f"{opened.shown} holds {quoted(odd)}, which is not a regular file of its own (a link, a "
                      "folder or another kind): a release holds regular files only")


def copy(opened: Opened, name: str) -> bytes:
    """DIR's file NAME, read once, as a release's file is."""
    try:
        return files.read_file(opened.dir_fd, name)
    except Missing:
        raise Refusal(f"{opened.shown} has no {name}: sign a release's dist/ as scripts/release made it") from None
    except Odd:
        raise Refusal(f"{opened.shown}/{name} changed while it was copied: a release holds regular files only") \
            from None
    except Large:
        raise Refusal(f"{opened.shown}/{name} is larger than any file of a release ({files.LARGEST >> 20} MiB): "
                      "this is not the release the build machine made") from None


def copies(s: SignState) -> None:
    # Read once; only these copies are checked and signed.
    opened, work = known(s.opened), known(s.work)
    read = {name: copy(opened, name) for name in files.UNSIGNED}
    made = []
    for half in ("unsigned", "signed"):
        os.mkdir(half, dir_fd=work.fd)
        made.append(folder.open_folder(half, work.fd))
    s.copies = Copies(files=read, unsigned_fd=made[0], signed_fd=made[1])
    try:
        files.write_files(made[0], read)
    except OSError as error:
        raise Refusal(f"cannot copy {opened.shown} to {work.path}: {errno_text(error)}") from None


def room(s: SignState) -> None:
    # The signed release takes as much room again, and a little more: a disk
    # without it is found here, before the key is used.
    needed = sum(-(-len(d) // 4096) * 4 for d in known(s.copies).files.values()) + 256
    space = os.fstatvfs(known(s.work).fd)
    free = space.f_bavail * space.f_frsize // 1024
    if free < needed:
        raise Refusal(f"not enough room beside {known(s.opened).shown} to sign it: {free} KiB free, "
                      f"{needed} KiB needed")


def anchor(s: SignState) -> None:
    got = hashlib.sha256(known(s.copies).files["SHA256SUMS"]).hexdigest()
    if got != s.o.expected:
        raise Refusal(f"{known(s.opened).shown}/SHA256SUMS has the SHA-256 {got}, not the {s.o.expected} given "
                      "with --expect-sha256: this is not the release the build machine made")


def sums_match(s: SignState) -> None:
    read = known(s.copies).files
    if files.sums(read) != read["SHA256SUMS"]:
        raise Refusal(f"{known(s.opened).shown}/SHA256SUMS does not match the files beside it")


def buildinfo(s: SignState) -> None:
    read = known(s.copies).files
    s.unsigned = hashlib.sha256(read["launcher.exe"]).hexdigest()
    recorded = buildinfo_values(read["BUILDINFO"], "launcher-sha256")
    if recorded != [s.unsigned]:
        raise Refusal(f"{known(s.opened).shown}/launcher.exe (SHA-256 {s.unsigned}) is not the build its BUILDINFO "
                      f"records ({' '.join(recorded)}): only an unsigned release is signed")


def bill_of_materials(s: SignState) -> None:
    shown_dir = known(s.opened).shown
    try:
        s.bom = bom.read(known(s.copies).files["launcher.cdx.json"])
        named = bom.unsigned_names(s.bom)
    except NotABom:
        raise Refusal(f"{shown_dir}/launcher.cdx.json is not the bill of materials scripts/release writes") from None
    if named != s.unsigned:
        raise Refusal(f"{shown_dir}/launcher.cdx.json records the build as {named or 'nothing'}, not launcher.exe's "
                      f"{s.unsigned}: only an unsigned release is signed")


def strays(s: SignState) -> None:
    opened = known(s.opened)
    stray = next((n for n in sorted(os.listdir(opened.dir_fd)) if n not in files.UNSIGNED), None)
    if stray is not None:
        raise Refusal(f"{opened.shown} holds {quoted(stray)}, which is not one of an unsigned release's files "
                      f"({' '.join(files.UNSIGNED)}): sign the dist/ scripts/release made and nothing beside it")


def exchange_probe(s: SignState) -> None:
    # A file system that cannot exchange two folders (FAT, some network
    # ones) is refused before the key is used.
    work = known(s.work)
    os.mkdir("probe-a", dir_fd=work.fd)
    os.mkdir("probe-b", dir_fd=work.fd)
    try:
        folder.exchange(work.fd, "probe-a", work.fd, "probe-b")
    except OSError as error:
        raise Refusal(f"the file system of {known(s.opened).shown} cannot exchange two folders in one step "
                      f"({errno_text(error)}): copy the release to a local disk to sign it") from None
