#pragma once
// The SQLite engine's schema: its migrations, which sqlite_store.cpp applies at start.

#include <vector>

// The numbered migrations in order: the schema's version n is the state after the first n.
std::vector<const char*> sqliteMigrations();
