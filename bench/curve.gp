# Throughput and report latency against the poll interval, from one run of
# scripts/bench.sh:
#   gnuplot -e "data='OUT/curve.dat'; out='PNG'" bench/curve.gp
# curve.dat columns: interval (ms), commands/s, share of the limit, report
# latency p50 and p99 (ms), command latency p50 and p99 (ms), idle CPU (%).
set terminal pngcairo size 1200,500 font ",10"
set output out
set multiplot layout 1,2
set grid
set logscale xy
set xrange [8:125]
set xtics (10, 20, 50, 100)
set xlabel "poll interval, ms (log scale; each a separate build)"
set key top right

set title "Throughput over a 1,000-command list"
set ylabel "commands/s (log scale)"
set yrange [3:80]
plot 1000.0 / (2 * x) with lines dt 2 lc rgb "gray40" title "limit: two poll cycles per command", \
     data using 1:2 with linespoints lw 2 pt 7 title "measured", \
     45 with lines dt 3 lc rgb "red" title "target at 10 ms: 45/s"

set title "Report latency (information reports at random moments)"
set ylabel "ms, last byte at the device -> remote (log scale)"
set yrange [1:200]
set key top left
plot x with lines dt 2 lc rgb "gray40" title "the interval", \
     data using 1:4 with linespoints lw 2 pt 7 title "p50", \
     data using 1:5 with linespoints lw 2 pt 5 title "p99", \
     15 with lines dt 3 lc rgb "red" title "target at 10 ms: p99 15 ms"
unset multiplot
