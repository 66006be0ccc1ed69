#!/usr/bin/env bash
# pg_tmp.sh DIR start|stop|pause|resume [SCHEMA]
# pg_tmp.sh DIR standby PRIMARY_DIR | promote
# Starts a throwaway PostgreSQL cluster in DIR (unix socket in DIR, TCP on 127.0.0.1 at a free
# port), creates the role mavo with a password and a schema_template database holding the
# reference schema, and writes the libpq connection string (without dbname) to DIR/conninfo.
# stop stops the cluster and removes DIR; pause stops the server only (fast shutdown, as in an
# outage) and resume starts it again on the same port. standby makes DIR a streaming standby of
# the cluster in PRIMARY_DIR (pg_basebackup -R) on a port of its own; promote makes it a
# primary.
set -euo pipefail

dir=${1:?usage: pg_tmp.sh DIR start|stop [SCHEMA]}
cmd=${2:?usage: pg_tmp.sh DIR start|stop [SCHEMA]}
here=$(cd "$(dirname "$0")" && pwd)
schema=${3:-$here/../../sql/schema.sql}

bindir=$(pg_config --bindir 2>/dev/null || true)
if [ ! -x "$bindir/initdb" ]; then
  bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
fi
[ -x "$bindir/initdb" ] || { echo "pg_tmp.sh: initdb not found (is postgresql-15 installed?)" >&2; exit 1; }

# initdb refuses to run as root: the cluster belongs to the postgres user then.
as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop_cluster() {
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
}

free_port() {
  local port
  for _ in $(seq 1 200); do
    port=$(( 20000 + RANDOM % 30000 ))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  echo "pg_tmp.sh: no free port found" >&2
  return 1
}

start_server() {
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start \
    -o "-k $dir -c listen_addresses=127.0.0.1 -p $1 -F -c max_connections=300" \
    >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
}

case "$cmd" in
  start)
    stop_cluster
    rm -rf "$dir"
    mkdir -p "$dir"
    chmod 755 "$dir"
    [ "$(id -u)" = 0 ] && chown postgres: "$dir"
    as_owner "$bindir/initdb" -D "$dir/data" -A trust -U postgres -N -E UTF8 --locale=C \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    # The superuser connects without a password; every other role must give its password, so
    # that a wrong one can be tested.
    cat >"$dir/data/pg_hba.conf" <<HBA
local all postgres trust
local replication postgres trust
local all all scram-sha-256
host all all 127.0.0.1/32 scram-sha-256
HBA
    port=$(free_port)
    echo "$port" >"$dir/port"
    start_server "$port"
    psql_admin() { as_owner psql -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres "$@"; }
    psql_admin -d postgres -c "CREATE ROLE mavo LOGIN SUPERUSER PASSWORD 'mavo_pw';" \
      -c "CREATE DATABASE schema_template OWNER mavo;"
    PGPASSWORD=mavo_pw psql -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U mavo \
      -d schema_template -f "$schema" >/dev/null
    echo "host=$dir port=$port user=mavo password=mavo_pw" >"$dir/conninfo"
    chmod 644 "$dir/conninfo"
    ;;
  standby)
    primary=${3:?usage: pg_tmp.sh DIR standby PRIMARY_DIR}
    stop_cluster
    rm -rf "$dir"
    mkdir -p "$dir"
    chmod 755 "$dir"
    [ "$(id -u)" = 0 ] && chown postgres: "$dir"
    as_owner "$bindir/pg_basebackup" -h "$primary" -p "$(cat "$primary/port")" -U postgres \
      -D "$dir/data" -R -X stream -c fast >"$dir/basebackup.log" 2>&1 ||
      { cat "$dir/basebackup.log" >&2; exit 1; }
    port=$(free_port)
    echo "$port" >"$dir/port"
    start_server "$port"
    sed "s#host=[^ ]*#host=$dir#; s#port=[0-9]*#port=$port#" "$primary/conninfo" >"$dir/conninfo"
    chmod 644 "$dir/conninfo"
    ;;
  promote)
    as_owner "$bindir/pg_ctl" -D "$dir/data" -w -t 60 promote >/dev/null
    ;;
  stop)
    stop_cluster
    rm -rf "$dir"
    ;;
  pause)
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
  resume)
    start_server "$(cat "$dir/port")"
    ;;
  *)
    echo "usage: pg_tmp.sh DIR start|stop|pause|resume|promote [SCHEMA], or DIR standby PRIMARY_DIR" >&2
    exit 2
    ;;
esac
