#!/usr/bin/env bash
# The benchmark: builds a Release mavoDaemon and the bench helpers in build-bench/, starts a
# throwaway PostgreSQL cluster, and for each figure fills a fresh database with generated
# services, runs the daemon for a fixed time, measures it from the outside and prints one table.
# bench/README.md says how each figure is measured and how to read it.
#
#   bench/run.sh                 the default run (about 20 minutes on 2 cores)
#   bench/run.sh --quick         one run of each figure, shorter (about 7 minutes)
#
# Options:
#   --services N      services of the saturated throughput runs (default 10000)
#   --interval MS     their interval, and that of the lag runs (default 1000)
#   --cores C         the daemon's core_number (default 2)
#   --workers W       its thread_number, workers per core; also connection_number (default 4)
#   --plugin P        plugin of the throughput, limit and CPU figures: trivial, check_dummy,
#                     both (default) or the path of an executable
#   --plugin-args A   argument line for a plugin given by path (default none)
#   --duration S      seconds each daemon runs after its start-up (default 10; --quick 6)
#   --repeat K        runs of each figure; the table shows medians (default 3; --quick 1)
#   --quick           --repeat 1 --duration 6, shorter limit and idle windows
#   --run-dir DIR     where the runs' files go (default bench-run/ in the checkout)
#   --no-build        use the binaries already in build-bench/
#
# Exit status: 0 when every run worked (whether targets are met or not), 1 otherwise.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }

services=10000
interval=1000
cores=2
workers=4
plugin_choice=both
plugin_args=""
duration=""
repeat=""
quick=0
run_dir="$root/bench-run"
build=1
number() {
  case "$2" in '' | *[!0-9]*) echo "run.sh: $1 needs a positive whole number" >&2; exit 2 ;; esac
  [ "$2" -gt 0 ] || { echo "run.sh: $1 needs a positive whole number" >&2; exit 2; }
}
while [ $# -gt 0 ]; do
  case "$1" in
    --services) number "$1" "${2:-}"; services=$2; shift 2 ;;
    --interval) number "$1" "${2:-}"; interval=$2; shift 2 ;;
    --cores) number "$1" "${2:-}"; cores=$2; shift 2 ;;
    --workers) number "$1" "${2:-}"; workers=$2; shift 2 ;;
    --plugin) plugin_choice=${2:?--plugin needs a value}; shift 2 ;;
    --plugin-args) plugin_args=${2-}; shift 2 ;;
    --duration) number "$1" "${2:-}"; duration=$2; shift 2 ;;
    --repeat) number "$1" "${2:-}"; repeat=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    --run-dir) run_dir=${2:?--run-dir needs a directory}; shift 2 ;;
    --no-build) build=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
if [ $quick = 1 ]; then
  : "${duration:=6}" "${repeat:=1}"
  limit_seconds=3
  idle_window=3
else
  : "${duration:=10}" "${repeat:=3}"
  limit_seconds=5
  idle_window=5
fi
[ "$duration" -ge 3 ] || { echo "run.sh: --duration must be at least 3 s" >&2; exit 2; }
warmup=2
window=$((duration - warmup))

dummy=/usr/lib/nagios/plugins/check_dummy
build_dir="$root/build-bench"
bin="$build_dir/bench"
say() { printf '==> %s\n' "$*" >&2; }

# --- build ------------------------------------------------------------------------------------

if [ $build = 1 ]; then
  say "installing missing packages (scripts/install-deps.sh)"
  scripts/install-deps.sh
  say "building a Release mavoDaemon and the bench helpers in build-bench/"
  generator=()
  command -v ninja >/dev/null && [ ! -f "$build_dir/CMakeCache.txt" ] && generator=(-G Ninja)
  cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    >/dev/null
  cmake --build "$build_dir" -j "$(nproc)" --target mavoDaemon spawn_limit daemon_probe lag_report \
    write_bench
  if gcc -static -O2 -o "$bin/trivial_plugin" bench/trivial_plugin.c 2>/dev/null; then
    echo static >"$bin/trivial_plugin.kind"
  else
    say "static libc not available: the trivial plugin is linked dynamically"
    gcc -O2 -o "$bin/trivial_plugin" bench/trivial_plugin.c
    echo dynamic >"$bin/trivial_plugin.kind"
  fi
fi
daemon="$build_dir/mavoDaemon"
for f in "$daemon" "$bin/spawn_limit" "$bin/daemon_probe" "$bin/lag_report" "$bin/write_bench" \
  "$bin/trivial_plugin"; do
  [ -x "$f" ] || { echo "run.sh: $f is missing (run without --no-build)" >&2; exit 1; }
done
trivial="$bin/trivial_plugin"
trivial_kind=$(cat "$bin/trivial_plugin.kind" 2>/dev/null || echo unknown)

# Plugins of figures 1, 2 and 4: "label path argument-line" records.
plugins=()
add_plugin() { plugins+=("$1"$'\t'"$2"$'\t'"$3"); }
case "$plugin_choice" in
  both) add_plugin trivial "$trivial" STARTS; add_plugin check_dummy "$dummy" "0 bench" ;;
  trivial) add_plugin trivial "$trivial" STARTS ;;
  check_dummy) add_plugin check_dummy "$dummy" "0 bench" ;;
  *)
    [ -x "$plugin_choice" ] || { echo "run.sh: --plugin $plugin_choice is not an executable" >&2; exit 2; }
    add_plugin "$(basename "$plugin_choice")" "$(cd "$(dirname "$plugin_choice")" && pwd)/$(basename "$plugin_choice")" "$plugin_args"
    ;;
esac
[ -x "$dummy" ] || [ "$plugin_choice" = trivial ] || [ -x "$plugin_choice" ] || {
  echo "run.sh: $dummy is missing (package monitoring-plugins-basic)" >&2
  exit 1
}

# --- cluster ----------------------------------------------------------------------------------

mkdir -p "$run_dir"
run_dir=$(cd "$run_dir" && pwd)
rm -rf "$run_dir/runs"
mkdir -p "$run_dir/runs"
chmod 755 "$run_dir"
# The cluster's socket directory must be short and reachable by the postgres user.
pgdir=$(mktemp -d /tmp/mavo-bench-pg.XXXXXX)
pg_tmp="$root/tests/support/pg_tmp.sh"
cleanup() {
  if [ -n "${probe_pid:-}" ]; then kill "$probe_pid" 2>/dev/null || true; fi
  "$pg_tmp" "$pgdir" stop >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'echo "run.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR

say "starting a PostgreSQL cluster in $pgdir"
"$pg_tmp" "$pgdir" start
port=$(sed -n 's/.*port=\([0-9]*\).*/\1/p' "$pgdir/conninfo")
pgbin=$(pg_config --bindir 2>/dev/null || true)
[ -x "$pgbin/pg_ctl" ] || pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
as_postgres() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
# Every stored run is read back from the write-ahead log (logical decoding), and timestamps
# are read in UTC.
as_postgres psql -X -q -h "$pgdir" -p "$port" -U postgres -d postgres \
  -c "ALTER SYSTEM SET wal_level = logical" -c "ALTER SYSTEM SET timezone = 'UTC'" \
  -c "ALTER SYSTEM SET max_wal_size = '4GB'"
as_postgres "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/server.log" -w restart >/dev/null
export PGPASSWORD=mavo_pw
psql_db() { psql -X -q -v ON_ERROR_STOP=1 -h "$pgdir" -p "$port" -U mavo "$@"; }

# --- one daemon run ---------------------------------------------------------------------------

run_no=0
# Lines added to the daemon's [MAVO] section (figures 10 and 12).
daemon_extra=""

# A free TCP port of the loopback.
free_port() {
  local p
  for _ in $(seq 1 200); do
    p=$(( 20000 + RANDOM % 30000 ))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return 0; fi
  done
  return 1
}

# daemon_run LABEL PLUGIN PARAM SERVICES INTERVAL LOAD_MOD WARMUP WINDOW [METRICS]
# Fills a fresh database, runs the daemon under daemon_probe, reads the stored runs back from
# the write-ahead log and writes runs/LABEL.{probe,lag}. PARAM "STARTS" means "STARTS_FILE $SERID"
# (the trivial plugin records its starts). METRICS "scraped": the daemon's metrics endpoint is on
# and scraped every 0.5 s while it runs.
daemon_run() {
  local label=$1 plugin=$2 param=$3 n=$4 ms=$5 load_mod=$6 wu=$7 win=$8 metrics=${9:-}
  local out="$run_dir/runs/$label" db="bench_$run_no" starts="" mport="" metrics_key="" scraper=""
  run_no=$((run_no + 1))
  say "$label: $n services of $(basename "$plugin") every $ms ms, load_mod $load_mod"
  if [ "$param" = STARTS ]; then
    starts="$out.starts"
    rm -f "$starts"
    param="$starts \$SERID"
  fi
  psql_db -d postgres -c "DROP DATABASE IF EXISTS $db" -c "CREATE DATABASE $db TEMPLATE schema_template"
  psql_db -d "$db" -v plugin="$plugin" -v param="$param" -v services="$n" -v interval="$ms" \
    -f bench/fill.sql
  psql_db -d "$db" -Atc "SELECT 'slot' FROM pg_create_logical_replication_slot('bench', 'test_decoding')" >/dev/null
  if [ "$metrics" = scraped ]; then
    mport=$(free_port)
    metrics_key="metrics_listen=127.0.0.1:$mport"
    # One scraping process, as a Prometheus server is (not a process per scrape).
    python3 -c '
import sys, time, urllib.request
url = "http://127.0.0.1:%s/metrics" % sys.argv[1]
while True:
    try:
        urllib.request.urlopen(url, timeout=2).read()
    except Exception:
        pass
    time.sleep(0.5)
' "$mport" &
    scraper=$!
  fi
  cat >"$out.conf" <<EOF
[LOG]
log_info_file=$out.status
log_daemon_file=$out.log

[MAVO]
daemon_id=0
core_number=$cores
thread_number=$workers
load_mod=$load_mod
interval_check_update=60
verify_state_change=0
wait_state_verify=60
$metrics_key
$daemon_extra

[POSTGRESQL]
connection_number=$workers
PGSQL_host=$pgdir
PGSQL_port=$port
PGSQL_db=$db
PGSQL_username=mavo
PGSQL_pwd=mavo_pw
EOF
  "$bin/daemon_probe" --daemon "$daemon" --config "$out.conf" --log "$out.log" \
    --status "$out.status" --out "$out.out" --warmup "$wu" --window "$win" \
    --pg-pid "$(head -n 1 "$pgdir/data/postmaster.pid")" >"$out.probe" || {
    echo "run.sh: the daemon run $label failed; the end of its log:" >&2
    tail -n 20 "$out.log" "$out.out" >&2 2>/dev/null || true
    exit 1
  }
  if [ -n "$scraper" ]; then kill "$scraper" 2>/dev/null || true; wait "$scraper" 2>/dev/null || true; fi
  [ "$(kv "$out.probe" exit_status)" = 0 ] || { echo "run.sh: $label: the daemon exited with status $(kv "$out.probe" exit_status)" >&2; exit 1; }
  # Each stored run is one "UpdateState" transaction: its service id and commit time.
  psql_db -d "$db" -At -c "
    SELECT CASE WHEN data LIKE 'COMMIT%'
                THEN 'C ' || (extract(epoch FROM substring(data FROM '\(at (.*)\)')::timestamptz)
                              * 1000000)::bigint
                ELSE 'U ' || substring(data FROM 'service_id\[integer\]:(\d+)') END
      FROM pg_logical_slot_get_changes('bench', NULL, NULL, 'include-timestamp', '1',
                                       'skip-empty-xacts', '1')
     WHERE data LIKE 'COMMIT%' OR data LIKE 'table public.mavo_services: UPDATE:%';" |
    awk '$1 == "U" { ids[n++] = $2; next } $1 == "C" { for (i = 0; i < n; i++) print ids[i], $2; n = 0 }' \
      >"$out.stores"
  psql_db -d "$db" -Atc "SELECT pg_drop_replication_slot('bench')" >/dev/null
  psql_db -d postgres -c "DROP DATABASE $db"
  local args=(--stores "$out.stores" --interval "$ms" --services "$n"
    --from "$(kv "$out.probe" window_start_rt)" --to "$(kv "$out.probe" window_end_rt)")
  [ -n "$starts" ] && args+=(--starts "$starts")
  "$bin/lag_report" "${args[@]}" >"$out.lag"
  rm -f "$out.stores" "$starts"
}

# limit_args PARAM STARTS_FILE: the plugin's arguments for spawn_limit, in the caller's args
# array (STARTS: the trivial plugin records its starts in STARTS_FILE, %ID being the run).
limit_args() {
  if [ "$1" = STARTS ]; then
    args=("$2" %ID)
  elif [ -n "$1" ]; then
    read -r -a args <<<"$1"
  fi
}

# limit_run LABEL PLUGIN PARAM: the spawn-only limit with cores x workers threads.
limit_run() {
  local label=$1 plugin=$2 param=$3 out="$run_dir/runs/$1"
  say "$label: spawn limit of $(basename "$plugin"), $((cores * workers)) threads, $limit_seconds s"
  local args=()
  limit_args "$param" "$out.starts"
  "$bin/spawn_limit" --threads $((cores * workers)) --seconds "$limit_seconds" -- "$plugin" \
    "${args[@]}" >"$out.limit"
  rm -f "$out.starts"
}

# store_limit_run LABEL PLUGIN PARAM: the same limit, each run also stored with the daemon's
# update statement on a database filled as for the daemon's runs.
store_limit_run() {
  local label=$1 plugin=$2 param=$3 out="$run_dir/runs/$1" db="bench_$run_no"
  run_no=$((run_no + 1))
  say "$label: spawn + store limit of $(basename "$plugin"), $((cores * workers)) threads, $limit_seconds s"
  local args=()
  limit_args "$param" "$out.starts"
  psql_db -d postgres -c "DROP DATABASE IF EXISTS $db" -c "CREATE DATABASE $db TEMPLATE schema_template"
  psql_db -d "$db" -v plugin="$plugin" -v param="" -v services="$services" -v interval="$interval" \
    -f bench/fill.sql
  "$bin/spawn_limit" --threads $((cores * workers)) --seconds "$limit_seconds" \
    --store "host=$pgdir port=$port user=mavo password=mavo_pw dbname=$db" --services "$services" \
    -- "$plugin" "${args[@]}" >"$out.limit"
  psql_db -d postgres -c "DROP DATABASE $db"
  rm -f "$out.starts"
}

kv() { sed -n "s/^$2=//p" "$1" | tail -n 1; }
median() {
  printf '%s\n' "$@" | grep -v '^$' | sort -g |
    awk '{ a[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
# values KEY SUFFIX LABEL...: the key's value in each run's file.
values() {
  local key=$1 suffix=$2
  shift 2
  local l
  for l in "$@"; do kv "$run_dir/runs/$l.$suffix" "$key"; done
}

labels() { local prefix=$1 r; for r in $(seq 1 "$repeat"); do printf '%s ' "$prefix-$r"; done; }
# eval_run EXPR LABEL: EXPR, in postfix notation ("cpu_s 1000000 * stored_window /"), over the
# key=value files of one run (probe, lag report, limit).
eval_run() {
  local l="$run_dir/runs/$2"
  cat "$l".probe "$l".lag "$l".limit 2>/dev/null | awk -F= -v e="$1" '
    { v[$1] = $2 }
    END {
      n = split(e, t, " ")
      for (i = 1; i <= n; i++) {
        if (t[i] == "+" || t[i] == "-" || t[i] == "*" || t[i] == "/") {
          b = s[k--]; a = s[k--]
          s[++k] = t[i] == "+" ? a + b : t[i] == "-" ? a - b : t[i] == "*" ? a * b : (b != 0 ? a / b : 0)
        } else if (t[i] ~ /^[0-9.]+$/) s[++k] = t[i]
        else s[++k] = v[t[i]]
      }
      print s[k]
    }'
}
# per_run EXPR PREFIX: the median over the repeats PREFIX-1 .. PREFIX-K.
per_run() {
  local r vals=()
  for r in $(seq 1 "$repeat"); do vals+=("$(eval_run "$1" "$2-$r")"); done
  median "${vals[@]}"
}
# per_run_pair EXPR_A EXPR_B OP PREFIX_A PREFIX_B: the median over the repeats of A OP B, A and
# B taken from the runs of the same repeat (a ratio measured in the same run).
per_run_pair() {
  local r vals=() a b
  for r in $(seq 1 "$repeat"); do
    a=$(eval_run "$1" "$4-$r")
    b=$(eval_run "$2" "$5-$r")
    vals+=("$(calc '%.6f' "$a $3 $b")")
  done
  median "${vals[@]}"
}
sum_of() { local key=$1 suffix=$2; shift 2; values "$key" "$suffix" "$@" | awk '{ s += $1 } END { print s + 0 }'; }

# --- the runs ---------------------------------------------------------------------------------

load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
started_at=$(date -u '+%Y-%m-%d %H:%M UTC')
SECONDS=0

# 1, 2, 4: saturated runs next to the spawn limit, per plugin and repeat.
for p in "${plugins[@]}"; do
  IFS=$'\t' read -r plabel ppath pparam <<<"$p"
  for r in $(seq 1 "$repeat"); do
    limit_run "limit-$plabel-$r" "$ppath" "$pparam"
    store_limit_run "slimit-$plabel-$r" "$ppath" "$pparam"
    daemon_run "sat-$plabel-$r" "$ppath" "$pparam" "$services" "$interval" 1 "$warmup" "$window"
    # 9: the same with the metrics endpoint on and scraped every 0.5 s, right after it.
    if [ "$p" = "${plugins[0]}" ]; then
      daemon_run "satm-$plabel-$r" "$ppath" "$pparam" "$services" "$interval" 1 "$warmup" \
        "$window" scraped
    fi
  done
done
IFS=$'\t' read -r mlabel _ _ <<<"${plugins[0]}"

# The saturation rate of the lag runs: the trivial plugin's, measured above or now.
if [ -f "$run_dir/runs/sat-trivial-1.lag" ]; then
  sat_labels=()
  for r in $(seq 1 "$repeat"); do sat_labels+=("sat-trivial-$r"); done
else
  sat_labels=()
  for r in $(seq 1 "$repeat"); do
    daemon_run "sat-trivial-$r" "$trivial" STARTS "$services" "$interval" 1 "$warmup" "$window"
    sat_labels+=("sat-trivial-$r")
  done
fi
saturation=$(median $(values stored_per_s lag "${sat_labels[@]}"))

# 3: lag at 50 % and 90 % of it. Due seconds are spread over the interval, as load_mod does.
lag_mod=$(( interval / 1000 > 1 ? interval / 1000 : 1 ))
for pct in 50 90; do
  lag_n=$(calc '%d' "$saturation * $pct / 100 * $interval / 1000 + 0.5")
  [ "$lag_n" -ge 1 ] || lag_n=1
  eval "lag_n_$pct=$lag_n"
  for r in $(seq 1 "$repeat"); do
    daemon_run "lag$pct-$r" "$trivial" STARTS "$lag_n" "$interval" "$lag_mod" "$warmup" "$window"
  done
done

# 5, 6, 7: idle daemons (first runs spread over 10^9 s: none is due during the run).
for n in 1000 10000 100000; do
  for r in $(seq 1 "$repeat"); do
    daemon_run "idle$n-$r" "$trivial" "" "$n" 86400000 1000000000 1 "$idle_window"
  done
done

# 8: spawn cost with 1,000 services (every 100 ms) against 100,000 (due once within 10 s, then
# a day later), both saturated.
for r in $(seq 1 "$repeat"); do
  daemon_run "spawn1k-$r" "$trivial" "" 1000 100 1 "$warmup" "$window"
  daemon_run "spawn100k-$r" "$trivial" "" 100000 86400000 10 "$warmup" "$window"
done

# 10 to 13: fsync on from here, as a production server runs.
say "restarting the PostgreSQL cluster with fsync on"
as_postgres "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/server.log" -w restart \
  -o "-k $pgdir -c listen_addresses=127.0.0.1 -p $port -c max_connections=300" >/dev/null
fsync_now=$(psql_db -d postgres -Atc 'SHOW fsync')
pg_pid() { head -n 1 "$pgdir/data/postmaster.pid"; }
# The plugin of figures 10 and 12: check_dummy when it is there.
if [ -x "$dummy" ]; then wplabel=check_dummy wpath=$dummy wparam="0 bench"
else wplabel=trivial wpath=$trivial wparam=""; fi

# write_bench_run LABEL MODE: the database-only benchmark, cores x workers threads.
write_bench_run() {
  local label=$1 mode=$2 out="$run_dir/runs/$1" db="bench_$run_no"
  run_no=$((run_no + 1))
  say "$label: write_bench, mode $mode, $((cores * workers)) threads, $window s"
  psql_db -d postgres -c "DROP DATABASE IF EXISTS $db" -c "CREATE DATABASE $db TEMPLATE schema_template"
  psql_db -d "$db" -v plugin="$trivial" -v param="" -v services="$services" -v interval="$interval" \
    -f bench/fill.sql
  "$bin/write_bench" --conninfo "host=$pgdir port=$port user=mavo password=mavo_pw dbname=$db" \
    --pg-pid "$(pg_pid)" --services "$services" --threads $((cores * workers)) \
    --seconds "$window" --mode "$mode" >"$out.limit"
  psql_db -d postgres -c "DROP DATABASE $db"
}

for r in $(seq 1 "$repeat"); do
  # 10: the server's CPU per stored check, each run written on its own (write_batch_ms=0, the
  # writes as they were before batches) against batches, then the store delay at half load.
  daemon_extra="write_batch_ms=0"
  daemon_run "row-$r" "$wpath" "$wparam" "$services" "$interval" 1 "$warmup" "$window"
  daemon_extra=""
  daemon_run "batch-$r" "$wpath" "$wparam" "$services" "$interval" 1 "$warmup" "$window"
  # 12: the same with cluster_lease on (one member).
  daemon_extra="cluster_lease=10"
  daemon_run "clus-$r" "$wpath" "$wparam" "$services" "$interval" 1 "$warmup" "$window"
  daemon_extra="write_batch_ms=0"
  daemon_run "ordrow-$r" "$trivial" STARTS "$lag_n_50" "$interval" "$lag_mod" "$warmup" "$window"
  daemon_extra=""
  daemon_run "ord-$r" "$trivial" STARTS "$lag_n_50" "$interval" "$lag_mod" "$warmup" "$window"
  # 11: the database alone.
  write_bench_run "wsingle-$r" single
  write_bench_run "wbatch-$r" batch
done

# 13: takeover times of three daemons sharing one identifier (cluster_lease=10).
takeover_services=900
say "takeover: three daemons, $takeover_services services every 1000 ms, cluster_lease=10"
tdir="$run_dir/runs/takeover"
mkdir -p "$tdir"
tdb="bench_$run_no"
run_no=$((run_no + 1))
psql_db -d postgres -c "DROP DATABASE IF EXISTS $tdb" -c "CREATE DATABASE $tdb TEMPLATE schema_template"
psql_db -d "$tdb" -v plugin="$trivial" -v param="$tdir/starts \$SERID ppid" \
  -v services="$takeover_services" -v interval=1000 -f bench/fill.sql
rm -f "$tdir/starts"
python3 bench/takeover.py --daemon "$daemon" --dir "$tdir" --starts "$tdir/starts" \
  --pghost "$pgdir" --pgport "$port" --db "$tdb" --lease 10 --interval 1000 >"$tdir/result"
psql_db -d postgres -c "DROP DATABASE $tdb"
rm -f "$tdir/starts"

elapsed=$SECONDS
load_after=$(cut -d ' ' -f 1-3 /proc/loadavg)

# --- the table --------------------------------------------------------------------------------


table="$run_dir/results.txt"
row() { printf '| %-62s | %-32s | %-10s | %-4s |\n' "$1" "$2" "$3" "$4"; }
rule() { printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' $(seq 1 64))" "$(printf -- '-%.0s' $(seq 1 34))" "$(printf -- '-%.0s' $(seq 1 12))" "$(printf -- '-%.0s' $(seq 1 6))"; }
verdict() { awk "BEGIN { print ($1) ? \"yes\" : \"NO\" }"; }

{
  echo "mavoDaemon benchmark, $started_at, $(nproc) CPUs ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)), kernel $(uname -r)"
  echo "load average before $load_before, after $load_after; $elapsed s in all"
  echo "daemon: core_number=$cores thread_number=$workers connection_number=$workers; saturated runs: $services services every $interval ms"
  echo "each figure: median of $repeat run(s); daemon runs: $warmup s warm-up after start-up, then a $window s window; limit: $limit_seconds s"
  echo "trivial plugin: $trivial_kind; PostgreSQL $(psql_db -d postgres -Atc 'SHOW server_version' | cut -d ' ' -f 1), same machine, fsync off for figures 1 to 9 and $fsync_now for 10 to 13"
  echo
  rule
  row "figure" "value" "target" "met"
  rule
  for p in "${plugins[@]}"; do
    IFS=$'\t' read -r plabel ppath pparam <<<"$p"
    thr=$(per_run "stored_per_s" "sat-$plabel")
    lim=$(per_run "runs_per_s" "limit-$plabel")
    ratio=$(per_run_pair "stored_per_s" "runs_per_s" / "sat-$plabel" "limit-$plabel")
    idle_exec=$(per_run "status_empty_exec_fraction" "sat-$plabel")
    row "1 throughput, $plabel (runs stored/s)" "$(calc '%.0f' "$thr")" "" ""
    row "2 spawn limit, $plabel ($((cores * workers)) threads, runs/s)" "$(calc '%.0f' "$lim")" "" ""
    if [ "$plabel" = trivial ]; then
      row "2 daemon / limit, $plabel" "$(calc '%.1f %%' "$ratio * 100")" ">= 90 %" "$(verdict "$ratio >= 0.9")"
    else
      row "2 daemon / limit, $plabel" "$(calc '%.1f %%' "$ratio * 100")" "" ""
    fi
    slim=$(per_run "runs_per_s" "slimit-$plabel")
    sratio=$(per_run_pair "stored_per_s" "runs_per_s" / "sat-$plabel" "slimit-$plabel")
    row "2 spawn + store limit, $plabel (runs/s)" "$(calc '%.0f' "$slim")" "" ""
    row "2 daemon / (spawn + store) limit, $plabel" "$(calc '%.1f %%' "$sratio * 100")" "" ""
    row "  saturation check: exec queue empty (share of samples)" "$(calc '%.1f %%' "$idle_exec * 100")" "" ""
    b_plugin=$(per_run "plugins_cpu_s 1000000 * stored_window /" "sat-$plabel")
    b_daemon=$(per_run "cpu_s 1000000 * stored_window /" "sat-$plabel")
    b_pg=$(per_run "pg_cpu_s 1000000 * stored_window /" "sat-$plabel")
    b_rest=$(per_run "machine_busy_s plugins_cpu_s - cpu_s - pg_cpu_s - 1000000 * stored_window /" "sat-$plabel")
    b_idle=$(per_run "1 machine_busy_s machine_cpus window_s * / -" "sat-$plabel")
    row "  CPU per run: plugin / daemon / PostgreSQL / rest" "$(calc '%.0f / %.0f / %.0f / %.0f us' "$b_plugin, $b_daemon, $b_pg, $b_rest")" "" ""
    row "  machine idle during the window" "$(calc '%.1f %%' "$b_idle * 100")" "" ""
    l_plugin=$(per_run "children_us_per_run" "limit-$plabel")
    l_self=$(per_run "self_user_us_per_run self_sys_us_per_run +" "limit-$plabel")
    l_rest=$(per_run "machine_busy_us_per_run children_us_per_run - self_user_us_per_run - self_sys_us_per_run -" "limit-$plabel")
    row "  limit CPU per run: plugin / spawning thread / rest" "$(calc '%.0f / %.0f / %.0f us' "$l_plugin, $l_self, $l_rest")" "" ""
    cpu=$(per_run "cpu_s 1000000 * stored_window /" "sat-$plabel")
    usr=$(per_run "cpu_user_s 1000000 * stored_window /" "sat-$plabel")
    sys=$(per_run "cpu_sys_s 1000000 * stored_window /" "sat-$plabel")
    lcpu=$(per_run "self_user_us_per_run self_sys_us_per_run +" "limit-$plabel")
    beyond=$(per_run_pair "cpu_s 1000000 * stored_window /" "self_user_us_per_run self_sys_us_per_run +" - "sat-$plabel" "limit-$plabel")
    row "4 daemon CPU per run, $plabel (user + sys)" "$(calc '%.0f us (%.0f + %.0f)' "$cpu, $usr, $sys")" "" ""
    row "4 limit program CPU per run, $plabel" "$(calc '%.0f us' "$lcpu")" "" ""
    if [ "$plabel" = trivial ]; then
      row "4 daemon CPU per run beyond the spawn's" "$(calc '%.0f us' "$beyond")" "< 50 us" "$(verdict "$beyond < 50")"
    else
      row "4 daemon CPU per run beyond the spawn's, $plabel" "$(calc '%.0f us' "$beyond")" "" ""
    fi
  done
  row "3 saturation rate used (trivial, runs/s)" "$(calc '%.0f' "$saturation")" "" ""
  for pct in 50 90; do
    n_var="lag_n_$pct"
    rate=$(per_run "started_per_s" "lag$pct")
    p50=$(per_run "lag_p50_s" "lag$pct")
    p99=$(per_run "lag_p99_s" "lag$pct")
    max=$(per_run "lag_max_s" "lag$pct")
    target="" met=""
    if [ $pct = 90 ]; then target="p99 < 1 s"; met=$(verdict "$p99 < 1"); fi
    row "3 lag at $pct %: ${!n_var} services, $(calc '%.0f' "$rate") runs/s" "$(calc 'p50 %.3f p99 %.3f max %.3f s' "$p50, $p99, $max")" "$target" "$met"
  done
  lag_all=($(labels lag50) $(labels lag90))
  skipped=$(sum_of skipped lag "${lag_all[@]}")
  doubled=$(sum_of doubled lag "${lag_all[@]}")
  row "3 skipped / doubled (all lag runs)" "$skipped / $doubled" "0 / 0" "$(verdict "$skipped == 0 && $doubled == 0")"
  for n in 1000 10000 100000; do
    rss=$(per_run "rss_end_kb" "idle$n")
    row "5 resident memory, $n services" "$(calc '%.1f MiB' "$rss / 1024")" "" ""
  done
  rss1k=$(per_run "rss_end_kb" "idle1000")
  rss100k=$(per_run "rss_end_kb" "idle100000")
  per_service=$(calc '%.0f' "$rss100k * 1024 / 100000")
  marginal=$(calc '%.0f' "($rss100k - $rss1k) * 1024 / 99000")
  row "5 bytes per service at 100,000 (total / added)" "$per_service B / $marginal B" "< 2048 B" "$(verdict "$per_service < 2048")"
  for n in 10000 100000; do
    st=$(per_run "startup_s" "idle$n")
    ex=$(per_run "startup_s startup_sleep_s -" "idle$n")
    ld=$(per_run "load_s" "idle$n")
    target="" met=""
    if [ $n = 100000 ]; then target="< 10 s"; met=$(verdict "$st < 10"); fi
    row "6 start-up, $n services (with / without the 5 s sleep)" "$(calc '%.2f s / %.2f s (load %.2f s)' "$st, $ex, $ld")" "$target" "$met"
  done
  shut=$(median $(values shutdown_s probe $(labels idle1000) $(labels idle10000) $(labels idle100000)))
  shut_max=$(values shutdown_s probe $(labels idle1000) $(labels idle10000) $(labels idle100000) | sort -g | tail -n 1)
  row "6 shutdown, idle (median / max of all idle runs)" "$(calc '%.3f s / %.3f s' "$shut, $shut_max")" "< 1 s" "$(verdict "$shut_max < 1")"
  idle=$(per_run "cpu_core_fraction" "idle100000")
  row "7 idle CPU, 100,000 services far from due" "$(calc '%.3f %% of a core' "$idle * 100")" "< 1 %" "$(verdict "$idle < 0.01")"
  c1=$(per_run "cpu_s 1000000 * stored_window /" "spawn1k")
  c2=$(per_run "cpu_s 1000000 * stored_window /" "spawn100k")
  s1=$(per_run "cpu_sys_s 1000000 * stored_window /" "spawn1k")
  s2=$(per_run "cpu_sys_s 1000000 * stored_window /" "spawn100k")
  t1=$(per_run "stored_per_s" "spawn1k")
  t2=$(per_run "stored_per_s" "spawn100k")
  r1=$(per_run "rss_end_kb" "spawn1k")
  r2=$(per_run "rss_end_kb" "spawn100k")
  row "8 daemon CPU per run, 1,000 services loaded" "$(calc '%.0f us (sys %.0f), %.0f runs/s' "$c1, $s1, $t1")" "" ""
  row "8 daemon CPU per run, 100,000 services loaded" "$(calc '%.0f us (sys %.0f), %.0f runs/s' "$c2, $s2, $t2")" "" ""
  row "8 100,000 / 1,000 (RSS $(calc '%.0f / %.0f MiB' "$r2 / 1024, $r1 / 1024"))" "$(calc 'CPU x %.2f, runs/s x %.2f' "$c2 / $c1, $t2 / $t1")" "no growth" "$(verdict "$c2 / $c1 < 1.15")"
  m_on=$(per_run "stored_per_s" "satm-$mlabel")
  m_off=$(per_run "stored_per_s" "sat-$mlabel")
  m_ratio=$(per_run_pair "stored_per_s" "stored_per_s" / "satm-$mlabel" "sat-$mlabel")
  mc_on=$(per_run "cpu_s 1000000 * stored_window /" "satm-$mlabel")
  mc_off=$(per_run "cpu_s 1000000 * stored_window /" "sat-$mlabel")
  row "9 metrics on (scraped every 0.5 s) / off, $mlabel: runs/s" "$(calc '%.0f / %.0f (x %.3f)' "$m_on, $m_off, $m_ratio")" "" ""
  row "9 metrics on / off, $mlabel: daemon CPU per run" "$(calc '%.0f us / %.0f us' "$mc_on, $mc_off")" "" ""
  pg_row=$(per_run "pg_cpu_s 1000000 * stored_window /" "row")
  pg_batch=$(per_run "pg_cpu_s 1000000 * stored_window /" "batch")
  pg_ratio=$(per_run_pair "pg_cpu_s stored_window /" "pg_cpu_s stored_window /" / "batch" "row")
  row "10 PostgreSQL CPU per check, $wplabel: one by one / batched" "$(calc '%.0f us / %.0f us (x %.3f)' "$pg_row, $pg_batch, $pg_ratio")" "<= x 0.2" "$(verdict "$pg_ratio <= 0.2")"
  t_row=$(per_run "stored_per_s" "row")
  t_batch=$(per_run "stored_per_s" "batch")
  t_ratio=$(per_run_pair "stored_per_s" "stored_per_s" / "batch" "row")
  row "10 runs stored/s, $wplabel: one by one / batched" "$(calc '%.0f / %.0f (x %.3f)' "$t_row, $t_batch, $t_ratio")" "not lower" "$(verdict "$t_ratio >= 1")"
  d_row=$(per_run "cpu_s 1000000 * stored_window /" "row")
  d_batch=$(per_run "cpu_s 1000000 * stored_window /" "batch")
  row "10 daemon CPU per run, $wplabel: one by one / batched" "$(calc '%.0f us / %.0f us' "$d_row, $d_batch")" "" ""
  o_row=$(per_run "store_delay_p99_s 1000 *" "ordrow")
  o50=$(per_run "store_delay_p50_s 1000 *" "ord")
  o99=$(per_run "store_delay_p99_s 1000 *" "ord")
  orate=$(per_run "stored_per_s" "ord")
  row "10 start to commit, $lag_n_50 services, $(calc '%.0f' "$orate") runs/s: batched" "$(calc 'p50 %.1f p99 %.1f ms' "$o50, $o99")" "p99 < 100" "$(verdict "$o99 < 100")"
  row "10 the same, one by one" "$(calc 'p99 %.1f ms' "$o_row")" "" ""
  ws=$(per_run "stored_per_server_core_s" "wsingle")
  wb=$(per_run "stored_per_server_core_s" "wbatch")
  wr=$(per_run_pair "stored_per_server_core_s" "stored_per_server_core_s" / "wbatch" "wsingle")
  wsr=$(per_run "stored_per_s" "wsingle")
  wbr=$(per_run "stored_per_s" "wbatch")
  row "11 write_bench, runs per server core-second: single / batch" "$(calc '%.0f / %.0f (x %.2f)' "$ws, $wb, $wr")" ">= x 5" "$(verdict "$wr >= 5")"
  row "11 write_bench, runs stored/s: single / batch" "$(calc '%.0f / %.0f' "$wsr, $wbr")" "" ""
  c_on=$(per_run "cpu_s pg_cpu_s + 1000000 * stored_window /" "clus")
  c_off=$(per_run "cpu_s pg_cpu_s + 1000000 * stored_window /" "batch")
  c_ratio=$(per_run_pair "cpu_s pg_cpu_s + stored_window /" "cpu_s pg_cpu_s + stored_window /" / "clus" "batch")
  row "12 cluster_lease on / off, $wplabel: daemon + PostgreSQL" "$(calc '%.0f us / %.0f us (x %.3f)' "$c_on, $c_off, $c_ratio")" "<= x 1.05" "$(verdict "$c_ratio <= 1.05")"
  row "12 cluster_lease on / off, $wplabel: runs/s" "$(calc '%.0f / %.0f' "$(per_run stored_per_s clus), $t_batch")" "" ""
  tres="$run_dir/runs/takeover/result"
  for ev in kill freeze stop; do
    tm=$(kv "$tres" "${ev}_median_s")
    tx=$(kv "$tres" "${ev}_max_s")
    tb=$(kv "$tres" "${ev}_bound_s")
    tn=$(kv "$tres" "${ev}_never")
    ts=$(kv "$tres" "${ev}_services")
    row "13 takeover after $ev: $ts services, median / max" "$(calc '%.2f s / %.2f s' "$tm, $tx")" "<= $tb s" "$(verdict "$tx <= $tb && $tn == 0 && $ts > 0")"
  done
  row "13 runs by two daemons within an interval, $(kv "$tres" thaws) thaws" "$(kv "$tres" twice)" "0" "$(verdict "$(kv "$tres" twice) == 0")"
  rule
} >"$table"
cat "$table"
echo "(every run's files: $run_dir/runs/; this table: $table)" >&2
