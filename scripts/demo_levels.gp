# The demo's plot: the creatures' paths around the listener, and the gain
# and pan the plug-in applied (lines, while the user talks) over the samples
# the falloff server sent (circles): between samples the levels glide.
# scripts/demo.sh runs it with these variables set (gnuplot -e):
#   out      the PNG to write
#   seconds  the simulated seconds on the time axis
#   paths, gains, pans   plot clauses, one per creature or user
#   shade    a command that greys the time the falloff link was down, or ""
set terminal pngcairo size 1500,720 font ",10"
set output out
set datafile separator ","
set multiplot title "Proximity voice demo: gain and pan the falloff server sent (circles) and the plug-in applied (lines, while the user talks)"
set origin 0,0; set size 0.42,0.95
set size ratio -1
set key outside bottom center horizontal
set title "Creature paths around the listener (x); circles: full-volume and silent radius"
set xlabel "metres"; set ylabel "metres"
set xrange [-62:62]; set yrange [-62:62]
set object 1 circle at 0,0 size 8 fc rgb "#bbbbbb" fs empty
set object 2 circle at 0,0 size 40 fc rgb "#bbbbbb" fs empty
plot @paths '+' using (0):(0) every ::0::0 with points pt 2 ps 3 lw 3 lc rgb "black" title "listener"
unset object 1; unset object 2
set size noratio
set origin 0.42,0.48; set size 0.58,0.47
set lmargin at screen 0.48; set rmargin at screen 0.88
set title "Gain (grey: falloff link down, reconnecting)"
if (strlen(shade) > 0) eval shade
set xlabel ""; set ylabel "gain"
set xrange [0:seconds]; set yrange [-0.05:1.05]
set key at screen 0.99, screen 0.92 right top vertical
plot @gains
set origin 0.42,0.0; set size 0.58,0.47
set title "Pan (while audible)"
set xlabel "simulated seconds"; set ylabel "pan: -1 left, +1 right"
set yrange [-1.1:1.1]
unset key
if (strlen(shade) > 0) eval shade
plot @pans
unset multiplot
