# The companions' pitch in tune beside the four-channel plug-in's, drawn
# from what measure_sound wrote into the data folder. Called by
# tools/measure-sound as
#   gnuplot -e "data='<data folder>'; docs='<docs folder>'" companion_tuning.gp

set terminal pngcairo size 1200,520 font "DejaVu Sans,10" noenhanced
set grid lc rgb "#dddddd"
set key bottom right box opaque
rates = "44100 48000 96000"
rate_names = "44.1 48 96"
dampings = "3000 12000 20000"
damping_names = "3 12 20"
# Four-channel data: note rate lowest pitch ...; companions': note rate
# damping hit1 hit2 centre out_of_reach.
four(rate, value) = column(2) == rate ? value : 1/0
# Curve i (1..9): rate (i - 1) / 3 + 1, damping (i - 1) % 3 + 1.
rate_of(i) = (i - 1) / 3 + 1
damping_of(i) = (i - 1) % 3 + 1
tuned(rate, damping, value) = column(2) == rate && column(3) == damping && column(7) == 0 ? value : 1/0

set output docs . "/companion-tuning.png"
set multiplot layout 1,2 title "Pitch heard (spacing of partials 2 to 8), cents from each note, decay 1 s"
set xrange [23:85]
set xtics 24,6,84
set xlabel "MIDI note (60 = middle C)"

set title "Four-channel plug-in (and companions as it), damping 12 kHz"
set ylabel "cents"
set yrange [-80:80]
plot for [i=1:3] data . "/tuning.dat" using 1:(four(word(rates, i) + 0, $4)) \
     with linespoints pt 7 ps 0.5 title word(rate_names, i) . " kHz", \
     5 with lines lc rgb "black" dt 2 title "5 cents", -5 with lines lc rgb "black" dt 2 notitle

set title "Companions in tune: centre of two hits (notes out of reach left out)"
set yrange [-8:8]
plot for [i=1:9] data . "/companion-tuning.dat" \
     using 1:(tuned(word(rates, rate_of(i)) + 0, word(dampings, damping_of(i)) + 0, $6)) \
     with linespoints lt rate_of(i) dt damping_of(i) pt 7 ps 0.4 \
     title word(rate_names, rate_of(i)) . " kHz, damping " . word(damping_names, damping_of(i)) . " kHz", \
     5 with lines lc rgb "black" dt 2 title "5 cents", -5 with lines lc rgb "black" dt 2 notitle
unset multiplot
