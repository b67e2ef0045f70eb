#pragma once

#include "sqlite_model.h"
#include "walks.h"

namespace bench::sql {

sqlite3* build_walk_model(const std::string& dir, int count);

struct walk_queries {
    explicit walk_queries(sqlite3* db);
    statement plain, changed, matching, count, lookup;
};

int walk_plain(walk_queries& q);
int walk_changed_after(walk_queries& q);
int walk_matching(walk_queries& q);
int64_t count(walk_queries& q);
int64_t lookup(walk_queries& q, int i);

}  // namespace bench::sql
