/*
 * Modbus/TCP server on libmodbus with the same register map as simulator.py:
 * holding registers 0..99 = 1000 + address, input registers 0..99 = 2000 +
 * address, coils on where address % 3 == 0, discrete inputs on where
 * address % 2 == 0; every table is 200 long (addresses 100..199 are 0), so
 * anything at 200 or above is an illegal address.
 *
 * By default one client is served at a time and the next is accepted when it
 * leaves. --multi serves many clients at once with select().
 *
 * --rtu DEVICE serves Modbus RTU on that serial device instead (19200 baud,
 * 8 data bits, no parity, 1 stop bit: a pseudo-terminal takes no parity) as
 * the one unit --unit (default 1). Requests for other units get no answer;
 * after one, libmodbus takes the next frame on the line for that unit's reply
 * and ignores it, so a short response time-out (100 ms) bounds that window:
 * a client waits that long after such a request. A damaged frame makes the
 * server wait as long and drop what the line holds, so it finds the start of
 * the next frame again.
 *
 * --delay-ms N makes the RTU unit answer N ms late, as a slow device does.
 *
 * usage: libmodbus_server [--port N] [--multi] | --rtu DEVICE [--unit N] [--delay-ms N]
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#include <modbus.h>

#define TABLE_SIZE 200
#define MAPPED 100
#define LISTEN_BACKLOG 128
#define RTU_BAUD 19200
#define IGNORED_REPLY_WAIT_US 100000

struct options {
    int port, multi, unit, delay_ms;
    const char *rtu_device;
};

static modbus_mapping_t *new_register_map(void)
{
    modbus_mapping_t *map = modbus_mapping_new(TABLE_SIZE, TABLE_SIZE, TABLE_SIZE, TABLE_SIZE);
    if (map == NULL)
        return NULL;
    for (int i = 0; i < MAPPED; i++) {
        map->tab_registers[i] = 1000 + i;
        map->tab_input_registers[i] = 2000 + i;
        map->tab_bits[i] = i % 3 == 0;
        map->tab_input_bits[i] = i % 2 == 0;
    }
    return map;
}

/* Answers one request from the client on `fd`; returns -1 when it is gone. */
static int serve_request(modbus_t *ctx, modbus_mapping_t *map, int fd)
{
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    modbus_set_socket(ctx, fd);
    int length = modbus_receive(ctx, query);
    if (length > 0)
        return modbus_reply(ctx, query, length, map) < 0 ? -1 : 0;
    return length == 0 ? 0 : -1; /* 0: a request for another unit, ignored */
}

static void serve_one_at_a_time(modbus_t *ctx, modbus_mapping_t *map, int listener)
{
    for (;;) {
        int client = modbus_tcp_accept(ctx, &listener);
        if (client < 0) {
            if (errno == EINTR)
                continue;
            perror("accept");
            return;
        }
        while (serve_request(ctx, map, client) == 0)
            ;
        close(client);
    }
}

static void accept_into(modbus_t *ctx, int listener, fd_set *clients, int *highest)
{
    int client = modbus_tcp_accept(ctx, &listener);
    if (client < 0)
        return;
    if (client >= FD_SETSIZE) {
        close(client);
        return;
    }
    FD_SET(client, clients);
    if (client > *highest)
        *highest = client;
}

static void serve_many(modbus_t *ctx, modbus_mapping_t *map, int listener)
{
    fd_set clients;
    FD_ZERO(&clients);
    int highest = listener;
    for (;;) {
        fd_set readable = clients;
        FD_SET(listener, &readable);
        if (select(highest + 1, &readable, NULL, NULL, NULL) < 0) {
            if (errno == EINTR)
                continue;
            perror("select");
            return;
        }
        for (int fd = 0; fd <= highest; fd++) {
            if (fd != listener && FD_ISSET(fd, &readable) && serve_request(ctx, map, fd) < 0) {
                close(fd);
                FD_CLR(fd, &clients);
            }
        }
        if (FD_ISSET(listener, &readable))
            accept_into(ctx, listener, &clients, &highest);
    }
}

static void exit_now(int signum)
{
    (void)signum;
    _exit(0);
}

static int parse_arguments(int argc, char **argv, struct options *options)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            options->port = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--multi") == 0) {
            options->multi = 1;
        } else if (strcmp(argv[i], "--rtu") == 0 && i + 1 < argc) {
            options->rtu_device = argv[++i];
        } else if (strcmp(argv[i], "--unit") == 0 && i + 1 < argc) {
            options->unit = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc) {
            options->delay_ms = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: %s [--port N] [--multi] | --rtu DEVICE [--unit N] [--delay-ms N]\n", argv[0]);
            return -1;
        }
    }
    return options->port > 0 && options->port < 65536 && options->unit >= 1 && options->unit <= 247 ? 0 : -1;
}

/* Serves the serial line until the device fails; frames that are damaged or
 * not for this unit are dropped, as a device on a bus does. */
static void serve_serial(modbus_t *ctx, modbus_mapping_t *map, int delay_ms)
{
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        int length = modbus_receive(ctx, query);
        if (length > 0) {
            usleep(delay_ms * 1000);
            modbus_reply(ctx, query, length, map);
        }
        else if (length < 0 && (errno == EBADF || errno == EIO)) {
            perror("libmodbus server: serial device");
            return;
        }
    }
}

static int run_rtu(const struct options *options, modbus_mapping_t *map)
{
    modbus_t *ctx = modbus_new_rtu(options->rtu_device, RTU_BAUD, 'N', 8, 1);
    if (ctx == NULL || modbus_set_slave(ctx, options->unit) < 0 || modbus_connect(ctx) < 0) {
        fprintf(stderr, "libmodbus server: %s: %s\n", options->rtu_device, modbus_strerror(errno));
        return 1;
    }
    modbus_set_response_timeout(ctx, 0, IGNORED_REPLY_WAIT_US);
    modbus_set_error_recovery(ctx, MODBUS_ERROR_RECOVERY_PROTOCOL);
    printf("libmodbus server serving RTU on %s, unit %d\n", options->rtu_device, options->unit);
    fflush(stdout);
    serve_serial(ctx, map, options->delay_ms);
    modbus_close(ctx);
    modbus_free(ctx);
    return 1;
}

static int run_tcp(const struct options *options, modbus_mapping_t *map)
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", options->port);
    if (ctx == NULL) {
        fprintf(stderr, "libmodbus server: out of memory\n");
        return 1;
    }
    int listener = modbus_tcp_listen(ctx, LISTEN_BACKLOG);
    if (listener < 0) {
        fprintf(stderr, "libmodbus server: listen on port %d: %s\n", options->port, modbus_strerror(errno));
        return 1;
    }
    printf("libmodbus server listening on 127.0.0.1:%d\n", options->port);
    fflush(stdout);

    if (options->multi)
        serve_many(ctx, map, listener);
    else
        serve_one_at_a_time(ctx, map, listener);

    close(listener);
    modbus_free(ctx);
    return 1;
}

int main(int argc, char **argv)
{
    struct options options = {.port = 502, .multi = 0, .unit = 1, .delay_ms = 0, .rtu_device = NULL};
    if (parse_arguments(argc, argv, &options) < 0)
        return 2;
    signal(SIGTERM, exit_now);
    signal(SIGINT, exit_now);
    signal(SIGPIPE, SIG_IGN);

    modbus_mapping_t *map = new_register_map();
    if (map == NULL) {
        fprintf(stderr, "libmodbus server: out of memory\n");
        return 1;
    }
    int status = options.rtu_device ? run_rtu(&options, map) : run_tcp(&options, map);
    modbus_mapping_free(map);
    return status;
}
