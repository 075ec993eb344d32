# Connection attempts per second at the broker's port through an outage of
# mosquitto, with the bridge's fixed 1 s retry and with its backoff build,
# from one run of scripts/fleet.sh --storm:
#   gnuplot -e "data='OUT/storm.dat'; out='PNG'; outage=60; units=200; via=''" bench/storm.gp
# (via: ", through haproxy" or empty)
# storm.dat columns: seconds since the SIGKILL, attempts in the second before
# with the fixed retry, the same with backoff (NaN once that run had ended);
# each count is drawn over the second it was counted in.
set terminal pngcairo size 900,450 font ",10" noenhanced
set output out
set grid
set xlabel "seconds since the broker was killed"
set ylabel "TCP connection attempts per second"
set title sprintf("Reconnection storm: %d bridges%s, broker back after %d s", units, via, outage)
set key outside bottom center horizontal
set yrange [0:units * 1.15]
set xrange [-5:*]
set arrow from outage, graph 0 to outage, graph 1 nohead dt 2 lc rgb "gray40"
set label "broker restarted" at outage, graph 0.9 right offset -0.5,0 tc rgb "gray40"
plot data using 1:2 with fsteps lw 2 title "fixed 1 s retry", \
     data using 1:3 with fsteps lw 2 title "BRIDGE_RECONNECT_DELAY_MAX_S=30"
