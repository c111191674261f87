#!/usr/bin/env bash
# A scratch PostgreSQL server for the result-database tests, from Debian's
# server packages, reachable only on a Unix socket in its own directory (so it
# needs no free TCP port and no other program can reach it).
#   postgres_fixture.sh start STATE   initdb and start; STATE/conninfo holds the connection string
#   postgres_fixture.sh down STATE    stop the server, keep its data (a server that is down)
#   postgres_fixture.sh up STATE      start it again
#   postgres_fixture.sh stop STATE    stop it and remove everything
# The server refuses to run as root: as root it runs as the user nobody, in a
# directory under /tmp that nobody owns.
set -euo pipefail

action=${1:?action}
state=${2:?state directory}

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$bin" ] || [ ! -x "$bin/pg_ctl" ]; then
  echo "postgres_fixture: no PostgreSQL server under /usr/lib/postgresql (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u nobody -- "$@"
  else
    "$@"
  fi
}

data_dir() { cat "$state/dir"; }

pg_ctl_start() {
  local data
  data=$(data_dir)
  as_server_user "$bin/pg_ctl" -D "$data/db" -l "$data/server.log" -w -t 60 start >/dev/null
}

pg_ctl_stop() {
  local data
  data=$(data_dir)
  as_server_user "$bin/pg_ctl" -D "$data/db" -m fast -w -t 60 stop >/dev/null
}

case $action in
  start)
    if [ -f "$state/dir" ]; then
      # Left by an interrupted run.
      pg_ctl_stop 2>/dev/null || true
      rm -rf "$(data_dir)"
    fi
    rm -rf "$state"
    mkdir -p "$state"
    data=$(mktemp -d /tmp/quillon-pg.XXXXXX)
    echo "$data" >"$state/dir"
    if [ "$(id -u)" -eq 0 ]; then chown nobody:nogroup "$data"; fi
    as_server_user "$bin/initdb" -D "$data/db" -U quillon -A trust --locale=C -E UTF8 --no-sync \
      >"$state/initdb.log" 2>&1 || { cat "$state/initdb.log" >&2; exit 1; }
    cat >>"$data/db/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$data'
port = 5432
fsync = off
CONF
    pg_ctl_start || { cat "$data/server.log" >&2; exit 1; }
    echo "host=$data port=5432 user=quillon dbname=postgres" >"$state/conninfo"
    ;;
  down) pg_ctl_stop ;;
  up) pg_ctl_start ;;
  stop)
    [ -f "$state/dir" ] || exit 0
    pg_ctl_stop 2>/dev/null || true
    rm -rf "$(data_dir)" "$state"
    ;;
  *)
    echo "postgres_fixture: unknown action $action" >&2
    exit 2
    ;;
esac
