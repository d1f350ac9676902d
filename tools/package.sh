#!/usr/bin/env bash
# Builds the Debian package from a clean copy of the tree (only the two
# programs: no tests) and checks it: the menu entry, the AppStream metadata,
# lintian, then an install of the .deb on this machine, `lumivista-cli
# --version` and a start of the wizard on the offscreen platform. The
# package is removed again at the end. Needs root for the install (CI runs as
# root); `--build-only` stops after building and linting.
# The package ends up in build-deb/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build-deb
build_only=0
[ "${1:-}" = "--build-only" ] && build_only=1

echo "== menu entry and AppStream metadata"
desktop-file-validate data/example.lumivista.Lumivista.desktop
appstreamcli validate --no-net data/example.lumivista.Lumivista.metainfo.xml

echo "== building the package"
rm -rf "$out"
mkdir -p "$out/src"
src=$out/src/lumivista
mkdir -p "$src"
git ls-files --cached --others --exclude-standard -z | xargs -0 cp --parents -t "$src" 2>/dev/null || true
# A compiler cache, where there is one, makes CI's second build of the
# programs quick; the package is the same.
command -v ccache >/dev/null && export CMAKE_CXX_COMPILER_LAUNCHER=ccache
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -b -uc -us >"$out/build.log" 2>&1) ||
  { tail -40 "$out/build.log"; exit 1; }
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
deb=$(ls "$out"/lumivista_*.deb)
echo "built $deb"

echo "== lintian"
lintian --fail-on error,warning --display-info "$out"/lumivista_*.changes

[ "$build_only" = 1 ] && exit 0

echo "== installing the package"
export DEBIAN_FRONTEND=noninteractive
trap 'apt-get purge -y -qq lumivista >/dev/null 2>&1 || true' EXIT
apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
for f in /usr/bin/lumivista /usr/bin/lumivista-cli /usr/share/applications/example.lumivista.Lumivista.desktop \
         /usr/share/metainfo/example.lumivista.Lumivista.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/example.lumivista.Lumivista.svg \
         /usr/share/icons/hicolor/256x256/apps/example.lumivista.Lumivista.png \
         /usr/share/man/man1/lumivista.1.gz /usr/share/man/man1/lumivista-cli.1.gz \
         /usr/share/doc/lumivista/user-guide/index.html; do
  [ -e "$f" ] || { echo "missing after install: $f"; exit 1; }
done
lumivista-cli --version | grep -qx "lumivista-cli [0-9.]*" || { echo "lumivista-cli --version is wrong"; exit 1; }
lumivista-cli --version

echo "== starting the wizard offscreen"
state=$(mktemp -d)
set +e
XDG_STATE_HOME=$state QT_QPA_PLATFORM=offscreen timeout 5 lumivista
rc=$?
set -e
# Still running when the time ran out (124), past the opening of its log.
if [ "$rc" -ne 124 ] || [ ! -e "$state/lumivista/Lumivista.log" ]; then
  echo "the wizard did not start (exit $rc)"
  exit 1
fi
rm -rf "$state"
echo "package checks passed"
