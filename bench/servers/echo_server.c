/*
 * The floor of the echo rows: an echo server with no event loop library and
 * no interpreter, only epoll.
 *
 *   echo_server [--lifetime SECONDS]
 *
 * Listens on 127.0.0.1 on a free port and, once it does, prints one line of
 * JSON as serve.py does: {"port": N, "build": null}. Serves until it is
 * killed or its lifetime (600 s) is over, then exits 0. Anything it writes
 * to stderr means something went wrong.
 *
 * One thread, level-triggered epoll, non-blocking sockets with TCP_NODELAY.
 * Each readiness of a connection gets one read of up to 64 KiB, written back
 * at once; what the socket does not take waits for EPOLLOUT, and the
 * connection is not read again until all of it has gone. End of file or an
 * error closes the connection.
 */
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

struct conn {
    int fd;
    size_t length, written; /* the bytes read, and of those the bytes written back */
    unsigned char data[READ_SIZE];
};

static int ep;

static int64_t now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void die(const char *what) {
    fprintf(stderr, "echo_server: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void finish(struct conn *c) {
    close(c->fd); /* which takes it out of the epoll set */
    free(c);
}

static void watch(struct conn *c, int op, uint32_t events) {
    struct epoll_event ev = {.events = events, .data.ptr = c};
    if (epoll_ctl(ep, op, c->fd, &ev) < 0) die("epoll_ctl");
}

/* Writes what is pending; 0 once the connection is closed. */
static int drain(struct conn *c) {
    while (c->written < c->length) {
        ssize_t n = send(c->fd, c->data + c->written, c->length - c->written, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                finish(c);
                return 0;
            }
            return 1;
        }
        c->written += n;
    }
    c->length = c->written = 0;
    return 1;
}

/* The connection is readable, writable or in error: a read, or the write
 * of what is pending, tells which. */
static void on_ready(struct conn *c) {
    int was_pending = c->written < c->length;
    if (!was_pending) {
        ssize_t n = recv(c->fd, c->data, READ_SIZE, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n <= 0) {
            finish(c);
            return;
        }
        c->length = n;
    }
    if (!drain(c)) return;
    int pending = c->written < c->length;
    if (pending != was_pending) watch(c, EPOLL_CTL_MOD, pending ? EPOLLOUT : EPOLLIN);
}

static void accept_all(int listener) {
    for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR || errno == ECONNABORTED) continue;
            die("accept4");
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        struct conn *c = malloc(sizeof *c);
        if (c == NULL) die("malloc");
        c->fd = fd;
        c->length = c->written = 0;
        watch(c, EPOLL_CTL_ADD, EPOLLIN);
    }
}

int main(int argc, char **argv) {
    double lifetime = 600;
    static const struct option options[] = {{"lifetime", required_argument, NULL, 'l'}, {0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "", options, NULL)) != -1) {
        if (opt != 'l') return 2;
        char *end;
        lifetime = strtod(optarg, &end);
        if (*end != '\0' || !(lifetime >= 0)) {
            fprintf(stderr, "echo_server: --lifetime takes seconds, not %s\n", optarg);
            return 2;
        }
    }
    if (optind != argc) {
        fprintf(stderr, "usage: echo_server [--lifetime SECONDS]\n");
        return 2;
    }

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
    /* The listener's data.ptr is NULL, a connection's its struct conn. */
    struct epoll_event listening = {.events = EPOLLIN, .data.ptr = NULL};
    if (epoll_ctl(ep, EPOLL_CTL_ADD, listener, &listening) < 0) die("epoll_ctl");

    printf("{\"port\": %d, \"build\": null}\n", ntohs(addr.sin_port));
    fflush(stdout);

    int64_t end = now_ms() + (int64_t)(lifetime * 1000);
    struct epoll_event events[64];
    for (int64_t left; (left = end - now_ms()) > 0;) {
        int n = epoll_wait(ep, events, 64, left > 1000000 ? 1000000 : (int)left);
        if (n < 0 && errno != EINTR) die("epoll_wait");
        for (int i = 0; i < n; i++) {
            if (events[i].data.ptr == NULL)
                accept_all(listener);
            else
                on_ready(events[i].data.ptr);
        }
    }
    return 0;
}
