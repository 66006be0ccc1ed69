#!/usr/bin/env bash
# The installed layout: `cmake --install BUILD_DIR --prefix <temp>` lays out the binary, the
# commented sample configuration, the logrotate entry, the systemd unit, the sysusers.d and
# tmpfiles.d entries of the account mavo, the reference schema, the alerting rules and the
# manual pages (which man formats without a warning, and which name the version); the
# entries create the account and the log directory in a scratch root; the unit's exposure
# level from `systemd-analyze security` is 3.5 at most; the installed binary starts with the
# installed sample configuration, edited to point at a throwaway database, and stops with
# SIGTERM and status 0. Also the /usr layout (through
# DESTDIR), a second install over an edited configuration, the configuration's group when
# installing as root, and, where systemd is PID 1, the installed daemon run by systemd under
# the installed unit's sandbox, checking this machine with check_icmp and check_disk.
#
#   tests/install_test.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: install_test.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/mavo-install-test.XXXXXX)
chmod 755 "$work"
prefix="$work/prefix"
daemon_pid=""
sandbox_unit=""   # the transient unit of the sandboxed run, and what it leaves outside $work
sandbox_dir=""
sandbox_logs=""
remove_log_dir=0

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
matches() { [[ $1 =~ $2 ]] || { echo "  expected a match of '$2', got '$1'"; return 1; }; }

finish() {
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -KILL "$daemon_pid" 2>/dev/null || true
  fi
  if [ -n "$sandbox_unit" ]; then
    systemctl stop "$sandbox_unit" >/dev/null 2>&1 || true
    systemctl reset-failed "$sandbox_unit" >/dev/null 2>&1 || true
  fi
  [ -z "$sandbox_dir" ] || rm -rf "$sandbox_dir"
  [ -z "$sandbox_logs" ] || rm -rf "/var/log/$sandbox_logs"
  [ "$remove_log_dir" = 0 ] || rmdir /var/log/mavo 2>/dev/null || true
  "$root/tests/support/pg_tmp.sh" "$work/pg" stop >/dev/null 2>&1 || true
  if [ "$failed" = 0 ]; then rm -rf "$work"; else echo "kept: $work"; fi
}
trap finish EXIT

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1

conf="$prefix/etc/mavo/mavo.conf"
unit="$prefix/lib/systemd/system/mavoDaemon.service"
sysusers="$prefix/lib/sysusers.d/mavo.conf"
tmpfiles="$prefix/lib/tmpfiles.d/mavo.conf"
check "bin/mavoDaemon is installed and executable" [ -x "$prefix/bin/mavoDaemon" ]
check "etc/mavo/mavo.conf is installed" [ -f "$conf" ]
check "the sample configuration is readable by its owner and group only" \
  eq "$(stat -c %a "$conf")" 640
check "lib/systemd/system/mavoDaemon.service is installed" [ -f "$unit" ]
check "etc/logrotate.d/mavoDaemon is the logrotate entry" cmp -s "$root/packaging/logrotate.conf" \
  "$prefix/etc/logrotate.d/mavoDaemon"
check "share/mavo/schema.sql is the reference schema" cmp -s "$root/sql/schema.sql" \
  "$prefix/share/mavo/schema.sql"
check "share/mavo holds every SQL file of sql/" \
  eq "$(cd "$root/sql" && ls *.sql)" "$(cd "$prefix/share/mavo" && ls *.sql)"
check "share/mavo/prometheus/mavo.rules.yml is the alerting rules" \
  cmp -s "$root/packaging/mavo.rules.yml" "$prefix/share/mavo/prometheus/mavo.rules.yml"
# The manual pages: formatted without a warning, and they name the version the binary prints.
version=$("$prefix/bin/mavoDaemon" --version)
for page in man8/mavoDaemon.8 man5/mavo.conf.5; do
  check "share/man/$page is installed" [ -f "$prefix/share/man/$page" ]
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$prefix/share/man/$page" 2>&1 \
    >/dev/null || echo "man failed")
  check "man --warnings finds nothing to say about $page" eq "$warnings" ""
  check "$page names the version, $version" grep -q "^\.TH [^ ]* [0-9] \"\" \"$version\"" \
    "$prefix/share/man/$page"
done
check "the unit starts the installed binary with the installed configuration" \
  eq "$(grep '^ExecStart=' "$unit")" "ExecStart=$prefix/bin/mavoDaemon -f $conf"
check "the unit stops the daemon with SIGTERM" grep -qx 'KillSignal=SIGTERM' "$unit"
check "the unit has no placeholder left" eq "$(grep -cE '@[A-Z_]+@' "$unit" || true)" 0
check "the unit runs the daemon as the user and group mavo" \
  eq "$(grep -E '^(User|Group)=' "$unit" | tr '\n' ' ')" "User=mavo Group=mavo "

# The unit's sandbox, as systemd rates it; the settings must all be known to this systemd.
analyze_rc=0
systemd-analyze security --offline=true --no-pager "$unit" >"$work/security.txt" \
  2>"$work/security.err" || analyze_rc=$?
check "systemd-analyze security reads the unit" eq "$analyze_rc" 0
check "systemd knows every setting of the unit" eq "$(cat "$work/security.err")" ""
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: *\([0-9.]*\).*/\1/p' "$work/security.txt")
echo "  overall exposure level of the installed unit: ${exposure:-none}"
check "the unit's overall exposure level is 3.5 or less" \
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e + 0 <= 3.5) }'

# The account and the log directory, created by the installed entries in a scratch root.
check "lib/sysusers.d/mavo.conf is installed" [ -f "$sysusers" ]
check "lib/tmpfiles.d/mavo.conf is installed" [ -f "$tmpfiles" ]
scratch="$work/scratch-root"
mkdir -p "$scratch/etc"
check "systemd-sysusers accepts the entry" systemd-sysusers --root="$scratch" "$sysusers"
IFS=: read -r _ _ mavo_uid mavo_gid _ mavo_home mavo_shell < <(grep '^mavo:' "$scratch/etc/passwd" || true)
check "it creates the system user mavo, with no home and no login shell" \
  eq "$([ "${mavo_uid:-1000}" -lt 1000 ] && echo system) $mavo_home $mavo_shell" \
  "system /nonexistent /usr/sbin/nologin"
check "and the group mavo, the user's primary group" \
  eq "$(grep '^mavo:' "$scratch/etc/group" | cut -d: -f3)" "${mavo_gid:-none}"
tmpfiles_rc=0
systemd-tmpfiles --root="$scratch" --create "$tmpfiles" >"$work/tmpfiles.log" 2>&1 || tmpfiles_rc=$?
check "systemd-tmpfiles creates /var/log/mavo with mode 0750" \
  eq "$(stat -c %a "$scratch/var/log/mavo" 2>/dev/null)" 750
if [ "$(id -u)" = 0 ]; then
  check "systemd-tmpfiles succeeds" eq "$tmpfiles_rc" 0
  check "/var/log/mavo belongs to mavo:mavo" \
    eq "$(stat -c %u:%g "$scratch/var/log/mavo" 2>/dev/null)" "$mavo_uid:$mavo_gid"
fi

# The sample configuration gets the group mavo when installing as root to the real system and
# the group exists; otherwise the install says what to run.
if [ "$(id -u)" = 0 ] && getent group mavo >/dev/null; then
  check "installed as root, the sample configuration is group mavo" eq "$(stat -c %G "$conf")" mavo
else
  check "the install says how to create the account and give the configuration its group" \
    grep -qF "systemd-sysusers $sysusers && systemd-tmpfiles --create $tmpfiles && chgrp mavo $conf" \
    "$work/install.log"
fi

# Every key the daemon reads is set in the sample, after a comment line explaining it.
missing=""
for key in log_info_file log_daemon_file daemon_id core_number thread_number load_mod \
  interval_check_update verify_state_change wait_state_verify plugin_timeout metrics_listen journal_max_bytes \
  connection_number PGSQL_host PGSQL_port PGSQL_db PGSQL_username PGSQL_pwd PGSQL_timeout \
  PGSQL_options; do
  line=$(grep -n "^$key=" "$conf" | cut -d: -f1 | head -n 1)
  if [ -z "$line" ] || ! sed -n "$((line - 1))p" "$conf" | grep -q '^#'; then
    missing="$missing $key"
  fi
done
check "the sample sets every key, each after its comment" eq "$missing" ""

# The installed binary with the installed sample, pointed at a throwaway database.
"$root/tests/support/pg_tmp.sh" "$work/pg" start
port=$(sed -n 's/.*port=\([0-9]*\).*/\1/p' "$work/pg/conninfo")
PGPASSWORD=mavo_pw psql -X -q -h 127.0.0.1 -p "$port" -U mavo -d postgres \
  -c "CREATE DATABASE mavo_install TEMPLATE schema_template;"
sed -i -e "s|^log_info_file=.*|log_info_file=$work/status.txt|" \
  -e "s|^log_daemon_file=.*|log_daemon_file=$work/daemon.log|" \
  -e "s|^load_mod=.*|load_mod=2|" \
  -e "s|^interval_check_update=.*|interval_check_update=2|" \
  -e "s|^PGSQL_host=.*|PGSQL_host=127.0.0.1|" \
  -e "s|^PGSQL_port=.*|PGSQL_port=$port|" \
  -e "s|^PGSQL_db=.*|PGSQL_db=mavo_install|" \
  -e "s|^PGSQL_pwd=.*|PGSQL_pwd=mavo_pw|" "$conf"

"$prefix/bin/mavoDaemon" -f "$conf" >"$work/stdout.txt" 2>&1 &
daemon_pid=$!
started=0
for _ in $(seq 1 120); do
  if grep -q "MAVO was starting...." "$work/daemon.log" 2>/dev/null; then started=1; break; fi
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.5
done
check "the installed daemon logs 'MAVO was starting....'" [ $started = 1 ]
check "the status file named by the sample is written" [ -s "$work/status.txt" ]

kill -TERM "$daemon_pid" 2>/dev/null || true
rc=0
for _ in $(seq 1 120); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.5; done
wait "$daemon_pid" || rc=$?
daemon_pid=""
check "SIGTERM stops it with status 0" eq "$rc" 0
check "it logs 'MAVO is stopping....'" grep -q "MAVO is stopping...." "$work/daemon.log"
if [ "$failed" != 0 ]; then
  echo "--- daemon log"
  cat "$work/daemon.log" "$work/stdout.txt" 2>/dev/null || true
fi

# Installing again keeps the edited configuration and puts the sample beside it.
cmake --install "$build" --prefix "$prefix" >"$work/install2.log" 2>&1
check "a second install keeps the edited configuration" grep -q "^PGSQL_db=mavo_install$" "$conf"
check "a second install puts the sample beside it" cmp -s "$root/packaging/mavo.conf" \
  "$prefix/etc/mavo/mavo.conf.sample"

# The prefix /usr keeps the configuration in /etc.
dest_rc=0
DESTDIR="$work/dest" cmake --install "$build" --prefix /usr >"$work/install3.log" 2>&1 || dest_rc=$?
check "a DESTDIR install succeeds" eq "$dest_rc" 0
check "with the prefix /usr the configuration goes to /etc/mavo" [ -f "$work/dest/etc/mavo/mavo.conf" ]
check "with the prefix /usr the unit goes to /usr/lib/systemd/system and names /usr and /etc" \
  eq "$(grep '^ExecStart=' "$work/dest/usr/lib/systemd/system/mavoDaemon.service" 2>/dev/null)" \
  "ExecStart=/usr/bin/mavoDaemon -f /etc/mavo/mavo.conf"
check "with the prefix /usr the account entries go to /usr/lib/sysusers.d and tmpfiles.d" \
  [ -f "$work/dest/usr/lib/sysusers.d/mavo.conf" -a -f "$work/dest/usr/lib/tmpfiles.d/mavo.conf" ]
check "a DESTDIR install leaves the account to the target system, and says so" \
  grep -qF "systemd-sysusers /usr/lib/sysusers.d/mavo.conf && systemd-tmpfiles --create /usr/lib/tmpfiles.d/mavo.conf && chgrp mavo /etc/mavo/mavo.conf" \
  "$work/install3.log"
check "the group of what a DESTDIR install lays out is left alone" \
  eq "$(stat -c %g "$work/dest/etc/mavo/mavo.conf")" "$(id -g)"

# As root, with a group mavo (in a private mount namespace, so that this machine is left as it
# is): the sample gets that group, and so does an edited configuration left group root by an
# earlier install.
if [ "$(id -u)" != 0 ]; then
  echo "skip - the configuration's group: needs root"
elif [ -S /run/nscd/socket ] || ! unshare -m true 2>/dev/null; then
  echo "skip - the configuration's group: no private mount namespace (or nscd caches groups)"
elif ! getent group mavo >/dev/null; then
  gid=64900
  while getent group "$gid" >/dev/null; do gid=$((gid + 1)); done
  { cat /etc/group; echo "mavo:x:$gid:"; } >"$work/group"
  grp_prefix="$work/grp-prefix"
  unshare -m sh -c 'mount --bind "$1" /etc/group && cmake --install "$2" --prefix "$3" &&
      chgrp root "$3/etc/mavo/mavo.conf" && cmake --install "$2" --prefix "$3"' \
    sh "$work/group" "$build" "$grp_prefix" >"$work/install4.log" 2>&1 || true
  check "as root with a group mavo, the sample and an edited configuration of group root get it" \
    eq "$(stat -c %g "$grp_prefix/etc/mavo/mavo.conf.sample" "$grp_prefix/etc/mavo/mavo.conf" \
      2>/dev/null | tr '\n' ' ')" "$gid $gid "
  check "and both stay readable by owner and group only" \
    eq "$(stat -c %a "$grp_prefix/etc/mavo/mavo.conf.sample" "$grp_prefix/etc/mavo/mavo.conf" \
      2>/dev/null | tr '\n' ' ')" "640 640 "
else
  echo "skip - the configuration's group in a private namespace: this machine has a group mavo"
fi

# The installed daemon run by systemd under the installed unit's settings (all of [Service] but
# ExecStart= and the restart policy, read from the unit so that they cannot drift), as the
# user mavo, checking this machine with check_icmp (raw sockets) and check_disk. Its files live
# under /run, since the unit's PrivateTmp= hides the host's /tmp (and with it $work and the
# cluster's socket directory: the daemon reaches the cluster over TCP on 127.0.0.1), and its
# logs in a log directory of its own, not in the real /var/log/mavo.
sandboxed_run() {
  systemd-sysusers "$sysusers" || true
  check "systemd-sysusers creates the account mavo on this system" getent passwd mavo
  [ -d /var/log/mavo ] || remove_log_dir=1

  sandbox_dir=$(mktemp -d /run/mavo-install-test.XXXXXX)
  chmod 755 "$sandbox_dir"
  sandbox_logs=$(basename "$sandbox_dir")
  sandbox_unit="$sandbox_logs.service"
  local sb="$sandbox_dir/prefix"
  local sbconf="$sb/etc/mavo/mavo.conf"
  local logs="/var/log/$sandbox_logs"
  cmake --install "$build" --prefix "$sb" >"$work/install-sandbox.log" 2>&1
  check "installed as root with the account present, the configuration is group mavo" \
    eq "$(stat -c %G "$sbconf")" mavo

  PGPASSWORD=mavo_pw psql -X -q -h 127.0.0.1 -p "$port" -U mavo -d postgres \
    -c "CREATE DATABASE mavo_sandbox TEMPLATE schema_template;"
  sbq() { PGPASSWORD=mavo_pw psql -X -At -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" -U mavo \
    -d mavo_sandbox -c "$1"; }
  local plugins=/usr/lib/nagios/plugins
  sbq "INSERT INTO mavo_device (device_name, device_ip_address) VALUES ('localhost', '127.0.0.1');
       INSERT INTO mavo_plugins (plugin_path) VALUES ('$plugins/check_icmp'), ('$plugins/check_disk');
       INSERT INTO mavo_services (service_name, service_plugin_id, service_device_id,
                                  service_interval_time, service_parameter)
       SELECT 'sandbox ' || substr(plugin_path, length('$plugins/check_') + 1), plugin_id,
              device_id, 3000,
              CASE WHEN plugin_path LIKE '%icmp' THEN '-H 127.0.0.1' ELSE '-w 10% -c 5% -p /' END
         FROM mavo_plugins, mavo_device;" >/dev/null
  sed -i -e "s|^log_info_file=.*|log_info_file=$logs/status.txt|" \
    -e "s|^log_daemon_file=.*|log_daemon_file=$logs/mavoDaemon.log|" \
    -e "s|^load_mod=.*|load_mod=2|" \
    -e "s|^interval_check_update=.*|interval_check_update=2|" \
    -e "s|^verify_state_change=.*|verify_state_change=0|" \
    -e "s|^PGSQL_host=.*|PGSQL_host=127.0.0.1|" \
    -e "s|^PGSQL_port=.*|PGSQL_port=$port|" \
    -e "s|^PGSQL_db=.*|PGSQL_db=mavo_sandbox|" \
    -e "s|^PGSQL_pwd=.*|PGSQL_pwd=mavo_pw|" "$sbconf"

  local props=() section="" line
  while IFS= read -r line; do
    case $line in
      '' | '#'*) continue ;;
      '['*) section=$line; continue ;;
      ExecStart=* | Restart=* | RestartSec=*) continue ;;
    esac
    [ "$section" != "[Service]" ] || props+=(-p "$line")
  done <"$sb/lib/systemd/system/mavoDaemon.service"
  props+=(-p "LogsDirectory=$sandbox_logs")

  systemd-run --unit="$sandbox_unit" --wait --collect "${props[@]}" \
    "$sb/bin/mavoDaemon" -f "$sbconf" >"$work/systemd-run.log" 2>&1 &
  local run_pid=$! ran=0 ready=0
  for _ in $(seq 1 120); do
    [ "$ready" = 1 ] || [ "$(systemctl is-active "$sandbox_unit" 2>/dev/null)" != active ] || ready=1
    if [ "$(sbq "SELECT count(*) FROM mavo_services WHERE service_last_exec_time IS NOT NULL")" = 2 ]
    then
      ran=1
      [ "$ready" = 0 ] || break
    fi
    kill -0 "$run_pid" 2>/dev/null || break
    sleep 0.5
  done
  check "the sandboxed daemon stores the results of both services" [ "$ran" = 1 ]
  check "it tells systemd it is ready (the unit is active)" [ "$ready" = 1 ]
  local icmp disk
  icmp=$(sbq "SELECT service_previous_state || ' ' || service_last_stdout FROM mavo_services
               WHERE service_name = 'sandbox icmp'")
  disk=$(sbq "SELECT service_previous_state || ' ' || service_last_stdout FROM mavo_services
               WHERE service_name = 'sandbox disk'")
  check "check_icmp of 127.0.0.1 is OK under the sandbox (raw sockets as mavo)" \
    matches "$icmp" '^0 OK - 127\.0\.0\.1'
  check "check_disk of / runs under the sandbox" matches "$disk" '^[012] DISK (OK|WARNING|CRITICAL)'
  check "the daemon log is written to the unit's log directory" \
    grep -q "MAVO was starting...." "$logs/mavoDaemon.log"
  check "no plugin failed to execute" eq "$(grep -c 'not executable' "$logs/mavoDaemon.log")" 0
  check "the daemon log belongs to mavo and is not readable by others" \
    matches "$(stat -c '%U %a' "$logs/mavoDaemon.log" 2>/dev/null)" '^mavo [0-7][0-7]0$'

  systemctl stop "$sandbox_unit" || true
  local rc=0
  wait "$run_pid" || rc=$?
  check "systemctl stop ends the sandboxed daemon with status 0" eq "$rc" 0
  if [ "$failed" != 0 ]; then
    echo "--- systemd-run"
    cat "$work/systemd-run.log"
    echo "--- sandboxed daemon log"
    cat "$logs/mavoDaemon.log" 2>/dev/null || true
  fi
}
if [ ! -d /run/systemd/system ]; then
  echo "skip - sandboxed run: systemd is not PID 1 here"
elif [ "$(id -u)" != 0 ]; then
  echo "skip - sandboxed run: needs root"
else
  sandboxed_run
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
