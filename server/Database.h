#pragma once

// A thin RAII layer over SQLite: one connection, prepared statements with bound parameters
// (never text pasted into SQL), and errors as exceptions.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tonvia::server
{
struct DatabaseError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

class Statement
{
public:
    Statement (sqlite3* db, std::string_view sql);
    ~Statement();
    Statement (const Statement&) = delete;
    Statement& operator= (const Statement&) = delete;

    Statement& bind (int index, std::int64_t value);
    Statement& bind (int index, std::string_view text);
    Statement& bindBlob (int index, const void* data, std::size_t size);

    // Steps once: true while a row is available.
    bool step();
    // Runs to completion (for statements without rows).
    void run();

    std::int64_t integer (int column) const;
    std::string text (int column) const;

private:
    sqlite3* db;
    sqlite3_stmt* statement = nullptr;
};

class Database
{
public:
    explicit Database (const std::string& path);
    ~Database();
    Database (const Database&) = delete;
    Database& operator= (const Database&) = delete;

    void exec (std::string_view sql);
    Statement prepare (std::string_view sql) { return Statement (db, sql); }
    std::int64_t lastInsertId() const { return sqlite3_last_insert_rowid (db); }
    int changes() const { return sqlite3_changes (db); }

    // Runs `fn` inside BEGIN IMMEDIATE ... COMMIT, rolling back if it throws.
    template <typename Fn>
    auto transaction (Fn&& fn)
    {
        exec ("BEGIN IMMEDIATE");

        try
        {
            if constexpr (std::is_void_v<decltype (fn())>)
            {
                fn();
                exec ("COMMIT");
            }
            else
            {
                auto result = fn();
                exec ("COMMIT");
                return result;
            }
        }
        catch (...)
        {
            sqlite3_exec (db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

private:
    sqlite3* db = nullptr;
};

} // namespace tonvia::server
