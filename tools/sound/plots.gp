# The plots of docs/, drawn from what measure_sound wrote into the data
# folder. Called by tools/measure-sound as
#   gnuplot -e "data='<data folder>'; docs='<docs folder>'" plots.gp

set terminal pngcairo size 900,560 font "DejaVu Sans,10" noenhanced
set grid lc rgb "#dddddd"
set key top right box opaque
rates = "44100 48000 96000"
rate_names = "44.1 48 96"
at(rate, value) = column(2) == rate ? value : 1/0

# Tuning: the lowest partial and the pitch heard, in cents from each note.
set output docs . "/tuning.png"
set multiplot layout 2,1 title "Where the tubes ring: cents from each note (decay 1 s, damping 12 kHz)"
set xrange [23:85]
set xtics 24,6,84
set ylabel "lowest partial, cents"
set yrange [0:700]
plot for [i=1:3] data . "/tuning.dat" using 1:(at(word(rates, i) + 0, $3)) \
     with linespoints pt 7 ps 0.5 title word(rate_names, i) . " kHz"
set ylabel "pitch heard (spacing), cents"
set xlabel "MIDI note (60 = middle C; at 96 kHz notes below B1 lie off the chart: the delay cannot reach them)"
set yrange [-80:80]
plot for [i=1:3] data . "/tuning.dat" using 1:(at(word(rates, i) + 0, $4)) \
     with linespoints pt 7 ps 0.5 title word(rate_names, i) . " kHz", \
     0 with lines lc rgb "black" dt 2 notitle
unset multiplot
unset xlabel
set autoscale
set xtics autofreq
set key bottom right

notes = "C2 C3 C4 C5"

# Decay: T60 of each partial against its frequency, one panel per setting.
set terminal pngcairo size 1200,500 font "DejaVu Sans,10" noenhanced
set output docs . "/decay.png"
set logscale xy
set xrange [50:6000]
set multiplot layout 1,3 title "How long each partial rings (48 kHz, damping 12 kHz): T60 against frequency"
do for [setting in "100 1000 10000"] {
    set title "decay " . setting . " ms"
    set xlabel "partial frequency, Hz"
    set ylabel "T60, s"
    set yrange [0.01:20]
    plot for [i=0:3] data . "/decay-" . setting . "-12000.dat" index i using 2:3 \
         with linespoints pt 7 ps 0.5 title word(notes, i + 1), \
         (setting / 1000.0) with lines lc rgb "black" dt 2 title "setting"
}
unset multiplot

# Damping: the same at decay 10 s for three dampings, C3 and C5.
set terminal pngcairo size 900,560 font "DejaVu Sans,10" noenhanced
set output docs . "/damping.png"
set title "Decay 10 s: T60 of each partial for three dampings (48 kHz)"
set yrange [0.05:20]
plot for [d in "3000 12000 20000"] data . "/decay-10000-" . d . ".dat" index 1 using 2:3 \
         with linespoints pt 7 ps 0.5 title "C3, damping " . d . " Hz", \
     for [d in "3000 12000 20000"] data . "/decay-10000-" . d . ".dat" index 3 using 2:3 \
         with linespoints pt 6 ps 0.5 dt 2 title "C5, damping " . d . " Hz", \
     10 with lines lc rgb "black" dt 2 title "setting"

# The "Long dark drone" preset.
set output docs . "/drone.png"
set title "Preset \"Long dark drone\" (decay 10 s, damping 6 kHz): T60 of each partial"
drone_notes = "G2 D3 G3 D4"
plot for [i=0:3] data . "/drone.dat" index i using 2:3 \
         with linespoints pt 7 ps 0.5 title word(drone_notes, i + 1), \
     10 with lines lc rgb "black" dt 2 title "setting"
unset logscale

# Polarity: tube 1's spectrum before and after a change of decay.
set output docs . "/polarity.png"
set title "Middle C at decay 2 s: spectrum of a hit before and after the decay is moved and back"
set xrange [20:1600]
set yrange [*:*]
set xlabel "Hz"
set ylabel "dB"
set xtics 0,130.81,1600 format "%.0f"
plot data . "/polarity.dat" using 1:2 with lines lw 1.5 title "after the start-up glide (or a note change)", \
     data . "/polarity.dat" using 1:3 with lines lw 1.5 title "after a change of decay: an octave lower, odd partials only"
set xtics autofreq format "% h"

# Start-up glide: one over the loop delay, for each tube, at three rates.
set output docs . "/startup.png"
set xrange [0:0.6]
set logscale y
set yrange [25:700]
set ytics (30, 50, 100, 200, 300, 500)
set xlabel "time since the first run, s (when the click went in)"
set ylabel "one over the loop delay, Hz"
set key top left
set title "A new instance (default chord): the loop delay glides from the whole line to each note"
plot for [i=1:3] for [t=2:5] data . "/startup-" . word(rates, i) . ".dat" using 1:t \
         with lines lw 1.2 dt i lc t title word(rate_names, i) . " kHz, tube " . (t - 1)

# A hit 10 ms after a new instance starts: what it rings at, against time.
set output docs . "/startup-hit.png"
unset key
set xrange [0:0.5]
set yrange [25:4000]
set ytics (50, 100, 200, 500, 1000, 2000, 4000)
set xlabel "time since the first run, s"
set ylabel "Hz"
set cblabel "dB from the loudest"
set cbrange [-80:0]
set palette defined (0 "white", 1 "#ffe680", 2 "#e05020", 3 "#401060")
set title "A hit 10 ms after a new instance starts (default chord, tube 1: middle C, decay 1 s)"
plot data . "/startup-hit.dat" using 1:2:3 with image pixels

# The read position's movement: pitch against time after a hit, and the
# lines it splits a partial of the highest tube into.
set terminal pngcairo size 900,700 font "DejaVu Sans,10" noenhanced
set output docs . "/vibrato.png"
set multiplot layout 2,1 title "The read position's slow movement (48 kHz, decay 10 s)"
set key top right box opaque
set xrange [0.1:1.2]
set yrange [*:*]
set autoscale y
unset logscale
set ytics autofreq
set xtics autofreq
set xlabel "time since the hit, s"
set ylabel "cents from the middle"
set title "Instantaneous pitch of the partial nearest 2 kHz"
vibrato_notes = "C2 C3 C4 C6"
plot for [t=2:5] data . "/vibrato-48000.dat" using 1:t with lines lw 1.5 \
     title word(vibrato_notes, t - 1)
set xrange [-30:30]
set xlabel "Hz from the partial"
set ylabel "dB from the strongest line"
set yrange [-60:3]
set title "C6, partials 2 and 3: lines a vibrato rate apart"
plot data . "/split.dat" index 0 using 1:2 with lines lw 1.2 title "partial 2", \
     data . "/split.dat" index 1 using 1:2 with lines lw 1.2 title "partial 3"
unset multiplot

# The output limiter: each output sample against its linear value.
set terminal pngcairo size 900,560 font "DejaVu Sans,10" noenhanced
set output docs . "/softclip.png"
set title "Output limiter, measured: output against the linear ringing (tube 1, peak +12 dBFS before it)"
set key top left box opaque
set xrange [-4.2:4.2]
set yrange [-1.1:1.1]
set xlabel "linear value (the ringing as a small hit's, scaled)"
set ylabel "output"
plot data . "/softclip.dat" using 1:2 with points pt 7 ps 0.4 title "output samples", \
     x / sqrt(1 + x * x) with lines lc rgb "black" dt 2 title "d / sqrt(1 + d^2)", \
     x with lines lc rgb "#999999" dt 3 title "no limiter"
