#!/usr/bin/env python3
"""The layout, file contents and manifests of the real-driver test volumes.

scripts/make-real-volumes.sh drives the file-system tools; this helper holds what the volumes
contain and writes the manifests the tests read (tests/support/manifest_scope.h):

    path  type  size  sha256  inode  first_cluster  runs  deleted  note

inode is the MFT record number on NTFS (st_ino on the ntfs-3g mount) and the Sleuth Kit's
inode address on FAT and exFAT; runs is "start+count,..." in clusters as istat showed them
before anything was deleted ("resident" for resident NTFS data, "-" for none, "?" when the
Sleuth Kit no longer sees the file); deleted is 1 for every file or folder the maker deleted.

Subcommands:
    layout dirs|files|deleted-files    the small volumes' folders / files / files removed one
                                       by one (files of a removed folder go with the folder)
    stage ROOT                         writes the small volumes' files and scratch/h0..h9
    bytes PATH SIZE                    the content of one file on stdout
    walk ROOT OUT [--no-inode]         path, type, size, sha256, inode of everything under ROOT
    manifest WALK IMAGE FSTYPE OUT [EARLY]
                                       joins a walk (and the early-deleted files) with fls/istat
    large ROOT OUT                     fills the mounted large NTFS volume, writes its manifest,
                                       then deletes its deleted set
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys

# ---- contents: a deterministic function of the relative path and the size ------------------

_BLOCK_BYTES = 4 << 20
_MIX = 6364136223846793005


def _make_block():
    parts, total, i = [], 0, 0
    while total < _BLOCK_BYTES:
        d = hashlib.sha256(b"make-volumes-pool-%d" % i).digest()
        parts.append(d)
        total += len(d)
        i += 1
    return b"".join(parts)


_BLOCK = None


def file_bytes(rel, size):
    """A header naming the file, then slices of one fixed random block picked by the path."""
    global _BLOCK
    head = f"{rel}:{size}\n".encode()
    if size <= len(head):
        return head[:size]
    if _BLOCK is None:
        _BLOCK = _make_block()
    out = [head]
    left = size - len(head)
    pick = int.from_bytes(hashlib.sha256(rel.encode()).digest()[:8], "little")
    while left > 0:
        start = pick % (len(_BLOCK) - 1)
        piece = _BLOCK[start:start + left]
        out.append(piece)
        left -= len(piece)
        pick = pick * _MIX + 1  # unbounded on purpose: the sequence is part of the contents
    return b"".join(out)


# ---- the small volumes (ntfs-small, fat16, fat32, exfat) ------------------------------------

TARGET = "docs/2"
FRAGMENTED = "docs/2/fragmented-deleted.bin"
GONE = "docs/2/gone"

# (path, deleted) in creation order.
SMALL_DIRS = [
    ("docs", False), ("docs/2", False), ("docs/2/sub", False), ("docs/2/gone", True),
    ("docs/2/gone/deeper", True), ("docs/other", False), ("photos", False),
]
# (path, size, deleted) in creation order; FRAGMENTED is written before the others.
SMALL_FILES = [
    ("docs/readme.txt", 310, False),
    ("docs/2/notes-live-120.txt", 120, False),
    ("docs/2/deleted-resident-450.txt", 450, True),
    ("docs/2/tiny-90.txt", 90, True),
    ("docs/2/deleted-empty.txt", 0, True),
    ("docs/2/deleted-one-cluster-3000.bin", 3000, True),
    ("docs/2/deleted-exact-4096.bin", 4096, True),
    ("docs/2/deleted-exact-8192.bin", 8192, True),
    ("docs/2/deleted-medium-45000.bin", 45000, True),
    ("docs/2/deleted-large-1000000.bin", 1000000, True),
    ("docs/2/live-30000.bin", 30000, False),
    ("docs/2/Ünïcødé naïve résumé €.txt", 500, True),
    ("docs/2/A long file name with spaces, commas and more than sixty-four chars.dat", 5000, True),
    ("docs/2/sub/keep.txt", 200, False),
    ("docs/2/sub/deleted-in-sub.bin", 12000, True),
    ("docs/2/sub/live-700.txt", 700, False),
    ("docs/2/gone/a.txt", 400, True),
    ("docs/2/gone/b.bin", 9000, True),
    ("docs/2/gone/deeper/c.bin", 20000, True),
    ("docs/other/other-deleted.bin", 7000, True),
    ("docs/other/other-live.txt", 300, False),
    ("photos/img001.jpg", 70000, False),
    ("photos/img002.jpg", 123456, True),
    ("docs/2/fragmented-deleted.bin", 39960, True),
]
# Ten 2-cluster files (at 4 KiB clusters); the odd ones are deleted to leave holes that the
# fragmented file then fills.
SCRATCH = [(f"scratch/h{i}", 8192) for i in range(10)]


def cmd_layout(what):
    if what == "dirs":
        rows = [p for p, _ in SMALL_DIRS]
    elif what == "files":
        rows = [p for p, _, _ in SMALL_FILES if p != FRAGMENTED]
    elif what == "deleted-files":
        rows = [p for p, _, d in SMALL_FILES if d and not p.startswith(GONE + "/")]
    else:
        sys.exit(f"unknown layout list: {what}")
    sys.stdout.write("".join(p + "\n" for p in rows))


def cmd_stage(root):
    for rel, _ in SMALL_DIRS:
        os.makedirs(os.path.join(root, rel), exist_ok=True)
    for rel, size in [(p, s) for p, s, _ in SMALL_FILES] + SCRATCH:
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(file_bytes(rel, size))


def cmd_bytes(rel, size):
    sys.stdout.buffer.write(file_bytes(rel, int(size)))


def sha256_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


def cmd_walk(root, out, *flags):
    """Each folder's subfolders, then its files, by name; then the subfolders' contents."""
    with_inode = "--no-inode" not in flags

    def visit(rel_dir, o):
        here = os.path.join(root, rel_dir) if rel_dir else root
        names = sorted(os.listdir(here))
        dirs = [n for n in names if os.path.isdir(os.path.join(here, n))]
        files = [n for n in names if n not in dirs]
        for n in dirs:
            rel = f"{rel_dir}/{n}" if rel_dir else n
            ino = os.lstat(os.path.join(root, rel)).st_ino if with_inode else "?"
            o.write(f"{rel}\td\t-\t-\t{ino}\n")
        for n in files:
            rel = f"{rel_dir}/{n}" if rel_dir else n
            p = os.path.join(root, rel)
            st = os.lstat(p)
            ino = st.st_ino if with_inode else "?"
            o.write(f"{rel}\tf\t{st.st_size}\t{sha256_of(p)}\t{ino}\n")
        for n in dirs:
            visit(f"{rel_dir}/{n}" if rel_dir else n, o)

    with open(out, "w", encoding="utf-8") as o:
        visit("", o)


# ---- what the Sleuth Kit sees on an image ---------------------------------------------------

FLS_LINE = re.compile(r"^(\S)/(\S) (\* )?([0-9]+)(?:-[0-9]+-[0-9]+)?:\t(.*)$")
RUN = re.compile(r"Starting address: (\d+), length: (\d+)")
UNNAMED_DATA = re.compile(r"Type: \$DATA \(128-\d+\)\s+Name: N/A")


def tool(*args, check=True):
    return subprocess.run(list(args), capture_output=True, text=True, check=check).stdout


class Seen:
    def __init__(self, inode, deleted):
        self.inode = inode
        self.deleted = deleted
        self.runs = []  # [(first cluster, count)] or "resident"


def ntfs_runs(istat):
    """Runs of the unnamed $DATA attribute, or "resident"."""
    runs, in_data = [], False
    for line in istat.splitlines():
        if line.startswith("Type: "):
            in_data = bool(UNNAMED_DATA.match(line))
            if in_data and "Resident" in line and "Non-Resident" not in line:
                runs = "resident"
        elif in_data and runs != "resident":
            m = RUN.search(line)
            if m:
                runs.append((int(m.group(1)), int(m.group(2))))
    return runs


def fat_runs(istat, heap_sector, sectors_per_cluster):
    """The sector runs istat -r lists, as clusters (cluster 2 starts the heap)."""
    runs, listing = [], False
    for line in istat.splitlines():
        if line.startswith("Sectors:"):
            listing = True
            continue
        m = RUN.search(line)
        if listing and m:
            sector, count = int(m.group(1)), int(m.group(2))
            runs.append(((sector - heap_sector) // sectors_per_cluster + 2,
                         -(-count // sectors_per_cluster)))
    return runs


def sleuthkit_view(image, fstype):
    """path -> Seen for every named file and folder fls lists (metadata files left out)."""
    f_opt = [] if fstype == "ntfs" else ["-f", fstype]
    geometry = None
    if fstype != "ntfs":
        fs = tool("fsstat", *f_opt, image)
        heap = re.search(r"\*\* (?:Cluster Area|Cluster Heap): (\d+) - ", fs)
        sector = re.search(r"Sector Size: (\d+)", fs)
        cluster = re.search(r"Cluster Size: (\d+)", fs)
        geometry = (int(heap.group(1)), int(cluster.group(1)) // int(sector.group(1)))
    seen = {}
    for line in tool("fls", "-r", "-p", *f_opt, image).splitlines():
        m = FLS_LINE.match(line)
        if not m:
            continue
        path = m.group(5)
        if path.startswith("$") or "(Volume Label Entry)" in path or ":" in path.rsplit("/", 1)[-1]:
            continue
        deleted = m.group(3) is not None
        # A name that is both live and deleted (a reused entry) stands for the live file.
        if deleted and path in seen and not seen[path].deleted:
            continue
        seen[path] = Seen(int(m.group(4)), deleted)
    for s in seen.values():
        istat = tool("istat", "-r", *f_opt, image, str(s.inode), check=False)
        s.runs = ntfs_runs(istat) if geometry is None else fat_runs(istat, *geometry)
    return seen


def read_rows(path):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n").split("\t") for line in f if line.strip()]


MANIFEST_HEADER = "path\ttype\tsize\tsha256\tinode\tfirst_cluster\truns\tdeleted\tnote\n"


def cmd_manifest(walk, image, fstype, out, early=None):
    """Joins the walk of the finished tree (and the files deleted while it was made) with what
    the Sleuth Kit sees on the image before the deleted set is removed."""
    rows = read_rows(walk)
    owner_of_inode = {r[4]: r[0] for r in rows if r[4] != "?"}
    early_rows = read_rows(early) if early else []
    early_paths = {r[0] for r in early_rows}
    deleted_files = {p for p, _, d in SMALL_FILES if d}
    deleted_dirs = [p + "/" for p, d in SMALL_DIRS if d]
    seen = sleuthkit_view(image, fstype)
    live_extents = [(a, a + n, p) for p, s in seen.items()
                    if not s.deleted and isinstance(s.runs, list) for a, n in s.runs]

    with open(out, "w", encoding="utf-8") as o:
        o.write(MANIFEST_HEADER)
        for path, kind, size, sha, inode in rows + early_rows:
            s = seen.get(path)
            if s is None and "/" in path:
                # fls shows a deleted short FAT entry with '_' for its first character (0xE5).
                folder, name = path.rsplit("/", 1)
                s = seen.get(f"{folder}/_{name[1:]}")
            notes = ["deleted-early"] if path in early_paths else []
            if s is None:
                first = runs = "?"
                notes.append("not-seen-by-fls")
                if path in early_paths and inode in owner_of_inode:
                    notes.append("mft-record-reused-by:" + owner_of_inode[inode])
            else:
                if fstype == "ntfs" and inode != "?" and int(inode) != s.inode:
                    notes.append(f"tsk-inode={s.inode}")
                if inode == "?" or fstype != "ntfs":
                    inode = str(s.inode)
                if kind != "f" or not s.runs:
                    first = runs = "-"
                elif s.runs == "resident":
                    first = runs = "resident"
                else:
                    first = str(s.runs[0][0])
                    runs = ",".join(f"{a}+{n}" for a, n in s.runs)
                if kind == "f" and isinstance(s.runs, list) and len(s.runs) > 1:
                    notes.append("fragmented")
                if s.runs == "resident":
                    notes.append("resident")
                if s.deleted:
                    notes.append("deleted-before-snapshot")
                    if isinstance(s.runs, list):
                        users = sorted({p for a, n in s.runs for lo, hi, p in live_extents if a < hi and lo < a + n})
                        if users:
                            notes.append("clusters-reused-by:" + "|".join(users))
            in_deleted_dir = any(path.startswith(d) for d in deleted_dirs)
            deleted = (path in early_paths or path in deleted_files or (s is not None and s.deleted)
                       or in_deleted_dir or path + "/" in deleted_dirs)
            if in_deleted_dir:
                notes.append("in-deleted-folder")
            o.write("\t".join([path, kind, size, sha, inode, first, runs, "1" if deleted else "0",
                               ",".join(notes)]) + "\n")


# ---- the large NTFS volume ------------------------------------------------------------------

GROUPS, LEAVES, PER_LEAF, TARGET_FILES = 50, 60, 33, 1000


def large_size(n):
    """About 70% small enough to stay resident, the rest 1 to 4 clusters."""
    if n % 10 < 7:
        return (n * 7919) % 691
    return 700 + (n * 104729) % 12000


def large_batches():
    """(folder, [(path, size, deleted)], folder deleted whole) in writing order."""
    batches = []
    for leaf in range(GROUPS * LEAVES):
        folder = "tree/g%02d/d%02d" % divmod(leaf, LEAVES)
        files = []
        for i in range(PER_LEAF):
            n = leaf * PER_LEAF + i
            files.append(("%s/f%03d_%06d.dat" % (folder, i, n), large_size(n), n % 10 == 3))
        batches.append((folder, files, leaf % 300 == 17))
    patterns = ["report-%04d.txt", "Image %04d.JPG", "données_%04d.csv", "x%04d"]
    for first in range(0, TARGET_FILES, 100):
        files = [(TARGET + "/" + patterns[i % 4] % i, large_size(i * 31 + 5), i % 2 == 1)
                 for i in range(first, min(TARGET_FILES, first + 100))]
        batches.append((TARGET, files, False))
    return batches


def cmd_large(root, out):
    batches = large_batches()
    for folder, _, _ in batches:
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    folders = []
    for here, subdirs, _ in os.walk(root):
        subdirs.sort()
        for n in subdirs:
            p = os.path.join(here, n)
            folders.append((os.path.relpath(p, root), os.lstat(p).st_ino))
    written = []
    for _, files, _ in batches:
        for rel, size, _ in files:
            data = file_bytes(rel, size)
            fd = os.open(os.path.join(root, rel), os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
            try:
                os.write(fd, data)
                inode = os.fstat(fd).st_ino
            finally:
                os.close(fd)
            written.append((rel, size, hashlib.sha256(data).hexdigest(), inode))
    whole = {folder for folder, _, w in batches if w}
    fate = {rel: (d or w, w) for folder, files, w in batches for rel, _, d in files}
    with open(out, "w", encoding="utf-8") as o:
        o.write(MANIFEST_HEADER)
        for rel, inode in folders:
            gone = rel in whole
            o.write(f"{rel}\td\t-\t-\t{inode}\t-\t-\t{int(gone)}\t{'rm -r' if gone else ''}\n")
        for rel, size, sha, inode in written:
            deleted, in_gone = fate[rel]
            o.write(f"{rel}\tf\t{size}\t{sha}\t{inode}\t-\t-\t{int(deleted)}\t"
                    f"{'in-deleted-folder' if in_gone else ''}\n")
    for folder, files, w in batches:
        if w:
            shutil.rmtree(os.path.join(root, folder))
        else:
            for rel, _, d in files:
                if d:
                    os.unlink(os.path.join(root, rel))
    removed = sum(1 for d, _ in fate.values() if d)
    print(f"large: {len(folders)} folders, {len(fate)} files, {removed} deleted", file=sys.stderr)


COMMANDS = {"layout": cmd_layout, "stage": cmd_stage, "bytes": cmd_bytes, "walk": cmd_walk,
            "manifest": cmd_manifest, "large": cmd_large}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        sys.exit(__doc__)
    COMMANDS[sys.argv[1]](*sys.argv[2:])
