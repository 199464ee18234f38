#include "Database.h"

namespace tonvia::server
{
Statement::Statement (sqlite3* dbIn, std::string_view sql) : db (dbIn)
{
    if (sqlite3_prepare_v2 (db, sql.data(), (int) sql.size(), &statement, nullptr) != SQLITE_OK)
        throw DatabaseError (std::string ("prepare failed: ") + sqlite3_errmsg (db));
}

Statement::~Statement()
{
    sqlite3_finalize (statement);
}

Statement& Statement::bind (int index, std::int64_t value)
{
    sqlite3_bind_int64 (statement, index, value);
    return *this;
}

Statement& Statement::bind (int index, std::string_view text)
{
    sqlite3_bind_text (statement, index, text.data(), (int) text.size(), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bindBlob (int index, const void* data, std::size_t size)
{
    sqlite3_bind_blob (statement, index, data, (int) size, SQLITE_TRANSIENT);
    return *this;
}

bool Statement::step()
{
    const auto rc = sqlite3_step (statement);

    if (rc == SQLITE_ROW)
        return true;

    if (rc == SQLITE_DONE)
        return false;

    throw DatabaseError (std::string ("step failed: ") + sqlite3_errmsg (db));
}

void Statement::run()
{
    while (step()) {}
}

std::int64_t Statement::integer (int column) const
{
    return sqlite3_column_int64 (statement, column);
}

std::string Statement::text (int column) const
{
    const auto* data = sqlite3_column_text (statement, column);
    return data == nullptr ? std::string() : std::string (reinterpret_cast<const char*> (data), (size_t) sqlite3_column_bytes (statement, column));
}

Database::Database (const std::string& path)
{
    if (sqlite3_open_v2 (path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK)
    {
        const std::string message = db != nullptr ? sqlite3_errmsg (db) : "out of memory";
        sqlite3_close (db);
        throw DatabaseError ("cannot open " + path + ": " + message);
    }

    sqlite3_busy_timeout (db, 5000);
    exec ("PRAGMA foreign_keys = ON");
}

Database::~Database()
{
    sqlite3_close (db);
}

void Database::exec (std::string_view sql)
{
    char* error = nullptr;

    if (sqlite3_exec (db, std::string (sql).c_str(), nullptr, nullptr, &error) != SQLITE_OK)
    {
        const std::string message = error != nullptr ? error : "unknown error";
        sqlite3_free (error);
        throw DatabaseError (message);
    }
}

} // namespace tonvia::server
