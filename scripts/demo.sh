#!/usr/bin/env bash
# The demo: installs what is missing, builds mavoDaemon, starts a private PostgreSQL cluster
# holding a demo data set (some twenty services that check this machine), runs the daemon in the
# foreground and shows what it does. After 10 s a new service is added to the database and the
# daemon picks it up without a restart.
#
#   scripts/demo.sh                 live view refreshed every 2 s; Ctrl-C (or SIGTERM) stops
#   scripts/demo.sh --duration N    runs N seconds, then prints a summary
#
# Options:
#   --duration N      non-interactive: stop the daemon after N seconds and print a summary
#   --keep-cluster    leave the demo database running after the daemon has stopped; its
#                     connection string is in RUN_DIR/conninfo (database mavo_demo)
#   --stop-cluster    only stop a cluster left running by --keep-cluster, then exit
#   --run-dir DIR     where the configuration, logs, status file and cluster go
#                     (default: demo-run/ in the checkout)
#   --daemon PATH     run this mavoDaemon binary; skips the package install and the build
#   --cluster N       run N daemons (2 to 9) sharing the demo's services (cluster_lease), and
#                     kill one of them with SIGKILL halfway (at 40 s in the live view): the
#                     view and the summary show which daemon runs what, the services moving,
#                     and whether any service ran on two daemons within its interval
#
# Everything the run produced stays in RUN_DIR: daemon.log (the daemon's log), status.txt (its
# status file), alerts.log (what the alerting program received), summary.txt, postgres.log,
# mavo.conf (with --cluster: daemon-nK.log, status-nK.txt, mavo-nK.conf for each daemon nK).
# Exit status: 0 when the daemon ran and stopped cleanly after SIGTERM, 1 otherwise (with
# --cluster: every daemon but the one killed, and no service run twice within its interval).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }

duration=""
keep_cluster=0
stop_only=0
run_dir="$root/demo-run"
daemon=""
cluster_n=0
while [ $# -gt 0 ]; do
  case "$1" in
    --duration)
      duration=${2:-}
      shift 2 || { usage >&2; exit 2; }
      case "$duration" in '' | *[!0-9]* | 0) echo "demo.sh: --duration needs a number of seconds" >&2; exit 2 ;; esac
      ;;
    --keep-cluster) keep_cluster=1; shift ;;
    --stop-cluster) stop_only=1; shift ;;
    --run-dir) run_dir=${2:?--run-dir needs a directory}; shift 2 ;;
    --daemon) daemon=${2:?--daemon needs a path}; shift 2 ;;
    --cluster)
      cluster_n=${2:-}
      shift 2 || { usage >&2; exit 2; }
      case "$cluster_n" in [2-9]) ;; *) echo "demo.sh: --cluster needs 2 to 9 daemons" >&2; exit 2 ;; esac
      ;;
    -h | --help) usage; exit 0 ;;
    *) echo "demo.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done

mkdir -p "$run_dir"
run_dir=$(cd "$run_dir" && pwd)
pg_tmp="$root/tests/support/pg_tmp.sh"
nagios_dir=/usr/lib/nagios/plugins
db=mavo_demo
interactive=1
[ -n "$duration" ] && interactive=0

say() { printf '==> %s\n' "$*"; }

# The cluster normally lives in RUN_DIR/pg. Its Unix socket must fit in 107 bytes, and when run
# as root the cluster belongs to the postgres user, who must be able to reach it: otherwise it
# goes to a directory under /tmp, recorded in RUN_DIR/pgdir.
cluster_dir() {
  if [ -f "$run_dir/pgdir" ]; then
    cat "$run_dir/pgdir"
    return
  fi
  local dir="$run_dir/pg"
  local reachable=1
  if [ "$(id -u)" = 0 ] && ! runuser -u postgres -- test -x "$run_dir" 2>/dev/null; then
    reachable=0
  fi
  if [ $((${#dir} + 20)) -gt 100 ] || [ $reachable = 0 ]; then
    dir=$(mktemp -d /tmp/mavo-demo-pg.XXXXXX)
  fi
  echo "$dir" >"$run_dir/pgdir"
  echo "$dir"
}

stop_cluster() {
  [ -f "$run_dir/pgdir" ] || return 0
  local dir
  dir=$(cat "$run_dir/pgdir")
  if [ -f "$dir/server.log" ]; then cp "$dir/server.log" "$run_dir/postgres.log" 2>/dev/null || true; fi
  "$pg_tmp" "$dir" stop || true
  rm -f "$run_dir/pgdir" "$run_dir/conninfo"
}

if [ $stop_only = 1 ]; then
  if [ -f "$run_dir/pgdir" ]; then
    say "stopping the demo cluster"
    stop_cluster
  else
    echo "demo.sh: no demo cluster recorded in $run_dir"
  fi
  exit 0
fi

# A daemon of an earlier demo that is still running would share the run directory.
if [ -f "$run_dir/daemon.pid" ]; then
  old=$(cat "$run_dir/daemon.pid")
  if [ -n "$old" ] && kill -0 "$old" 2>/dev/null &&
    tr '\0' ' ' <"/proc/$old/cmdline" 2>/dev/null | grep -q -- "$run_dir/mavo.conf"; then
    echo "demo.sh: a demo daemon (pid $old) is still running with $run_dir; stop it first" >&2
    exit 1
  fi
  rm -f "$run_dir/daemon.pid"
fi

if [ -z "$daemon" ]; then
  say "installing missing packages (scripts/install-deps.sh)"
  scripts/install-deps.sh
  say "building mavoDaemon in build-demo/"
  generator=()
  command -v ninja >/dev/null && [ ! -f build-demo/CMakeCache.txt ] && generator=(-G Ninja)
  cmake -S . -B build-demo "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build build-demo --target mavoDaemon -j "$(nproc)"
  daemon="$root/build-demo/mavoDaemon"
fi
[ -x "$daemon" ] || { echo "demo.sh: $daemon is not an executable" >&2; exit 1; }
[ -x "$nagios_dir/check_dummy" ] || {
  echo "demo.sh: $nagios_dir/check_dummy is missing (package monitoring-plugins-basic)" >&2
  exit 1
}

# A new run starts from clean files; the cluster of an earlier --keep-cluster run is replaced.
stop_cluster
rm -f "$run_dir"/{daemon.log,daemon.out,status.txt,alerts.log,summary.txt,postgres.log,mavo.conf,metrics.last} \
  "$run_dir"/*.state "$run_dir"/daemon-n*.{log,out,pid} "$run_dir"/status-n*.txt \
  "$run_dir"/mavo-n*.conf "$run_dir"/metrics-n*.last
chmod 755 "$run_dir"

daemon_pid=""
member_pids=()  # with --cluster: the daemons n1, n2, ... in order
killed_member=""
cluster_up=0
stop_requested=0
finished=0

# Whatever ends the script, the daemon gets SIGTERM and the cluster is stopped (unless kept).
cleanup() {
  if [ $finished = 1 ]; then return 0; fi
  for pid in "${member_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -TERM "$daemon_pid" 2>/dev/null || true
    for _ in $(seq 1 60); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 1; done
    kill -KILL "$daemon_pid" 2>/dev/null || true
  fi
  [ $cluster_up = 1 ] && [ $keep_cluster = 0 ] && stop_cluster
  return 0
}
trap cleanup EXIT
trap 'echo "demo.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
trap 'stop_requested=1' INT TERM

pgdir=$(cluster_dir)
say "starting a PostgreSQL cluster in $pgdir"
"$pg_tmp" "$pgdir" start
cluster_up=1
port=$(sed -n 's/.*port=\([0-9]*\).*/\1/p' "$pgdir/conninfo")
echo "host=127.0.0.1 port=$port dbname=$db user=mavo password=mavo_pw" >"$run_dir/conninfo"

psql_demo() { PGPASSWORD=mavo_pw psql -X -q -h 127.0.0.1 -p "$port" -U mavo "$@"; }
sql() { psql_demo -d "$db" -At -F ' ' -c "$1"; }

say "creating database $db and loading demo/data.sql"
psql_demo -d postgres -v ON_ERROR_STOP=1 -c "CREATE DATABASE $db TEMPLATE schema_template;"
have_check_pgsql=false
[ -x "$nagios_dir/check_pgsql" ] && have_check_pgsql=true
psql_demo -d "$db" -v ON_ERROR_STOP=1 -v demo_dir="$root/demo" -v nagios_dir="$nagios_dir" \
  -v run_dir="$run_dir" -v pg_port="$port" -v pg_db="$db" -v have_check_pgsql=$have_check_pgsql \
  -f demo/data.sql >/dev/null

# write_conf FILE LOG STATUS [EXTRA_MAVO_LINES] [PGSQL_OPTIONS]
write_conf() {
cat >"$1" <<EOF
# Configuration written by scripts/demo.sh; packaging/mavo.conf explains every key.
[LOG]
log_info_file=$3
log_daemon_file=$2

[MAVO]
daemon_id=0
core_number=2
thread_number=4
load_mod=3
interval_check_update=2
verify_state_change=0
wait_state_verify=10
plugin_timeout=60
metrics_listen=127.0.0.1:0
${4:-}
[POSTGRESQL]
connection_number=2
PGSQL_host=127.0.0.1
PGSQL_port=$port
PGSQL_db=$db
PGSQL_username=mavo
PGSQL_pwd=mavo_pw
${5:+PGSQL_options=$5}
EOF
}

if [ "$cluster_n" = 0 ]; then
  write_conf "$run_dir/mavo.conf" "$run_dir/daemon.log" "$run_dir/status.txt"
  say "starting $daemon -f $run_dir/mavo.conf (its output goes to $run_dir/daemon.log)"
  "$daemon" -f "$run_dir/mavo.conf" >"$run_dir/daemon.out" 2>&1 &
  daemon_pid=$!
  echo "$daemon_pid" >"$run_dir/daemon.pid"
else
  # Which daemon stores each run: each one's sessions carry its name (application_name), which
  # a trigger of the demo notes with the run.
  psql_demo -d "$db" -v ON_ERROR_STOP=1 -f demo/cluster_runs.sql >/dev/null
  for i in $(seq 1 "$cluster_n"); do
    status="$run_dir/status-n$i.txt"
    [ "$i" = 1 ] && status="$run_dir/status.txt"  # the status file one demo service checks
    write_conf "$run_dir/mavo-n$i.conf" "$run_dir/daemon-n$i.log" "$status" \
      "cluster_lease=5
cluster_node=n$i" "application_name=n$i"
    say "starting daemon n$i: $daemon -f $run_dir/mavo-n$i.conf (log $run_dir/daemon-n$i.log)"
    "$daemon" -f "$run_dir/mavo-n$i.conf" >"$run_dir/daemon-n$i.out" 2>&1 &
    member_pids+=($!)
    echo "$!" >"$run_dir/daemon-n$i.pid"
  done
  daemon_pid=${member_pids[0]}
  echo "$daemon_pid" >"$run_dir/daemon.pid"
fi
started=$SECONDS

# --- live view ------------------------------------------------------------------------------

state_sql="CASE s.service_previous_state WHEN 0 THEN 'OK' WHEN 1 THEN 'WARNING'
  WHEN 2 THEN 'CRITICAL' WHEN 3 THEN 'UNKNOWN' WHEN 5 THEN 'MAINTENANCE'
  ELSE coalesce(s.service_previous_state::text, '-') END"
kind_sql="CASE e.error_name WHEN 'default_critical_error' THEN 'CRITICAL'
  WHEN 'default_warning_error' THEN 'WARNING' WHEN 'default_unknow_error' THEN 'UNKNOWN'
  WHEN 'default_maintenance' THEN 'MAINTENANCE' ELSE e.error_name END"

services_table() {
  local member="''"
  [ "$cluster_n" != 0 ] && member="(SELECT m.member FROM demo_member_runs m
      WHERE m.service_id = s.service_id ORDER BY m.at DESC LIMIT 1)"
  psql_demo -d "$db" -P footer=off -c "
    SELECT s.service_id AS id, s.service_name AS service, coalesce($member, '') AS daemon,
           CASE WHEN s.service_last_exec_time IS NULL THEN 'waiting' ELSE $state_sql END AS state,
           coalesce(r.runs, 0) AS runs,
           coalesce(extract(epoch FROM now() - s.service_last_exec_time)::int || ' s ago', '')
             AS last_run,
           left(regexp_replace(s.service_last_stdout, '[[:space:]]+', ' ', 'g'), 70) AS output
      FROM mavo_services s LEFT JOIN demo_service_runs r USING (service_id)
     ORDER BY s.service_id;"
}

incidents_table() {
  psql_demo -d "$db" -P footer=off -c "
    SELECT h.happen_id AS id, to_char(h.happen_timestamp, 'HH24:MI:SS') AS opened,
           s.service_name AS service, $kind_sql AS kind,
           CASE WHEN h.happen_acquitte = 1
                THEN 'acknowledged ' || to_char(h.happen_time_acquitte, 'HH24:MI:SS')
                ELSE 'open' END AS status,
           left(regexp_replace(h.happen_message, '[[:space:]]+', ' ', 'g'), 50) AS message
      FROM mavo_error_happen h
      LEFT JOIN mavo_services s ON s.service_id = h.happen_service_id
      LEFT JOIN mavo_errors e ON e.error_id = h.happen_error_id
     ORDER BY h.happen_id DESC LIMIT 8;"
}

# One line from the daemon's metrics endpoint (its port is in the log): runs stored and how many
# a second since the last look, scheduling lag, what the journal keeps, and /healthz. It runs
# in subshells (the live view's frame): the last look is kept in RUN_DIR/metrics.last.
# metrics_line [LOG [LAST]]: of the daemon of that log (the demo's one by default).
metrics_line() {
  local log=${1:-$run_dir/daemon.log} last=${2:-$run_dir/metrics.last}
  local port scrape health now line prev_runs="" prev_time=""
  port=$(sed -n 's/.*metrics endpoint listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' \
    "$log" 2>/dev/null | head -n 1)
  if [ -z "$port" ]; then
    echo "(not listening yet)"
    return
  fi
  if ! scrape=$(curl -s --max-time 2 "http://127.0.0.1:$port/metrics"); then
    echo "(no answer from http://127.0.0.1:$port/metrics)"
    return
  fi
  health=$(curl -s --max-time 2 "http://127.0.0.1:$port/healthz" || echo "no answer")
  now=$(date +%s.%N)
  [ -s "$last" ] && read -r prev_runs prev_time <"$last"
  line=$(printf '%s\n' "$scrape" | awk -v now="$now" -v prev_runs="$prev_runs" \
    -v prev_time="$prev_time" -v health="$health" -v port="$port" '
    /^mavo_runs_total/ { runs += $NF }
    /^mavo_schedule_lag_seconds_sum/ { lag_sum += $NF }
    /^mavo_schedule_lag_seconds_count/ { lag_count += $NF }
    /^mavo_schedule_lag_seconds_bucket.*le="1"/ { within += $NF }
    /^mavo_journal_entries / { entries = $NF }
    /^mavo_journal_bytes / { bytes = $NF }
    END {
      rate = (prev_time != "" && now > prev_time) ? (runs - prev_runs) / (now - prev_time) : 0
      mean = lag_count > 0 ? lag_sum / lag_count : 0
      share = lag_count > 0 ? 100 * within / lag_count : 100
      printf "%d %.3f http://127.0.0.1:%s/metrics: %d runs stored (%.1f/s) | scheduling lag: mean %.3f s, %.0f%% within 1 s | journal: %d writes, %d bytes | health: %s\n",
        runs, now, port, runs, rate, mean, share, entries, bytes, health
    }')
  echo "${line%% http*}" >"$last"
  echo "http${line#* http}"
}

# With --cluster: what each daemon stored in the last 10 s and in all, the services it runs, and
# the runs of a service stored by two daemons closer than its interval.
members_table() {
  psql_demo -d "$db" -P footer=off -c "
    SELECT member AS daemon,
           count(*) FILTER (WHERE at > now()::timestamp - interval '10 s') AS runs_last_10_s,
           count(DISTINCT service_id) FILTER (WHERE at > now()::timestamp - interval '10 s')
             AS services_last_10_s,
           count(*) AS runs, to_char(max(at), 'HH24:MI:SS') AS last_run
      FROM demo_member_runs GROUP BY member ORDER BY member;"
  echo "services run by more than one daemon: $(sql "SELECT count(*) FROM (SELECT service_id
      FROM demo_member_runs GROUP BY service_id HAVING count(DISTINCT member) > 1) x;") |" \
    "runs on two daemons within their interval: $(sql "SELECT count(*) FROM demo_twice;")"
}

show_file_tail() {
  local file=$1 count=$2 empty=$3
  if [ -s "$file" ]; then tail -n "$count" "$file"; else echo "$empty"; fi
}

render() {
  local cols lines frame phase
  cols=$(tput cols 2>/dev/null || echo 120)
  lines=$(tput lines 2>/dev/null || echo 60)
  local log=$run_dir/daemon.log
  [ "$cluster_n" != 0 ] && log=$run_dir/daemon-n1.log
  phase="starting (the daemon waits 5 s before it builds its cores)"
  grep -q "MAVO was starting" "$log" 2>/dev/null && phase="running"
  frame=$(
    echo "mavo demo | daemon pid $daemon_pid, $phase, $((SECONDS - started)) s | database $db on 127.0.0.1:$port | Ctrl-C stops"
    [ $added = 1 ] && echo "(service 'lab late arrival' was added to the database at 10 s with an 'ADD' change request)"
    echo "--- status file ($run_dir/status.txt)"
    if [ -s "$run_dir/status.txt" ]; then sed '/^TOTAL SERVICE/q' "$run_dir/status.txt"; else echo "(not written yet)"; fi
    if [ "$cluster_n" = 0 ]; then
      echo "--- metrics endpoint"
      metrics_line
    else
      echo "--- daemons (cluster_lease=5; n2 is killed with SIGKILL at ${kill_at} s)"
      for i in $(seq 1 "$cluster_n"); do
        if [ "n$i" = "$killed_member" ]; then
          echo "n$i: killed at ${kill_at} s"
        else
          echo "n$i: $(metrics_line "$run_dir/daemon-n$i.log" "$run_dir/metrics-n$i.last")"
        fi
      done
      members_table 2>&1 || true
    fi
    echo "--- services (times in UTC)"
    services_table 2>&1 || true
    echo "--- latest incidents (mavo_error_happen)"
    incidents_table 2>&1 || true
    echo "--- alerts received ($run_dir/alerts.log)"
    show_file_tail "$run_dir/alerts.log" 4 "(none yet)"
    if [ "$cluster_n" = 0 ]; then
      echo "--- daemon log ($run_dir/daemon.log; the reload pass's \"script reload successful\" every 2 s not shown)"
      if [ -s "$run_dir/daemon.log" ]; then
        grep -v '#script reload successful$' "$run_dir/daemon.log" | tail -n 5
      else
        echo "(empty)"
      fi
    else
      echo "--- what the daemons said of the cluster (daemon-nK.log)"
      grep -h '#cluster: ' "$run_dir"/daemon-n*.log 2>/dev/null | sort | tail -n 6 || true
    fi
  )
  printf '\033[H\033[2J%s\n' "$(printf '%s\n' "$frame" | cut -c "1-$cols" | head -n "$((lines - 1))")"
}

# Sleeps, but returns at once when a stop is requested (the trap interrupts the wait).
nap() {
  sleep "$1" &
  local pid=$!
  wait "$pid" 2>/dev/null || true
  kill "$pid" 2>/dev/null || true
}

added=0
last_metrics=""
add_service() {
  if psql_demo -d "$db" -v nagios_dir="$nagios_dir" -f demo/add_service.sql >/dev/null; then
    added=1
    if [ $interactive = 0 ]; then say "added service 'lab late arrival' with an 'ADD' change request"; fi
  else
    added=2
    echo "demo.sh: adding the late service failed" >&2
  fi
}

if [ $interactive = 0 ]; then
  say "running for $duration s"
fi
# With --cluster, the second daemon is killed halfway (at 40 s in the live view).
kill_at=40
[ $interactive = 0 ] && kill_at=$((duration / 2))
kill_member() {
  killed_member=n2
  kill -KILL "${member_pids[1]}" 2>/dev/null || true
  wait "${member_pids[1]}" 2>/dev/null || true
  if [ $interactive = 0 ]; then say "killed daemon n2 (pid ${member_pids[1]}) with SIGKILL"; fi
}
# Whether a daemon that should run has ended by itself.
daemons_alive() {
  if [ "$cluster_n" = 0 ]; then
    kill -0 "$daemon_pid" 2>/dev/null
    return
  fi
  local i
  for i in $(seq 1 "$cluster_n"); do
    [ "n$i" = "$killed_member" ] && continue
    kill -0 "${member_pids[$((i - 1))]}" 2>/dev/null || return 1
  done
}

daemon_gone=0
while [ $stop_requested = 0 ]; do
  if ! daemons_alive; then
    daemon_gone=1
    break
  fi
  elapsed=$((SECONDS - started))
  if [ $added = 0 ] && [ $elapsed -ge 10 ]; then add_service; fi
  if [ "$cluster_n" != 0 ] && [ -z "$killed_member" ] && [ $elapsed -ge $kill_at ]; then
    kill_member
  fi
  if [ $interactive = 1 ]; then
    render
    nap 2
  else
    # The endpoint goes with the daemon: the summary shows the last look.
    if [ "$cluster_n" = 0 ]; then last_metrics=$(metrics_line); fi
    [ $elapsed -ge "$duration" ] && break
    nap 1
  fi
done

# --- orderly stop -----------------------------------------------------------------------------

daemon_rc=""
if [ "$cluster_n" != 0 ]; then
  # Every daemon still running gets SIGTERM; the status is the first that is not 0.
  [ $interactive = 1 ] && printf '\033[H\033[2J'
  daemon_rc=0
  for i in $(seq 1 "$cluster_n"); do
    pid=${member_pids[$((i - 1))]}
    [ "n$i" = "$killed_member" ] && continue
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "demo.sh: daemon n$i ended by itself; the end of its log:" >&2
      tail -n 20 "$run_dir/daemon-n$i.log" >&2 2>/dev/null || true
      daemon_rc=1
      continue
    fi
    say "sending SIGTERM to daemon n$i (pid $pid)"
    kill -TERM "$pid"
  done
  for i in $(seq 1 "$cluster_n"); do
    pid=${member_pids[$((i - 1))]}
    [ "n$i" = "$killed_member" ] && continue
    rc=0
    wait "$pid" || rc=$?
    [ "$daemon_rc" = 0 ] && daemon_rc=$rc
    rm -f "$run_dir/daemon-n$i.pid"
  done
  daemon_gone=0
elif [ $daemon_gone = 1 ]; then
  wait "$daemon_pid" && daemon_rc=0 || daemon_rc=$?
  [ $interactive = 1 ] && printf '\033[H\033[2J'
  echo "demo.sh: the daemon ended by itself with status $daemon_rc; the end of its log:" >&2
  tail -n 20 "$run_dir/daemon.log" >&2 2>/dev/null || true
  [ -s "$run_dir/daemon.out" ] && cat "$run_dir/daemon.out" >&2
else
  [ $interactive = 1 ] && printf '\033[H\033[2J'
  say "sending SIGTERM to the daemon (pid $daemon_pid) and waiting for it to stop"
  kill -TERM "$daemon_pid"
  stop_deadline=$((SECONDS + 90))
  while kill -0 "$daemon_pid" 2>/dev/null; do
    if [ $SECONDS -ge $stop_deadline ]; then
      echo "demo.sh: the daemon did not stop within 90 s; killing it" >&2
      kill -KILL "$daemon_pid" 2>/dev/null || true
    fi
    nap 0.2
  done
  wait "$daemon_pid" && daemon_rc=0 || daemon_rc=$?
fi
rm -f "$run_dir/daemon.pid"
daemon_pid=""

# --- summary ----------------------------------------------------------------------------------

summary() {
  local total with_runs runs states opened acked alerts alert_ids planned late
  total=$(sql "SELECT count(*) FROM mavo_services;")
  with_runs=$(sql "SELECT count(*) FROM mavo_services WHERE service_last_exec_time IS NOT NULL;")
  runs=$(sql "SELECT coalesce(sum(runs), 0) FROM demo_service_runs;")
  states=$(sql "SELECT string_agg(n || ' ' || st, ', ' ORDER BY st) FROM (
      SELECT $state_sql AS st, count(*) AS n FROM mavo_services s
       WHERE s.service_last_exec_time IS NOT NULL GROUP BY 1) x;")
  opened=$(sql "SELECT count(*) FROM mavo_error_happen;")
  acked=$(sql "SELECT count(*) FROM mavo_error_happen WHERE happen_acquitte = 1;")
  planned=$(sql "SELECT coalesce(string_agg(n || ' ' || planned_type, ', ' ORDER BY planned_type), 'none')
      FROM (SELECT planned_type, count(*) AS n FROM mavo_maintenance_planned GROUP BY 1) x;")
  late=$(sql "SELECT coalesce(r.runs, 0) FROM mavo_services s LEFT JOIN demo_service_runs r
      USING (service_id) WHERE s.service_name = 'lab late arrival';")
  alerts=0
  alert_ids=""
  if [ -s "$run_dir/alerts.log" ]; then
    alerts=$(wc -l <"$run_dir/alerts.log")
    alert_ids=$(grep -o 'incident=[^ ]*' "$run_dir/alerts.log" | cut -d= -f2 | tr '\n' ' ')
  fi
  echo "mavo demo summary: $((SECONDS - started)) s, daemon exit status $daemon_rc"
  echo "services:    $total in the database, $with_runs with recorded runs, $runs runs recorded"
  echo "states now:  ${states:-none}"
  echo "incidents:   $opened opened, $acked acknowledged, $((opened - acked)) still open"
  echo "alerts:      $alerts received in alerts.log${alert_ids:+ (incidents $alert_ids)}"
  echo "maintenance: windows planned: $planned"
  if [ "$cluster_n" = 0 ]; then
    echo "metrics:     ${last_metrics:-(none read)}"
  else
    echo "daemons:     $cluster_n sharing the services (cluster_lease=5); $killed_member killed with SIGKILL at ${kill_at} s"
    echo "moved:       $(sql "SELECT count(*) FROM (SELECT service_id FROM demo_member_runs
        GROUP BY service_id HAVING count(DISTINCT member) > 1) x;") services ran on more than one daemon"
    twice=$(sql "SELECT count(*) FROM demo_twice;")
    echo "run twice:   $twice runs stored by two daemons within their interval"
    psql_demo -d "$db" -P footer=off -c "
      SELECT member AS daemon, count(*) AS runs, count(DISTINCT service_id) AS services,
             to_char(min(at), 'HH24:MI:SS') AS first_run, to_char(max(at), 'HH24:MI:SS') AS last_run
        FROM demo_member_runs GROUP BY member ORDER BY member;"
  fi
  if [ -n "$late" ]; then
    echo "added while running: 'lab late arrival', $late runs"
  else
    echo "added while running: none"
  fi
  echo
  psql_demo -d "$db" -P footer=off -c "
    SELECT s.service_id AS id, s.service_name AS service,
           CASE WHEN s.service_last_exec_time IS NULL THEN 'never run' ELSE $state_sql END AS state,
           coalesce(r.runs, 0) AS runs,
           (SELECT count(*) FROM mavo_error_happen h WHERE h.happen_service_id = s.service_id)
             AS incidents,
           left(regexp_replace(s.service_last_stdout, '[[:space:]]+', ' ', 'g'), 60) AS output
      FROM mavo_services s LEFT JOIN demo_service_runs r USING (service_id)
     ORDER BY s.service_id;"
  if [ "$cluster_n" = 0 ]; then
    echo "files: $run_dir/{daemon.log,status.txt,alerts.log,summary.txt,postgres.log,mavo.conf}"
  else
    echo "files: $run_dir/{daemon-nK.log,status*.txt,alerts.log,summary.txt,postgres.log,mavo-nK.conf}"
  fi
}

summary_ok=1
twice=unknown
summary >"$run_dir/summary.txt" 2>&1 || summary_ok=0
[ "$cluster_n" != 0 ] && twice=$(sql "SELECT count(*) FROM demo_twice;" 2>/dev/null || echo unknown)
cat "$run_dir/summary.txt"

if [ $keep_cluster = 1 ]; then
  say "the demo database keeps running: psql \"$(cat "$run_dir/conninfo")\""
  say "stop it with: scripts/demo.sh --stop-cluster${run_dir:+ --run-dir $run_dir}"
else
  say "stopping the demo cluster"
  stop_cluster
fi
cluster_up=0
finished=1
trap - ERR

if [ "$daemon_rc" != 0 ] || [ $daemon_gone = 1 ]; then
  echo "demo.sh: the daemon did not exit cleanly (status $daemon_rc)" >&2
  exit 1
fi
[ $summary_ok = 1 ] || exit 1
if [ "$cluster_n" != 0 ] && [ "$twice" != 0 ]; then
  echo "demo.sh: a service ran on two daemons within its interval" >&2
  exit 1
fi
exit 0
