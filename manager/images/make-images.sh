#!/usr/bin/env bash
# Draws the key manager's two pictures with ImageMagick. The GIFs are
# committed; run this again only to change them (needs fonts-wqy-microhei).
#   QDChangepinSure.gif - the PIN change tip window's picture (384 x 261)
#   QDCountDown.gif     - the picture the PIN prompt library shows during its
#                         button-press countdown
set -euo pipefail
cd "$(dirname "$0")"
font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc

# A USB key lying across the picture: metal plug on the left, body, the round
# confirm button lit in green, and an arrow pointing at the button.
# The tip window writes its countdown over a 20-point strip along one edge of
# the picture, so both the top and the bottom 24 rows are left quiet.
draw_key() {
    local out=$1 hint=$2 sub=$3
    convert -size 384x261 xc:'#f4f7fb' \
        -fill '#dde6f2' -stroke none -draw "rectangle 0,176 384,261" \
        -fill '#b8bec6' -stroke '#6f7780' -strokewidth 2 -draw "rectangle 40,90 92,134" \
        -fill '#6f7780' -stroke none -draw "rectangle 52,101 62,109" -draw "rectangle 70,101 80,109" \
        -fill '#1f4e8c' -stroke '#123463' -strokewidth 3 -draw "roundrectangle 88,76 330,150 26,26" \
        -fill '#2e6bb8' -stroke none -draw "roundrectangle 100,85 318,103 9,9" \
        -fill '#e9eef5' -stroke none -draw "circle 276,113 276,91" \
        -fill '#27a844' -stroke '#17702c' -strokewidth 3 -draw "circle 276,113 276,96" \
        -fill '#ffffff' -stroke none -font "$font" -pointsize 15 -draw "text 118,123 '网盾'" \
        -fill '#d9342b' -stroke '#d9342b' -strokewidth 4 -draw "line 276,32 276,76" \
        -fill '#d9342b' -stroke none -draw "polygon 264,66 288,66 276,86" \
        -fill '#1a1a1a' -font "$font" -pointsize 22 -gravity south -annotate +0+52 "$hint" \
        -fill '#555555' -font "$font" -pointsize 14 -gravity south -annotate +0+30 "$sub" \
        "$out"
}

draw_key QDChangepinSure.gif "请按下网盾上的按钮" "确认修改口令，松开后请等待完成"
# The countdown picture keeps a clear band across its middle: the PIN prompt
# library writes its red countdown line at half the picture's height.
convert -size 384x261 xc:'#f4f7fb' \
    -fill '#fbeeee' -stroke none -draw "rectangle 0,104 384,156" \
    -fill '#b8bec6' -stroke '#6f7780' -strokewidth 2 -draw "rectangle 96,34 126,62" \
    -fill '#1f4e8c' -stroke '#123463' -strokewidth 2 -draw "roundrectangle 122,24 272,72 18,18" \
    -fill '#e9eef5' -stroke none -draw "circle 244,48 244,32" \
    -fill '#27a844' -stroke '#17702c' -strokewidth 2 -draw "circle 244,48 244,36" \
    -fill '#ffffff' -stroke none -font "$font" -pointsize 12 -draw "text 136,54 '网盾'" \
    -fill '#dde6f2' -stroke none -draw "rectangle 0,200 384,261" \
    -fill '#1a1a1a' -font "$font" -pointsize 22 -gravity south -annotate +0+30 "请按下网盾上的按钮" \
    -fill '#555555' -font "$font" -pointsize 14 -gravity south -annotate +0+10 "确认本次操作" \
    QDCountDown.gif
