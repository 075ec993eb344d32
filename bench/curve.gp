# Throughput and report latency against the poll interval, and the
# event-driven mode beside them, from one run of scripts/bench.sh:
#   gnuplot -e "data='OUT/curve.dat'; out='PNG'; ev_rate=R; ev_limit=L; ev_p50=A; ev_p99=B" bench/curve.gp
# curve.dat columns: interval (ms; 0 for the event-driven line, which the
# ev_* values draw across the plot instead), commands/s, share of the limit,
# report latency p50 and p99 (ms), command latency p50 and p99 (ms), idle CPU
# (%), idle wake-ups per second, the limit (commands/s).
set terminal pngcairo size 1200,500 font ",10"
set output out
set multiplot layout 1,2
set grid
set logscale xy
set xrange [8:125]
set xtics (10, 20, 50, 100)
set xlabel "poll interval, ms (log scale; each a separate build)"
set key bottom left
have_ev = exists("ev_rate")
poll(x) = x > 0 ? x : NaN

set title "Throughput over a 1,000-command list"
set ylabel "commands/s (log scale)"
set yrange [3:150]
plot 1000.0 / (2 * x) with lines dt 2 lc rgb "gray40" title "limit: two poll cycles per command", \
     data using (poll($1)):2 with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "measured, poll", \
     45 with lines dt 3 lc rgb "red" title "target at 10 ms: 45/s", \
     (have_ev ? ev_limit : NaN) with lines dt 2 lc rgb "#2ca02c" title "event-driven: limit (quiet + gap per command)", \
     (have_ev ? ev_rate : NaN) with lines lw 2 lc rgb "#2ca02c" title "event-driven: measured"

set title "Report latency (information reports at random moments)"
set ylabel "ms, last byte at the device -> remote (log scale)"
set yrange [1:200]
set key top left
plot x with lines dt 2 lc rgb "gray40" title "the interval", \
     data using (poll($1)):4 with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "p50, poll", \
     data using (poll($1)):5 with linespoints lw 2 pt 5 lc rgb "#ff7f0e" title "p99, poll", \
     15 with lines dt 3 lc rgb "red" title "target at 10 ms: p99 15 ms", \
     (have_ev ? ev_p50 : NaN) with lines lw 2 dt 4 lc rgb "#2ca02c" title "event-driven p50 (10 ms gap)", \
     (have_ev ? ev_p99 : NaN) with lines lw 2 lc rgb "#2ca02c" title "event-driven p99"
unset multiplot
