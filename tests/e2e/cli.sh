#!/usr/bin/env bash
# bash cli.sh VORN_BINARY [MEDIA_DIR]: drives "vorn -cli" on images made here by real tools and
# checks what a user sees and gets back; exit status 1 when a check failed.
set -uo pipefail

vorn=$(realpath "$1")
media=${2:+$(realpath "$2")}
source_root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/vorn-e2e-XXXXXX)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null TZ=UTC SOURCE_DATE_EPOCH=1700000000 LC_ALL=C.UTF-8

failures=0
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() { if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi; }
run_dir="$work/run" out="$work/out" err="$work/err"
# v WORDS...: runs "vorn -cli WORDS" in a fresh working folder (dmp.raw and imagefile.img are
# written there), with $VIN (empty by default) on standard input; with $GUARD set, stopped after
# that many seconds (status 124), a guard against a hang.
v() {
  rm -rf "$run_dir" && mkdir -p "$run_dir"
  local guard=()
  [ -n "${GUARD:-}" ] && guard=(timeout "$GUARD")
  (cd "$run_dir" && printf '%s' "${VIN:-}" | "${guard[@]}" "$vorn" -cli "$@" >"$out" 2>"$err")
  status=$?
}
has_out() { grep -qF -- "$1" "$out"; }
has_err() { grep -qF -- "$1" "$err"; }
no_out() { ! grep -qF -- "$1" "$out"; }
not() { ! "$@"; }
refused() { has_out "error: $1 not written: it is a device or a file that vorn is reading"; }
# err_is TEXT: standard error holds TEXT besides the memory line of the start.
err_is() { [ "$(grep -v '^Real Memory available: ' "$err")" = "$1" ]; }
# The item chosen last ("tree item selected: NAME").
selected_name() { grep 'tree item selected: ' "$out" | tail -n 1 | sed 's/^tree item selected: //'; }
# same_tree ORIGINAL SAVED: the saved root holds the original files byte for byte (the empty
# file a FAT root lists for its volume label is set aside first).
same_tree() {
  local label; label="$2/$(basename "$2")"; [ -f "$label" ] && [ ! -s "$label" ] && rm -f "$label"; diff -r "$1" "$2"; }
help_of() { sed -n '/^---commands/,/^--------------------------------------$/p' "$out"; }

# ---- media -----------------------------------------------------------------
src="$work/src"
mkdir -p "$src/Docs/Sub" "$src/Pictures"
printf 'hello from vorn\n' >"$src/hello.txt"
printf 'a file with a long name\n' >"$src/A name with spaces.txt"
python3 -c "import random, sys; random.seed(7); sys.stdout.buffer.write(random.randbytes(150000))" >"$src/Docs/report.bin"
printf 'five levels down\n' >"$src/Docs/Sub/deep.txt"
convert -size 320x240 -seed 5 plasma:red-blue -strip -quality 90 "$src/Pictures/kept.jpg"
convert -size 640x480 -seed 9 plasma:green-yellow -strip -quality 90 "$work/gone.jpg"
find "$src" "$work/gone.jpg" -exec touch -d @"$SOURCE_DATE_EPOCH" {} +

# fill_fat IMAGE: copies $src in, then gone.jpg, which is deleted again (its clusters keep it).
fill_fat() {
  mcopy -s -m -i "$1" "$src"/* ::/
  mcopy -m -i "$1" "$work/gone.jpg" ::/Pictures/
  mdel -i "$1" ::/Pictures/gone.jpg
}
fat="$work/e2e.img"
mkfs.fat -C -i E2E00001 -n E2EVOLUME "$fat" 4096 >/dev/null
fill_fat "$fat"
blocks=$(($(stat -c %s "$fat") / 512))

# A partitioned disk: a FAT volume in partition 1, partition 2 left empty.
mkfs.fat -C -i E2E00002 -n PARTVOL "$work/p1.img" 8192 >/dev/null && fill_fat "$work/p1.img"
disk="$work/disk.img"
truncate -s 24M "$disk"
printf 'start=2048, size=16384, type=6\nstart=18432, type=83\n' | sfdisk -q "$disk" >/dev/null
dd if="$work/p1.img" of="$disk" bs=512 seek=2048 conv=notrunc status=none

# ---- start, help, unknown words, missing arguments ---------------------------
(cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$vorn" >"$out" 2>"$err"); status=$?
check "without -cli and without a display: status 1, one line on standard error naming vorn -cli" \
  [ "$status" = 1 -a ! -s "$out" -a "$(wc -l <"$err")" = 1 -a -n "$(grep -F 'vorn -cli' "$err")" ]

v
check "-cli: the memory line on standard error" grep -qE '^Real Memory available: [0-9]+ KB$' "$err"
check "-cli: the empty disk list" has_out $'-----------tree model dump-----------\n+-[0]- Disks\n-------------------------------------\n(run with command \'h\' for help)'
check "-cli: status 0, ends with bye" [ "$status" = 0 -a "$(tail -c 21 "$out")" = $'bye\ndestroying CmdApp' ]

v h
check "h: the help text, its example with one backslash and its typo" [ -n "$(has_out '-cli img C:\case1.img b' &&
  has_out "img [file]      add disk image to disk selection and choose it" && has_out "dump bock range" && echo y)" ]
check "h: 42 lines from ---commands on" [ "$(help_of | wc -l)" = 42 ]
help_text=$(help_of)
(cd "$work" && "$vorn" -h >"$out" 2>"$err")
check "-h: the same help" [ "$(help_of)" = "$help_text" ]

v $'frob\e' img "$fat" b
check "unknown word: the error, escaped" err_is 'error: unknown command (frob\x1B)'
check "unknown word: no word is run" no_out "disk selected"

for word in img x cmp dmp cl ct ctn r raidsim raid; do
  v img "$fat" "$word"
  check "$word without its argument does nothing" err_is ""
done

v x 0 sd test raidsim 2 none 16 0 cl 0 cl -1
check "no disk: x and raidsim refuse" err_is $'error: no disk selected!\nerror: no disk selected'
check "no disk: sd and test refuse, no tree and no table item" [ "$(grep -c 'model dump' "$out")" = 1 -a \
  -n "$(has_out 'error: no disk selected' && has_out 'error: not disk selected!' && echo y)" ]

v img "$work/no such.img" img "$work" x 0
check "img of a missing file or a folder: the errors" \
  [ -n "$(has_out "error opening file $work/no such.img" && has_out "error opening file $work" && echo y)" ]
check "img that cannot be opened: nothing is chosen" err_is "error: no disk selected!"

# ---- a FAT image: browse, tables, indexes, recover ---------------------------
ln -s "$fat" "$work/bad"$'\e'"[2J.img"
v img "$fat" img "$work/bad"$'\e'"[2J.img" d
check "img: the image is chosen" has_out $'disk selected: Image file (e2e.img)'
check "img: the disk tree" grep -qE "^  \+-\[0\.[0-9]+\]- Image file \(e2e\.img\), 4\.00 M$" "$out"
check "control characters in names are escaped" \
  [ -n "$(has_out 'Image file (bad\x1B[2J.img)' && not grep -q $'\e' "$out" && echo y)" ]

v img "$fat" b
check "b: the volume root" grep -qE '^\+-\[0\]- .+ \([0-9]+\)$' "$out"
check "b: the folders one level down, no deeper" \
  [ -n "$(has_out "  +-[0.0]- " && no_out "    +-[0.0.0]-" && echo y)" ]

v img "$fat" b ct 0
check "ct 0: the table header" \
  has_out "[-1]  Name                           Size  Type      Date modified               ID  "
check "ct 0: the file rows" [ -n "$(grep -qE '^\[[0-9]+\]  hello\.txt {16}  ' "$out" && has_out "A name with spaces.txt" && echo y)" ]
root_name=$(selected_name)

v img "$fat" b ct 0 ct 1 ct 0.99 ct 0.-1 ct 0.4294967296 ct 0..0 cl 99 cl -1 cl first
nothing=$'error: invalid tree index!\nerror: nothing selected!\n'
check "bad tree and table indexes: the errors" err_is "$nothing$nothing$nothing$nothing"$'error: nothing selected!
error: invalid table index!
error: invalid table index!'
check "cl with text: row 0" has_out "table item selected: "

v img "$fat" b ctn Sub
check "ctn: the folder found by name, its table" [ -n "$(has_out "tree item selected: Sub" && has_out deep.txt && echo y)" ]
check "ctn: the way to it is expanded" grep -qE '^    \+-\[0\.[0-9]+\.0\]- Sub \(1\)$' "$out"

v img "$fat" b ct 0 r "$work/saved"
check "r of the root: the files are byte-identical" same_tree "$src" "$work/saved/$root_name"
check "r: each file is reported" has_out "recovering file $work/saved/$root_name/hello.txt"

v img "$fat" b ctn Docs
row=$(grep -E '^\[[0-9]+\]  report\.bin ' "$out" | grep -o '^\[[0-9]*\]' | tr -d '[]')
v img "$fat" b ctn Docs cl "$row" r "$work/one"
check "cl: one table item" has_out "table item selected: report.bin"
check "cl + r: only that file, byte-identical" \
  [ "$(cd "$work/one" && find . -type f)" = "./report.bin" -a -n "$(cmp -s "$src/Docs/report.bin" "$work/one/report.bin" && echo y)" ]

for again in b sd sf sv "img $fat"; do
  rm -rf "$work/none"
  # shellcheck disable=SC2086 # "img FILE" is two words
  v img "$fat" b ct 0 ctn Docs $again r "$work/none"
  check "$again drops the selection: r saves nothing" [ -z "$(ls -A "$work/none" 2>/dev/null)" ]
done

v img "$fat" b ct 0 r "$fat"
check "r onto a file: an error, nothing written" has_err "cannot create folder"

# ---- scans -----------------------------------------------------------------
v img "$fat" sd ct 0 r "$work/deleted"
check "sd: the Deleted tree" grep -qE '^\+-\[0\]- Deleted \([0-9]+\)$' "$out"
# A JPEG carries no length: the carved file runs on, so the picture is its first bytes.
gone_size=$(stat -c %s "$work/gone.jpg")
recovered=$(find "$work/deleted" -type f -exec cmp -s -n "$gone_size" "$work/gone.jpg" {} \; -print | head -n 1)
check "sd + r: the deleted picture comes back byte for byte, as a JPEG" [ -n "$recovered" -a "${recovered%.jpg}" != "$recovered" ]

v img "$fat" sf
check "sf: the Lost tree, dumped two levels deep" \
  [ -n "$(grep -qE '^\+-\[0\]- Lost \([0-9]+\)$' "$out" && not grep -qE '^      \+-' "$out" && echo y)" ]
v img "$fat" sv
check "sv: the scan ends" has_out "scan finished"

# ---- partitions --------------------------------------------------------------
v img "$disk" d
part=$(grep -E '^    \+-\[0\.[0-9]+\.0\]- .*, 8\.00 M$' "$out" | grep -o '\[[0-9.]*\]' | tr -d '[]')
check "partitioned image: the disk and partition 1 in the tree" [ -n "$part" -a -n "$(has_out "Image file (disk.img), 24.00 M" && echo y)" ]
v img "$disk" d ct "$part" b ct 0 r "$work/part"
check "partition: its files are byte-identical" same_tree "$src" "$work/part/$(selected_name)"

# ---- HFS Plus: a macOS volume saved with its resource fork; a lost volume found by sv and browsed --------
if [ -n "$media" ] && [ -f "$media/hfsplus_macos.img" ]; then
  v img "$media/hfsplus_macos.img" b ct 0 r "$work/mac"
  check "HFS Plus: a hard link saved with its file's bytes" [ "$(cat "$work/mac/hfsplus_test/file_hardlink1")" = "Keramics" ]
  check "HFS Plus: the resource fork saved as AppleDouble ._name" \
    [ "$(tail -c 17 "$work/mac/hfsplus_test/testdir1/._resourcefork1")" = "My resource fork" ]
  { head -c $((601 * 512)) /dev/urandom; cat "$media/hfs_gen.img"; head -c 65536 /dev/zero; } >"$work/lost.img"
  v img "$work/lost.img" sv d
  lost=$(grep -E '^ +\+-\[[0-9.]+\]- GenVol, 2\.00 M$' "$out" | tail -n 1 | grep -o '\[[0-9.]*\]' | tr -d '[]')
  check "sv: an HFS Plus volume at sector 601 becomes a lost volume" [ -n "$lost" ]
  v img "$work/lost.img" sv d ct "$lost" b ct 0 r "$work/lost"
  check "sv, then browsed: its files come back" cmp -s "$work/lost/GenVol/Docs/Sub/deep.txt" <(icat "$media/hfs_gen.img" 24)
fi

# ---- diagnostics ---------------------------------------------------------------
v img "$fat" x 0 x "$blocks" x -1
check "x: the hexdump with the boot sector signature" grep -qE '^  496 000001f0  .* 55 aa  ' "$out"
check "x: the entropy, and out of range twice" err_is $'entropy: '"$(grep -oE '0\.[0-9]{3}$' "$err")"$'\nerror: block out of range!\nerror: block out of range!'

v img "$fat" dmp 5-6 newimg
check "dmp: the message" err_is "dumping sectors 5-6 to dmp.raw"
check "dmp: the blocks" cmp -s "$run_dir/dmp.raw" <(tail -c +2561 "$fat" | head -c 1024)
check "newimg: a byte-identical image" cmp -s "$run_dir/imagefile.img" "$fat"
v img "$fat" dmp 5-5
check "dmp 5-5: one block" cmp -s "$run_dir/dmp.raw" <(tail -c +2561 "$fat" | head -c 512)
v img "$fat" dmp 7-5
check "dmp 7-5: an empty file" [ -f "$run_dir/dmp.raw" -a ! -s "$run_dir/dmp.raw" ]
last=$((blocks - 1))
v img "$fat" dmp "$last-$((blocks + 1))" dmp 12 dmp -1-2
check "dmp partly past the end and bad ranges: the lines" err_is "blocks $last-$((blocks + 1)) cut to $last-$last: the disk ends at block $last
dumping sectors $last-$last to dmp.raw
error: incorrect range
error: incorrect range"
v img "$fat" dmp 0-99999999
check "dmp of a huge range: the whole disk, no more" cmp -s "$run_dir/dmp.raw" "$fat"
v img "$fat" dmp "$blocks-99999999"
check "dmp wholly past the end: one line, nothing written" [ -n "$(err_is "error: blocks $blocks-99999999 lie past the end \
of the disk ($blocks blocks); nothing dumped" && echo y)" -a ! -e "$run_dir/dmp.raw" ]

cp "$fat" "$work/dmp.raw" && cp "$fat" "$work/imagefile.img"
(cd "$work" && "$vorn" -cli img dmp.raw dmp 0-1 img imagefile.img newimg >"$out" 2>"$err")
check "dmp and newimg onto the image being read: the errors" \
  [ -n "$(has_err "error creating dump file!" && has_out "error creating image file!" && echo y)" ]
check "dmp and newimg never overwrite the image being read" \
  [ -n "$(cmp -s "$work/dmp.raw" "$fat" && cmp -s "$work/imagefile.img" "$fat" && echo y)" ]
(cd "$work" && "$vorn" -cli img dmp.raw img imagefile.img img e2e.img dmp 0-1 newimg >"$out" 2>"$err")
check "dmp and newimg onto images listed but not chosen: refused, the images intact" [ -n "$(
  has_err "error creating dump file!" && refused imagefile.img && cmp -s "$work/dmp.raw" "$fat" &&
  cmp -s "$work/imagefile.img" "$fat" && echo y)" ]
rm -f "$work/dmp.raw" "$work/imagefile.img"

cp "$fat" "$work/copy.img"
printf 'X' | dd of="$work/copy.img" bs=1 seek=$((100 * 512 + 7)) conv=notrunc status=none
v img "$work/copy.img" img "$fat" cmp e2e.img cmp copy.img cmp nothing
check "cmp with itself, a changed copy and an unknown disk" \
  [ "$(grep -E '^different|^error' "$err" | tr '\n' '|')" = "different: 0, errors: 0|different: 1, errors: 0|error: no disk|" ]

truncate -s 320M "$work/big.img"
v img "$work/big.img" test
check "test: passes on a large disk, three request sizes" \
  [ -n "$(has_err "Unit Tests finished successfully!" && echo y)" -a "$(grep -c '^requestSize' "$err")" = 3 ]
v img "$fat" test
check "test: stops at the end of a small disk" has_err "failed: getOfsData failed"
genisoimage -quiet -o "$work/cd.iso" "$src/Docs"
v img "$work/cd.iso" test
check "test on 2048-byte blocks: no smaller requests" \
  [ -n "$(has_err 'requestSize: 32768, blocksPerRequest: 16 ' && not grep -qE '^requestSize: (512|1024),' "$err" && echo y)" ]

# ---- RAID ------------------------------------------------------------------------
# One set line for the generator: name, source, source blocks, members, rotation, stripe, first sector.
echo "set e2e.img $blocks 3 backwarddyn 16 0" | python3 "$source_root/tests/fixtures/raid_stripe.py" "$work" "$work"
members=(img "$work/set.m0.img" img "$work/set.m1.img" img "$work/set.m2.img")
v img "$fat" "${members[@]}" d raid 3 backwarddyn 16 set.m0 0 set.m1 0 set.m2 0 cmp e2e.img b
check "raid: chosen, reads the source back" [ -n "$(has_out "disk selected: RAID" && has_err "different: 0, errors: 0" && echo y)" ]
check "raid: the volume on it" grep -qE '^  \+-\[0\.[0-9]+\]- Pictures \(' "$out"

v img "$fat" "${members[@]}" d raid 3 backwarddyn 16 set.m0 0 missing 0 set.m2 0 cmp e2e.img
check "raid with a missing member: the message, parity fills it in" \
  [ -n "$(has_err "error: cannot add disk" && has_err "different: 0, errors: 0" && echo y)" ]

v img "$fat" "${members[@]}" d raid 3 backwarddyn 16 nothing 0 nowhere 0 none 0 b
check "raid without members: one message, nothing chosen" \
  [ -n "$(err_is "error: no RAID member found" && no_out "disk selected: RAID" && echo y)" ]
v img "$fat" raid 2 none 0 e2e 0 e2e 0 raid 1 none 16 e2e 0 raidsim 1 none 16 0 raidsim 15 none 16 0 \
  raidsim 300 none 16 0 raidsim 2 none 0 0 raidsim 2 none 16 -5 d
check "raid and raidsim outside their ranges: refused" err_is "error: invalid stripe size (0)!
error: invalid disk count (1)!
error: invalid disk count (1)!
error: invalid disk count (15)!
error: invalid disk count (300)!
error: invalid stripe size (0)!
error: invalid start sector (-5)!"
check "raid and raidsim outside their ranges: nothing made, later words run" \
  [ "$(grep -c 'tree model dump' "$out")" = 2 -a -n "$(no_out SimDisk && no_out RAID && echo y)" ]

v img "$fat" raidsim 3 forward 16 0 d raid 3 forward 16 SimDisk00 0 SimDisk01 0 SimDisk02 0 cmp e2e.img b ct 0 \
  r "$work/raidsim"
check "raidsim + raid: the members, reads the source back" [ -n "$(has_out SimDisk02 && has_err "different: 0, errors: 0" && echo y)" ]
check "raidsim + raid: the files are byte-identical" same_tree "$src" "$work/raidsim/$(selected_name)"
# Nothing made up: a simulated member is no larger than its source, and a set holds no more
# than what its members read; newimg and dmp write no more than the image holds.
v img "$fat" raidsim 3 forward 16 1000000000 raidsim 2 none 16 "$blocks" d
check "raidsim from a start past the disk's end: one line each, no members" [ -n "$(err_is "error: start sector 1000000000 lies past the end of the disk ($blocks blocks)!
error: start sector $blocks lies past the end of the disk ($blocks blocks)!" && no_out SimDisk && echo y)" ]
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
sizes=() cut_line= set_part=
for pick in "ctn SimDisk00" "ctn SimDisk01" "ctn SimDisk02" "raid 3 forward 65536 SimDisk00 0 SimDisk01 0 SimDisk02 0" \
  "raid 3 none 16 e2e 0 missing 0 missing 0" "raid 2 none 16 e2e 0 e2e 0"; do
  v img "$fat" raidsim 3 forward 65536 0 $pick newimg dmp 0-999999
  made=$(size_of "$run_dir/imagefile.img")
  sizes+=("$made" "$(size_of "$run_dir/dmp.raw")")
  case $pick in
    ctn*) [ "$pick" = "ctn SimDisk00" ] && has_err "blocks 0-999999 cut to 0-$((made / 512 - 1))" && cut_line=y ;;
    raid\ 3\ forward*) [ "$made" -gt 0 ] && cmp -s -n "$made" "$fat" "$run_dir/imagefile.img" && set_part=y ;;
  esac
done
check "raidsim with a stripe larger than the disk: newimg and dmp of a member or a set stay within the image" \
  [ -n "$(for n in "${sizes[@]}"; do [ "$n" -gt 0 ] && [ "$n" -le $((blocks * 512)) ] || exit; done && echo y)" ]
check "raidsim: dmp past a member's end is cut where the member ends" [ -n "$cut_line" ]
check "raidsim with a stripe larger than the disk: the set reads the image's first blocks back" [ -n "$set_part" ]
# Without parity a lacking member reads as zeros: a second set must not keep
# the first set's member.
v img "$fat" raidsim 2 none 8 0 raid 2 none 8 SimDisk00 0 SimDisk01 0 raid 2 none 8 SimDisk00 0 nothing 0 cmp e2e.img
check "a second raid starts without the first one's members" grep -qE '^different: [1-9]' "$err"
# Sets of other layouts are listed side by side, and choosing one chooses that set.
two=(raid 3 forward 16 set.m0 0 set.m1 0 set.m2 0 raid 3 backwarddyn 16 set.m0 0 set.m1 0 set.m2 0
  raid 3 forward 16 set.m0 0 set.m1 0 set.m2 0 d)
v img "$fat" "${members[@]}" "${two[@]}"
raids=($(grep -oE '^  \+-\[0\.[0-9]+\]- RAID,' "$out" | grep -oE '0\.[0-9]+'))
check "two raid layouts: both listed, the same one once" [ "${#raids[@]}" = 2 ]
v img "$fat" "${members[@]}" "${two[@]}" ct "${raids[1]}" cmp e2e.img ct "${raids[0]}" cmp e2e.img
check "two raid layouts: choosing one reads that set" \
  [ -n "$(grep -E '^different: ' "$err" | cut -d, -f1 | tr '\n' ' ' | grep -E '^different: 0 different: [1-9][0-9]* $')" ]

if [ -n "$media" ] && [ -f "$media/raid/fat.m3.img" ]; then
  v img "$media/raid/fat.img" img "$media/raid/fat.m0.img" img "$media/raid/fat.m1.img" \
    img "$media/raid/fat.m2.img" img "$media/raid/fat.m3.img" d \
    raid 4 auto 8 fat.m0 0 fat.m1 0 fat.m2 0 fat.m3 0 cmp "fat.img)" b
  check "raid auto: the layout is found" has_err "different: 0, errors: 0"
  check "raid auto: the volume on it" has_out "Pictures ("
else
  echo "skip raid auto (no MEDIA_DIR/raid)"
fi
if [ -n "$media" ] && [ -f "$media/raidfat/c4.m2.img" ]; then
  # As a user would: find the layout, browse, recover; then the same from the volume itself.
  set=$media/raidfat/c4
  v img "$set.m0.img" img "$set.m1.img" img "$set.m2.img" raid 3 auto 8 c4.m0 0 c4.m1 0 c4.m2 0 b ct 0 r "$work/auto"
  v img "$media/raidfat/fat16.img" b ct 0 r "$work/plain"
  check "raid auto, b and r: every file back byte for byte" \
    [ -n "$(diff -r "$work/plain"/* "$work/auto"/* >/dev/null && find "$work/auto" -type f -print -quit)" ]
fi
if [ -n "$media" ] && [ -f "$media/fatchain/mirror16.m1.img" ]; then
  # Two identical members, as a mirrored pair gives them, holding 8,192 files along one chain: every
  # layout with parity reads the volume, so the answer comes at once (it took minutes).
  m=$media/fatchain
  GUARD=60 v img "$m/mirror16.img" img "$m/mirror16.m0.img" img "$m/mirror16.m1.img" d \
    raid 2 auto 64 mirror16.m0 0 mirror16.m1 0 cmp "mirror16.img)" b
  check "raid auto over identical members: ends, reads the volume back" \
    [ "$status" = 0 -a -n "$(has_err "different: 0, errors: 0" && has_out "DOCS (6)" && has_out "BIG (8193)" && echo y)" ]
  # 4,096 files along one chain, each claiming 4 GiB: each is cut where the chain ends.
  GUARD=60 v img "$m/big32.img" b ct 0.0
  check "a folder of files along one chain: listed, each file ending with the chain" [ "$status" = 0 -a -n "$(
    [ "$(grep -cE '^\[[0-9]+\]  E0[0-9]{4}\.BIN ' "$out")" = 4096 ] &&
    grep -qE '^\[0\]  E00000\.BIN +15000 KB ' "$out" && grep -qE '^\[4095\]  E04095\.BIN +4 KB ' "$out" && echo y)" ]
else
  echo "skip identical RAID members and FAT chains (no MEDIA_DIR/fatchain)"
fi

# ---- nothing is written onto what is read ----------------------------------------------------
if [ -n "$media" ] && [ -f "$media/guard/disk.img" ]; then
  g=$work/guard image=$work/guard/GUARD/disk.img
  mkdir -p "$g/GUARD" "$g/MEMBERS" && cp "$media/guard/disk.img" "$image" && chmod 444 "$image"
  v img "$image" b ct 0 r "$g"
  check "r into the image's folder: the file named like it refused, the image intact, the rest saved" [ -n "$(
    refused "$image" && cmp -s "$image" "$media/guard/disk.img" &&
    cmp -s "$g/GUARD/notes.txt" "$media/guard/files/notes.txt" && echo y)" ]

  for k in 0 1 2; do cp "$media/guard/set.m$k.img" "$g/MEMBERS/"; done
  v img "$g/MEMBERS/set.m0.img" img "$g/MEMBERS/set.m1.img" img "$g/MEMBERS/set.m2.img" d \
    raid 3 forward 16 set.m0 0 set.m1 0 set.m2 0 b ct 0 r "$g"
  check "RAID: the file named like a member refused, the members intact, the other file saved" [ -n "$(
    refused "$g/MEMBERS/set.m0.img" && cmp -s "$g/MEMBERS/keep.txt" "$media/guard/files/keep.txt" &&
    for k in 0 1 2; do cmp -s "$g/MEMBERS/set.m$k.img" "$media/guard/set.m$k.img" || exit; done && echo y)" ]
else
  echo "skip write guard checks (no MEDIA_DIR/guard)"
fi

# ---- interactive mode ----------------------------------------------------------------
VIN="img $fat"$'\nb\n\nctn '"$(printf '%0300d' 0)"$'\nq\nh\n' v -i
check "-i: the interactive line, words from the prompt run" [ -n "$(has_out "disk selected: Image file (e2e.img)" &&
  has_out "interactive mode ('h' for help, 'q' to quit)" && echo y)" ]
check "-i: a long line is one command" err_is "error: nothing selected!"
check "-i: nothing after q, then bye" [ -n "$(no_out "---commands" && has_out "> bye" && echo y)" ]
VIN=$'h\n' v -i
check "-i: the end of input ends it after the last line" \
  [ "$status" = 0 -a -n "$(has_out "---commands" && has_out $'--------------------------------------\n> bye' && echo y)" ]

# ---- the medium being recovered is never a target ---------------------------------------
# The disk list's own dump names each disk's node: "N: disk name=..., path=/dev/X, ...".
device=$(df --output=source "$work" | tail -n 1)
whole=/dev/$(lsblk -no pkname "$device" 2>/dev/null | head -n 1)
[ "$whole" = /dev/ ] && whole=$device
v
number=$(grep -E "^[0-9]+: disk name=.*, path=$whole, " "$out" | head -n 1 | cut -d: -f1)
if [ -b "$device" ] && [ -r "$device" ] && [ -n "$number" ]; then
  v ct "0.$number" r "$work/on-device" dmp 0-0 newimg
  check "r, dmp and newimg onto the disk being recovered: refused, nothing written" \
    [ -n "$(has_err "lies on the medium being recovered" && echo y)" -a ! -e "$work/on-device" \
    -a ! -e "$run_dir/dmp.raw" -a ! -e "$run_dir/imagefile.img" ]
else
  echo "skip device target check (the work folder's disk $whole is not in the disk list)"
fi

# ---- a folder chain over a file system inside the image being read (root, loop devices) -----
# two.img: a FAT partition and an ext4 one; the ext4 one attached with its offset and mounted.
# "r MNT/new/deeper" from the FAT partition makes no folder there: the image stays byte-identical.
two=${media:+$media/guard/two.img}
if [ -z "$two" ] || [ ! -f "$two" ]; then
  echo "skip folder chain over the image (no guard/two.img in the media folder)"
elif [ "$(id -u)" != 0 ] || ! losetup -f >/dev/null 2>&1; then
  echo "skip folder chain over the image (needs root and a free loop device)"
else
  cp "$two" "$work/two.img"
  mkdir -p "$work/ext"
  loop=$(losetup -f --show -o $((6144 * 512)) --sizelimit $((10240 * 512)) "$work/two.img")
  if mount -t ext4 "$loop" "$work/ext"; then
    sync  # what mounting writes into the image is in place before it is measured
    before=$(sha256sum <"$work/two.img")
    v img "$work/two.img" ctn Part00 b ct 0 r "$work/ext/new/deeper"
    sync
    check "r MNT/new/deeper over the image's own ext4: refused, no folder made, the image unchanged" \
      [ -n "$(refused "$work/ext/new/deeper" && echo y)" -a ! -e "$work/ext/new" \
      -a "$(sha256sum <"$work/two.img")" = "$before" ]
    v img "$work/two.img" ctn Part00 b ct 0 r "$work/plain/new/deeper"
    check "r PLAIN/new/deeper from the same partition: the chain made, the files saved" \
      cmp -s "$work/plain/new/deeper/TWOFAT/Docs/inner.txt" "$media/guard/files/inner.txt"
    umount "$work/ext"
  else
    echo "FAIL mounting the ext4 partition of two.img"
    failures=$((failures + 1))
  fi
  losetup -d "$loop"
fi

echo
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
