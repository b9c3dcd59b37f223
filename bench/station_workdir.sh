#!/bin/sh
# Prints a fresh working folder holding what the station reads: the five indicator images
# and the sample catalogue.   bench/station_workdir.sh SOURCE_DIR
set -eu
dir=$(mktemp -d /tmp/varnold-bench.XXXXXX)
for f in up-arrow.png down-arrow.png ok-mark.png OK.png NOK.png Settings.dat; do
  cp "$1/resources/$f" "$dir/"
done
echo "$dir"
