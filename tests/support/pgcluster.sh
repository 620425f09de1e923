#!/usr/bin/env bash
# A throw-away PostgreSQL cluster for the store tests.
#   pgcluster.sh start STATE   initdb in a new temporary folder, start it on a free port of
#                              127.0.0.1, and write into the folder STATE the files "url" (a
#                              postgresql:// URL of its first database), "password" and "datadir".
#   pgcluster.sh stop STATE    stop it (at once) and remove its folder and STATE.
# As root the server runs as the unprivileged user postgres (initdb refuses root); otherwise as
# the user who calls this.
set -euo pipefail
action=${1:?start or stop}
state=${2:?state folder}

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bindir/initdb" ] || { echo "PostgreSQL's server programs are not installed (Debian: postgresql)" >&2; exit 1; }

as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

stop() {
  [ -f "$state/datadir" ] || return 0
  local data
  data=$(cat "$state/datadir")
  if [ -d "$data/cluster" ]; then
    as_server "$bindir/pg_ctl" -D "$data/cluster" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
  fi
  case $data in /tmp/brevora-pg.*) rm -rf "$data" ;; esac
  rm -rf "$state"
}

case $action in
start)
  stop # one left by a start that was never stopped
  mkdir -p "$state"
  data=$(mktemp -d /tmp/brevora-pg.XXXXXX)
  echo "$data" >"$state/datadir"
  password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  printf '%s\n' "$password" >"$data/pwfile"
  [ "$(id -u)" -eq 0 ] && chown -R postgres: "$data"
  as_server "$bindir/initdb" -D "$data/cluster" -U brevora --pwfile="$data/pwfile" -A scram-sha-256 \
    --locale=C.UTF-8 -E UTF8 >"$data/initdb.log" 2>&1 || { cat "$data/initdb.log" >&2; exit 1; }
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  as_server "$bindir/pg_ctl" -D "$data/cluster" -l "$data/server.log" -w -t 60 start \
    -o "-c listen_addresses=127.0.0.1 -p $port -c unix_socket_directories='$data' -c max_connections=200 -c fsync=${PG_FSYNC:-off}" \
    >/dev/null || { cat "$data/server.log" >&2; exit 1; }
  printf 'postgresql://brevora@127.0.0.1:%s/postgres\n' "$port" >"$state/url"
  printf '%s\n' "$password" >"$state/password"
  echo "PostgreSQL $("$bindir/postgres" --version | awk '{print $3}') on 127.0.0.1:$port, data in $data"
  ;;
stop)
  stop
  echo "PostgreSQL stopped and removed"
  ;;
*)
  echo "start or stop" >&2
  exit 2
  ;;
esac
