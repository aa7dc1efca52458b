#!/usr/bin/env bash
# Fails when the build uses a Debian package that scripts/install-deps.sh does not install, so
# that a fresh machine can build what this one builds. Looks at a configured and built tree:
#   - every header outside the source and build trees that a compiled file included (the
#     compiler's dependency records, as ninja keeps them),
#   - every library a link command names (-lNAME resolved by the compiler, or a path),
#   - the compiler, cmake and ninja, and the programs the scripts and tests run.
# Each file is mapped to the package that owns it (dpkg -S). A package is accepted when the
# install list names it or when a named package depends on it (g++ brings libc6-dev, for
# example). Exits 1 listing every package that is neither, and every file no package owns.
#   scripts/check-packages.sh [BUILD-DIR...]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dirs=("$@")
[ ${#dirs[@]} -gt 0 ] || dirs=(build)

# Programs the scripts, the tests and the tools start by name.
programs=(isql-fb gfix fbsvcmgr firebird clang clang++ tmux systemd-analyze)

mapfile -t named < <(scripts/install-deps.sh --list)

# The named packages and everything they depend on, recursively (alternatives and provided
# names included), from one read of the package database.
declare -A allowed=()
while read -r p; do
  allowed[$p]=1
done < <(dpkg-query -W -f='${Package}\t${Depends}, ${Pre-Depends}, ${Provides}\n' |
  awk -F'\t' -v named="${named[*]}" '
    { deps[$1] = $2 }
    END {
      n = split(named, queue, " ")
      for (i = 1; i <= n; i++) {
        p = queue[i]
        if (p == "" || p in seen) continue
        seen[p] = 1
        print p
        m = split(deps[p], list, /[,|]/)
        for (j = 1; j <= m; j++) {
          d = list[j]
          sub(/\(.*\)/, "", d); sub(/:.*/, "", d); gsub(/ /, "", d)
          if (d != "" && !(d in seen)) queue[++n] = d
        }
      }
    }')

files=()
for build in "${dirs[@]}"; do
  [ -f "$build/build.ninja" ] || { echo "check-packages: $build is not a configured build tree" >&2; exit 1; }
  build_abs=$(cd "$build" && pwd)
  # Headers from the dependency records; the project's own files are not packages.
  while read -r f; do
    case "$f" in "$root"/* | "$build_abs"/* | "") ;; /*) files+=("$f") ;; esac
  done < <(ninja -C "$build" -t deps 2>/dev/null | awk '/^    /{print $1}' | sort -u)
  # Libraries of the link commands.
  compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
  while read -r tok; do
    case "$tok" in
      -l*)
        lib=${tok#-l}
        f=$("$compiler" -print-file-name="lib$lib.so")
        [ "$f" = "lib$lib.so" ] && f=$("$compiler" -print-file-name="lib$lib.a")
        [ "${f#/}" != "$f" ] && files+=("$(realpath -s "$f")")
        ;;
      /*.so | /*.so.* | /*.a)
        case "$tok" in "$root"/* | "$build_abs"/*) ;; *) files+=("$tok") ;; esac
        ;;
    esac
  done < <(ninja -C "$build" -t commands | grep -E ' -o [^ ]+ ' | grep -v ' -c ' | tr ' ' '\n' | sort -u)
  files+=("$(command -v "$compiler" || echo "$compiler")")
done
for p in cmake ninja "${programs[@]}"; do
  f=$(command -v "$p" || true)
  [ -n "$f" ] || f=$(ls /usr/sbin/"$p" 2>/dev/null || true)
  if [ -z "$f" ]; then
    echo "check-packages: program $p is not installed" >&2
    exit 1
  fi
  files+=("$f")
done

# The owner of every file, from one query of the package database; a link is followed when the
# path itself belongs to no package.
mapfile -t files < <(printf '%s\n' "${files[@]}" | sort -u)
declare -A owners=()
while IFS= read -r line; do
  path=${line#*: }
  pkg=${line%%: *}
  pkg=${pkg%%,*}
  owners[$path]=${pkg%%:*}
done < <(for f in "${files[@]}"; do echo "$f"; readlink -f "$f"; done | sort -u | xargs dpkg -S 2>/dev/null || true)

declare -A used=()
declare -A example=()
unowned=()
for f in "${files[@]}"; do
  o=${owners[$f]:-${owners[$(readlink -f "$f")]:-}}
  if [ -z "$o" ]; then
    unowned+=("$f")
    continue
  fi
  used[$o]=1
  [ -n "${example[$o]:-}" ] || example[$o]=$f
done

missing=()
for p in $(printf '%s\n' "${!used[@]}" | sort); do
  [ -n "${allowed[$p]:-}" ] || missing+=("$p (${example[$p]})")
done
if [ ${#unowned[@]} -gt 0 ]; then
  echo "check-packages: the build uses files that no package installed (installed by hand?):" >&2
  printf '  %s\n' "${unowned[@]}" >&2
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "check-packages: the build uses packages that scripts/install-deps.sh does not install:" >&2
  printf '  %s\n' "${missing[@]}" >&2
fi
[ ${#missing[@]} -eq 0 ] && [ ${#unowned[@]} -eq 0 ] || exit 1
echo "check-packages: the build uses ${#used[@]} packages, each named in scripts/install-deps.sh or a dependency of one"
