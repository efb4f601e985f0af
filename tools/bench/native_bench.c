/*
 * The native floor: a libmodbus client reading 10 holding registers per
 * transaction from 127.0.0.1:502, one outstanding, with the same handshake
 * and result line as the Windows bench programs.
 *   native_bench [--count N] [--warmup N]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <modbus.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

/* Prints `word` and waits for the driver's line. */
static void checkpoint(const char *word)
{
    char line[64];
    printf("%s\n", word);
    fflush(stdout);
    if (!fgets(line, sizeof line, stdin))
        exit(3);
}

static int read_is_valid(modbus_t *ctx)
{
    uint16_t registers[10];
    return modbus_read_registers(ctx, 0, 10, registers) == 10 && registers[0] == 1000 && registers[9] == 1009;
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static void print_result(double *latencies, long count, double elapsed, long failures)
{
    double sum = 0;
    for (long i = 0; i < count; i++)
        sum += latencies[i];
    qsort(latencies, count, sizeof *latencies, by_value);
    long p99 = count * 99 / 100 < count - 1 ? count * 99 / 100 : count - 1;
    printf("result {\"n\": %ld, \"seconds\": %.6f, \"tx_per_s\": %.1f, \"mean_us\": %.2f, \"p99_us\": %.2f, "
           "\"max_us\": %.1f, \"failures\": %ld}\n",
           count, elapsed, count / elapsed, sum / count * 1e6, latencies[p99] * 1e6, latencies[count - 1] * 1e6,
           failures);
    fflush(stdout);
}

static long option(int argc, char **argv, const char *name, long fallback)
{
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], name) == 0)
            return atol(argv[i + 1]);
    return fallback;
}

int main(int argc, char **argv)
{
    long count = option(argc, argv, "--count", 20000);
    long warmup = option(argc, argv, "--warmup", 200);
    double *latencies = malloc(sizeof *latencies * (count > 0 ? count : 1));
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 502);
    if (!latencies || !ctx || count <= 0 || modbus_connect(ctx) != 0) {
        fprintf(stderr, "native bench: cannot connect to 127.0.0.1:502\n");
        return 2;
    }
    modbus_set_slave(ctx, 1);
    long failures = 0;
    for (long i = 0; i < warmup; i++)
        failures += !read_is_valid(ctx);
    checkpoint("ready");
    double start = now();
    for (long i = 0; i < count; i++) {
        double t0 = now();
        failures += !read_is_valid(ctx);
        latencies[i] = now() - t0;
    }
    double elapsed = now() - start;
    checkpoint("done");
    print_result(latencies, count, elapsed, failures);
    modbus_close(ctx);
    modbus_free(ctx);
    free(latencies);
    return failures ? 1 : 0;
}
