#!/usr/bin/env bash
# bash guard_mounts.sh VORN_BINARY MEDIA_DIR: whatever way the image being read is mounted, "vorn
# -cli" writes nothing into it: loop devices set up where their sysfs path misleads, a loop attached
# after vorn started, file systems over several devices (btrfs, an ext4 journal, an xfs log), a loop
# over a partition of a loop or over an overlay's view, overlayfs, and FUSE (ntfs-3g, also through
# bindfs and in another mount namespace, fusefat, bindfs, unions of folders, a case-insensitive
# volume).
# Every image (and member, and backing file) is byte-identical by sha256 afterwards, the refusal is
# reported, and the rest of the save is done where it may be. Needs root (loop devices, mounts,
# unshare) and /dev/fuse for its FUSE part; skips what is missing, saying so. Exit status 1 when a
# check failed.
set -uo pipefail

vorn=$(realpath "$1")
media=${2:+$(realpath "$2")}
if [ "$(id -u)" != 0 ]; then echo "skip: needs root (loop devices and mounts)"; exit 0; fi
if [ -z "$media" ] || [ ! -f "$media/guard/disk.img" ]; then echo "skip: no MEDIA_DIR/guard"; exit 0; fi
work=$(mktemp -d /tmp/vorn-mounts-XXXXXX)
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null TZ=UTC LC_ALL=C.UTF-8

# Everything mounted or attached here is undone at the end, even after a failure: mounts last made
# first, then the loop devices; the folder is removed without crossing into a mount left over.
mounts=() loops=() servers=()
cleanup() {
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null; done
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null; done
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
mounted() { mounts+=("$1"); }
# attach ARGS...: a loop device, its node in $loop, detached at the end.
attach() { loop=$(losetup -f --show "$@") && loops+=("$loop"); }

failures=0
check() { if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi; }
out="$work/out" err="$work/err"
# run_in FOLDER WORDS...: runs "vorn -cli WORDS" with FOLDER as the current folder.
run_in() { (cd "$1" && "$vorn" -cli "${@:2}" </dev/null >"$out" 2>"$err"); }
has_out() { grep -qF -- "$1" "$out"; }
has_err() { grep -qF -- "$1" "$err"; }
refused() { has_out "error: $1 not written: it is a device or a file that vorn is reading"; }
sha() { sync; sha256sum <"$1"; }
same_bytes() { cmp -s "$1" "$2"; }
# newimg_refused FOLDER IMAGE WHAT: newimg run in FOLDER while reading IMAGE (a copy of guard/disk.img,
# reached through FOLDER): refused, the image intact.
newimg_refused() {
  run_in "$1" img "$2" newimg
  check "$3: newimg refused, the image intact" \
    [ -n "$(has_out "error creating image file!" && same_bytes "$2" "$guard/disk.img" && echo y)" ]
}

guard=$media/guard
# An image of the FAT volume GUARD (its /disk.img named like the image itself, /notes.txt,
# /Docs/inner.txt) followed by an ext4 file system from byte 2 MiB.
mkfs_ok=1
cp "$guard/disk.img" "$work/ext4.img" && truncate -s 8M "$work/ext4.img" &&
  mkfs.ext4 -q -F -E offset=2097152,lazy_itable_init=0,lazy_journal_init=0 "$work/ext4.img" 6M >/dev/null 2>&1 || mkfs_ok=0

# ---- loop devices whose sysfs path misleads -----------------------------------------------------
# over_loop NAME IMAGE: IMAGE's ext4 is mounted from a loop device at NAME/mnt (set up by the
# caller as $loop); r into a folder there, dmp and newimg run there write nothing into the image.
over_loop() {
  local what=$1 image=$2 mnt=$1/mnt
  mkdir -p "$mnt" && mount -o noatime "$loop" "$mnt" && mounted "$mnt" && mkdir "$mnt/out" || {
    echo "FAIL $what: cannot mount the loop device"; failures=$((failures + 1)); return; }
  local before; before=$(sha "$image")
  run_in "$work" img "$image" b ct 0 r "$mnt/out"
  check "$(basename "$what"): r into the mounted ext4 refused" refused "$mnt/out/GUARD"
  run_in "$mnt" img "$image" dmp 0-7 newimg
  check "$(basename "$what"): dmp and newimg run on the mounted ext4 refused" \
    [ -n "$(has_err "error creating dump file!" && has_out "error creating image file!" && echo y)" ]
  check "$(basename "$what"): nothing made on the ext4, the image byte-identical" \
    [ "$(ls -A "$mnt" | tr '\n' ' ')" = "lost+found out " -a -z "$(ls -A "$mnt/out")" -a "$(sha "$image")" = "$before" ]
}

if [ "$mkfs_ok" = 1 ] && losetup -f >/dev/null 2>&1; then
  # Set up in another mount namespace, where the image's folder is seen at another path.
  d=$work/namespace && mkdir -p "$d/img" "$d/elsewhere" && cp "$work/ext4.img" "$d/img/disk.img"
  if loop=$(unshare -m --propagation private sh -c \
    "mount --bind '$d/img' '$d/elsewhere' && losetup -f --show -o 2097152 '$d/elsewhere/disk.img'"); then
    loops+=("$loop")
    over_loop "$d" "$d/img/disk.img"
  else
    echo "skip loop set up in another mount namespace (unshare -m failed)"
  fi

  # Set up through a bind mount that was lazily unmounted since.
  d=$work/lazy && mkdir -p "$d/img" "$d/via" && cp "$work/ext4.img" "$d/img/disk.img"
  mount --bind "$d/img" "$d/via" && attach -o 2097152 "$d/via/disk.img" && umount -l "$d/via" &&
    over_loop "$d" "$d/img/disk.img"

  # An image whose name holds a line break.
  d=$work/newline && mkdir -p "$d/img" && cp "$work/ext4.img" "$d/img/new"$'\n'"line.img"
  attach -o 2097152 "$d/img/new"$'\n'"line.img" && over_loop "$d" "$d/img/new"$'\n'"line.img"
else
  echo "skip loop devices (no losetup, loop device or mkfs.ext4)"
fi

# ---- img /dev/loopN for a loop attached after vorn started ----------------------------------------
d=$work/later && mkdir -p "$d/GUARD" "$d/run" && cp "$guard/disk.img" "$d/GUARD/disk.img" && mkfifo "$d/in"
(cd "$d/run" && "$vorn" -cli -i <"$d/in" >"$out" 2>"$err") &
pid=$!
exec 3>"$d/in"
for _ in $(seq 100); do has_out "interactive mode" && break; sleep 0.1; done
if attach "$d/GUARD/disk.img"; then
  before=$(sha "$d/GUARD/disk.img")
  printf 'img %s\nb\nct 0\nr %s\nq\n' "$loop" "$d" >&3
  exec 3>&-
  wait "$pid"
  check "img of a loop attached after start: the file behind it refused, the rest saved, the file intact" [ -n "$(
    refused "$d/GUARD/disk.img" && same_bytes "$d/GUARD/notes.txt" "$guard/files/notes.txt" &&
    [ "$(sha "$d/GUARD/disk.img")" = "$before" ] && echo y)" ]
else
  exec 3>&-
  wait "$pid"
  echo "skip loop attached after start (no loop device)"
fi

# ---- a RAID set of a loop device and the image behind it -------------------------------------------
# One medium under two names: the set holds the image once, whether the loop device comes from the
# disk list or through img, so newimg writes no more than the image holds.
d=$work/raidloop && mkdir -p "$d" && cp "$guard/disk.img" "$d/card.img"
if attach "$d/card.img"; then
  before=$(sha "$d/card.img") bytes=$(stat -c %s "$d/card.img")
  for how in listed img; do
    rm -f "$d/imagefile.img"
    if [ "$how" = listed ]; then run_in "$d" img card.img raid 2 none 16 "card.img, " 0 "(card.img)" 0 d newimg
    else run_in "$d" img card.img img "$loop" raid 2 none 16 "($(basename "$loop"))" 0 "(card.img)" 0 d newimg; fi
    check "raid of a loop device ($how) and the image behind it: holds and writes the image once, the image intact" [ -n "$(
      has_out "disk selected: RAID" && has_out "- RAID, 2.00 M" && [ "$(stat -c %s "$d/imagefile.img")" = "$bytes" ] &&
      [ "$(sha "$d/card.img")" = "$before" ] && echo y)" ]
  done
  losetup -d "$loop"
else
  echo "skip raid of a loop device and its image (no loop device)"
fi

# ---- devices set up after vorn started -----------------------------------------------------------
# The loop devices listed at start protect their files anyway: these are set up while vorn waits at
# its prompt, so that only what it finds when it writes can hold. Each case lets its mounts and
# loop devices go at its end (a machine has few loop devices). Mounted without access times: vorn
# looking at a folder there is no write of its own.
# started DIR: "vorn -cli -i" runs in DIR, its commands to come on fd 3; send TEXT: the command
# lines, then q, and waits for vorn to end. mark / release: what was mounted and attached since.
started() {
  rm -f "$work/in" && mkfifo "$work/in"
  (cd "$1" && "$vorn" -cli -i <"$work/in" >"$out" 2>"$err") &
  vpid=$!
  exec 3>"$work/in"
  for _ in $(seq 100); do has_out "interactive mode" && break; sleep 0.1; done
}
send() { printf '%s\nq\n' "$1" >&3; exec 3>&-; wait "$vpid"; }
mark() { mounts_at=${#mounts[@]} loops_at=${#loops[@]}; }
release() {
  for ((i = ${#mounts[@]} - 1; i >= mounts_at; i--)); do umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}"; done
  for ((i = ${#loops[@]} - 1; i >= loops_at; i--)); do losetup -d "${loops[i]}" 2>/dev/null; done
  mounts=("${mounts[@]:0:mounts_at}") loops=("${loops[@]:0:loops_at}")
}
# fronted FILE SIZE: the FAT volume GUARD in the first 2 MiB of FILE, SIZE bytes long; what follows
# is a member, a journal or a log of a file system set up below (a loop device from byte 2 MiB).
fronted() { cp "$guard/disk.img" "$1" && truncate -s "$2" "$1"; }
# saved_into MNT IMAGE WHAT: vorn, started before, saves IMAGE's GUARD into MNT/out: refused,
# nothing made there.
saved_into() {
  send "$(printf 'img %s\nb\nct 0\nr %s' "$2" "$1/out")"
  check "$3: refused, nothing made there" [ -n "$(refused "$1/out/GUARD" && [ -z "$(ls -A "$1/out")" ] && echo y)" ]
}
has_fs() { grep -qw "$1" /proc/filesystems && command -v "$2" >/dev/null; }

if losetup -f >/dev/null 2>&1; then
  # btrfs over two loop devices, mirrored: the mount names the first, the image read lies behind
  # the second. (btrfs writes in the background: what it holds is judged, not its sha.)
  d=$work/btrfs && mkdir -p "$d/mnt" && mark
  if has_fs btrfs mkfs.btrfs && fronted "$d/m1.img" 132M && truncate -s 130M "$d/m0.img"; then
    started "$work"
    attach "$d/m0.img" && first=$loop && attach -o 2097152 "$d/m1.img" &&
      mkfs.btrfs -q -f -d raid1 -m raid1 "$first" "$loop" >/dev/null 2>&1 &&
      mount "$first" "$d/mnt" && mounted "$d/mnt" && mkdir "$d/mnt/out" && sync
    saved_into "$d/mnt" "$d/m1.img" "btrfs over two loop devices, the image read behind the one the mount does not name"
    # An ext4 image on a subvolume there (a device number that no mount shows), attached and mounted.
    mkdir -p "$d/inner" && btrfs subvolume create "$d/mnt/sub" >/dev/null && truncate -s 4M "$d/mnt/sub/inner.img" &&
      mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$d/mnt/sub/inner.img" && started "$work" &&
      attach "$d/mnt/sub/inner.img" && mount -o noatime "$loop" "$d/inner" && mounted "$d/inner" && mkdir "$d/inner/out"
    saved_into "$d/inner" "$d/m1.img" "an image on a subvolume of that btrfs, attached and mounted"
  else
    echo "skip btrfs over two devices (no btrfs or mkfs.btrfs)"
  fi
  release

  # ext4 whose journal lies on a loop device over the image read.
  d=$work/journal && mkdir -p "$d/mnt" && mark
  fronted "$d/j.img" 10M && truncate -s 16M "$d/d.img" && started "$work"
  attach -o 2097152 "$d/j.img" && journal=$loop && attach "$d/d.img" &&
    mke2fs -q -F -O journal_dev -b 4096 "$journal" && mkfs.ext4 -q -F -b 4096 -J device="$journal" \
    -E lazy_itable_init=0,lazy_journal_init=0 "$loop" >/dev/null 2>&1 &&
    mount -o noatime "$loop" "$d/mnt" && mounted "$d/mnt" && mkdir "$d/mnt/out" && sync
  before=$(sha "$d/j.img")
  saved_into "$d/mnt" "$d/j.img" "ext4 with its journal in the image read"
  check "ext4 with its journal in the image read: the image byte-identical" [ "$(sha "$d/j.img")" = "$before" ]
  release

  # xfs whose log lies on a loop device over the image read.
  d=$work/xfslog && mkdir -p "$d/mnt" && mark
  if has_fs xfs mkfs.xfs && fronted "$d/l.img" 66M && truncate -s 300M "$d/x.img"; then
    started "$work"
    attach -o 2097152 "$d/l.img" && log=$loop && attach "$d/x.img" &&
      mkfs.xfs -q -f -l logdev="$log",size=64m "$loop" >/dev/null 2>&1 &&
      mount -o noatime,logdev="$log" "$loop" "$d/mnt" && mounted "$d/mnt" && mkdir "$d/mnt/out" && sync
    before=$(sha "$d/l.img")
    saved_into "$d/mnt" "$d/l.img" "xfs with its log in the image read"
    check "xfs with its log in the image read: the image byte-identical" [ "$(sha "$d/l.img")" = "$before" ]
  else
    echo "skip xfs with a log device (no xfs or mkfs.xfs)"
  fi
  release
  rm -f "$d/x.img"

  # A loop device over the ext4 partition of the loop device over two.img: mounted, it holds a save
  # from the image's FAT partition; read as "img /dev/loopX", a dump beside the image, named like it.
  # part_of LOOP N: the node of partition N of LOOP, once the kernel has it. The ext4 of two.img is
  # mounted so that it writes nothing by itself (no access times, no inode tables zeroed later).
  quiet=noatime,noinit_itable
  part_of() {
    [ -b "$1p$2" ] || partx -a "$1" 2>/dev/null
    for _ in $(seq 50); do [ -b "$1p$2" ] && break; sleep 0.1; done
    echo "$1p$2"
  }
  d=$work/overpart && mkdir -p "$d/mnt" "$d/dump" && mark
  cp "$guard/two.img" "$d/two.img" && cp "$guard/two.img" "$d/dump/dmp.raw" && started "$work"
  attach -P "$d/two.img" && attach "$(part_of "$loop" 2)" && mount -o "$quiet" "$loop" "$d/mnt" && mounted "$d/mnt" &&
    mkdir "$d/mnt/out" && sync
  before=$(sha "$d/two.img")
  send "$(printf 'img %s\nctn Part00\nb\nct 0\nr %s' "$d/two.img" "$d/mnt/out")"
  check "a loop over a partition of the loop over the image, mounted: refused, nothing made, the image intact" [ -n "$(
    refused "$d/mnt/out/TWOFAT" && [ -z "$(ls -A "$d/mnt/out")" ] && [ "$(sha "$d/two.img")" = "$before" ] && echo y)" ]
  release && mark
  started "$d/dump"
  before=$(sha "$d/dump/dmp.raw")
  attach -P "$d/dump/dmp.raw" && attach "$(part_of "$loop" 2)" && send "$(printf 'img %s\ndmp 0-7' "$loop")"
  check "img of a loop over a partition of the loop over dmp.raw: the dump beside it refused, the image intact" \
    [ -n "$(has_err "error creating dump file!" && [ "$(sha "$d/dump/dmp.raw")" = "$before" ] && echo y)" ]
  release

  # A loop device over the overlay's view of an image read from the upper folder, mounted.
  d=$work/overloop && mkdir -p "$d/lower" "$d/upper" "$d/work" "$d/merged" "$d/mnt" && mark
  cp "$guard/two.img" "$d/upper/two.img"
  if mount -t overlay overlay -o "lowerdir=$d/lower,upperdir=$d/upper,workdir=$d/work" "$d/merged" 2>/dev/null; then
    mounted "$d/merged" && started "$work"
    attach -o $((6144 * 512)) --sizelimit $((10240 * 512)) "$d/merged/two.img" && mount -o "$quiet" "$loop" "$d/mnt" &&
      mounted "$d/mnt" && mkdir "$d/mnt/out" && sync
    before=$(sha "$d/upper/two.img")
    send "$(printf 'img %s\nctn Part00\nb\nct 0\nr %s' "$d/upper/two.img" "$d/mnt/out")"
    check "a loop over the overlay's view of the image, mounted: refused, nothing made, the image intact" [ -n "$(
      refused "$d/mnt/out/TWOFAT" && [ -z "$(ls -A "$d/mnt/out")" ] && [ "$(sha "$d/upper/two.img")" = "$before" ] &&
      echo y)" ]
  else
    echo "skip loop over an overlay (mount -t overlay failed)"
  fi
  release
else
  echo "skip devices set up after start (no free loop device)"
fi

# An overlay whose upper folder's name holds a comma, a colon and a space (given escaped at mount).
d=$work/oddupper && up="$d/up,p:er x" && mkdir -p "$up" "$d/lower" "$d/work" "$d/merged"
cp "$guard/disk.img" "$up/imagefile.img"
if mount -t overlay overlay -o "lowerdir=$d/lower,upperdir=${up//,/\\,},workdir=$d/work" "$d/merged" 2>/dev/null; then
  mounted "$d/merged"
  newimg_refused "$d/merged" "$up/imagefile.img" "overlay whose upper folder's name holds a comma, in the view"
else
  echo "skip overlay with an odd upper folder (mount -t overlay failed)"
fi

# An overlay whose folders were named relative to where it was mounted from.
d=$work/relover && mkdir -p "$d/lower" "$d/upper" "$d/work" "$d/merged" && cp "$guard/disk.img" "$d/upper/imagefile.img"
if (cd "$d" && mount -t overlay overlay -o lowerdir=lower,upperdir=upper,workdir=work merged 2>/dev/null); then
  mounted "$d/merged"
  newimg_refused "$d/merged" "$d/upper/imagefile.img" "overlay of folders named relative to where it was mounted, in the view"
else
  echo "skip overlay of relative folders (mount -t overlay failed)"
fi

# ---- overlayfs ----------------------------------------------------------------------------------
d=$work/overlay && mkdir -p "$d/lower" "$d/upper/GUARD" "$d/upper/MEMBERS" "$d/work" "$d/merged"
cp "$guard/disk.img" "$d/upper/GUARD/disk.img" && cp "$guard/disk.img" "$d/lower/dmp.raw"
for k in 0 1 2; do cp "$guard/set.m$k.img" "$d/upper/MEMBERS/"; done
if mount -t overlay overlay -o "lowerdir=$d/lower,upperdir=$d/upper,workdir=$d/work" "$d/merged" 2>/dev/null; then
  mounted "$d/merged"
  before=$(sha "$d/upper/GUARD/disk.img")
  run_in "$work" img "$d/upper/GUARD/disk.img" b ct 0 r "$d/merged"
  check "overlay: an image read from the upper folder is refused in the merged view, the rest saved" [ -n "$(
    refused "$d/merged/GUARD/disk.img" && same_bytes "$d/upper/GUARD/notes.txt" "$guard/files/notes.txt" &&
    [ "$(sha "$d/upper/GUARD/disk.img")" = "$before" ] && echo y)" ]
  run_in "$work" img "$d/upper/MEMBERS/set.m0.img" img "$d/upper/MEMBERS/set.m1.img" img "$d/upper/MEMBERS/set.m2.img" \
    d raid 3 forward 16 set.m0 0 set.m1 0 set.m2 0 b ct 0 r "$d/merged"
  check "overlay: a RAID member read from the upper folder is refused in the merged view, the rest saved" [ -n "$(
    refused "$d/merged/MEMBERS/set.m0.img" && same_bytes "$d/upper/MEMBERS/keep.txt" "$guard/files/keep.txt" &&
    for k in 0 1 2; do same_bytes "$d/upper/MEMBERS/set.m$k.img" "$guard/set.m$k.img" || exit; done && echo y)" ]
  run_in "$d/lower" img "$d/merged/dmp.raw" dmp 0-7
  check "overlay: dmp of an image read in the merged view, run in the lower folder, refused" \
    [ -n "$(has_err "error creating dump file!" && same_bytes "$d/lower/dmp.raw" "$guard/disk.img" && echo y)" ]
else
  echo "skip overlayfs (mount -t overlay failed)"
fi

# ---- FUSE ---------------------------------------------------------------------------------------
if [ ! -c /dev/fuse ]; then
  echo "skip FUSE (no /dev/fuse)"
else
  # ntfs-3g over an mkntfs image, dmp run in the mounted volume.
  d=$work/ntfs && mkdir -p "$d/mnt" && truncate -s 8M "$d/ntfs.img"
  if command -v ntfs-3g >/dev/null && mkntfs -q -F -f "$d/ntfs.img" >/dev/null 2>&1 &&
    ntfs-3g "$d/ntfs.img" "$d/mnt" 2>/dev/null; then
    mounted "$d/mnt"
    before=$(sha "$d/ntfs.img")
    run_in "$d/mnt" img "$d/ntfs.img" dmp 0-15 newimg
    check "ntfs-3g: dmp and newimg run in the mounted image refused, the image byte-identical" [ -n "$(
      has_err "error creating dump file!" && has_out "error creating image file!" && [ ! -e "$d/mnt/dmp.raw" ] &&
      umount "$d/mnt" && [ "$(sha "$d/ntfs.img")" = "$before" ] && echo y)" ]
  else
    echo "skip ntfs-3g (no ntfs-3g or mkntfs)"
  fi

  # ntfs-3g over the image and bindfs over the folder of another, each in a mount namespace of its
  # own, reached through /proc/PID/root: mounts that vorn's table does not show.
  # in_namespace COMMAND: runs COMMAND (which mounts at $d/mnt) in a new mount namespace, kept
  # by a process whose id is in $holder; left by unmounting there (the FUSE server lives on there
  # otherwise) and ending the holder.
  in_namespace() {
    unshare -m --propagation private sh -c "$1 && exec sleep 60" &
    holder=$! servers+=("$holder")
    for _ in $(seq 50); do [ "$(stat -f -c %T "/proc/$holder/root$d/mnt" 2>/dev/null)" = fuseblk ] && break; sleep 0.1; done
  }
  leave_namespace() {
    nsenter -t "$holder" -m umount "$d/mnt" 2>/dev/null || nsenter -t "$holder" -m umount -l "$d/mnt"
    kill "$holder" && wait "$holder" 2>/dev/null
  }
  d=$work/ntfsns && mkdir -p "$d/mnt" && truncate -s 8M "$d/ntfs.img"
  if command -v ntfs-3g >/dev/null && mkntfs -q -F -f "$d/ntfs.img" >/dev/null 2>&1; then
    in_namespace "ntfs-3g '$d/ntfs.img' '$d/mnt'"
    before=$(sha "$d/ntfs.img")
    run_in "/proc/$holder/root$d/mnt" img "$d/ntfs.img" dmp 0-15
    refused_there=$(has_err "error creating dump file!" && [ ! -e "/proc/$holder/root$d/mnt/dmp.raw" ] && echo y)
    leave_namespace
    check "ntfs-3g in another mount namespace, through /proc/PID/root: dmp in it refused, the image byte-identical" \
      [ -n "$refused_there" -a "$(sha "$d/ntfs.img")" = "$before" ]
  else
    echo "skip ntfs-3g in another mount namespace (no ntfs-3g or mkntfs)"
  fi
  d=$work/bindns && mkdir -p "$d/real" "$d/mnt" && cp "$guard/disk.img" "$d/real/imagefile.img"
  if command -v bindfs >/dev/null; then
    in_namespace "bindfs '$d/real' '$d/mnt'"
    newimg_refused "/proc/$holder/root$d/mnt" "$d/real/imagefile.img" \
      "bindfs of the image's folder in another mount namespace, through /proc/PID/root"
    leave_namespace
  else
    echo "skip bindfs in another mount namespace (no bindfs)"
  fi

  # fusefat, writable, over the FAT image being read: a FUSE mount with nothing to follow.
  d=$work/fusefat && mkdir -p "$d/mnt" && cp "$guard/disk.img" "$d/card.img" && mmd -i "$d/card.img" ::/rescued
  if command -v fusefat >/dev/null && fusefat -o rw+ "$d/card.img" "$d/mnt" >/dev/null 2>&1; then
    mounted "$d/mnt"
    before=$(sha "$d/card.img")
    run_in "$work" img "$d/card.img" b ct 0 r "$d/mnt/rescued"
    check "fusefat: r into the mounted image refused, the image byte-identical" [ -n "$(
      refused "$d/mnt/rescued/GUARD" && umount "$d/mnt" && [ "$(sha "$d/card.img")" = "$before" ] && echo y)" ]
  else
    echo "skip fusefat (not installed)"
  fi

  # A bindfs view of the image's folder, saved into from the folder and the other way round.
  d=$work/bindfs && mkdir -p "$d/real/GUARD" "$d/view" && cp "$guard/disk.img" "$d/real/GUARD/disk.img"
  if command -v bindfs >/dev/null && bindfs "$d/real" "$d/view" 2>/dev/null; then
    mounted "$d/view"
    before=$(sha "$d/real/GUARD/disk.img")
    run_in "$work" img "$d/real/GUARD/disk.img" b ct 0 r "$d/view"
    check "bindfs: the image refused in the view of its folder, the rest saved" [ -n "$(
      refused "$d/view/GUARD/disk.img" && same_bytes "$d/real/GUARD/notes.txt" "$guard/files/notes.txt" && echo y)" ]
    rm -f "$d/real/GUARD/notes.txt"
    run_in "$work" img "$d/view/GUARD/disk.img" b ct 0 r "$d/real"
    check "bindfs: the image read through the view refused in its own folder, the rest saved" [ -n "$(
      refused "$d/real/GUARD/disk.img" && same_bytes "$d/real/GUARD/notes.txt" "$guard/files/notes.txt" &&
      [ "$(sha "$d/real/GUARD/disk.img")" = "$before" ] && echo y)" ]
  else
    echo "skip bindfs (not installed)"
  fi

  # ntfs-3g reading the image through a bindfs view of its folder: dmp run in the NTFS volume.
  d=$work/ntfsview && mkdir -p "$d/real" "$d/view" "$d/mnt" && truncate -s 8M "$d/real/ntfs.img"
  if command -v ntfs-3g bindfs >/dev/null && mkntfs -q -F -f "$d/real/ntfs.img" >/dev/null 2>&1 &&
    bindfs "$d/real" "$d/view" 2>/dev/null && mounted "$d/view" && ntfs-3g "$d/view/ntfs.img" "$d/mnt" 2>/dev/null; then
    mounted "$d/mnt"
    before=$(sha "$d/real/ntfs.img")
    run_in "$d/mnt" img "$d/real/ntfs.img" dmp 0-15
    check "ntfs-3g through a bindfs view of the image's folder: dmp in it refused, the image byte-identical" [ -n "$(
      has_err "error creating dump file!" && [ ! -e "$d/mnt/dmp.raw" ] && umount "$d/mnt" &&
      [ "$(sha "$d/real/ntfs.img")" = "$before" ] && echo y)" ]
  else
    echo "skip ntfs-3g through bindfs (no ntfs-3g, mkntfs or bindfs)"
  fi

  # Unions of folders in FUSE (mergerfs, unionfs-fuse, fuse-overlayfs): their source names no
  # folder; newimg run in the union, over the image's folder, writes nothing into the image.
  for union in mergerfs unionfs-fuse fuse-overlayfs; do
    d=$work/$union && mkdir -p "$d/a" "$d/b" "$d/work" "$d/mnt" && cp "$guard/disk.img" "$d/a/imagefile.img"
    case $union in
      mergerfs) args=("$d/a:$d/b" "$d/mnt") ;;
      unionfs-fuse) args=(-o cow "$d/a=RW:$d/b=RO" "$d/mnt") ;;
      fuse-overlayfs) args=(-o "lowerdir=$d/b,upperdir=$d/a,workdir=$d/work" "$d/mnt") ;;
    esac
    if command -v "$union" >/dev/null && "$union" "${args[@]}" >/dev/null 2>&1; then
      mounted "$d/mnt"
      newimg_refused "$d/mnt" "$d/a/imagefile.img" "$union over the image's folder, in it"
    else
      echo "skip $union (not installed)"
    fi
  done

  # Loop devices over a file seen through FUSE, attached after vorn started and mounted: an image
  # inside the FAT image being read, mounted with fusefat; the image read, through a mergerfs union
  # of its folder.
  d=$work/nested && mkdir -p "$d/fat" "$d/mnt" "$d/a" "$d/b" "$d/union" "$d/two" && mark
  if command -v fusefat mergerfs >/dev/null && losetup -f >/dev/null 2>&1 && truncate -s 4M "$d/inner.img" &&
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$d/inner.img" &&
    mkfs.fat -C -n OUTER "$d/outer.img" 16384 >/dev/null && mcopy -i "$d/outer.img" "$d/inner.img" ::/INNER.IMG &&
    fusefat -o rw+ "$d/outer.img" "$d/fat" >/dev/null 2>&1 && mounted "$d/fat" &&
    cp "$guard/two.img" "$d/a/two.img" && mergerfs "$d/a:$d/b" "$d/union" && mounted "$d/union"; then
    started "$work"
    attach "$d/fat/INNER.IMG" && mount -o noatime "$loop" "$d/mnt" && mounted "$d/mnt" && mkdir "$d/mnt/out" && sync
    before=$(sha "$d/outer.img")
    send "$(printf 'img %s\nb\nct 0\nr %s' "$d/outer.img" "$d/mnt/out")"
    check "a loop over an image inside the FAT image read, mounted through fusefat: refused, nothing made, the image intact" \
      [ -n "$(refused "$d/mnt/out/OUTER" && [ -z "$(ls -A "$d/mnt/out")" ] && [ "$(sha "$d/outer.img")" = "$before" ] && echo y)" ]
    started "$work"
    attach -o $((6144 * 512)) --sizelimit $((10240 * 512)) "$d/union/two.img" &&
      mount -o noatime,noinit_itable "$loop" "$d/two" && mounted "$d/two" && mkdir "$d/two/out" && sync
    before=$(sha "$d/a/two.img")
    send "$(printf 'img %s\nctn Part00\nb\nct 0\nr %s' "$d/a/two.img" "$d/two/out")"
    check "a loop over the image through a mergerfs union of its folder, mounted: refused, nothing made, the image intact" \
      [ -n "$(refused "$d/two/out/TWOFAT" && [ -z "$(ls -A "$d/two/out")" ] && [ "$(sha "$d/a/two.img")" = "$before" ] && echo y)" ]
  else
    echo "skip loops over files seen through FUSE (no fusefat, mergerfs or free loop device)"
  fi
  release

  # A case-insensitive FUSE volume (fusefat over a FAT image holding /GUARD/DISK.IMG): saving
  # GUARD/disk.img next to it, which FUSE gives another inode number.
  d=$work/nocase && mkdir -p "$d/mnt" && mkfs.fat -C -i 6A4D0009 -n NOCASE "$d/outer.img" 8192 >/dev/null &&
    mmd -i "$d/outer.img" ::/GUARD && mcopy -i "$d/outer.img" "$guard/disk.img" ::/GUARD/DISK.IMG
  if command -v fusefat >/dev/null && fusefat -o rw+ "$d/outer.img" "$d/mnt" >/dev/null 2>&1; then
    mounted "$d/mnt"
    run_in "$work" img "$d/mnt/GUARD/DISK.IMG" b ct 0 r "$d/mnt"
    umount "$d/mnt"
    check "case-insensitive FUSE: disk.img refused beside DISK.IMG being read, the image byte-identical" [ -n "$(
      refused "$d/mnt/GUARD/disk.img" && mcopy -n -i "$d/outer.img" ::/GUARD/DISK.IMG - | cmp -s - "$guard/disk.img" &&
      echo y)" ]
  else
    echo "skip case-insensitive FUSE volume (no fusefat)"
  fi
fi

echo
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
