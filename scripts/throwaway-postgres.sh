#!/bin/bash
# A throwaway PostgreSQL server for the tests, the benchmark and the demo: its own cluster in
# FOLDER, owned by an unprivileged user when run as root, on 127.0.0.1 at a free port, with
# TLS from a certificate authority made for it (FOLDER/ca.crt; the server is "localhost").
# Local connections are trusted: nothing here is meant to outlive the run.
#   throwaway-postgres.sh start FOLDER   (prints the port; a stopped server starts again)
#   throwaway-postgres.sh stop FOLDER [immediate]
#   throwaway-postgres.sh remove FOLDER
set -euo pipefail
bin=/usr/lib/postgresql/15/bin
command=${1:?start, stop or remove}
folder=${2:?folder}
as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

make_certificates() {
  local days=2
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days $days -subj /CN=throwaway-ca \
    -keyout "$folder/ca.key" -out "$folder/ca.crt" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost -keyout "$folder/server.key" \
    -out "$folder/server.csr" 2>/dev/null
  openssl x509 -req -in "$folder/server.csr" -CA "$folder/ca.crt" -CAkey "$folder/ca.key" -CAcreateserial \
    -days $days -extfile <(printf 'subjectAltName=DNS:localhost\n') -out "$folder/server.crt" 2>/dev/null
  chmod 600 "$folder/server.key"
}

case "$command" in
  start)
    if [ ! -d "$folder/data" ]; then
      mkdir -p "$folder"
      make_certificates
      python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' \
        >"$folder/port"
      [ "$(id -u)" = 0 ] && chown -R postgres: "$folder"
      as_owner "$bin/initdb" -N -A trust -U postgres -D "$folder/data" >"$folder/initdb.log"
    fi
    port=$(cat "$folder/port")
    as_owner "$bin/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w start -o "-p $port \
      -c listen_addresses=127.0.0.1 -k $folder -c ssl=on -c ssl_cert_file=$folder/server.crt \
      -c ssl_key_file=$folder/server.key" >/dev/null
    echo "$port"
    ;;
  stop)
    as_owner "$bin/pg_ctl" -D "$folder/data" -w stop -m "${3:-fast}" >/dev/null
    ;;
  remove)
    if [ -f "$folder/data/postmaster.pid" ]; then as_owner "$bin/pg_ctl" -D "$folder/data" -w stop -m immediate >/dev/null || true; fi
    rm -rf "$folder"
    ;;
  *) echo "unknown command $command" >&2; exit 2 ;;
esac
