#!/usr/bin/env bash
# The demo end to end: scripts/demo.sh --duration 30 with the given daemon binary, its own run
# directory and its own cluster (kept up with --keep-cluster so that the database can be
# questioned here), then the cluster is stopped with --stop-cluster and nothing of the run may be
# left running.
#
#   tests/demo_test.sh MAVO_DAEMON
set -euo pipefail

daemon=${1:?usage: demo_test.sh MAVO_DAEMON}
root=$(cd "$(dirname "$0")/.." && pwd)
run=$(mktemp -d /tmp/mavo-demo-test.XXXXXX)
chmod 755 "$run"

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

finish() {
  "$root/scripts/demo.sh" --run-dir "$run" --stop-cluster >/dev/null 2>&1 || true
  if [ "$failed" = 0 ]; then
    rm -rf "$run"
  else
    echo "the run directory is kept: $run"
  fi
}
trap finish EXIT

demo_rc=0
"$root/scripts/demo.sh" --duration 30 --daemon "$daemon" --run-dir "$run" --keep-cluster \
  >"$run/demo.out" 2>&1 || demo_rc=$?
cat "$run/demo.out"
check "demo.sh exits 0 after the daemon stopped cleanly" [ "$demo_rc" = 0 ]
check "the summary says the daemon exited with status 0" \
  grep -q "daemon exit status 0" "$run/summary.txt"
check "the summary shows runs stored, the lag and a healthy daemon from the metrics endpoint" \
  grep -qE "^metrics: +http://127\.0\.0\.1:[0-9]+/metrics: [1-9][0-9]* runs stored .*scheduling lag: mean .*journal: 0 writes.*health: ok" \
  "$run/summary.txt"

conninfo=$(cat "$run/conninfo")
q() { psql -X -At -v ON_ERROR_STOP=1 "$conninfo" -c "$1"; }
eq() { [ "$1" = "$2" ] || { echo "  expected '$2', got '$1'"; return 1; }; }
ge() { [ "$1" -ge "$2" ] || { echo "  expected at least $2, got $1"; return 1; }; }

services=$(q "SELECT count(*) FROM mavo_services;")
check "the demo holds some twenty services, the late one included" ge "$services" 20
check "every service recorded runs" \
  eq "$(q "SELECT string_agg(service_name, ', ') FROM mavo_services
            WHERE service_last_exec_time IS NULL;")" ""
check "every service ran at least twice, apart from the one not run in maintenance" \
  eq "$(q "SELECT string_agg(s.service_name, ', ') FROM mavo_services s
             LEFT JOIN demo_service_runs r USING (service_id)
            WHERE coalesce(r.runs, 0) < 2 AND s.service_name <> 'lab noexec maintenance';")" ""
check "the service added while running was loaded and run" \
  ge "$(q "SELECT coalesce(max(r.runs), 0) FROM mavo_services s JOIN demo_service_runs r
            USING (service_id) WHERE s.service_name = 'lab late arrival';")" 1

flapper="(SELECT service_id FROM mavo_services WHERE service_name = 'lab flapper')"
check "the flapper opened incidents" \
  ge "$(q "SELECT count(*) FROM mavo_error_happen WHERE happen_service_id = $flapper;")" 2
check "the flapper's incidents were acknowledged on recovery" \
  ge "$(q "SELECT count(*) FROM mavo_error_happen WHERE happen_service_id = $flapper
            AND happen_acquitte = 1 AND happen_time_acquitte IS NOT NULL;")" 1
check "fixed states are stored as the plugins return them" \
  eq "$(q "SELECT string_agg(service_previous_state::text, ' ' ORDER BY service_name)
             FROM mavo_services WHERE service_name IN ('lab dummy ok', 'lab dummy warning',
                  'lab dummy critical', 'lab dummy unknown');")" "2 0 3 1"
check "the EXEC and NOEXEC windows put their services into maintenance" \
  eq "$(q "SELECT string_agg(service_previous_state::text, ' ' ORDER BY service_name)
             FROM mavo_services WHERE service_name IN ('lab exec maintenance',
                  'lab noexec maintenance');")" "5 5"
check "the first failure in the FIRSTERROR window opened a maintenance incident" \
  ge "$(q "SELECT count(*) FROM mavo_error_happen h JOIN mavo_services s
             ON s.service_id = h.happen_service_id JOIN mavo_errors e ON e.error_id = h.happen_error_id
            WHERE s.service_name = 'lab flapper, first-error maintenance'
              AND e.error_name = 'default_maintenance';")" 1
check "the SNMP macros reached the plugin's arguments" \
  grep -q -- '\[-H\] \[127.0.0.2\] \[-v\] \[2\] \[-p\] \[161\] \[-C\] \[public\] \[-n\] \[demo-switch\]' \
  <<<"$(q "SELECT service_last_stdout FROM mavo_services
            WHERE service_name = 'switch snmp arguments';")"

alert_ids=$(grep -o 'incident=[^ ]*' "$run/alerts.log" 2>/dev/null | cut -d= -f2 | sort -u || true)
check "the alerting program received incident ids" [ -n "$alert_ids" ]
unknown_ids=""
for id in $alert_ids; do
  case "$id" in
    '' | *[!0-9]*) unknown_ids="$unknown_ids $id" ;;
    *) [ "$(q "SELECT count(*) FROM mavo_error_happen WHERE happen_id = $id;")" = 1 ] ||
      unknown_ids="$unknown_ids $id" ;;
  esac
done
check "every id the alerting program received is an incident of the database" eq "$unknown_ids" ""
check "the flapper alerted on CRITICAL and on the recovery" \
  ge "$(grep -c 'service=flapper incident=' "$run/alerts.log" || true)" 2

pgdir=$(cat "$run/pgdir")
"$root/scripts/demo.sh" --run-dir "$run" --stop-cluster >/dev/null
left=$( (pgrep -f -- "$run"; pgrep -f -- "$pgdir/data") | sort -u || true)
check "no daemon and no postgres of the demo run are left" eq "$left" ""
check "the daemon's pid file is gone" [ ! -e "$run/daemon.pid" ]
check "the logs of the run are kept" [ -s "$run/daemon.log" ]

# Three daemons sharing the demo's services, one killed halfway: the services move to the
# others, and none runs on two daemons within its interval.
crun=$(mktemp -d /tmp/mavo-demo-cluster-test.XXXXXX)
chmod 755 "$crun"
cluster_rc=0
"$root/scripts/demo.sh" --cluster 3 --duration 30 --daemon "$daemon" --run-dir "$crun" \
  >"$crun/demo.out" 2>&1 || cluster_rc=$?
cat "$crun/demo.out"
check "demo.sh --cluster 3 exits 0" [ "$cluster_rc" = 0 ]
check "its summary shows the second daemon killed and services run by several daemons" \
  grep -qE "^moved: +[1-9][0-9]* services ran on more than one daemon" "$crun/summary.txt"
check "its summary shows no service run on two daemons within its interval" \
  grep -qE "^run twice: +0 runs" "$crun/summary.txt"
check "each remaining daemon left its identifier, handing its services over" \
  eq "$(grep -l 'cluster: n[13] left identifier 0' "$crun"/daemon-n*.log | wc -l)" 2
left=$(pgrep -f -- "$crun" || true)
check "no daemon of the cluster demo is left" eq "$left" ""
[ "$failed" = 0 ] && rm -rf "$crun"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
