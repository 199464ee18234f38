#include "AccountStore.h"

#include <sodium.h>

namespace tonvia::server
{
namespace
{
// Each entry moves the schema from version i to version i + 1.
const char* const migrations[] = {
    R"sql(
        CREATE TABLE users (
            id INTEGER PRIMARY KEY,
            email TEXT NOT NULL,
            email_key TEXT NOT NULL UNIQUE,
            display_name TEXT NOT NULL,
            password_hash TEXT NOT NULL,
            created_at INTEGER NOT NULL);
        CREATE TABLE bearer_tokens (
            token_hash BLOB PRIMARY KEY,
            user_id INTEGER NOT NULL REFERENCES users (id) ON DELETE CASCADE,
            expires_at INTEGER NOT NULL);
        CREATE TABLE friendships (
            user_id INTEGER NOT NULL REFERENCES users (id) ON DELETE CASCADE,
            friend_id INTEGER NOT NULL REFERENCES users (id) ON DELETE CASCADE,
            created_at INTEGER NOT NULL,
            PRIMARY KEY (user_id, friend_id));
        CREATE TABLE sessions (
            id INTEGER PRIMARY KEY,
            user_low INTEGER NOT NULL REFERENCES users (id) ON DELETE CASCADE,
            user_high INTEGER NOT NULL REFERENCES users (id) ON DELETE CASCADE,
            room_token TEXT NOT NULL UNIQUE,
            created_at INTEGER NOT NULL,
            expires_at INTEGER NOT NULL);
        CREATE INDEX sessions_by_pair ON sessions (user_low, user_high, expires_at);
    )sql",
};

constexpr int migrationCount = (int) (sizeof (migrations) / sizeof (migrations[0]));
static_assert (migrationCount == AccountStore::schemaVersion);

std::string tokenHash (const std::string& token)
{
    unsigned char hash[crypto_generichash_BYTES];
    crypto_generichash (hash, sizeof (hash), reinterpret_cast<const unsigned char*> (token.data()), token.size(), nullptr, 0);
    return std::string (reinterpret_cast<const char*> (hash), sizeof (hash));
}

User userFrom (const Statement& s)
{
    return { s.integer (0), s.text (1), s.text (2) };
}
} // namespace

std::string randomToken()
{
    unsigned char bytes[32];
    randombytes_buf (bytes, sizeof (bytes));
    char hex[sizeof (bytes) * 2 + 1];
    sodium_bin2hex (hex, sizeof (hex), bytes, sizeof (bytes));
    return hex;
}

AccountStore::AccountStore (const std::string& path, AccountPolicy policyIn)
    : policy (policyIn), db (path)
{
    if (sodium_init() < 0)
        throw std::runtime_error ("libsodium could not start");

    if (path != ":memory:")
        db.exec ("PRAGMA journal_mode = WAL");

    migrate();
}

std::int64_t AccountStore::now()
{
    return std::chrono::duration_cast<std::chrono::seconds> (std::chrono::system_clock::now().time_since_epoch()).count();
}

void AccountStore::migrate()
{
    auto version = db.prepare ("PRAGMA user_version");
    version.step();
    const int current = (int) version.integer (0);

    if (current > schemaVersion)
        throw DatabaseError ("the database was written by a newer tonvia-server (schema " + std::to_string (current)
                             + ", this server knows " + std::to_string (schemaVersion) + ")");

    for (int v = current; v < schemaVersion; ++v)
    {
        db.transaction ([&]
        {
            db.exec (migrations[v]);
            db.exec ("PRAGMA user_version = " + std::to_string (v + 1));
        });
    }
}

AccountStore::RegisterOutcome AccountStore::registerUser (const std::string& email, const std::string& key,
                                                          const std::string& password, User& user)
{
    char hash[crypto_pwhash_STRBYTES];

    // Hashing is slow on purpose; it runs before the lock is taken.
    if (crypto_pwhash_str (hash, password.data(), password.size(), policy.passwordOpsLimit, policy.passwordMemLimit) != 0)
        throw std::runtime_error ("out of memory while hashing a password");

    const auto at = email.find ('@');
    const auto displayName = email.substr (0, at);

    const std::lock_guard guard (lock);
    auto exists = db.prepare ("SELECT 1 FROM users WHERE email_key = ?");
    exists.bind (1, key);

    if (exists.step())
        return RegisterOutcome::emailTaken;

    db.prepare ("INSERT INTO users (email, email_key, display_name, password_hash, created_at) VALUES (?, ?, ?, ?, ?)")
        .bind (1, email).bind (2, key).bind (3, displayName).bind (4, std::string_view (hash)).bind (5, now()).run();

    user = { db.lastInsertId(), email, displayName };
    return RegisterOutcome::created;
}

std::optional<User> AccountStore::checkPassword (const std::string& key, const std::string& password)
{
    std::string hash;
    User user;
    {
        const std::lock_guard guard (lock);
        auto s = db.prepare ("SELECT id, email, display_name, password_hash FROM users WHERE email_key = ?");
        s.bind (1, key);

        if (! s.step())
        {
            // Spend the same time as a real check, so unknown addresses cannot be told apart.
            char dummy[crypto_pwhash_STRBYTES];
            crypto_pwhash_str (dummy, password.data(), password.size(), policy.passwordOpsLimit, policy.passwordMemLimit);
            return std::nullopt;
        }

        user = userFrom (s);
        hash = s.text (3);
    }

    if (crypto_pwhash_str_verify (hash.c_str(), password.data(), password.size()) != 0)
        return std::nullopt;

    return user;
}

std::string AccountStore::issueBearerToken (std::int64_t userId)
{
    const auto token = randomToken();
    const auto hash = tokenHash (token);
    const std::lock_guard guard (lock);
    db.prepare ("INSERT INTO bearer_tokens (token_hash, user_id, expires_at) VALUES (?, ?, ?)")
        .bindBlob (1, hash.data(), hash.size()).bind (2, userId).bind (3, now() + policy.bearerLifetime.count()).run();
    return token;
}

std::optional<User> AccountStore::userForBearerToken (const std::string& token)
{
    const auto hash = tokenHash (token);
    const std::lock_guard guard (lock);
    auto s = db.prepare ("SELECT u.id, u.email, u.display_name FROM bearer_tokens t JOIN users u ON u.id = t.user_id "
                         "WHERE t.token_hash = ? AND t.expires_at > ?");
    s.bindBlob (1, hash.data(), hash.size()).bind (2, now());

    if (! s.step())
        return std::nullopt;

    return userFrom (s);
}

std::optional<User> AccountStore::userById (std::int64_t id)
{
    const std::lock_guard guard (lock);
    auto s = db.prepare ("SELECT id, email, display_name FROM users WHERE id = ?");
    s.bind (1, id);
    return s.step() ? std::optional<User> (userFrom (s)) : std::nullopt;
}

std::optional<User> AccountStore::userByEmail (const std::string& key)
{
    const std::lock_guard guard (lock);
    auto s = db.prepare ("SELECT id, email, display_name FROM users WHERE email_key = ?");
    s.bind (1, key);
    return s.step() ? std::optional<User> (userFrom (s)) : std::nullopt;
}

void AccountStore::addFriendship (std::int64_t a, std::int64_t b)
{
    const std::lock_guard guard (lock);
    db.transaction ([&]
    {
        for (const auto& [x, y] : { std::pair { a, b }, std::pair { b, a } })
            db.prepare ("INSERT OR IGNORE INTO friendships (user_id, friend_id, created_at) VALUES (?, ?, ?)")
                .bind (1, x).bind (2, y).bind (3, now()).run();
    });
}

bool AccountStore::areFriends (std::int64_t a, std::int64_t b)
{
    const std::lock_guard guard (lock);
    auto s = db.prepare ("SELECT 1 FROM friendships WHERE user_id = ? AND friend_id = ?");
    s.bind (1, a).bind (2, b);
    return s.step();
}

std::vector<User> AccountStore::friendsOf (std::int64_t userId)
{
    const std::lock_guard guard (lock);
    auto s = db.prepare ("SELECT u.id, u.email, u.display_name FROM friendships f JOIN users u ON u.id = f.friend_id "
                         "WHERE f.user_id = ? ORDER BY f.created_at, u.id");
    s.bind (1, userId);
    std::vector<User> friends;

    while (s.step())
        friends.push_back (userFrom (s));

    return friends;
}

AccountStore::Session AccountStore::startSession (std::int64_t a, std::int64_t b)
{
    const auto low = std::min (a, b), high = std::max (a, b);
    const std::lock_guard guard (lock);

    return db.transaction ([&]
    {
        const auto t = now();
        auto open = db.prepare ("SELECT id, room_token FROM sessions WHERE user_low = ? AND user_high = ? AND expires_at > ? "
                                "ORDER BY id DESC LIMIT 1");
        open.bind (1, low).bind (2, high).bind (3, t);

        if (open.step())
        {
            Session session { open.integer (0), open.text (1) };
            db.prepare ("UPDATE sessions SET expires_at = ? WHERE id = ?").bind (1, t + policy.sessionLifetime.count()).bind (2, session.id).run();
            return session;
        }

        Session session { 0, randomToken() };
        db.prepare ("INSERT INTO sessions (user_low, user_high, room_token, created_at, expires_at) VALUES (?, ?, ?, ?, ?)")
            .bind (1, low).bind (2, high).bind (3, session.roomToken).bind (4, t).bind (5, t + policy.sessionLifetime.count()).run();
        session.id = db.lastInsertId();
        return session;
    });
}

bool AccountStore::useRoomToken (const std::string& roomToken)
{
    const std::lock_guard guard (lock);
    const auto t = now();
    db.prepare ("UPDATE sessions SET expires_at = ? WHERE room_token = ? AND expires_at > ?")
        .bind (1, t + policy.sessionLifetime.count()).bind (2, roomToken).bind (3, t).run();
    return db.changes() > 0;
}

void AccountStore::ageEverything (std::chrono::seconds by)
{
    const std::lock_guard guard (lock);
    db.prepare ("UPDATE sessions SET expires_at = expires_at - ?").bind (1, (std::int64_t) by.count()).run();
    db.prepare ("UPDATE bearer_tokens SET expires_at = expires_at - ?").bind (1, (std::int64_t) by.count()).run();
}

} // namespace tonvia::server
