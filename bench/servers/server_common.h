/* What the C echo servers share: their options, the listening socket on
 * 127.0.0.1 with the ready line serve.py prints too, the accepting of
 * connections and the level-triggered epoll loop that runs until the
 * server's lifetime is over. Included by each server's one source, which
 * names its own connections' readiness handler to serve(). */

#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define READ_SIZE (256 * 1024) /* as much as asyncio's transports ask for */

static const char *program; /* the server's name, for its messages */
static int ep;

static int64_t now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void die(const char *what) {
    fprintf(stderr, "%s: %s: %s\n", program, what, strerror(errno));
    exit(1);
}

/* Adds a connection to the epoll set or changes what it waits for; `conn`
 * comes back as the data of its events. */
static void watch(int fd, void *conn, int op, uint32_t events) {
    struct epoll_event ev = {.events = events, .data.ptr = conn};
    if (epoll_ctl(ep, op, fd, &ev) < 0) die("epoll_ctl");
}

/* Parses `--lifetime SECONDS` and, where `cert` is not NULL, `--cert PATH`
 * (required then); exits 2 on anything else. */
static double parse_options(int argc, char **argv, const char **cert) {
    double lifetime = 600;
    static const struct option options[] = {{"lifetime", required_argument, NULL, 'l'},
                                            {"cert", required_argument, NULL, 'c'}, {0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "", options, NULL)) != -1) {
        if (opt == 'c' && cert != NULL) {
            *cert = optarg;
            continue;
        }
        if (opt != 'l') exit(2);
        char *end;
        lifetime = strtod(optarg, &end);
        if (*end != '\0' || !(lifetime >= 0)) {
            fprintf(stderr, "%s: --lifetime takes seconds, not %s\n", program, optarg);
            exit(2);
        }
    }
    if (optind != argc || (cert != NULL && *cert == NULL)) {
        fprintf(stderr, "usage: %s [--lifetime SECONDS]%s\n", program,
                cert != NULL ? " --cert PATH" : "");
        exit(2);
    }
    return lifetime;
}

/* Accepts every pending connection: non-blocking, TCP_NODELAY, each handed
 * to `made`. */
static void accept_all(int listener, void (*made)(int fd)) {
    for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR || errno == ECONNABORTED) continue;
            die("accept4");
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        made(fd);
    }
}

/* Listens on 127.0.0.1 on a free port, prints the ready line, then serves
 * until `lifetime` seconds are over: new connections go to `made`, the
 * readiness of a connection (the pointer it was watched with) to `ready`. */
static int serve(double lifetime, void (*made)(int fd), void (*ready)(void *conn)) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (listener < 0) die("socket");
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t addr_len = sizeof addr;
    if (bind(listener, (struct sockaddr *)&addr, sizeof addr) < 0) die("bind");
    if (listen(listener, 128) < 0) die("listen");
    if (getsockname(listener, (struct sockaddr *)&addr, &addr_len) < 0) die("getsockname");
    ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) die("epoll_create1");
    /* The listener's data.ptr is NULL, a connection's its own. */
    watch(listener, NULL, EPOLL_CTL_ADD, EPOLLIN);

    printf("{\"port\": %d, \"build\": null}\n", ntohs(addr.sin_port));
    fflush(stdout);

    int64_t end = now_ms() + (int64_t)(lifetime * 1000);
    struct epoll_event events[64];
    for (int64_t left; (left = end - now_ms()) > 0;) {
        int n = epoll_wait(ep, events, 64, left > 1000000 ? 1000000 : (int)left);
        if (n < 0 && errno != EINTR) die("epoll_wait");
        for (int i = 0; i < n; i++) {
            if (events[i].data.ptr == NULL)
                accept_all(listener, made);
            else
                ready(events[i].data.ptr);
        }
    }
    return 0;
}
