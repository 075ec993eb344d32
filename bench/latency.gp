# Latency distributions of one bench run as CDFs, written by scripts/bench.sh:
#   gnuplot -e "dir='OUT'; out='PNG'" bench/latency.gp
# Each input file holds "milliseconds cumulative-fraction" lines, sorted.
set terminal pngcairo size 1200,540 font ",10"
set output out
set multiplot layout 1,2
set grid
set yrange [0:1]
set ylabel "fraction of samples"

set key outside below
set title "Command latency (remote publish -> first byte at the device)"
set logscale x
set xlabel "ms (log scale)"
set arrow 1 from 5, graph 0 to 5, graph 1 nohead dashtype 2 lc rgb "red"
set label 1 "target p99 5 ms" at 5, graph 0.6 offset 0.5,0 tc rgb "red"
plot dir.'/cmd_idle.cdf' using 1:2 with steps lw 2 title "idle, single commands", \
     dir.'/cmd_head.cdf' using 1:2 with steps lw 2 title "head of a list, empty queue", \
     dir.'/turnaround.cdf' using 1:2 with steps lw 2 title "later commands: previous report -> command"

unset logscale x
unset arrow 1
unset label 1
set key outside below
set title "Report latency (last byte at the device -> remote subscriber)"
set xlabel "ms"
set xrange [0:*]
set arrow 2 from 100, graph 0 to 100, graph 1 nohead dashtype 3 lc rgb "gray40"
set label 2 "poll 100 ms" at 100, graph 0.5 right offset -0.5,0 tc rgb "gray40"
set arrow 3 from 110, graph 0 to 110, graph 1 nohead dashtype 2 lc rgb "red"
set label 3 "target p99 110 ms" at 110, graph 0.6 right offset -0.5,0 tc rgb "red"
plot dir.'/report_info.cdf' using 1:2 with steps lw 2 title "information reports, random moments", \
     dir.'/report_status.cdf' using 1:2 with steps lw 2 title "status reports in a long list (poll-locked)"
unset multiplot
