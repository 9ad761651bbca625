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
 * Each readiness of a connection gets one read of up to 256 KiB, written
 * back at once; what the socket does not take waits for EPOLLOUT, and the
 * connection is not read again until all of it has gone. End of file or an
 * error closes the connection.
 */
#include "server_common.h"

struct conn {
    int fd;
    size_t length, written; /* the bytes read, and of those the bytes written back */
    unsigned char data[READ_SIZE];
};

static void finish(struct conn *c) {
    close(c->fd); /* which takes it out of the epoll set */
    free(c);
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
static void on_ready(void *conn) {
    struct conn *c = conn;
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
    if (pending != was_pending) watch(c->fd, c, EPOLL_CTL_MOD, pending ? EPOLLOUT : EPOLLIN);
}

static void on_accepted(int fd) {
    struct conn *c = malloc(sizeof *c);
    if (c == NULL) die("malloc");
    c->fd = fd;
    c->length = c->written = 0;
    watch(fd, c, EPOLL_CTL_ADD, EPOLLIN);
}

int main(int argc, char **argv) {
    program = "echo_server";
    return serve(parse_options(argc, argv, NULL), on_accepted, on_ready);
}
