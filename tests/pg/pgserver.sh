#!/usr/bin/env bash
# A private PostgreSQL server for one test: made in a folder of the test's own, reached
# over a Unix socket in that folder (no TCP port), stopped by its process id at the end,
# also when the test fails or is interrupted.
#
#   pgserver.sh run COMMAND [ARG...]
#       makes a cluster (initdb as the postgres user: initdb refuses root) in a new
#       folder under ${TMPDIR:-/tmp} (under /tmp when the postgres user cannot reach
#       TMPDIR), starts it, runs COMMAND, stops the server and removes
#       the folder; exits with COMMAND's status. COMMAND gets:
#         TOLVANE_TEST_PG          a connection string for the database "mail" as the
#                                  role "tolvane" (trusted: no password)
#         TOLVANE_TEST_PG_SOCKET   the socket's folder
#         TOLVANE_TEST_PG_DATA     the cluster's folder
#         TOLVANE_TEST_PGSERVER    this script, for `restart`
#       The role "secretive" must give its password (scram-sha-256): "right horse"; the
#       database "other" holds a table of another application.
#   pgserver.sh restart DATA
#       restarts the server of the cluster DATA (fast shutdown: open connections are
#       cut) and waits until it takes connections again.
#   pgserver.sh standby DATA
#       (inside `run`) makes a streaming standby of the cluster DATA (pg_basebackup -R)
#       beside it, starts it with its socket in a folder of its own, and makes it the
#       primary's synchronous standby (a commit returns once the standby has it);
#       prints the standby's cluster folder. Stopped with the primary at the end of `run`.
#   pgserver.sh crash DATA
#       kills the server of DATA at once (SIGKILL, no shutdown), as a dying host would.
#   pgserver.sh promote DATA
#       promotes the standby DATA to a primary and waits until it takes writes.
#
# The programs come from `pg_config --bindir` (Debian's postgresql-15). Tests run the
# server with fsync off (a killed server process loses nothing the kernel holds);
# PGSERVER_FSYNC=on gives a benchmark a server that syncs every commit.
set -euo pipefail
umask 077

bindir=$(pg_config --bindir)
as_postgres() { runuser -u postgres -- "$@"; }

server_pid() { head -1 "$1/postmaster.pid" 2>/dev/null || true; }

start() {
  local data=$1 sock=$2
  as_postgres "$bindir/pg_ctl" -D "$data" -l "$data/server.log" -w -t 60 \
    -o "-k $sock -c listen_addresses= -c fsync=${PGSERVER_FSYNC:-off} -c max_connections=60" start >/dev/null
}

# Stops the server by its process id: SIGINT is PostgreSQL's fast shutdown.
stop() {
  local data=$1 pid
  pid=$(server_pid "$data")
  [ -n "$pid" ] || return 0
  kill -INT "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 300); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

case "${1:-}" in
  run)
    shift
    [ $# -gt 0 ] || { echo "usage: $0 run COMMAND [ARG...]" >&2; exit 2; }
    # The postgres user must reach the cluster's folder: a temporary folder inside a home
    # that others cannot enter (a clone in /root, say) cannot hold it, /tmp then does.
    base=${TMPDIR:-/tmp}
    as_postgres test -x "$base" 2>/dev/null || base=/tmp
    top=$(mktemp -d "$base/tolvane-pg-XXXXXX")
    data=$top/pg/data
    sock=$top/pg/sock
    cleanup() {
      stop "$data"
      [ ! -d "$top/standby/data" ] || stop "$top/standby/data"
      rm -rf "$top"
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    # The server's folder is the postgres user's; the test's own folder lets it pass
    # (no listing).
    chmod 0711 "$top"
    mkdir -p "$top/pg/sock"
    chown -R postgres: "$top/pg"
    chmod 0700 "$top/pg" "$sock"
    as_postgres "$bindir/initdb" -D "$data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 >"$top/initdb.log" 2>&1 ||
      { cat "$top/initdb.log" >&2; exit 1; }
    cat >"$data/pg_hba.conf" <<'HBA'
local all secretive scram-sha-256
local all all trust
local replication all trust
HBA
    start "$data" "$sock" || { cat "$data/server.log" >&2; exit 1; }
    "$bindir/psql" -q -X -v ON_ERROR_STOP=1 -h "$sock" -U postgres -d postgres >/dev/null <<'SQL'
CREATE ROLE tolvane LOGIN;
CREATE ROLE secretive LOGIN PASSWORD 'right horse';
CREATE DATABASE mail OWNER tolvane;
CREATE DATABASE locked OWNER secretive;
CREATE DATABASE other OWNER tolvane;
\c other
SET ROLE tolvane;
CREATE TABLE invoices(id integer PRIMARY KEY, amount numeric);
SQL
    export TOLVANE_TEST_PG="host=$sock dbname=mail user=tolvane"
    export TOLVANE_TEST_PG_SOCKET=$sock
    export TOLVANE_TEST_PG_DATA=$data
    export TOLVANE_TEST_PGSERVER=$0
    status=0
    "$@" || status=$?
    exit "$status"
    ;;
  restart)
    data=${2:?usage: $0 restart DATA}
    sock=$(dirname "$data")/sock
    stop "$data"
    start "$data" "$sock"
    ;;
  standby)
    data=${2:?usage: $0 standby DATA}
    top=$(dirname "$(dirname "$data")")
    standby=$top/standby
    mkdir -p "$standby/sock"
    chown -R postgres: "$standby"
    chmod 0700 "$standby" "$standby/sock"
    as_postgres "$bindir/pg_basebackup" -h "$(dirname "$data")/sock" -U postgres -D "$standby/data" -R -X stream \
      -c fast -d "application_name=standby" >"$standby/basebackup.log" 2>&1 ||
      { cat "$standby/basebackup.log" >&2; exit 1; }
    start "$standby/data" "$standby/sock" || { cat "$standby/data/server.log" >&2; exit 1; }
    "$bindir/psql" -q -X -v ON_ERROR_STOP=1 -h "$(dirname "$data")/sock" -U postgres -d postgres >/dev/null <<'SQL'
ALTER SYSTEM SET synchronous_standby_names = 'standby';
SELECT pg_reload_conf();
SQL
    # Synchronous once the standby has caught up and says so.
    for _ in $(seq 1 300); do
      state=$("$bindir/psql" -At -X -h "$(dirname "$data")/sock" -U postgres -d postgres \
        -c "SELECT sync_state FROM pg_stat_replication WHERE application_name = 'standby'")
      [ "$state" = sync ] && break
      sleep 0.1
    done
    [ "$state" = sync ] || { echo "the standby did not become synchronous ($state)" >&2; exit 1; }
    echo "$standby/data"
    ;;
  crash)
    data=${2:?usage: $0 crash DATA}
    pid=$(server_pid "$data")
    kill -KILL "$pid"
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
    ;;
  promote)
    data=${2:?usage: $0 promote DATA}
    as_postgres "$bindir/pg_ctl" -D "$data" -w -t 60 promote >/dev/null
    ;;
  *)
    echo "usage: $0 run COMMAND [ARG...] | restart DATA | standby DATA | crash DATA | promote DATA" >&2
    exit 2
    ;;
esac
