#!/usr/bin/env bash
# Builds the libraries the module links statically, from Debian's source
# packages with our patches, into a cache outside the clone.
#
#   bash scripts/deps/build.sh [--target T] [--query] LIBRARY...
#
# Prints the install prefix of each LIBRARY, one line each, building it (and
# what its recipe depends on) first unless the cache holds it. --query builds
# nothing and fails when a library is not in the cache.
#
# A library is a directory here with recipe.sh and its patches. recipe.sh sets
# DEB_SOURCE and DEB_VERSION (the Debian source package), PATCHES (files beside
# it, applied after Debian's own), DEPENDS (libraries it builds against) and
# DPKG_SOURCE_OPTIONS, and defines recipe_build, run in the unpacked source
# with PREFIX, HOST (autoconf's --host, empty when native), JOBS, and the
# compilers and flags of targets/T.sh in the environment, dependencies on
# PKG_CONFIG_PATH, and target_cmake (cmake with the target's settings).
#
# A build's key covers the source package version, the recipe, its patches,
# the target's files (targets/T.sh, and T.cmake where it has a toolchain
# file) and the compiler, so a change to any of them builds into a new
# prefix, and clones on one machine share what they agree on.
#
# VELMORA_DEPS_CACHE: the cache (default ~/.cache/velmora-deps).
# VELMORA_DEPS_JOBS: parallel jobs (default: the number of cores).
set -euo pipefail

DEPS_DIR="$(cd "$(dirname "$0")" && pwd)"
CACHE="${VELMORA_DEPS_CACHE:-${HOME:-/tmp}/.cache/velmora-deps}"
JOBS="${VELMORA_DEPS_JOBS:-$(nproc 2>/dev/null || echo 2)}"
# Bumped when this driver changes what a build produces.
SCHEME=1

target=linux-x64
query=0
libraries=()
while [ $# -gt 0 ]; do
  case "$1" in
    --target) target="$2"; shift 2 ;;
    --query) query=1; shift ;;
    -*) echo "deps: unknown option $1" >&2; exit 2 ;;
    *) libraries+=("$1"); shift ;;
  esac
done
[ -f "$DEPS_DIR/targets/$target.sh" ] || { echo "deps: unknown target $target" >&2; exit 2; }
[ "${#libraries[@]}" -gt 0 ] || { echo "deps: name a library" >&2; exit 2; }

die() { echo "deps: $*" >&2; exit 1; }

# A recipe's variables, read in a subshell so recipes cannot clash.
recipe_var() { (DEPENDS=(); PATCHES=(); . "$DEPS_DIR/$1/recipe.sh"; eval "echo \"\${$2[*]:-}\""); }

compiler_id() {
  (. "$DEPS_DIR/targets/$target.sh"; echo "$CC $("$CC" -dumpfullversion 2>/dev/null) $("$CC" -dumpmachine 2>/dev/null)")
}

declare -A KEYS=()
key_of() {
  local name=$1
  [ -n "${KEYS[$name]:-}" ] && { echo "${KEYS[$name]}"; return; }
  [ -f "$DEPS_DIR/$name/recipe.sh" ] || die "no recipe for $name"
  local dependency depends=""
  for dependency in $(recipe_var "$name" DEPENDS); do depends+="$dependency=$(key_of "$dependency") "; done
  local key
  key=$( {
    echo "scheme $SCHEME target $target compiler $COMPILER_ID depends $depends"
    cat "$DEPS_DIR/targets/$target".*
    find "$DEPS_DIR/$name" -type f | LC_ALL=C sort | while read -r file; do echo "${file#"$DEPS_DIR"/}"; cat "$file"; done
  } | sha256sum | cut -c1-16)
  KEYS[$name]=$key
  echo "$key"
}

prefix_of() { echo "$CACHE/$target/$1-$(recipe_var "$1" DEB_VERSION | tr ':' '_')-$(key_of "$1")"; }
complete() { [ -f "$1/velmora-build.txt" ]; }

# --- Sources: Debian's source packages through a private apt -----------------
# apt runs with its own sources list, state and cache under the cache
# directory, so the machine's apt configuration is left as it is. The deb-src
# entries are the machine's own Debian entries (same mirror, suites, keys).
APT_DIR="$CACHE/apt"
APT_OPTS=(
  -o "Dir::Etc::sourcelist=$APT_DIR/sources.list"
  -o "Dir::Etc::sourceparts=$APT_DIR/sources.list.d"
  -o "Dir::State=$APT_DIR/state"
  -o "Dir::Cache=$APT_DIR/cache"
  -o "Acquire::Languages=none"
  -o "APT::Sandbox::User=$(id -un)"
)

# One-line and deb822 entries of this release's suites, turned into deb-src.
derive_source_entries() {
  local codename
  codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || return 1
  mkdir -p "$APT_DIR/sources.list.d"
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk -v release="$codename" '
      $1 == "deb" {
        suite = ($2 ~ /^\[/) ? "" : $3
        for (i = 2; i <= NF; i++) if ($i ~ /\]$/) { suite = $(i + 2); break }
        if (index(suite, release) == 1) { $1 = "deb-src"; print }
      }' >"$APT_DIR/sources.list"
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # A stanza is kept, with its Types line changed, when it has binary
    # packages of one of this release's suites and is not disabled.
    awk -v release="$codename" '
      function flush() {
        if (n && types ~ /(^|[ \t])deb([ \t]|$)/ && enabled !~ /^[ \t]*no/ && suites ~ ("(^|[ \t])" release)) {
          for (i = 1; i <= n; i++) print (lines[i] ~ /^Types:/ ? "Types: deb-src" : lines[i])
          print ""
        }
        n = 0; types = ""; suites = ""; enabled = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^#/ { next }
      {
        lines[++n] = $0
        if ($0 ~ /^Types:/) types = substr($0, 7)
        if ($0 ~ /^Suites:/) suites = substr($0, 8)
        if ($0 ~ /^Enabled:/) enabled = substr($0, 9)
      }
      END { flush() }' "$file"
  done >"$APT_DIR/sources.list.d/derived.sources"
  if [ ! -s "$APT_DIR/sources.list" ] && [ ! -s "$APT_DIR/sources.list.d/derived.sources" ]; then
    echo "deb-src http://deb.debian.org/debian $codename main" >"$APT_DIR/sources.list"
  fi
}

private_apt() { apt-get "${APT_OPTS[@]}" "$@"; }

# True when DIR holds the .dsc and every file it lists but upstream signatures
# (*.asc), which the mirror may not serve; apt has checked what it fetched
# against the signed index, and the recipe unpacks with --no-check.
only_signatures_missing() {
  local dsc
  dsc=$(find "$1" -maxdepth 1 -name '*.dsc' | head -1)
  [ -n "$dsc" ] || return 1
  awk '/^Files:/ { files = 1; next } /^[^ ]/ { files = 0 } files && NF == 3 { print $3 }' "$dsc" |
    while read -r file; do
      [ -f "$1/$file" ] || [[ "$file" == *.asc ]] || exit 1
    done
}

# Downloads SOURCE=VERSION into $CACHE/sources once; prints the .dsc's path.
fetch_source() {
  local source=$1 version=$2
  local dsc="$CACHE/sources/${source}_${version#*:}.dsc"
  if [ -f "$dsc" ] && [ -f "$dsc.complete" ]; then echo "$dsc"; return; fi
  command -v apt-get >/dev/null || die "apt-get is missing: cannot fetch $source $version"
  mkdir -p "$APT_DIR/state/lists/partial" "$APT_DIR/cache/archives/partial" "$CACHE/sources"
  local lock
  exec {lock}>"$APT_DIR/lock"
  flock "$lock"
  if [ ! -f "$dsc.complete" ]; then
    local log="$CACHE/sources/fetch-$source.log" download
    download=$(mktemp -d "$CACHE/sources/.fetch.XXXXXX")
    # The lists already fetched serve until a version is missing from them.
    if ! (cd "$download" && private_apt source --download-only "$source=$version") >"$log" 2>&1 &&
       ! only_signatures_missing "$download"; then
      derive_source_entries || die "cannot tell this machine's Debian release"
      private_apt update >>"$log" 2>&1 || true
      (cd "$download" && private_apt source --download-only "$source=$version") >>"$log" 2>&1 ||
        only_signatures_missing "$download" || {
        rm -rf "$download"
        die "cannot fetch the source package $source $version (see $log)"
      }
    fi
    mv "$download"/* "$CACHE/sources/"
    rmdir "$download"
    touch "$dsc.complete"
  fi
  exec {lock}>&-
  echo "$dsc"
}

# --- Building ------------------------------------------------------------------
build_one() {
  local name=$1 prefix
  prefix=$(prefix_of "$name")
  complete "$prefix" && return
  local dependency dependency_prefixes=()
  for dependency in $(recipe_var "$name" DEPENDS); do
    build_one "$dependency"
    dependency_prefixes+=("$(prefix_of "$dependency")")
  done

  mkdir -p "$CACHE/$target"
  local lock
  exec {lock}>"$CACHE/$target/.$name.lock"
  flock "$lock"
  if ! complete "$prefix"; then
    command -v dpkg-source >/dev/null || die "dpkg-source is missing (dpkg-dev): cannot unpack $name"
    local source version dsc
    source=$(recipe_var "$name" DEB_SOURCE)
    version=$(recipe_var "$name" DEB_VERSION)
    dsc=$(fetch_source "$source" "$version")
    local work="$CACHE/work/$target-$name" log="$CACHE/work/$target-$name.log"
    rm -rf "$work" "$prefix" && mkdir -p "$work"
    echo "deps: building $name ($source $version) for $target" >&2
    local started=$SECONDS status
    # Run as a plain command: under "if" or "||" bash would ignore set -e inside.
    set +e
    (
      set -e
      DEPENDS=(); PATCHES=(); DPKG_SOURCE_OPTIONS=()
      . "$DEPS_DIR/targets/$target.sh"
      . "$DEPS_DIR/$name/recipe.sh"
      # Debian's own patches are applied here, ours after them.
      dpkg-source "${DPKG_SOURCE_OPTIONS[@]}" --no-copy -x "$dsc" "$work/src"
      cd "$work/src"
      for patch in "${PATCHES[@]}"; do
        echo "deps: applying $patch"
        patch -p1 --forward --batch --fuzz=0 --no-backup-if-mismatch -i "$DEPS_DIR/$name/$patch"
      done
      PKG_CONFIG_PATH=""
      for dependency in "${dependency_prefixes[@]}"; do
        PKG_CONFIG_PATH="$dependency/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
      done
      export CC CXX AR RANLIB CFLAGS CXXFLAGS LDFLAGS PKG_CONFIG_PATH
      # A cross target sets it to keep the machine's own .pc files out.
      if [ -n "${PKG_CONFIG_LIBDIR:-}" ]; then export PKG_CONFIG_LIBDIR; fi
      export PREFIX="$prefix" HOST JOBS
      recipe_build
    ) >"$log" 2>&1
    status=$?
    set -e
    if [ "$status" -ne 0 ]; then
      tail -30 "$log" >&2
      rm -rf "$prefix"
      die "building $name failed (log: $log)"
    fi
    {
      echo "$source $version for $target, key $(key_of "$name"), built in $((SECONDS - started)) s"
      (. "$DEPS_DIR/$name/recipe.sh"; echo "patches: ${PATCHES[*]:-none}")
    } >"$prefix/velmora-build.txt.partial"
    cp "$log" "$prefix/build.log"
    mv "$prefix/velmora-build.txt.partial" "$prefix/velmora-build.txt"
    rm -rf "$work" "$log"
    echo "deps: built $name in $((SECONDS - started)) s" >&2
  fi
  exec {lock}>&-
}

COMPILER_ID=$(compiler_id)
for name in "${libraries[@]}"; do
  if [ "$query" -eq 1 ]; then
    complete "$(prefix_of "$name")" || exit 1
  else
    build_one "$name"
  fi
  prefix_of "$name"
done
