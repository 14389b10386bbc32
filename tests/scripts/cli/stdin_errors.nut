// Read from standard input: each bad line is reported as it comes and the rest still runs.
HAdd("p", "k", "v")
HGet("p" "k")
//! write p.pool bare
HGet("p", "k")
