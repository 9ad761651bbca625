"""Servers under load: serve.py runs one server on one loop in a process of
its own; run.py starts it, drives it with the echo client (echo_client.c),
the UDP client (udp_client.c), both built at first use, or with wrk, and
reads the server's CPU time."""
