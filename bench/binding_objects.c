/* The C side of bench/python-vs-c: the work the Python side does through
 * the package, done with the exports directly.
 *
 *   binding_objects DIR COUNT
 *
 * DIR is an existing, empty database. Creates COUNT objects of class 5 (a
 * UTF-16 name and two small attributes), then opens each for reading and
 * reads the three values; prints "create WALL CPU" and "read WALL CPU" in
 * seconds; then CALLS calls that do no file work (a change of an object's
 * mode to the mode it has), "call WALL CPU". */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "qmfiledb.h"

#define CALLS 100000

static double wall_seconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static double cpu_seconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static void check(odb_status status, const char *what)
{
    if (status != ODB_OK) {
        fprintf(stderr, "%s: %s\n", what, odb_status_name(status));
        exit(1);
    }
}

/* FF FE and the UTF-16LE units of "object-%08d", as the package stores names. */
static uint32_t utf16_name(int i, unsigned char *out)
{
    char text[32];
    int length = snprintf(text, sizeof text, "object-%08d", i);
    out[0] = 0xFF;
    out[1] = 0xFE;
    for (int k = 0; k < length; ++k) {
        out[2 + 2 * k] = (unsigned char)text[k];
        out[3 + 2 * k] = 0;
    }
    return (uint32_t)(2 + 2 * length);
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: binding_objects DIR COUNT\n");
        return 2;
    }
    int count = atoi(argv[2]);
    uint32_t version;
    odb_database *db;
    check(ODB_init(0, argv[1], &version, &db, 0), "ODB_init");
    uint32_t *ids = calloc((size_t)count, sizeof *ids);

    double wall = wall_seconds(), cpu = cpu_seconds();
    for (int i = 0; i < count; ++i) {
        odb_obj_ctx *ctx;
        unsigned char name[2 + 2 * 32], b[16];
        uint32_t a = (uint32_t)(i % 10);
        for (int k = 0; k < 16; ++k) b[k] = (unsigned char)(i + k);
        check(ODB_obj_new(db, 5, &ids[i], &ctx), "ODB_obj_new");
        check(ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, name, utf16_name(i, name)), "set name");
        check(ODB_obj_set_attribute(ctx, 0x10, 0, &a, sizeof a), "set a");
        check(ODB_obj_set_attribute(ctx, 0x11, 0, b, sizeof b), "set b");
        check(ODB_obj_close_ctx(ctx), "ODB_obj_close_ctx");
    }
    printf("create %.6f %.6f\n", wall_seconds() - wall, cpu_seconds() - cpu);

    wall = wall_seconds();
    cpu = cpu_seconds();
    static const uint32_t attributes[3] = {ODB_NAME_ATTRIBUTE, 0x10, 0x11};
    for (int i = 0; i < count; ++i) {
        odb_obj_ctx *ctx;
        unsigned char buffer[256];
        check(ODB_obj_create_ctx(db, 5, ids[i], ODB_MODE_READ, &ctx), "ODB_obj_create_ctx");
        for (int k = 0; k < 3; ++k) {
            uint32_t size = sizeof buffer;
            check(ODB_obj_get_attribute(ctx, attributes[k], 0, buffer, &size), "get");
        }
        check(ODB_obj_close_ctx(ctx), "ODB_obj_close_ctx");
    }
    printf("read %.6f %.6f\n", wall_seconds() - wall, cpu_seconds() - cpu);

    odb_obj_ctx *ctx;
    check(ODB_obj_create_ctx(db, 5, ids[0], ODB_MODE_READ, &ctx), "ODB_obj_create_ctx");
    wall = wall_seconds();
    cpu = cpu_seconds();
    for (int i = 0; i < CALLS; ++i) check(ODB_obj_change_mode(ctx, ODB_MODE_READ), "ODB_obj_change_mode");
    printf("call %.6f %.6f\n", wall_seconds() - wall, cpu_seconds() - cpu);
    check(ODB_obj_close_ctx(ctx), "ODB_obj_close_ctx");
    free(ids);
    return ODB_close(db) == ODB_OK ? 0 : 1;
}
