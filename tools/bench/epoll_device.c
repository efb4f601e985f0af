/*
 * The scale case's device: a libmodbus server on 127.0.0.1 that serves many
 * connections at once with epoll, so its cost per request does not grow with
 * the number of connections (a select() loop's does) and the case compares
 * the clients alone. Holding registers 0..99 = 1000 + address, 200 long.
 * --rtu-over-tcp frames requests and replies as RTU (unit 1, CRC) on the
 * same connections: libmodbus' RTU context reads and writes whatever
 * descriptor it is given, so both framings cost the device the same.
 *   epoll_device [--port 502] [--rtu-over-tcp]
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <modbus.h>

#define BACKLOG 256
#define EVENTS 64

static void exit_now(int signum)
{
    (void)signum;
    _exit(0);
}

static modbus_mapping_t *new_register_map(void)
{
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 200, 0);
    for (int i = 0; map && i < 100; i++)
        map->tab_registers[i] = 1000 + i;
    return map;
}

static void watch(int epoll, int fd)
{
    struct epoll_event event = {.events = EPOLLIN, .data.fd = fd};
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) < 0)
        close(fd);
}

/* Answers one request on `fd`; closes the connection when the client left. */
static void serve(modbus_t *ctx, modbus_mapping_t *map, int epoll, int fd)
{
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    modbus_set_socket(ctx, fd);
    int length = modbus_receive(ctx, query);
    if (length > 0 && modbus_reply(ctx, query, length, map) >= 0)
        return;
    if (length == 0)
        return;
    epoll_ctl(epoll, EPOLL_CTL_DEL, fd, NULL);
    close(fd);
}

int main(int argc, char **argv)
{
    int port = 502, rtu_over_tcp = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            port = atoi(argv[++i]);
        else if (strcmp(argv[i], "--rtu-over-tcp") == 0)
            rtu_over_tcp = 1;
    }
    signal(SIGTERM, exit_now);
    signal(SIGINT, exit_now);
    signal(SIGPIPE, SIG_IGN);
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_t *framing = rtu_over_tcp ? modbus_new_rtu("/dev/null", 19200, 'N', 8, 1) : ctx;
    if (framing && rtu_over_tcp)
        modbus_set_slave(framing, 1);
    modbus_mapping_t *map = new_register_map();
    int listener = ctx ? modbus_tcp_listen(ctx, BACKLOG) : -1;
    int epoll = epoll_create1(0);
    if (!map || !framing || listener < 0 || epoll < 0) {
        fprintf(stderr, "epoll device: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    watch(epoll, listener);
    printf("epoll device listening on 127.0.0.1:%d%s\n", port, rtu_over_tcp ? ", RTU over TCP" : "");
    fflush(stdout);
    for (;;) {
        struct epoll_event ready[EVENTS];
        int count = epoll_wait(epoll, ready, EVENTS, -1);
        for (int i = 0; i < count; i++) {
            int fd = ready[i].data.fd;
            if (fd != listener)
                serve(framing, map, epoll, fd);
            else if ((fd = modbus_tcp_accept(ctx, &listener)) >= 0)
                watch(epoll, fd);
        }
    }
}
