#!/usr/bin/env bash
# Benchmark of patchmaker + patcher against xdelta3, bsdiff and zstd on real
# Debian binary pairs and synthetic pairs. A report, not a test: it prints
# patch sizes, their xz -9 sizes, build and apply times and peak memory of
# every tool, measured in one run, and the ratios against the peers.
#
#   bench/patchmaker-bench.sh            all pairs
#   BENCH_PAIRS="libjvm synthetic-moves" bench/patchmaker-bench.sh
#
# Environment: BUILD_DIR (default build/native), BENCH_DIR (scratch space,
# default /tmp/patchmaker-bench, removed afterwards unless KEEP=1).
# Needs: xdelta3 bsdiff zstd xz-utils python3, GNU time at /usr/bin/time,
# apt-get and dpkg-deb for the Debian pairs (network access to the archive).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build/native}
PM=$BUILD/patchmaker
STUB=$BUILD/patcher
WORK=${BENCH_DIR:-/tmp/patchmaker-bench}
PAIRS=${BENCH_PAIRS:-"libjvm libnode synthetic-edits synthetic-moves synthetic-100m sparse-6g"}

for tool in "$PM" "$STUB"; do
  [ -x "$tool" ] || { echo "missing $tool: build first (cmake --build --preset native)" >&2; exit 1; }
done
for tool in xdelta3 bsdiff bspatch zstd xz python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

mkdir -p "$WORK"
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$WORK"; }
trap cleanup EXIT
RESULTS=$WORK/results.tsv
: > "$RESULTS"
STUB_SIZE=$(stat -c %s "$STUB")

# --- inputs -----------------------------------------------------------------

# fetch_deb PACKAGE WANTED_OLD WANTED_NEW FILE OUT_PREFIX: unpacks FILE from two
# versions of PACKAGE; when a wanted version is gone from the archive, the two
# newest versions apt-cache madison lists stand in.
fetch_deb() {
  local pkg=$1 v1=$2 v2=$3 file=$4 out=$5
  local listed
  listed=$(apt-cache madison "$pkg" | awk -F'|' '{gsub(/ /, "", $2); print $2}' | sort -u)
  if ! grep -qxF "$v1" <<<"$listed" || ! grep -qxF "$v2" <<<"$listed"; then
    local newest
    newest=$(sort -V <<<"$listed" | tail -n 2)
    [ "$(wc -l <<<"$newest")" -ge 2 ] || { echo "$pkg: fewer than two versions in the archive" >&2; return 1; }
    v1=$(head -n 1 <<<"$newest")
    v2=$(tail -n 1 <<<"$newest")
    echo "note: $pkg falls back to $v1 and $v2" >&2
  fi
  local deb=$WORK/deb
  mkdir -p "$deb"
  local i=0
  for v in "$v1" "$v2"; do
    i=$((i + 1))
    (cd "$deb" && rm -f ./*.deb && apt-get download -q "$pkg=$v" >/dev/null)
    rm -rf "$deb/x"
    dpkg-deb -x "$deb"/*.deb "$deb/x"
    local found
    found=$(find "$deb/x" -path "*$file" -type f | head -n 1)
    [ -n "$found" ] || { echo "$pkg=$v has no $file" >&2; return 1; }
    if [ $i = 1 ]; then cp "$found" "$out.old"; else cp "$found" "$out.new"; fi
  done
  rm -rf "$deb"
  echo "$pkg $v1 -> $v2 ($file)" > "$out.what"
}

# synthetic KIND OUT_PREFIX
synthetic() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
kind, out = sys.argv[1], sys.argv[2]
rng = random.Random(20240611)
def structured(n):
    # Program-like bytes: a vocabulary of short sequences with small numbers.
    words = [rng.randbytes(rng.randint(2, 12)) for _ in range(4096)]
    parts, size = [], 0
    while size < n:
        w = words[int(rng.paretovariate(1.2)) % 4096]
        parts.append(w)
        parts.append(rng.randint(0, 4095).to_bytes(4, "little"))
        size += len(w) + 4
    return bytearray(b"".join(parts)[:n])
if kind in ("edits", "moves", "100m"):
    n = {"edits": 32 << 20, "moves": 32 << 20, "100m": 100 << 20}[kind]
    old = structured(n)
    new = bytearray(old)
    if kind in ("edits", "100m"):
        for _ in range(200):   # inserts, deletes, scattered changes
            at = rng.randrange(len(new))
            r = rng.random()
            if r < 0.4:
                new[at:at] = rng.randbytes(rng.randint(1, 4096))
            elif r < 0.7:
                del new[at:at + rng.randint(1, 4096)]
            else:
                for i in range(at, min(len(new), at + 65536), rng.randint(16, 200)):
                    new[i] = (new[i] + 1) & 0xFF
    if kind in ("moves", "100m"):
        for _ in range(60):    # block moves and swaps
            a = rng.randrange(len(new) - (1 << 20))
            block = new[a:a + rng.randint(4096, 1 << 20)]
            del new[a:a + len(block)]
            b = rng.randrange(len(new))
            new[b:b] = block
    open(out + ".old", "wb").write(old)
    open(out + ".new", "wb").write(new)
    open(out + ".what", "w").write("synthetic %s, %d MiB\n" % (kind, n >> 20))
elif kind == "sparse":
    size = 6 << 30
    pieces = [(rng.randrange(size - (2 << 20)) & ~4095, rng.randbytes(1 << 20)) for _ in range(48)]
    with open(out + ".old", "wb") as f:
        f.truncate(size)
        for at, data in pieces:
            f.seek(at); f.write(data)
    # NEW: 1 MiB inserted at 5.5 GiB (the tail shifts), a block moved across
    # 4 GiB, and scattered edits.
    ins_at = (11 << 29) + 12345
    with open(out + ".new", "wb") as f:
        f.truncate(size + (1 << 20))
        for at, data in pieces:
            if at >= ins_at:
                at += 1 << 20
            elif at + len(data) > ins_at:
                cut = ins_at - at
                f.seek(at + cut + (1 << 20)); f.write(data[cut:])
                data = data[:cut]
            f.seek(at); f.write(data)
        f.seek(ins_at); f.write(rng.randbytes(1 << 20))
        moved = pieces[0][1][:300000]
        f.seek((4 << 30) - 100000); f.write(moved)
        for _ in range(64):
            f.seek(rng.randrange(size)); f.write(rng.randbytes(8))
    open(out + ".what", "w").write("synthetic sparse pair, 6 GiB\n")
PY
}

# --- measuring --------------------------------------------------------------

# timed OUT COMMAND...: runs COMMAND, leaves "seconds max-rss-KiB" in OUT.
timed() {
  local out=$1; shift
  /usr/bin/time -f "%e %M" -o "$out" "$@" >/dev/null 2>"$out.err" || {
    echo "failed: $* ($(tail -n 3 "$out.err"))" >&2; return 1; }
}

xz_size() { xz -9 -T1 -c "$1" | wc -c; }

# record PAIR TOOL PATCH_BYTES XZ_BYTES BUILD_TIMEFILE APPLY_TIMEFILE OK
record() {
  local b a
  b=$(cat "$5"); a=$(cat "$6")
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$b" "$a" "$7" >> "$RESULTS"
}

same() { cmp -s "$1" "$2" && echo ok || echo WRONG; }

run_pair() {
  local name=$1 in=$WORK/$1 huge=${2:-0}
  local old=$in.old new=$in.new t=$WORK/t
  echo "== $name: $(cat "$in.what")" >&2
  # patchmaker (verification included, as it runs by default) + patcher
  timed "$t.pmb" "$PM" create "$old" "$new" -o "$in.patch" --stub "$STUB" --stats
  grep -E "copy-order|index:|seconds" "$t.pmb.err" | sed "s/^/   /" >&2
  local container=$(( $(stat -c %s "$in.patch") - STUB_SIZE ))
  tail -c "$container" "$in.patch" > "$in.container"
  cp --sparse=always "$old" "$in.target"
  timed "$t.pma" setsid -w "$in.patch" "$in.target"
  record "$name" patchmaker "$container" "$(xz_size "$in.container")" "$t.pmb" "$t.pma" "$(same "$in.target" "$new")"
  echo "   cycle breaker: $(grep -o '[0-9]* cuts.*scratch space' "$t.pmb.err")" >&2
  rm -f "$in.target" "$in.patch" "$in.container"

  # xdelta3, default and without compression or secondary compression
  for mode in default raw; do
    local flags=() tool="xdelta3"
    [ $mode = raw ] && { flags=(-0 -S none); tool="xdelta3 -0 -S none"; }
    timed "$t.xb" xdelta3 "${flags[@]}" -e -f -s "$old" "$new" "$in.xd"
    timed "$t.xa" xdelta3 -d -f -s "$old" "$in.xd" "$in.out"
    record "$name" "$tool" "$(stat -c %s "$in.xd")" "$(xz_size "$in.xd")" "$t.xb" "$t.xa" "$(same "$in.out" "$new")"
    rm -f "$in.xd" "$in.out"
  done

  if [ "$huge" = 1 ]; then
    echo "   bsdiff and zstd skipped: they hold whole files in memory / need a window over 2 GiB" >&2
    return
  fi
  timed "$t.bb" bsdiff "$old" "$new" "$in.bsd"
  timed "$t.ba" bspatch "$old" "$in.out" "$in.bsd"
  record "$name" bsdiff "$(stat -c %s "$in.bsd")" "$(xz_size "$in.bsd")" "$t.bb" "$t.ba" "$(same "$in.out" "$new")"
  rm -f "$in.bsd" "$in.out"

  timed "$t.zb" zstd -q -f --long=31 --patch-from="$old" "$new" -o "$in.zst"
  timed "$t.za" zstd -q -d -f --long=31 --patch-from="$old" "$in.zst" -o "$in.out"
  record "$name" "zstd --patch-from" "$(stat -c %s "$in.zst")" "$(xz_size "$in.zst")" "$t.zb" "$t.za" "$(same "$in.out" "$new")"
  rm -f "$in.zst" "$in.out"
}

for pair in $PAIRS; do
  case $pair in
    libjvm) fetch_deb openjdk-17-jre-headless 17.0.19+10-1~deb12u2 17.0.21.1+2-1~deb12u1 \
              /lib/server/libjvm.so "$WORK/libjvm" && run_pair libjvm ;;
    libnode) fetch_deb libnode108 18.20.4+dfsg-1~deb12u2 18.20.4+dfsg-1~deb12u3 \
               /libnode.so.108 "$WORK/libnode" && run_pair libnode ;;
    synthetic-edits) synthetic edits "$WORK/$pair" && run_pair "$pair" ;;
    synthetic-moves) synthetic moves "$WORK/$pair" && run_pair "$pair" ;;
    synthetic-100m) synthetic 100m "$WORK/$pair" && run_pair "$pair" ;;
    sparse-6g) synthetic sparse "$WORK/$pair" && run_pair "$pair" 1 ;;
    *) echo "unknown pair $pair" >&2; exit 2 ;;
  esac
  rm -f "$WORK/$pair".old "$WORK/$pair".new
done

# --- report -----------------------------------------------------------------
python3 - "$RESULTS" <<'PY'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
def f(v): return float(v)
print()
print("%-16s %-20s %12s %11s %8s %9s %8s %9s %5s" % (
    "pair", "tool", "patch bytes", "xz -9", "build s", "build MiB", "apply s", "apply MiB", "ok"))
by = {}
for pair, tool, size, xz, build, apply, ok in rows:
    bs, bm = build.split(); as_, am = apply.split()
    by.setdefault(pair, {})[tool] = (int(size), int(xz), f(bs), f(bm) / 1024, f(as_), f(am) / 1024)
    print("%-16s %-20s %12s %11s %8.2f %9.0f %8.2f %9.0f %5s" % (
        pair, tool, size, xz, f(bs), f(bm) / 1024, f(as_), f(am) / 1024, ok))
print()
print("ratios of patchmaker (container bytes; build includes verification):")
for pair, t in by.items():
    pm = t.get("patchmaker")
    if pm is None: continue
    parts = []
    def ratio(label, a, b, goal):
        if b > 0: parts.append("%s %.2f (goal %s)" % (label, a / b, goal))
    if "xdelta3 -0 -S none" in t: ratio("size/xd-0", pm[0], t["xdelta3 -0 -S none"][0], "<= 0.5")
    if "bsdiff" in t: ratio("xz/bsdiff", pm[1], t["bsdiff"][0], "<= 1.5")
    if "xdelta3" in t: ratio("build/xdelta3", pm[2], t["xdelta3"][2], "<= 3")
    if "bspatch" in t or "bsdiff" in t: ratio("apply/bspatch", pm[4], t["bsdiff"][4], "< 1")
    if "xdelta3" in t: ratio("apply/xdelta3 -d", pm[4], t["xdelta3"][4], "-")
    print("  %-16s %s" % (pair, "; ".join(parts)))
PY
