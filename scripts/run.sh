#!/bin/bash
# Sets up, builds and starts the station. With no board attached it runs on the
# emulated board; with no display it runs under Xvfb for a while and saves a screenshot.
# --plant starts a throwaway PostgreSQL server, lets the station deliver its records to it
# (over TLS, verified) and prints the central summary at the end.
#   scripts/run.sh [--emulated] [--seconds N] [--scenario FILE] [--plant]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
emulated=auto seconds=20 scenario="" plant=no
while [ $# -gt 0 ]; do
  case "$1" in
    --emulated) emulated=yes ;;
    --seconds) seconds=$2; shift ;;
    --scenario) scenario=$2; shift ;;
    --plant) plant=yes ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
case "$seconds" in ''|*[!0-9]*) echo "--seconds takes a whole number of seconds" >&2; exit 2 ;; esac
# The station runs from the build folder: a scenario named relative to here must still be found.
if [ -n "$scenario" ]; then
  [ -r "$scenario" ] || { echo "cannot read the scenario $scenario" >&2; exit 2; }
  scenario=$(realpath "$scenario")
fi

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only what running needs: the station, its records command and the emulated board's launcher.
cmake --build "$build" -j"$(nproc)" --target Varnold varnold-records varnold-emu

station_dir="$build"          # the program finds its images and Settings.dat beside it
cd "$station_dir"
if [ "$emulated" = auto ]; then
  if lsusb -d 04d8:0053 >/dev/null 2>&1; then emulated=no; else emulated=yes; fi
fi
cmd=(./Varnold)
if [ "$emulated" = yes ]; then
  echo "No board attached: running on the emulated board."
  cmd=("$build/emu/varnold-emu" ${scenario:+--scenario "$scenario"} -- ./Varnold)
fi

export GDK_GL=disable NO_AT_BRIDGE=1
export LANG=${LANG:-C.UTF-8}
if [ "$plant" = yes ]; then
  server="$build/plant-demo-server"
  "$root/scripts/throwaway-postgres.sh" remove "$server"
  trap '"$root/scripts/throwaway-postgres.sh" remove "$server"' EXIT
  port=$("$root/scripts/throwaway-postgres.sh" start "$server")
  central="postgresql://postgres@127.0.0.1:$port/postgres"
  "$build/varnold-records" --db "$central" --init
  psql -q "$central" -c "CREATE ROLE demo_station LOGIN IN ROLE varnold_station"
  # The station's one file: the server verified against the certificate authority made for it.
  export VARNOLD_PLANT_CONF="$build/plant-demo.conf"
  printf 'connection = host=localhost port=%s dbname=postgres user=demo_station sslmode=verify-full sslrootcert=%s\nstation = demo\n' \
    "$port" "$server/ca.crt" >"$VARNOLD_PLANT_CONF"
  echo "Plant database on port $port; the station delivers as 'demo' ($VARNOLD_PLANT_CONF)."
fi
central_summary() {
  [ "$plant" = yes ] || return 0
  echo "Central summary of station 'demo' ($("$build/varnold-records" --db "$central" --csv --station demo | tail -n +2 | wc -l) rows delivered):"
  "$build/varnold-records" --db "$central" --station demo --summary
}
if [ -n "${DISPLAY:-}" ]; then
  [ "$plant" = yes ] || exec "${cmd[@]}"
  "${cmd[@]}" || true
  central_summary
  exit 0
fi

shot="$root/out/station.png"
mkdir -p "$root/out"
echo "No display: running under Xvfb for ${seconds} s."
# A station that ends before the screenshot is a failure, with its own exit status.
xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
  seconds=$1 shot=$2; shift 2
  "$@" & pid=$!
  for _ in $(seq $((seconds * 10))); do
    kill -0 $pid 2>/dev/null || { wait $pid; status=$?; echo "The station ended early (exit status $status)." >&2; exit $((status ? status : 1)); }
    sleep 0.1
  done
  xwd -root -silent | /usr/bin/convert xwd:- "$shot" || exit 1
  kill -TERM $pid 2>/dev/null; wait $pid 2>/dev/null || true
' _ "$seconds" "$shot" "${cmd[@]}"
echo "Screenshot saved: $shot"
echo "Records of this and earlier runs ($station_dir/Records.db):"
"$build/varnold-records" --db "$station_dir/Records.db" --summary
central_summary
