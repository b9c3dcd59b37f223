#!/bin/sh
# Regenerates the indicator PNGs from their drawings in images/ (ImageMagick's own vector
# format, so nothing beyond ImageMagick and the DejaVu fonts is needed).
# Usage: resources/make-images.sh   (writes the PNGs beside this script)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
# Another "convert" may come first on PATH; the real ImageMagick one is meant.
convert=/usr/bin/convert

render() { # source.mvg output.png [extra convert options]
    source=$1 output=$2
    shift 2
    "$convert" -background none "mvg:$here/images/$source" "$@" -strip "PNG32:$here/$output"
}

render up-arrow.mvg up-arrow.png
render up-arrow.mvg down-arrow.png -flip
render ok-mark.mvg ok-mark.png
render OK.mvg OK.png
render NOK.mvg NOK.png
