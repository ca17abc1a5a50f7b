#!/usr/bin/env bash
# The Debian packages as an operator and a developer meet them, without
# installing them on this machine: built and checked by lintian
# (scripts/package.sh), unpacked into a scratch folder, a consumer built
# against the development package there, hkagent --check-config run from it,
# the unit verified and rated by systemd-analyze, and hkagent run under the
# unit's sandbox to show that its actions cannot write outside its state
# folder.
#   packaging_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$1
work=$(realpath -m "$2")
rm -rf "$work"
mkdir -p "$work"
root=$work/root

step() { echo "=== $*"; }
fail() {
   echo "FAILED: $*"
   exit 1
}

step "build the packages and run lintian"
bash "$src/scripts/package.sh" "$work/packages"
for deb in "$work"/packages/*.deb; do
   case $deb in *-dbgsym_*) ;; *) dpkg-deb -x "$deb" "$root" ;; esac
done

step "unpacked files"
arch_libdir=$(dirname "$(find "$root/usr/lib" -name 'libhksrv.so.0' | head -n1)")
[ -d "$arch_libdir" ] || fail "libhksrv.so.0 missing"
for f in usr/bin/hkagent usr/bin/hkquery usr/bin/hksnmp usr/include/hksrv/hksrv.h \
         lib/systemd/system/hkagent.service usr/lib/sysusers.d/hkagent.conf \
         etc/hkagent/hkagent.conf usr/share/man/man8/hkagent.8.gz \
         usr/share/man/man1/hkquery.1.gz usr/share/man/man1/hksnmp.1.gz; do
   [ -e "$root/$f" ] || fail "missing: $f"
done
[ "$(stat -c %a "$root/etc/hkagent/hkagent.conf")" = 640 ] || fail "hkagent.conf is not mode 0640"
for program in hkagent hkquery hksnmp; do
   ! readelf -d "$root/usr/bin/$program" | grep -qE 'RPATH|RUNPATH' || fail "$program has an RPATH"
done
for page in man8/hkagent.8.gz man1/hkquery.1.gz man1/hksnmp.1.gz; do
   warnings=$(LC_ALL=C man --warnings=w -l "$root/usr/share/man/$page" 2>&1 >/dev/null)
   [ -z "$warnings" ] || fail "$page: $warnings"
done
export LD_LIBRARY_PATH=$arch_libdir

step "consumer with find_package(hksrv) from the development package"
cmake -S "$src/tests/install/consumer" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$root/usr" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
"$work/consumer-cmake/consumer"

step "consumer with pkg-config"
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/consumer-pc" "$src/tests/install/consumer/main.cpp" \
    $(PKG_CONFIG_PATH=$arch_libdir/pkgconfig pkg-config --cflags --libs hksrv)
"$work/consumer-pc"

step "hkagent --check-config"
# The configuration as shipped has no secret: the service must not start.
status=0
output=$("$root/usr/bin/hkagent" --check-config "$root/etc/hkagent/hkagent.conf" 2>&1) || status=$?
[ "$status" -eq 1 ] || fail "the shipped configuration passed the check: $output"
grep -q "no Secret set" <<<"$output" || fail "no complaint about the secret: $output"
mkdir -p "$work/state/files" "$work/state/policies"
sed -e 's|^Secret =.*|Secret = "packaging test secret"|' -e "s|/var/lib/hkagent|$work/state|" \
    "$root/etc/hkagent/hkagent.conf" > "$work/hkagent.conf"
"$root/usr/bin/hkagent" --check-config "$work/hkagent.conf" | grep -q "configuration OK" ||
   fail "a configuration with a secret did not pass the check"

step "systemd-analyze verify and security"
unit=lib/systemd/system/hkagent.service
# The targets the unit names come from this machine's systemd.
cp -n /lib/systemd/system/*.target "$root/lib/systemd/system/"
systemd-analyze verify --root="$root" --man=no "$unit"
# Exposure 3.9 or less is "OK" or better.
systemd-analyze security --offline=yes --root="$root" --threshold=39 "$unit" | tail -n 1

step "hkagent under the unit's sandbox"
bash "$src/tests/packaging/sandbox_check.sh" "$root" "$work/sandbox"

echo "packaging test passed"
