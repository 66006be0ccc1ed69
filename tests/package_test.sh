#!/usr/bin/env bash
# The Debian package, as an operator gets it: built from the tree with dpkg-buildpackage (in a
# copy of the tree, so that nothing is written beside the repository), checked by lintian (no
# error, and no warning that debian/mavodaemon.lintian-overrides does not explain), installed
# with apt, and checked in place: the daemon and its version, the unit, the account and the log
# directory, the configuration (a conffile, root:mavo 0640), the manual pages, the logrotate
# entry, the alerting rules and the schema. mavoDaemon --check of the installed sample, run as
# mavo, fails on the sample's database, then passes once the configuration names a throwaway
# cluster. A reinstall keeps the edited configuration; removing keeps it too; purging removes
# it, the statoverride and the logs. The account is removed at the end when the test made it.
#
#   tests/package_test.sh        as root, on Debian 12; exits 77 (skipped) otherwise, or when
#                                the package is installed on this machine already
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" != 0 ]; then
  echo "skip - the package test installs a package: needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' mavodaemon 2>/dev/null | grep -q 'install ok'; then
  echo "skip - mavodaemon is installed on this machine: the test would remove it"
  exit 77
fi

work=$(mktemp -d /tmp/mavo-package-test.XXXXXX)
chmod 755 "$work"
had_account=0
getent passwd mavo >/dev/null && had_account=1
installed=0

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok - $what"
  else
    failed=$((failed + 1))
    echo "FAIL - $what"
  fi
}
eq() { [ "$1" = "$2" ] || { echo "  expected '$2', got '$1'"; return 1; }; }
has() { [[ $1 == *"$2"* ]] || { echo "  expected '$2' in:"; echo "$1" | sed 's/^/  | /'; return 1; }; }

finish() {
  if [ "$installed" = 1 ]; then
    apt-get purge -y -qq mavodaemon >"$work/cleanup.log" 2>&1 || true
  fi
  if [ "$had_account" = 0 ] && getent passwd mavo >/dev/null; then
    userdel mavo 2>/dev/null || true
    ! getent group mavo >/dev/null || groupdel mavo 2>/dev/null || true
  fi
  "$root/tests/support/pg_tmp.sh" "$work/pg" stop >/dev/null 2>&1 || true
  if [ "$failed" = 0 ]; then rm -rf "$work"; else echo "kept: $work"; fi
}
trap finish EXIT

# The version: the project's, which debian/changelog repeats.
version=$(sed -n 's/^project(mavoDaemon VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
check "debian/changelog has the project's version, $version" \
  eq "$(cd "$root" && dpkg-parsechangelog -S Version)" "$version"

# Build, in a copy of the tree: the files git knows, and those not yet added but not ignored.
src="$work/mavodaemon"
mkdir "$src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 cp --parents -t "$src")
else
  tar -C "$root" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$src" -xf -
fi
start=$(date +%s)
build_rc=0
(cd "$src" && dpkg-buildpackage -us -uc -b -j"$(nproc)") >"$work/build.log" 2>&1 || build_rc=$?
echo "  dpkg-buildpackage took $(($(date +%s) - start)) s"
check "dpkg-buildpackage -us -uc -b builds the package" eq "$build_rc" 0
if [ "$build_rc" != 0 ]; then
  tail -n 40 "$work/build.log"
  echo "$passed passed, $failed failed"
  exit 1
fi
arch=$(dpkg --print-architecture)
deb="mavodaemon_${version}_${arch}.deb"
check "it is $deb" [ -f "$work/$deb" ]

# lintian: nothing at error or warning level is left unexplained (the overrides say why).
lintian_rc=0
lintian --fail-on error,warning --display-info "$work/mavodaemon_${version}_${arch}.changes" \
  >"$work/lintian.txt" 2>&1 || lintian_rc=$?
sed 's/^/  lintian: /' "$work/lintian.txt"
check "lintian finds no error and no unexplained warning" eq "$lintian_rc" 0

# Installed as README says.
install_rc=0
(cd "$work" && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  "./$deb") >"$work/install.log" 2>&1 || install_rc=$?
installed=1
check "apt-get install ./$deb succeeds (without systemd running)" eq "$install_rc" 0
[ "$install_rc" = 0 ] || tail -n 20 "$work/install.log"

check "/usr/bin/mavoDaemon prints the version" eq "$(/usr/bin/mavoDaemon --version)" \
  "mavoDaemon $version"
unit=/lib/systemd/system/mavoDaemon.service
check "the unit is installed" [ -f "$unit" ]
check "the unit runs the installed daemon with the installed configuration" \
  eq "$(grep '^ExecStart=' "$unit")" "ExecStart=/usr/bin/mavoDaemon -f /etc/mavo/mavo.conf"
check "the unit is not enabled at installation" \
  eq "$(find /etc/systemd/system -name mavoDaemon.service 2>/dev/null)" ""
IFS=: read -r _ _ uid _ _ home shell < <(getent passwd mavo || true)
check "the system account mavo exists, without home or login shell" \
  eq "$([ "${uid:-1000}" -lt 1000 ] && echo system) $home $shell" \
  "system /nonexistent /usr/sbin/nologin"
check "/var/log/mavo is mavo:mavo, mode 0750" \
  eq "$(stat -c '%U:%G %a' /var/log/mavo 2>/dev/null)" "mavo:mavo 750"
check "the configuration is root:mavo, mode 0640" \
  eq "$(stat -c '%U:%G %a' /etc/mavo/mavo.conf 2>/dev/null)" "root:mavo 640"
conffiles=$(dpkg-query -W -f='${Conffiles}' mavodaemon)
check "the configuration and the logrotate entry are conffiles" \
  eq "$(echo "$conffiles" | awk 'NF { print $1 }' | sort | tr '\n' ' ')" \
  "/etc/logrotate.d/mavoDaemon /etc/mavo/mavo.conf "
while read -r section page; do
  path=$(man -w "$section" "$page" 2>/dev/null || true)
  check "man $section $page is installed" eq "$path" "/usr/share/man/man$section/$page.$section.gz"
  check "man --warnings finds nothing to say about $page($section)" \
    eq "$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 "$section" "$page" 2>&1 >/dev/null)" ""
done <<<$'8 mavoDaemon\n5 mavo.conf'
quietly() { "$@" >"$work/quietly.txt" 2>&1 || { sed 's/^/  | /' "$work/quietly.txt"; return 1; }; }
check "logrotate reads the installed entry" quietly logrotate -d /etc/logrotate.d/mavoDaemon
check "the alerting rules are installed and valid" \
  quietly promtool check rules /usr/share/mavo/prometheus/mavo.rules.yml
check "the reference schema is installed" cmp -s "$root/sql/schema.sql" /usr/share/mavo/schema.sql

# The check of the installed sample, as the daemon's account: it reads the configuration, and
# the sample's database is not there (or refuses the sample's password).
rc=0
out=$(runuser -u mavo -- mavoDaemon --check 2>&1) || rc=$?
check "mavoDaemon --check of the sample exits 1" eq "$rc" 1
check "it finds every key of the sample valid" has "$out" \
  "ok: configuration /etc/mavo/mavo.conf: every key is valid (daemon identifier 0)"
check "and names the connection that failed" has "$out" \
  $'\nerror: connection to server at "127.0.0.1", port 5432 failed: '

# The same configuration pointed at a throwaway cluster with one service: the check passes.
"$root/tests/support/pg_tmp.sh" "$work/pg" start >/dev/null
port=$(sed -n 's/.*port=\([0-9]*\).*/\1/p' "$work/pg/conninfo")
db() { PGPASSWORD=mavo_pw psql -X -q -At -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" -U mavo "$@"; }
db -d postgres -c "CREATE DATABASE mavo_package TEMPLATE schema_template;"
db -d mavo_package -c "
  INSERT INTO mavo_device (device_name, device_ip_address) VALUES ('localhost', '127.0.0.1');
  INSERT INTO mavo_plugins (plugin_path) VALUES ('/usr/lib/nagios/plugins/check_dummy');
  INSERT INTO mavo_services (service_name, service_plugin_id, service_device_id,
                             service_interval_time, service_parameter)
  SELECT 'dummy', plugin_id, device_id, 60000, '0 fine' FROM mavo_plugins, mavo_device;"
sed -i -e "s|^PGSQL_port=.*|PGSQL_port=$port|" -e "s|^PGSQL_db=.*|PGSQL_db=mavo_package|" \
  -e "s|^PGSQL_pwd=.*|PGSQL_pwd=mavo_pw|" /etc/mavo/mavo.conf
rc=0
out=$(runuser -u mavo -- mavoDaemon --check 2>&1) || rc=$?
check "against the test server, mavoDaemon --check as mavo exits 0" eq "$rc" 0
check "and says why" has "$out" $'ok: services: 1 services to load, none refused, every plugin can be started\ncheck passed'
[ "$rc" = 0 ] || echo "$out" | sed 's/^/  | /'

# A reinstall keeps the edited configuration, with its group and mode.
rc=0
dpkg -i "$work/$deb" >"$work/reinstall.log" 2>&1 || rc=$?
check "a reinstall succeeds" eq "$rc" 0
check "and keeps the edited configuration" grep -qx 'PGSQL_db=mavo_package' /etc/mavo/mavo.conf
check "as root:mavo, 0640" eq "$(stat -c '%U:%G %a' /etc/mavo/mavo.conf)" "root:mavo 640"

# Removing keeps the configuration; purging removes it, the statoverride and the logs.
apt-get remove -y -qq mavodaemon >"$work/remove.log" 2>&1
check "removing takes the daemon away" [ ! -e /usr/bin/mavoDaemon ]
check "and keeps the configuration" grep -qx 'PGSQL_db=mavo_package' /etc/mavo/mavo.conf
apt-get purge -y -qq mavodaemon >"$work/purge.log" 2>&1
installed=0
check "purging removes the configuration and the logrotate entry" \
  [ ! -e /etc/mavo -a ! -e /etc/logrotate.d/mavoDaemon ]
check "and the configuration's statoverride" \
  eq "$(dpkg-statoverride --list /etc/mavo/mavo.conf || true)" ""
check "and the log directory" [ ! -e /var/log/mavo ]
check "and leaves no trace in dpkg" eq "$(dpkg-query -W -f='${Status}' mavodaemon 2>/dev/null || true)" ""

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
