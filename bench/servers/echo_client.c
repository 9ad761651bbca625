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
 * Built with -DECHO_TLS (and -lssl -lcrypto) it is tls_echo_client, which
 * speaks TLS on each connection and takes -C CAFILE, required: the server's
 * certificate must verify against CAFILE and name localhost. Each
 * connection's handshake is done before the clock starts, as its connect is;
 * its close is our close_notify then our shutdown, and the server's
 * close_notify must come back: an end of file without it is an error, as it
 * is the one sign of a TLS stream cut short.
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

#ifdef ECHO_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#define NAME "tls_echo_client"
#else
#define NAME "echo_client"
#endif

/* WAITING: between requests, until the connection's next scheduled start. */
enum state { BUSY, WAITING, CLOSING, DONE, FAILED };

struct conn {
    int fd;
    int index;
    enum state state;
    uint64_t request;   /* this connection's number for the request in flight */
    size_t sent, received;
    unsigned char *message;
#ifdef ECHO_TLS
    SSL *ssl;
#endif
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

/* A read's or a write's outcome beside the bytes it moved: the peer's clean
 * end (its shutdown, or with TLS its close_notify), no bytes for now, or an
 * error that io_failure describes. */
enum { IO_END = 0, IO_AGAIN = -1, IO_FAILED = -2 };
static const char *io_failure;

#ifdef ECHO_TLS
static SSL_CTX *context;
static char tls_error[160];

/* What an SSL_read or SSL_write that returned `ret` <= 0 came to (errno
 * was 0 before the call). */
static ssize_t tls_outcome(struct conn *c, int ret) {
    int error = SSL_get_error(c->ssl, ret);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return IO_AGAIN;
    if (error == SSL_ERROR_ZERO_RETURN) return IO_END;
    unsigned long queued = ERR_peek_error();
    if ((error == SSL_ERROR_SSL &&
         ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
        (error == SSL_ERROR_SYSCALL && queued == 0 && errno == 0))
        io_failure = "the server closed the connection without a TLS close_notify";
    else if (error == SSL_ERROR_SYSCALL && errno != 0)
        io_failure = strerror(errno);
    else {
        ERR_error_string_n(queued, tls_error, sizeof tls_error);
        io_failure = tls_error;
    }
    ERR_clear_error();
    return IO_FAILED;
}

static ssize_t io_send(struct conn *c, const unsigned char *data, size_t n) {
    errno = 0;
    int ret = SSL_write(c->ssl, data, (int)(n < INT32_MAX ? n : INT32_MAX));
    return ret > 0 ? ret : tls_outcome(c, ret);
}

static ssize_t io_recv(struct conn *c, unsigned char *data, size_t n) {
    errno = 0;
    int ret = SSL_read(c->ssl, data, (int)n);
    return ret > 0 ? ret : tls_outcome(c, ret);
}

/* Our close_notify, then our shutdown; 0 if the close_notify could not go. */
static int io_close_write(struct conn *c) {
    if (SSL_shutdown(c->ssl) < 0) {
        io_failure = "sending our close_notify failed";
        ERR_clear_error();
        return 0;
    }
    shutdown(c->fd, SHUT_WR);
    return 1;
}

static void io_close(struct conn *c) {
    SSL_free(c->ssl);
    close(c->fd);
}
#else
static int would_block(void) { return errno == EAGAIN || errno == EWOULDBLOCK; }

static ssize_t io_send(struct conn *c, const unsigned char *data, size_t n) {
    ssize_t sent = send(c->fd, data, n, MSG_NOSIGNAL);
    if (sent >= 0) return sent > 0 ? sent : IO_AGAIN;
    if (would_block()) return IO_AGAIN;
    io_failure = strerror(errno);
    return IO_FAILED;
}

static ssize_t io_recv(struct conn *c, unsigned char *data, size_t n) {
    ssize_t got = recv(c->fd, data, n, 0);
    if (got >= 0) return got;
    if (would_block()) return IO_AGAIN;
    io_failure = strerror(errno);
    return IO_FAILED;
}

static int io_close_write(struct conn *c) {
    shutdown(c->fd, SHUT_WR);
    return 1;
}

static void io_close(struct conn *c) { close(c->fd); }
#endif

static void fail(struct conn *c, const char *what) {
    fprintf(stderr, NAME ": connection %d, request %llu (%zu of %zu bytes sent, %zu back): %s\n",
            c->index, (unsigned long long)c->request, c->sent, size, c->received, what);
    io_close(c);
    c->state = FAILED;
    errors++;
}

static int no_more_requests(uint64_t at) {
    return (duration > 0 && at >= stop_at) || (max_requests && issued >= max_requests);
}

static void begin_closing(struct conn *c) {
    if (!io_close_write(c)) {
        fail(c, io_failure);
        return;
    }
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

/* Sends and reads until neither can go on (edge-triggered readiness). */
static void pump(struct conn *c) {
    for (;;) {
        int progress = 0;
        if (c->state == BUSY && c->sent < size) {
            if (c->begun == 0) c->begun = now();
            ssize_t n = io_send(c, c->message + c->sent, size - c->sent);
            if (n > 0) {
                c->sent += n;
                progress = 1;
            } else if (n == IO_FAILED) {
                fail(c, io_failure);
                return;
            }
        }
        if (c->state == BUSY) {
            size_t want = size - c->received;
            ssize_t n = io_recv(c, scratch, want < sizeof scratch ? want : sizeof scratch);
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
            } else if (n == IO_END) {
                fail(c, "the server closed the connection before the whole echo came back");
                return;
            } else if (n == IO_FAILED) {
                fail(c, io_failure);
                return;
            }
        } else if (c->state == CLOSING || c->state == WAITING) {
            ssize_t n = io_recv(c, scratch, sizeof scratch);
            if (n == IO_END && c->state == WAITING) {
                fail(c, "the server closed the connection between requests");
                return;
            }
            if (n == IO_END) {
                io_close(c);
                c->state = DONE;
                return;
            }
            if (n > 0) {
                fail(c, "the server sent bytes after the last echo");
                return;
            }
            if (n == IO_FAILED) {
                fail(c, io_failure);
                return;
            }
        }
        if (!progress) return;
    }
}

#ifdef ECHO_TLS
/* The handshake on the connected, still blocking socket; 0 on failure. */
static int handshake(struct conn *c) {
    c->ssl = SSL_new(context);
    if (c->ssl && SSL_set_fd(c->ssl, c->fd) && SSL_set_tlsext_host_name(c->ssl, "localhost") &&
        SSL_set1_host(c->ssl, "localhost") && SSL_connect(c->ssl) == 1)
        return 1;
    fprintf(stderr, NAME ": TLS handshake: ");
    ERR_print_errors_fp(stderr);
    if (c->ssl) SSL_free(c->ssl);
    return 0;
}
#endif

/* Connects c->fd (with TLS, c->ssl too), then makes it non-blocking; 0 on failure. */
static int open_connection(struct conn *c, const char *host, int port) {
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons(port)};
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        fprintf(stderr, NAME ": not an IPv4 address: %s\n", host);
        return 0;
    }
    int fd = c->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) < 0) {
        fprintf(stderr, NAME ": connect to %s:%d: %s\n", host, port, strerror(errno));
        close(fd);
        return 0;
    }
#ifdef ECHO_TLS
    if (!handshake(c)) {
        close(fd);
        return 0;
    }
#endif
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        io_close(c);
        return 0;
    }
    return 1;
}

#ifdef ECHO_TLS
#define TLS_USAGE " -C CAFILE"
#define TLS_OPTION "C:"
#else
#define TLS_USAGE ""
#define TLS_OPTION ""
#endif

static void usage(void) {
    fprintf(stderr, "usage: " NAME " -p PORT [-H HOST] [-c CONNECTIONS] [-s BYTES] "
                    "[-d SECONDS] [-n REQUESTS] [-r RATE] [-t LIMIT]" TLS_USAGE "\n");
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
    const char *cafile = NULL;
    int opt;
    while ((opt = getopt(argc, argv, "H:p:c:s:d:n:r:t:" TLS_OPTION)) != -1) {
        switch (opt) {
        case 'C': cafile = optarg; break;
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
        (duration == 0 && max_requests == 0) || (TLS_OPTION[0] && cafile == NULL))
        usage();
    if (limit == 0) limit = duration + 30;
    if (rate > 0) interval = (uint64_t)(1e9 / rate + 0.5);
    /* A last resort should the loop below ever fail to notice the limit. */
    alarm((unsigned)limit + 10);
#ifdef ECHO_TLS
    /* OpenSSL writes to the socket without MSG_NOSIGNAL: a server gone must
     * fail the write, not end the client. */
    signal(SIGPIPE, SIG_IGN);
    context = SSL_CTX_new(TLS_client_method());
    if (context == NULL || SSL_CTX_load_verify_locations(context, cafile, NULL) != 1) {
        fprintf(stderr, NAME ": cannot verify with %s: ", cafile);
        ERR_print_errors_fp(stderr);
        return 1;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
    /* A write may take some of the message and be called again from where
     * it stopped, as a socket's send. */
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
#else
    (void)cafile;
#endif

    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct conn *conns = calloc(connections, sizeof *conns);
    /* Wakes the loop for the next scheduled start; data.ptr NULL. */
    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    struct epoll_event timer_ev = {.events = EPOLLIN, .data.ptr = NULL};
    if (ep < 0 || !conns || timer < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, timer, &timer_ev) < 0) {
        perror(NAME);
        return 1;
    }
    /* Scheduled starts come at most 1 us late rather than the default 50 us. */
    if (interval) prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    for (int i = 0; i < connections; i++) {
        struct conn *c = &conns[i];
        c->index = i;
        c->message = malloc(size);
        if (!c->message || !open_connection(c, host, port)) {
            printf("requests=0 seconds=0 requests_per_second=0 errors=1\n");
            return 1;
        }
        struct epoll_event ev = {.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, .data.ptr = c};
        if (epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &ev) < 0) {
            perror(NAME ": epoll_ctl");
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
            perror(NAME ": epoll_wait");
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
        fprintf(stderr, NAME ": no request was done\n");
        errors = 1;
    }
    sort_latencies();
    printf("requests=%llu seconds=%.6f requests_per_second=%.1f errors=%d "
           "p50_us=%.1f p99_us=%.1f\n",
           (unsigned long long)completed, seconds, seconds > 0 ? completed / seconds : 0.0, errors,
           percentile_us(50), percentile_us(99));
    return errors ? 1 : 0;
}
