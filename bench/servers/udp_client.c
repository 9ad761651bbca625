/*
 * A load client for UDP echo servers.
 *
 *   udp_client -p PORT [-H HOST] [-c FLOWS] [-s BYTES] [-d SECONDS]
 *              [-n REQUESTS] [-w MILLISECONDS] [-t LIMIT]
 *
 * Opens FLOWS (10) UDP sockets, each connected to HOST (127.0.0.1):PORT, and
 * keeps one datagram of BYTES (64) in flight on each: once its echo is back
 * and matches byte for byte, the flow sends the next. Every datagram is
 * different: its first 12 bytes hold the flow's number (4 bytes) and the
 * datagram's sequence number in the flow (8 bytes), the rest comes from a
 * generator seeded with both, so an echo sent to the wrong flow, of another
 * datagram, cut short or grown does not match.
 *
 * A datagram whose echo has not come back after MILLISECONDS (50) is sent
 * again, and counted as lost. Its first echo may still arrive: a late echo
 * of an earlier datagram of the flow is let through if it matches and the
 * flow has sent more copies than it got echoes; any other echo is an error. More than 1 % of the datagrams lost fails the run, as
 * does one datagram sent 10 times without an echo.
 *
 * New datagrams stop after SECONDS, or once REQUESTS have been sent in all;
 * those then in flight are still waited for. The run ends after LIMIT
 * seconds (SECONDS + 30 by default) whatever happens; flows still waiting
 * then count as errors. It prints one line,
 *
 *   requests=N seconds=S requests_per_second=R errors=E p50_us=P p99_us=Q lost=L
 *
 * where S runs from the first send to the last echo, P and Q are the median
 * and the 99th percentile (nearest rank) of the datagrams' round trips in
 * microseconds (from the first copy's send to the echo), and L counts the
 * copies sent again. It exits 1 on any error. One thread; epoll.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "client_common.h"

#define HEADER 12      /* the flow's number, then the sequence number */
#define MAX_COPIES 10  /* sends of one datagram before its flow fails */

enum state { BUSY, DONE, FAILED };

struct flow {
    int fd;
    uint32_t index;
    enum state state;
    uint64_t seq;       /* the datagram in flight */
    unsigned char *message;
    uint64_t begun;     /* its first copy's send */
    uint64_t sent_at;   /* its latest copy's send */
    int copies;         /* of the datagram in flight */
    uint64_t unanswered; /* copies sent again whose echoes may still come */
};

static size_t size = 64;
static double duration = 0;    /* 0: no time bound on new datagrams */
static uint64_t max_requests;  /* 0: no count bound */
static uint64_t wait_ns = 50000000;
static uint64_t issued, completed, lost;
static int errors;
static uint64_t started, last_done, stop_at; /* ns on the monotonic clock */
static unsigned char scratch[1 << 16], expected[1 << 16];

static void fill(unsigned char *out, uint32_t index, uint64_t seq) {
    uint64_t state = mix(((uint64_t)index << 40) ^ seq ^ 0xda7a);
    for (size_t i = 0; i < size; i += 8) {
        state += 0x9e3779b97f4a7c15ULL;
        uint64_t word = mix(state);
        memcpy(out + i, &word, size - i < 8 ? size - i : 8);
    }
    unsigned char header[HEADER];
    memcpy(header, &index, 4);
    memcpy(header + 4, &seq, 8);
    memcpy(out, header, size < HEADER ? size : HEADER);
}

static void fail(struct flow *f, const char *what) {
    fprintf(stderr, "udp_client: flow %u, datagram %llu: %s\n", f->index,
            (unsigned long long)f->seq, what);
    close(f->fd);
    f->state = FAILED;
    errors++;
}

static void transmit(struct flow *f, uint64_t t) {
    if (f->copies++ == 0) f->begun = t;
    f->sent_at = t;
    /* A copy the kernel would not take is as good as lost: it goes again
     * after the wait like one lost on the way. */
    if (send(f->fd, f->message, size, 0) < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
        errno != ENOBUFS)
        fail(f, strerror(errno));
}

static void next_datagram(struct flow *f, uint64_t t) {
    if ((duration > 0 && t >= stop_at) || (max_requests && issued >= max_requests)) {
        close(f->fd);
        f->state = DONE;
        return;
    }
    f->seq++;
    f->copies = 0;
    fill(f->message, f->index, f->seq);
    issued++;
    transmit(f, t);
}

/* One echo: the answer to the datagram in flight, a late one, or wrong. */
static void echo(struct flow *f, size_t n) {
    char what[128];
    if (n != size) {
        snprintf(what, sizeof what, "an echo of %zu bytes, not %zu", n, size);
        fail(f, what);
        return;
    }
    uint32_t index;
    uint64_t seq;
    unsigned char header[HEADER] = {0};
    memcpy(header, scratch, size < HEADER ? size : HEADER);
    memcpy(&index, header, 4);
    memcpy(&seq, header + 4, 8);
    /* Below 12 bytes the header is cut short: only the datagram in flight
     * is expected then, byte for byte. */
    if (size < HEADER) seq = f->seq, index = f->index;
    const unsigned char *want = f->message;
    if (index == f->index && seq < f->seq && seq > 0) {
        fill(expected, f->index, seq);
        want = expected;
    }
    if (index != f->index || seq > f->seq || seq == 0 || memcmp(scratch, want, size) != 0) {
        size_t at = 0;
        while (scratch[at] == want[at]) at++;
        snprintf(what, sizeof what, "the echo differs at byte %zu (it names flow %u, datagram %llu)",
                 at, index, (unsigned long long)seq);
        fail(f, what);
        return;
    }
    if (seq < f->seq) {
        if (f->unanswered == 0) {
            snprintf(what, sizeof what, "more echoes of datagram %llu than copies of it sent",
                     (unsigned long long)seq);
            fail(f, what);
            return;
        }
        f->unanswered--;
        return;
    }
    uint64_t t = now();
    f->unanswered += f->copies - 1;
    record_latency(t - f->begun);
    completed++;
    last_done = t;
    next_datagram(f, t);
}

static void receive(struct flow *f) {
    while (f->state == BUSY) {
        ssize_t n = recv(f->fd, scratch, sizeof scratch, MSG_TRUNC);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) fail(f, strerror(errno));
            return;
        }
        echo(f, (size_t)n);
    }
}

static int open_flow(const char *host, int port) {
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons(port)};
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        fprintf(stderr, "udp_client: not an IPv4 address: %s\n", host);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) < 0) {
        fprintf(stderr, "udp_client: connect to %s:%d: %s\n", host, port, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

static void usage(void) {
    fprintf(stderr, "usage: udp_client -p PORT [-H HOST] [-c FLOWS] [-s BYTES] [-d SECONDS] "
                    "[-n REQUESTS] [-w MILLISECONDS] [-t LIMIT]\n");
    exit(2);
}

int main(int argc, char **argv) {
    const char *host = "127.0.0.1";
    int port = 0, flows = 10;
    double limit = 0, wait_ms = 50;
    int opt;
    while ((opt = getopt(argc, argv, "H:p:c:s:d:n:w:t:")) != -1) {
        switch (opt) {
        case 'H': host = optarg; break;
        case 'p': port = atoi(optarg); break;
        case 'c': flows = atoi(optarg); break;
        case 's': size = strtoull(optarg, NULL, 10); break;
        case 'd': duration = atof(optarg); break;
        case 'n': max_requests = strtoull(optarg, NULL, 10); break;
        case 'w': wait_ms = atof(optarg); break;
        case 't': limit = atof(optarg); break;
        default: usage();
        }
    }
    /* 65507: the largest UDP payload over IPv4. */
    if (optind != argc || port <= 0 || port > 65535 || flows <= 0 || size == 0 ||
        size > 65507 || duration < 0 || limit < 0 || wait_ms < 1 || wait_ms > 60000 ||
        (duration == 0 && max_requests == 0))
        usage();
    if (limit == 0) limit = duration + 30;
    wait_ns = (uint64_t)(wait_ms * 1e6);
    /* A last resort should the loop below ever fail to notice the limit. */
    alarm((unsigned)limit + 10);

    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct flow *all = calloc(flows, sizeof *all);
    if (ep < 0 || !all) {
        perror("udp_client");
        return 1;
    }
    for (int i = 0; i < flows; i++) {
        struct flow *f = &all[i];
        f->index = (uint32_t)i;
        f->message = malloc(size);
        f->fd = open_flow(host, port);
        if (!f->message || f->fd < 0) {
            printf("requests=0 seconds=0 requests_per_second=0 errors=1\n");
            return 1;
        }
        struct epoll_event ev = {.events = EPOLLIN, .data.ptr = f};
        if (epoll_ctl(ep, EPOLL_CTL_ADD, f->fd, &ev) < 0) {
            perror("udp_client: epoll_ctl");
            return 1;
        }
    }

    started = last_done = now();
    stop_at = started + (uint64_t)(duration * 1e9);
    uint64_t deadline = started + (uint64_t)(limit * 1e9);
    for (int i = 0; i < flows; i++) next_datagram(&all[i], started);

    struct epoll_event events[64];
    for (;;) {
        /* Send again what has waited too long; find the next such moment. */
        uint64_t t = now(), earliest = deadline;
        int busy = 0;
        for (int i = 0; i < flows; i++) {
            struct flow *f = &all[i];
            if (f->state != BUSY) continue;
            if (t - f->sent_at >= wait_ns) {
                if (f->copies == MAX_COPIES) {
                    fail(f, "no echo of any of its copies");
                    continue;
                }
                lost++;
                transmit(f, t);
                if (f->state != BUSY) continue;
            }
            busy = 1;
            if (f->sent_at + wait_ns < earliest) earliest = f->sent_at + wait_ns;
        }
        if (!busy) break;
        if (t >= deadline) {
            for (int i = 0; i < flows; i++)
                if (all[i].state == BUSY) fail(&all[i], "time limit reached");
            break;
        }
        /* Rounded up to the next millisecond: never woken early. */
        uint64_t wait = (earliest - t + 999999) / 1000000;
        int n = epoll_wait(ep, events, 64, wait < 1000 ? (int)wait : 1000);
        if (n < 0 && errno != EINTR) {
            perror("udp_client: epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; i++) {
            struct flow *f = events[i].data.ptr;
            if (f->state == BUSY) receive(f);
        }
    }

    double seconds = (last_done - started) / 1e9;
    if (completed == 0 && errors == 0) {
        fprintf(stderr, "udp_client: no datagram came back\n");
        errors = 1;
    }
    if (lost * 100 > issued) {
        fprintf(stderr, "udp_client: %llu of %llu datagrams lost, more than 1 %%\n",
                (unsigned long long)lost, (unsigned long long)issued);
        errors++;
    }
    sort_latencies();
    printf("requests=%llu seconds=%.6f requests_per_second=%.1f errors=%d "
           "p50_us=%.1f p99_us=%.1f lost=%llu\n",
           (unsigned long long)completed, seconds, seconds > 0 ? completed / seconds : 0.0, errors,
           percentile_us(50), percentile_us(99), (unsigned long long)lost);
    return errors ? 1 : 0;
}
