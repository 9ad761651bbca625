/*
 * The floor of the TLS echo rows: a TLS echo server on OpenSSL with no event
 * loop library and no interpreter, only epoll.
 *
 *   tls_echo_server --cert PATH [--lifetime SECONDS]
 *
 * PATH holds the certificate chain and its private key, in PEM. Listens,
 * prints its ready line and stops as echo_server does; anything it writes to
 * stderr means something went wrong.
 *
 * One thread, level-triggered epoll, non-blocking sockets with TCP_NODELAY.
 * As asyncio's TLS does with its memory BIOs, each connection's SSL object
 * reads and writes buffers in memory (here a BIO pair), and the server
 * moves the bytes between them and the socket: each readiness of a connection gets one read of up
 * to 256 KiB into the pair, straight into its buffer; every record complete
 * in it is decrypted and the data written back at once, and what the SSL
 * object wrote goes to the socket in as few sends as the pair's ring
 * allows. What the socket does not take waits for EPOLLOUT, and the
 * connection is not read again until all of it has gone. The peer's
 * close_notify is answered with ours and closes the connection; an error,
 * or an end of file without it, closes the connection at once.
 */
#include "server_common.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

/* Room for what the SSL object writes while it echoes a full buffer, its
 * records' overhead and the handshake's messages included. */
#define SENT_SIZE (READ_SIZE + 64 * 1024)

struct conn {
    int fd;
    SSL *ssl;
    BIO *network;           /* the pair's end the server reads and writes */
    int handshaken;
    int closing;            /* our close_notify is in the pair: once sent, the end */
    uint32_t waiting;       /* the events the connection is watched for */
    size_t length, written; /* the bytes decrypted, and of those the bytes written back */
    unsigned char data[READ_SIZE];
};

static SSL_CTX *context;

static void finish(struct conn *c) {
    SSL_free(c->ssl); /* and with it the SSL object's end of the pair */
    BIO_free(c->network);
    close(c->fd); /* which takes it out of the epoll set */
    free(c);
    /* What a failed call left in this thread's queue must not be taken
     * for the next connection's error. */
    ERR_clear_error();
}

/* Sends what the SSL object wrote: 1 once all of it has gone, 0 if the
 * socket takes no more for now, -1 on an error. */
static int flush(struct conn *c) {
    char *pending;
    int n;
    while ((n = BIO_nread0(c->network, &pending)) > 0) {
        ssize_t sent = send(c->fd, pending, n, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
        BIO_nread(c->network, &pending, (int)sent);
    }
    return 1;
}

/* One read from the socket into the pair: 1 if it brought bytes or none
 * were there, 0 at end of file, -1 on an error. */
static int fill(struct conn *c) {
    char *space;
    int room = BIO_nwrite0(c->network, &space);
    if (room <= 0) return 1; /* full: the SSL object reads first */
    ssize_t n = recv(c->fd, space, room, 0);
    if (n > 0) {
        BIO_nwrite(c->network, &space, (int)n);
        return 1;
    }
    if (n == 0) return 0;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 1 : -1;
}

/* Runs the SSL object on what the pair holds: the handshake, then the
 * echo. 1 when it needs more from the socket (or room in the pair once
 * the socket has taken what it wrote), 0 once the connection is to end
 * after a flush (the peer's close_notify answered), -1 on an error. */
static int run(struct conn *c) {
    if (!c->handshaken) {
        int ret = SSL_do_handshake(c->ssl);
        if (ret != 1) {
            int error = SSL_get_error(c->ssl, ret);
            return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 1 : -1;
        }
        c->handshaken = 1;
    }
    for (;;) {
        while (c->written < c->length) {
            int ret = SSL_write(c->ssl, c->data + c->written, (int)(c->length - c->written));
            if (ret <= 0)
                return SSL_get_error(c->ssl, ret) == SSL_ERROR_WANT_WRITE ? 1 : -1;
            c->written += ret;
        }
        c->length = c->written = 0;
        int ret = 1;
        while (c->length < READ_SIZE &&
               (ret = SSL_read(c->ssl, c->data + c->length, (int)(READ_SIZE - c->length))) > 0)
            c->length += ret;
        if (c->length > 0) continue; /* written back; then what follows it, if anything */
        switch (SSL_get_error(c->ssl, ret)) {
        case SSL_ERROR_WANT_READ:
            return 1;
        case SSL_ERROR_ZERO_RETURN:
            SSL_shutdown(c->ssl); /* our close_notify, into the pair */
            return 0;
        default:
            return -1;
        }
    }
}

static void on_ready(void *conn) {
    struct conn *c = conn;
    int sent = flush(c);
    if (sent == 1 && !c->closing) {
        /* Nothing waits to go: read, unless data still waits for room in
         * the pair, and echo. An end of file leaves nothing to answer: a
         * close_notify before it was answered when it came. */
        if (c->written == c->length && fill(c) <= 0) {
            finish(c);
            return;
        }
        do {
            int state = run(c);
            if (state < 0) {
                finish(c);
                return;
            }
            c->closing = state == 0;
            sent = flush(c);
        } while (sent == 1 && c->written < c->length);
    }
    if (sent < 0 || (sent == 1 && c->closing)) {
        finish(c);
        return;
    }
    uint32_t events = sent == 0 ? EPOLLOUT : EPOLLIN;
    if (events != c->waiting) {
        watch(c->fd, c, EPOLL_CTL_MOD, events);
        c->waiting = events;
    }
}

static void on_accepted(int fd) {
    struct conn *c = malloc(sizeof *c);
    SSL *ssl = SSL_new(context);
    BIO *inner = NULL, *network = NULL;
    if (c == NULL || ssl == NULL || BIO_new_bio_pair(&inner, SENT_SIZE, &network, READ_SIZE) != 1) {
        fprintf(stderr, "%s: setting up a connection failed\n", program);
        ERR_print_errors_fp(stderr);
        exit(1);
    }
    SSL_set_bio(ssl, inner, inner);
    SSL_set_accept_state(ssl);
    *c = (struct conn){.fd = fd, .ssl = ssl, .network = network, .waiting = EPOLLIN};
    watch(fd, c, EPOLL_CTL_ADD, EPOLLIN);
}

int main(int argc, char **argv) {
    program = "tls_echo_server";
    const char *cert = NULL;
    double lifetime = parse_options(argc, argv, &cert);
    context = SSL_CTX_new(TLS_server_method());
    if (context == NULL || SSL_CTX_use_certificate_chain_file(context, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, cert, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
        fprintf(stderr, "%s: cannot serve with the certificate and key in %s\n", program, cert);
        ERR_print_errors_fp(stderr);
        return 1;
    }
    /* A write into a full pair may take some of the data and be called
     * again from where it stopped. */
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return serve(lifetime, on_accepted, on_ready);
}
