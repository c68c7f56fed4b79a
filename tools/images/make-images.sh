#!/bin/sh
# Draws the agent's four pictures into src/Images with ImageMagick (Debian: imagemagick).
# Everything is drawn at four times the final size and scaled down with a box filter: straight
# edges on the 4-pixel grid stay sharp, slanted ones get smooth. Timestamps are kept out of the
# PNG files, so running this again gives the same bytes.
set -eu

out="$(cd "$(dirname "$0")/../.." && pwd)/src/Images"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

shrink() { # big picture, final picture
    convert "$1" -filter Box -resize 25% -strip -define png:exclude-chunks=date,time "PNG32:$2"
}

# Four monitors in a two-by-two grid on one stand, with a pointer over the lower right one.
# Arguments: bezel and stand colour, screen colour, screen highlight colour, output .ico.
trayIcon() {
    monitors=""
    for x in 8 100; do
        for y in 16 86; do
            monitors="$monitors fill '$1' roundrectangle $x,$y $((x + 84)),$((y + 62)) 8,8"
            monitors="$monitors fill '$2' rectangle $((x + 6)),$((y + 6)) $((x + 78)),$((y + 56))"
            # A lighter upper left half reads as a glassy screen even at tray size.
            monitors="$monitors fill '$3' polygon $((x + 6)),$((y + 6)) $((x + 78)),$((y + 6)) $((x + 6)),$((y + 56))"
        done
    done
    convert -size 192x192 xc:none \
        -draw "$monitors" \
        -draw "fill '$1' rectangle 88,148 104,164 roundrectangle 60,162 132,174 6,6" \
        -draw "fill white stroke black stroke-width 6 stroke-linejoin round
               polygon 124,100 124,168 140,152 152,180 162,176 150,148 172,148" \
        "$work/tray.png"
    shrink "$work/tray.png" "$work/tray48.png"
    # A single 48 x 48 entry with an alpha channel: 32 bits per pixel.
    convert "$work/tray48.png" -alpha on "$4"
}

trayIcon '#1b4f9c' '#2f80e8' '#5ea2f5' "$out/kv830mt.ico"
trayIcon '#5b6068' '#9aa0a8' '#b8bdc4' "$out/offline.ico"

# An orange disc with a white question mark, 45 x 45.
convert -size 180x180 xc:none \
    -draw "fill '#f39c12' circle 90,90 90,4" \
    -draw "fill none stroke white stroke-width 20 stroke-linecap round stroke-linejoin round
           path 'M 62,66 A 28,28 0 1,1 111.4,84 Q 90,96 90,114'" \
    -draw "fill white circle 90,140 90,152" \
    "$work/fail.png"
shrink "$work/fail.png" "$out/img-fail.png"

# A dark close cross on transparent, 10 x 10.
convert -size 40x40 xc:none \
    -draw "stroke '#3a3a3a' stroke-width 7 stroke-linecap round line 9,9 31,31 line 31,9 9,31" \
    "$work/close.png"
shrink "$work/close.png" "$out/close.png"
