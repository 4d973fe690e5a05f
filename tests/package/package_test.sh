#!/usr/bin/env bash
# Installs the build into a scratch prefix, makes the Debian package,
# unpacks it into a scratch root and runs the installed program; checks the
# man pages render without warnings.
set -euo pipefail
build=$1
version=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# cmake --install
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for f in bin/tarvex bin/tarvex-stb share/man/man1/tarvex.1.gz share/man/man1/tarvex-stb.1.gz; do
  [[ -e "$scratch/prefix/$f" ]] || fail "cmake --install did not install $f"
done

# Man pages: no warnings from groff, and the sections a reader looks for.
for page in tarvex tarvex-stb; do
  src="$build/man/$page.1"
  warnings=$(groff -ww -man -z "$src" 2>&1 || true)
  [[ -z "$warnings" ]] || fail "$page.1 renders with warnings: $warnings"
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES; do
    grep -q "^\.SH \"\?$section" "$src" || fail "$page.1 has no $section section"
  done
done
grep -q '^\.SH DIAGNOSTICS' "$build/man/tarvex.1" || fail "tarvex.1 has no DIAGNOSTICS section"

# The Debian package.
(cd "$build" && cpack -G DEB -B "$scratch/pkg" >/dev/null)
arch=$(dpkg --print-architecture)
deb="$scratch/pkg/tarvex_${version}_${arch}.deb"
[[ -f "$deb" ]] || fail "no package $deb (found: $(ls "$scratch/pkg"))"
info=$(dpkg-deb -f "$deb")
grep -q "^Package: tarvex$" <<<"$info" || fail "package name"
grep -q "^Version: $version$" <<<"$info" || fail "package version"
grep -q "^Architecture: $arch$" <<<"$info" || fail "package architecture"
grep -q "^Depends: .*libc6" <<<"$info" || fail "dependencies were not computed: $info"
grep -q "^Description: " <<<"$info" || fail "no description"
dpkg-deb -c "$deb" | grep -q "./usr/share/man/man1/tarvex.1.gz" || fail "man page not in the package"

dpkg-deb -x "$deb" "$scratch/root"
set +e
out=$("$scratch/root/usr/bin/tarvex" 2>&1)
status=$?
set -e
[[ $status -eq 255 ]] || fail "installed tarvex exited $status, want 255"
grep -q "^usage: tarvex <filename.ext>" <<<"$out" || fail "installed tarvex printed: $out"
"$scratch/root/usr/bin/tarvex-stb" --help >/dev/null 2>&1 || fail "installed tarvex-stb --help failed"
echo "package: install, man pages and .deb are fine"
