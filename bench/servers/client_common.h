/* What the echo and UDP load generators share: the monotonic clock, the
 * mixer that makes every message's bytes different, and the record of
 * latencies with its percentiles. Included by each client's one source. */

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static uint64_t now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + ts.tv_nsec;
}

static uint64_t mix(uint64_t z) { /* splitmix64's finaliser */
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

/* Latencies in ns, one per completed request. */
static uint64_t *latencies;
static size_t latency_count, latencies_cap;

static void record_latency(uint64_t ns) {
    if (latency_count == latencies_cap) {
        latencies_cap = latencies_cap ? 2 * latencies_cap : 4096;
        latencies = realloc(latencies, latencies_cap * sizeof *latencies);
        if (!latencies) {
            perror("latencies");
            exit(1);
        }
    }
    latencies[latency_count++] = ns;
}

static int by_value(const void *a, const void *b) {
    uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return (x > y) - (x < y);
}

static void sort_latencies(void) {
    if (latency_count) qsort(latencies, latency_count, sizeof *latencies, by_value);
}

/* The nearest-rank percentile of the sorted latencies, in microseconds. */
static double percentile_us(double p) {
    if (latency_count == 0) return 0;
    size_t rank = (size_t)(p / 100 * latency_count + 0.999999);
    if (rank < 1) rank = 1;
    if (rank > latency_count) rank = latency_count;
    return latencies[rank - 1] / 1e3;
}
