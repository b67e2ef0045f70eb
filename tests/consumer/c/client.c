/* Creates a database at argv[1], turns its name index on, makes a named
   object and finds it again by name (the index kept up to date as the name
   is set). Prints "ok <id>" and exits 0. */
#include <qmfiledb.h>

#include <stdio.h>
#include <string.h>

static int check(odb_status status, const char *what)
{
    if (status == ODB_OK) return 0;
    fprintf(stderr, "%s: %s (0x%08lX)\n", what, odb_status_name(status), (unsigned long)status);
    return 1;
}

int main(int argc, char **argv)
{
    const char *path;
    char settings[1024];
    uint32_t version = 0, id = 0, found = 0, count = 1;
    odb_database *db = NULL;
    odb_obj_ctx *obj = NULL;
    FILE *file;

    if (argc != 2) {
        fprintf(stderr, "usage: client_c <new database directory>\n");
        return 2;
    }
    path = argv[1];

    if (check(ODB_init(ODB_INIT_CREATE, path, &version, &db, 0), "create")) return 1;
    if (version != ODB_VERSION) {
        fprintf(stderr, "library reports version %lu\n", (unsigned long)version);
        return 1;
    }
    if (check(ODB_close(db), "close")) return 1;

    /* Settings are read when a database is opened. */
    snprintf(settings, sizeof settings, "%s/DBCFG.INI", path);
    file = fopen(settings, "w");
    if (file == NULL || fputs("[NameIndex]\nEnabled=yes\n", file) < 0 || fclose(file) != 0) {
        fprintf(stderr, "cannot write %s\n", settings);
        return 1;
    }
    if (check(ODB_init(0, path, &version, &db, 0), "reopen")) return 1;

    /* The first count (or lookup) of a class builds its name index; from then
       on this handle keeps it up to date as names are set. */
    if (check(ODB_obj_count(db, 5, 0, &count), "count")) return 1;
    if (count != 0) {
        fprintf(stderr, "a new class counts %lu objects\n", (unsigned long)count);
        return 1;
    }
    if (check(ODB_obj_new(db, 5, &id, &obj), "new object")) return 1;
    if (check(ODB_obj_set_attribute(obj, ODB_NAME_ATTRIBUTE, 0, "first", 6), "set name")) return 1;
    if (check(ODB_obj_close_ctx(obj), "close object")) return 1;

    if (check(ODB_obj_lookup_ex(db, 5, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, "FIRST", 6, &found),
              "lookup"))
        return 1;
    if (found != id) {
        fprintf(stderr, "lookup found %lu, expected %lu\n", (unsigned long)found, (unsigned long)id);
        return 1;
    }
    if (ODB_obj_lookup_ex(db, 5, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, "second", 7, &found)
        != ODB_E_NO_MORE_ITEMS) {
        fprintf(stderr, "lookup of a name no object has did not fail as it should\n");
        return 1;
    }
    if (check(ODB_close(db), "close")) return 1;
    printf("ok %lu\n", (unsigned long)id);
    return 0;
}
