# Round trips and bulk throughput of the five ways, from bench/report.py's
# chart.dat:  gnuplot -e "datafile='chart.dat'; outfile='out.png'" chart.gp
set terminal pngcairo size 1100,450 font ",10"
set output outfile
set multiplot layout 1,2
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set key below horizontal
set yrange [0:*]
set title "Round trips (100-byte IM and answer), msgs/s"
plot datafile index 0 using 2:xtic(1) title "qmx-proxy", \
     '' index 0 using 3 title "HAProxy", \
     '' index 0 using 4 title "socat", \
     '' index 0 using 5 title "minimal relay", \
     '' index 0 using 6 title "direct"
set title "Bulk (8 KiB IMs one way), MB/s"
plot datafile index 1 using 2:xtic(1) title "qmx-proxy", \
     '' index 1 using 3 title "HAProxy", \
     '' index 1 using 4 title "socat", \
     '' index 1 using 5 title "minimal relay", \
     '' index 1 using 6 title "direct"
unset multiplot
