#!/usr/bin/env bash
# Builds the Debian package of BUILD with CPack and checks it with dpkg-deb:
# control fields, dependencies from the shared libraries, the file list
# against the staged install, conffiles, and maintainer scripts that start
# nothing; then with Debian's own checker, lintian: no error and no warning
# (the package's overrides, each with its reason, are lintian's to apply).
# Usage: package_test.sh BUILD STAGE WORKDIR
# Environment: QD_PACKAGE_NAME, QD_PACKAGE_VERSION, QD_PACKAGE_MAINTAINER, QD_AGENT_UNIT.
set -uo pipefail
build=$1 stage=$2 work=$3
status=0
fail() { echo "FAIL: $*"; status=1; }

rm -rf "$work" && mkdir -p "$work"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" > "$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1
fi
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "package: $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$QD_PACKAGE_NAME" ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$QD_PACKAGE_VERSION" ] || fail "Version: $(field Version), not $QD_PACKAGE_VERSION"
[ "$(field Maintainer)" = "$QD_PACKAGE_MAINTAINER" ] || fail "Maintainer: $(field Maintainer)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Description)" ] || fail "no Description"
# Computed from the shared libraries: the C and C++ runtimes, Qt, OpenSSL;
# and Qt's Wayland platform plug-in, which no library links.
depends=$(field Depends)
for lib in libc6 libstdc++6 libqt6widgets6 libssl3 qt6-wayland; do
  tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//' | grep -qxF "$lib" || fail "Depends lacks $lib: $depends"
done

# The file list is the staged install's, no more, no less.
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./|/|; /[^/]$/p' | sort > "$work/package.files"
(cd "$stage" && find . ! -type d | sed 's|^\.||' | sort) > "$work/stage.files"
if ! diff -u "$work/stage.files" "$work/package.files" > "$work/files.diff"; then
  fail "file list differs from the staged install (- stage, + package):"; cat "$work/files.diff"
fi
[ -s "$work/package.files" ] || fail "the package holds no files"

# Control part: every file under /etc is a conffile; maintainer scripts
# start no service (as root) and only enable the agent's user unit.
dpkg-deb -e "$deb" "$work/control"
mkdir -p "$work/package.files.d"
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/package.files.d" ./usr/share/doc/"$QD_PACKAGE_NAME"/ 2>/dev/null &&
  mv "$work/package.files.d/usr/share/doc/$QD_PACKAGE_NAME"/* "$work/package.files.d/"
grep '^/etc/' "$work/package.files" > "$work/etc.files"
sort "$work/control/conffiles" 2>/dev/null | diff -u "$work/etc.files" - > "$work/conffiles.diff" ||
  { fail "conffiles are not the files under /etc:"; cat "$work/conffiles.diff"; }
for script in postinst postrm; do
  f=$work/control/$script
  [ -x "$f" ] || { fail "$script missing or not executable"; continue; }
  sh -n "$f" || fail "$script: syntax"
  if grep -Eqw 'start|restart|reload|invoke-rc\.d|--now|kill|pkill' <(grep -v '^ *#' "$f"); then
    fail "$script starts or stops something:"; grep -nEw 'start|restart|reload|invoke-rc\.d|--now|kill|pkill' "$f"
  fi
done
grep -q "deb-systemd-helper --user enable $QD_AGENT_UNIT" "$work/control/postinst" ||
  fail "postinst does not enable $QD_AGENT_UNIT for the users"
grep -q "deb-systemd-helper --user purge $QD_AGENT_UNIT" "$work/control/postrm" ||
  fail "postrm leaves $QD_AGENT_UNIT enabled"

# The changelog's top entry is this version; the ldconfig trigger is there
# because Carrow lies in a folder of the dynamic linker.
[ "$(zcat "$work/package.files.d/changelog.Debian.gz" 2>/dev/null | dpkg-parsechangelog -l - -S Version)" = "$QD_PACKAGE_VERSION" ] ||
  fail "changelog.Debian.gz does not start with version $QD_PACKAGE_VERSION"
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" 2>/dev/null || fail "no ldconfig trigger"
# lintian reads a binary package's copyright file loosely: the
# machine-readable form is checked here, strictly, with every licence that a
# Files paragraph names spelled out in a paragraph of its own.
/usr/bin/python3 - "$work/package.files.d/copyright" <<'PY' || fail "copyright is not a complete machine-readable file"
import re, sys
from debian import copyright as dep5
with open(sys.argv[1], encoding="utf-8") as f:
    c = dep5.Copyright(f, strict=True)
texts = {p.license.synopsis for p in c.all_license_paragraphs() if p.license.text.strip()}
missing = [name for p in c.all_files_paragraphs() for name in re.split(r" or | and |, ", p.license.synopsis)
           if not p.license.text.strip() and name.split(" with ")[0] not in texts]
if not c.header.known_format() or missing:
    sys.exit("copyright: %s" % (missing or "unknown Format"))
PY

if command -v lintian >/dev/null; then
  # Info tags are shown, not counted. As root lintian warns that it runs as
  # root; that line is not a finding of the package.
  lintian --fail-on error,warning --display-info "$deb" > "$work/lintian.log" 2>&1
  rc=$?
  grep -v 'running with root privileges' "$work/lintian.log"
  [ $rc -eq 0 ] || fail "lintian found errors or warnings (status $rc)"
  ! grep -q '^[EW]: ' "$work/lintian.log" || fail "lintian: errors or warnings above"
else
  fail "lintian is not installed (scripts/setup installs it)"
fi

[ $status -eq 0 ] && echo "package: fields, dependencies, $(wc -l < "$work/package.files") files, conffiles and scripts as expected"
exit $status
