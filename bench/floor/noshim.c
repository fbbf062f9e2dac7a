/* noshim.c: an empty preload, so that the run with fsyncs pays the same preloading. */
int velto_bench_no_shim;
