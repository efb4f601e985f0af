/*
 * The scale case's device: a libmodbus server on 127.0.0.1 that serves many
 * connections at once with epoll, so its cost per request does not grow with
 * the number of connections (a select() loop's does) and the case compares
 * the clients alone. Holding registers 0..9999 = 1000 + address, so one
 * block of 10,000 registers can be read too.
 * --rtu-over-tcp frames requests and replies as RTU (unit 1, CRC) on the
 * same connections: libmodbus' RTU context reads and writes whatever
 * descriptor it is given, so both framings cost the device the same.
 * --delay-ms D answers each request D ms after it arrived, every connection
 * independently: the requests wait in a queue in arrival order (their
 * deadlines are in the same order, the delay being one for all) and one
 * timer of the epoll loop fires at the oldest one's deadline.
 *   epoll_device [--port 502] [--rtu-over-tcp] [--delay-ms D]
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <modbus.h>

#define BACKLOG 256
#define EVENTS 64
#define REGISTERS 10000
/* Requests awaiting their delayed reply: one per connection at a time is
 * what the clients send, so this holds far more than they ever queue. */
#define QUEUED 4096

struct pending {
    int fd; /* -1 once the connection went */
    int length;
    struct timespec due;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
};

struct delayed {
    long delay_ms;
    int timer;
    size_t head, count;
    struct pending queue[QUEUED];
};

static void exit_now(int signum)
{
    (void)signum;
    _exit(0);
}

static modbus_mapping_t *new_register_map(void)
{
    modbus_mapping_t *map = modbus_mapping_new(0, 0, REGISTERS, 0);
    for (int i = 0; map && i < REGISTERS; i++)
        map->tab_registers[i] = 1000 + i;
    return map;
}

static void watch(int epoll, int fd)
{
    struct epoll_event event = {.events = EPOLLIN, .data.fd = fd};
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) < 0)
        close(fd);
}

static void arm(struct delayed *later)
{
    struct itimerspec when = {0};
    if (later->count)
        when.it_value = later->queue[later->head].due;
    timerfd_settime(later->timer, TFD_TIMER_ABSTIME, &when, NULL);
}

static void forget(struct delayed *later, int fd)
{
    for (size_t i = 0; i < later->count; i++) {
        struct pending *p = &later->queue[(later->head + i) % QUEUED];
        if (p->fd == fd)
            p->fd = -1;
    }
}

static void hang_up(struct delayed *later, int epoll, int fd)
{
    forget(later, fd);
    epoll_ctl(epoll, EPOLL_CTL_DEL, fd, NULL);
    close(fd);
}

/* Queues the request to be answered `delay_ms` from now; false when the
 * queue is full. */
static int defer(struct delayed *later, int fd, const uint8_t *query, int length)
{
    if (later->count == QUEUED)
        return 0;
    struct pending *p = &later->queue[(later->head + later->count++) % QUEUED];
    p->fd = fd;
    p->length = length;
    memcpy(p->query, query, length);
    clock_gettime(CLOCK_MONOTONIC, &p->due);
    p->due.tv_nsec += later->delay_ms % 1000 * 1000000;
    p->due.tv_sec += later->delay_ms / 1000 + p->due.tv_nsec / 1000000000;
    p->due.tv_nsec %= 1000000000;
    if (later->count == 1)
        arm(later);
    return 1;
}

/* Answers every queued request whose time has come. */
static void answer_due(modbus_t *ctx, modbus_mapping_t *map, struct delayed *later)
{
    uint64_t expirations;
    if (read(later->timer, &expirations, sizeof expirations) < 0)
        return; /* re-armed since it fired: not due yet */
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    while (later->count) {
        struct pending *p = &later->queue[later->head];
        if (p->due.tv_sec > now.tv_sec || (p->due.tv_sec == now.tv_sec && p->due.tv_nsec > now.tv_nsec))
            break;
        if (p->fd >= 0) {
            modbus_set_socket(ctx, p->fd);
            modbus_reply(ctx, p->query, p->length, map);
        }
        later->head = (later->head + 1) % QUEUED;
        later->count--;
    }
    arm(later);
}

/* Answers one request on `fd`, at once or through the queue; closes the
 * connection when the client left. */
static void serve(modbus_t *ctx, modbus_mapping_t *map, struct delayed *later, int epoll, int fd)
{
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    modbus_set_socket(ctx, fd);
    int length = modbus_receive(ctx, query);
    if (length == 0)
        return;
    if (length > 0 && (later->delay_ms ? defer(later, fd, query, length) : modbus_reply(ctx, query, length, map) >= 0))
        return;
    hang_up(later, epoll, fd);
}

int main(int argc, char **argv)
{
    int port = 502, rtu_over_tcp = 0;
    static struct delayed later;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            port = atoi(argv[++i]);
        else if (strcmp(argv[i], "--rtu-over-tcp") == 0)
            rtu_over_tcp = 1;
        else if (strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc)
            later.delay_ms = atol(argv[++i]);
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
    later.timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
    if (!map || !framing || listener < 0 || epoll < 0 || later.timer < 0) {
        fprintf(stderr, "epoll device: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    watch(epoll, listener);
    watch(epoll, later.timer);
    printf("epoll device listening on 127.0.0.1:%d%s, replies after %ld ms\n", port,
           rtu_over_tcp ? ", RTU over TCP" : "", later.delay_ms);
    fflush(stdout);
    for (;;) {
        struct epoll_event ready[EVENTS];
        int count = epoll_wait(epoll, ready, EVENTS, -1);
        for (int i = 0; i < count; i++) {
            int fd = ready[i].data.fd;
            if (fd == later.timer)
                answer_due(framing, map, &later);
            else if (fd != listener)
                serve(framing, map, &later, epoll, fd);
            else if ((fd = modbus_tcp_accept(ctx, &listener)) >= 0)
                watch(epoll, fd);
        }
    }
}
