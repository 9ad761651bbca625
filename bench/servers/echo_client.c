/*
 * A load client for echo servers.
 *
 *   echo_client -p PORT [-H HOST] [-c CONNECTIONS] [-s BYTES] [-d SECONDS]
 *               [-n REQUESTS] [-r RATE] [-t LIMIT]
 *
 * Opens CONNECTIONS (10) connections to HOST (127.0.0.1):PORT; on each, sends
 * a message of BYTES (1024), reads the whole echo back and compares every
 * byte, then sends the next. Every message is different: its bytes come from
 * a generator seeded with the connection's and the request's number, so an
 * echo of the wrong connection, of an earlier request or shifted by any
 * amount does not match.
 *
 * With -r, each connection sends RATE requests per second at most: its k-th
 * request starts at the start plus k / RATE seconds (the connections'
 * schedules staggered evenly over one interval), never earlier, and as soon
 * as the previous echo is complete when that is later. Without it each
 * connection sends its next request as soon as the previous echo is back.
 *
 * New requests stop after SECONDS, or once REQUESTS have been sent in all;
 * the requests then in flight are still read back and checked, and each
 * connection ends with a clean close (our shutdown, the server's close), so
 * any byte the server sends beyond the last echo is caught too.
 *
 * The run ends after LIMIT seconds (SECONDS + 30 by default) whatever
 * happens; connections still busy then count as errors. It prints one line,
 *
 *   requests=N seconds=S requests_per_second=R errors=E p50_us=P p99_us=Q
 *
 * where S runs from the first send to the last complete echo, and P and Q
 * are the median and the 99th percentile (nearest rank) of the requests'
 * latencies in microseconds, each from just before the request's first byte
 * is sent to the receipt of its echo's last byte. It exits 1
 * on any error: a refused connection, a mismatch, an early close, a reset,
 * the time limit, or no request done at all. One thread; epoll.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "client_common.h"

/* WAITING: between requests, until the connection's next scheduled start. */
enum state { BUSY, WAITING, CLOSING, DONE, FAILED };

struct conn {
    int fd;
    int index;
    enum state state;
    uint64_t request;   /* this connection's number for the request in flight */
    size_t sent, received;
    unsigned char *message;
    uint64_t begun;     /* when the request's first byte went out, 0 before */
    uint64_t next_at;   /* with a rate: when the next request may start */
};

static size_t size = 1024;
static double duration = 0;   /* 0: no time bound on new requests */
static uint64_t max_requests; /* 0: no count bound */
static uint64_t interval;     /* ns between one connection's starts; 0: no rate */
static uint64_t issued, completed;
static int errors;
static uint64_t started, last_done, stop_at; /* ns on the monotonic clock */
static unsigned char scratch[1 << 16];

static void fill(unsigned char *out, size_t n, int index, uint64_t request) {
    uint64_t state = mix(((uint64_t)index << 40) ^ request ^ 0x5eed);
    for (size_t i = 0; i < n; i += 8) {
        state += 0x9e3779b97f4a7c15ULL;
        uint64_t word = mix(state);
        memcpy(out + i, &word, n - i < 8 ? n - i : 8);
    }
}

static void fail(struct conn *c, const char *what) {
    fprintf(stderr, "echo_client: connection %d, request %llu (%zu of %zu bytes sent, %zu back): %s\n",
            c->index, (unsigned long long)c->request, c->sent, size, c->received, what);
    close(c->fd);
    c->state = FAILED;
    errors++;
}

static int no_more_requests(uint64_t at) {
    return (duration > 0 && at >= stop_at) || (max_requests && issued >= max_requests);
}

static void begin_closing(struct conn *c) {
    shutdown(c->fd, SHUT_WR);
    c->state = CLOSING;
}

/* Starts the connection's next request at time t, or begins closing. */
static void next_request(struct conn *c, uint64_t t) {
    if (no_more_requests(t)) {
        begin_closing(c);
        return;
    }
    c->request++;
    c->sent = c->received = 0;
    c->begun = 0;
    fill(c->message, size, c->index, c->request);
    issued++;
    c->state = BUSY;
}

/* A request's echo is complete: send the next one, wait for its time, or
 * begin closing. */
static void finish_request(struct conn *c) {
    uint64_t t = now();
    record_latency(t - c->begun);
    completed++;
    last_done = t;
    if (interval) {
        c->next_at += interval;
        if (c->next_at > t) {
            /* A start at or after the time bound would not happen: close now. */
            if (no_more_requests(c->next_at))
                begin_closing(c);
            else
                c->state = WAITING;
            return;
        }
    }
    next_request(c, t);
}

static int would_block(void) { return errno == EAGAIN || errno == EWOULDBLOCK; }

/* Sends and reads until neither can go on (edge-triggered readiness). */
static void pump(struct conn *c) {
    for (;;) {
        int progress = 0;
        if (c->state == BUSY && c->sent < size) {
            if (c->begun == 0) c->begun = now();
            ssize_t n = send(c->fd, c->message + c->sent, size - c->sent, MSG_NOSIGNAL);
            if (n > 0) {
                c->sent += n;
                progress = 1;
            } else if (n < 0 && !would_block()) {
                fail(c, strerror(errno));
                return;
            }
        }
        if (c->state == BUSY) {
            size_t want = size - c->received;
            ssize_t n = recv(c->fd, scratch, want < sizeof scratch ? want : sizeof scratch, 0);
            if (n > 0) {
                if (memcmp(scratch, c->message + c->received, n) != 0) {
                    size_t at = 0;
                    while (scratch[at] == c->message[c->received + at]) at++;
                    char what[96];
                    snprintf(what, sizeof what, "the echo differs at byte %zu", c->received + at);
                    fail(c, what);
                    return;
                }
                c->received += n;
                progress = 1;
                if (c->received == size) finish_request(c);
            } else if (n == 0) {
                fail(c, "the server closed the connection before the whole echo came back");
                return;
            } else if (!would_block()) {
                fail(c, strerror(errno));
                return;
            }
        } else if (c->state == CLOSING || c->state == WAITING) {
            ssize_t n = recv(c->fd, scratch, sizeof scratch, 0);
            if (n == 0 && c->state == WAITING) {
                fail(c, "the server closed the connection between requests");
                return;
            }
            if (n == 0) {
                close(c->fd);
                c->state = DONE;
                return;
            }
            if (n > 0) {
                fail(c, "the server sent bytes after the last echo");
                return;
            }
            if (!would_block()) {
                fail(c, strerror(errno));
                return;
            }
        }
        if (!progress) return;
    }
}

static int open_connection(const char *host, int port) {
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons(port)};
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        fprintf(stderr, "echo_client: not an IPv4 address: %s\n", host);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) < 0) {
        fprintf(stderr, "echo_client: connect to %s:%d: %s\n", host, port, strerror(errno));
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void usage(void) {
    fprintf(stderr, "usage: echo_client -p PORT [-H HOST] [-c CONNECTIONS] [-s BYTES] "
                    "[-d SECONDS] [-n REQUESTS] [-r RATE] [-t LIMIT]\n");
    exit(2);
}

static int active(const struct conn *c) {
    return c->state == BUSY || c->state == WAITING || c->state == CLOSING;
}

static int any_active(const struct conn *conns, int connections) {
    for (int i = 0; i < connections; i++)
        if (active(&conns[i])) return 1;
    return 0;
}

int main(int argc, char **argv) {
    const char *host = "127.0.0.1";
    int port = 0, connections = 10;
    double limit = 0, rate = 0;
    int opt;
    while ((opt = getopt(argc, argv, "H:p:c:s:d:n:r:t:")) != -1) {
        switch (opt) {
        case 'H': host = optarg; break;
        case 'p': port = atoi(optarg); break;
        case 'c': connections = atoi(optarg); break;
        case 's': size = strtoull(optarg, NULL, 10); break;
        case 'd': duration = atof(optarg); break;
        case 'n': max_requests = strtoull(optarg, NULL, 10); break;
        case 'r': rate = atof(optarg); break;
        case 't': limit = atof(optarg); break;
        default: usage();
        }
    }
    if (optind != argc || port <= 0 || port > 65535 || connections <= 0 || size == 0 ||
        size > (64u << 20) || duration < 0 || limit < 0 || rate < 0 || rate > 1e9 ||
        (duration == 0 && max_requests == 0))
        usage();
    if (limit == 0) limit = duration + 30;
    if (rate > 0) interval = (uint64_t)(1e9 / rate + 0.5);
    /* A last resort should the loop below ever fail to notice the limit. */
    alarm((unsigned)limit + 10);

    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct conn *conns = calloc(connections, sizeof *conns);
    /* Wakes the loop for the next scheduled start; data.ptr NULL. */
    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    struct epoll_event timer_ev = {.events = EPOLLIN, .data.ptr = NULL};
    if (ep < 0 || !conns || timer < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, timer, &timer_ev) < 0) {
        perror("echo_client");
        return 1;
    }
    /* Scheduled starts come at most 1 us late rather than the default 50 us. */
    if (interval) prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    for (int i = 0; i < connections; i++) {
        struct conn *c = &conns[i];
        c->index = i;
        c->message = malloc(size);
        c->fd = open_connection(host, port);
        if (!c->message || c->fd < 0) {
            printf("requests=0 seconds=0 requests_per_second=0 errors=1\n");
            return 1;
        }
        struct epoll_event ev = {.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, .data.ptr = c};
        if (epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &ev) < 0) {
            perror("echo_client: epoll_ctl");
            return 1;
        }
    }

    started = last_done = now();
    stop_at = started + (uint64_t)(duration * 1e9);
    uint64_t deadline = started + (uint64_t)(limit * 1e9);
    for (int i = 0; i < connections; i++) {
        struct conn *c = &conns[i];
        c->next_at = started + interval * i / connections;
        if (c->next_at > started)
            c->state = WAITING;
        else
            next_request(c, started);
        pump(c);
    }

    struct epoll_event events[64];
    for (;;) {
        /* Start the requests whose time has come; arm the timer for the next. */
        uint64_t t = now(), earliest = UINT64_MAX;
        for (int i = 0; i < connections; i++) {
            struct conn *c = &conns[i];
            if (c->state == WAITING && c->next_at <= t) {
                next_request(c, t);
                pump(c);
            }
            if (c->state == WAITING && c->next_at < earliest) earliest = c->next_at;
        }
        if (!any_active(conns, connections)) break;
        t = now();
        if (t >= deadline) {
            for (int i = 0; i < connections; i++)
                if (active(&conns[i])) fail(&conns[i], "time limit reached");
            break;
        }
        if (earliest != UINT64_MAX) {
            struct itimerspec when = {.it_value = {.tv_sec = earliest / 1000000000u,
                                                   .tv_nsec = earliest % 1000000000u}};
            timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, NULL);
        }
        int n = epoll_wait(ep, events, 64, (int)((deadline - t) / 1000000) + 1);
        if (n < 0 && errno != EINTR) {
            perror("echo_client: epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; i++) {
            struct conn *c = events[i].data.ptr;
            if (c == NULL) {
                uint64_t expirations;
                while (read(timer, &expirations, sizeof expirations) > 0) {}
            } else if (active(c)) {
                pump(c);
            }
        }
    }

    double seconds = (last_done - started) / 1e9;
    if (completed == 0 && errors == 0) {
        fprintf(stderr, "echo_client: no request was done\n");
        errors = 1;
    }
    sort_latencies();
    printf("requests=%llu seconds=%.6f requests_per_second=%.1f errors=%d "
           "p50_us=%.1f p99_us=%.1f\n",
           (unsigned long long)completed, seconds, seconds > 0 ? completed / seconds : 0.0, errors,
           percentile_us(50), percentile_us(99));
    return errors ? 1 : 0;
}
