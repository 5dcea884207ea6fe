#!/usr/bin/env bash
# Cross-builds a static libcrypto for i686 mingw-w64 from Debian's openssl
# source package and caches it outside the source tree, one directory per
# source version:
#   $PATCHER_DEPS_CACHE/openssl-<version>-i686-w64-mingw32/{include,lib}
# and points $PATCHER_DEPS_CACHE/openssl-i686-w64-mingw32 at the newest one,
# which the windows preset uses. The system's apt sources stay untouched:
# source indexes live in a private apt directory inside the cache.
# Needs: g++-mingw-w64-i686, dpkg-dev, make, perl.
set -euo pipefail

cache="${PATCHER_DEPS_CACHE:-$HOME/.cache/patcher-deps}"
triplet=i686-w64-mingw32
link="$cache/openssl-$triplet"
aptdir="$cache/apt"
jobs="${PATCHER_BUILD_JOBS:-2}"

mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial" \
  "$aptdir/sources.list.d"

# deb-src entries for the suites the system already uses.
make_sources() {
  : >"$aptdir/sources.list"
  rm -f "$aptdir"/sources.list.d/*
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$f" \
      >"$aptdir/sources.list.d/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list \
      >>"$aptdir/sources.list"
  fi
}

# apt with the private source lists, indexes and archive cache.
apt_dirs=(
  -o "Dir::Etc::SourceList=$aptdir/sources.list"
  -o "Dir::Etc::SourceParts=$aptdir/sources.list.d"
  -o "Dir::State::Lists=$aptdir/lists"
  -o "Dir::Cache=$aptdir/cache"
)
apt_private() {
  apt-get -q "${apt_dirs[@]}" -o APT::Get::List-Cleanup=0 \
    -o APT::Sandbox::User=root "$@"
}
apt_private_cache() { apt-cache "${apt_dirs[@]}" "$@"; }

use_newest_cached() {
  local newest
  newest=$(ls -d "$cache"/openssl-*-"$triplet" 2>/dev/null |
    while read -r d; do [ -f "$d/.complete" ] && echo "$d"; done |
    sort -V | tail -n 1)
  [ -n "$newest" ] || return 1
  ln -sfn "$(basename "$newest")" "$link"
  echo "$newest"
}

make_sources
if ! apt_private update >"$cache/apt-update.log" 2>&1; then
  echo "apt-get update on the private source lists failed" \
    "(see $cache/apt-update.log); trying the cache" >&2
  use_newest_cached && exit 0
  exit 1
fi

# Source versions the private indexes offer, newest first. The newest one the
# mirror actually serves wins; a cached build of it needs no download at all.
# Downloads are kept, so a retry fetches only what is still missing.
versions=$(apt_private_cache showsrc openssl 2>/dev/null |
  sed -nE 's/^Version: //p' | sort -rV | uniq)
downloads="$cache/downloads"
mkdir -p "$downloads"
version=
for candidate in $versions; do
  if [ -f "$cache/openssl-$candidate-$triplet/.complete" ]; then
    version=$candidate
    break
  fi
  if (cd "$downloads" &&
    apt_private source --download-only "openssl=$candidate" \
      >"$cache/download.log" 2>&1); then
    version=$candidate
    break
  fi
  echo "openssl $candidate is not served (see $cache/download.log)" >&2
done
if [ -z "$version" ]; then
  echo "no openssl source package could be fetched" >&2
  use_newest_cached && exit 0
  exit 1
fi
dsc="$downloads/openssl_${version#*:}.dsc"  # file names drop the epoch
prefix="$cache/openssl-$version-$triplet"

if [ -f "$prefix/.complete" ]; then
  ln -sfn "$(basename "$prefix")" "$link"
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
(
  cd "$work"
  dpkg-source --no-check -x "$dsc" src >extract.log 2>&1 || {
    cat extract.log >&2
    exit 1
  }
  cd src
  ./Configure mingw no-shared no-asm no-module no-tests \
    --cross-compile-prefix="$triplet-" --prefix="$prefix" \
    --libdir=lib >configure.log 2>&1 || {
    tail -n 40 configure.log >&2
    exit 1
  }
  make -j"$jobs" build_libs >build.log 2>&1 || {
    tail -n 40 build.log >&2
    exit 1
  }
  rm -rf "$prefix"
  mkdir -p "$prefix/lib" "$prefix/include"
  cp libcrypto.a "$prefix/lib/"
  cp -r include/openssl "$prefix/include/"
  echo "$version" >"$prefix/.complete"
)
ln -sfn "$(basename "$prefix")" "$link"
echo "$prefix"
