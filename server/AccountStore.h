#pragma once

// Accounts, bearer tokens, friendships, sessions and room tokens in one SQLite file.
// Secrets are kept only where they must be: passwords as argon2id hashes, bearer tokens as
// BLAKE2b hashes. Room tokens are stored as issued, because the second person of a session
// must be handed the same token as the first.

#include "Database.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tonvia::server
{
struct User
{
    std::int64_t id = 0;
    std::string email, displayName;
};

struct AccountPolicy
{
    std::chrono::seconds bearerLifetime { std::chrono::hours (24 * 30) };
    std::chrono::seconds sessionLifetime { std::chrono::hours (12) };   // renewed while in use
    unsigned long long passwordOpsLimit = 2;                          // argon2id: the "interactive"
    std::size_t passwordMemLimit = 64u * 1024 * 1024;                  // cost of libsodium
};

class AccountStore
{
public:
    static constexpr int schemaVersion = 1;

    // Opens (creating or migrating) the database. Throws when the file belongs to a newer server.
    AccountStore (const std::string& path, AccountPolicy policy = {});

    enum class RegisterOutcome { created, emailTaken };

    // The e-mail address is stored trimmed; `normalisedEmail` is its lower-case form, the key.
    RegisterOutcome registerUser (const std::string& email, const std::string& normalisedEmail,
                                  const std::string& password, User& user);
    std::optional<User> checkPassword (const std::string& normalisedEmail, const std::string& password);

    std::string issueBearerToken (std::int64_t userId);
    std::optional<User> userForBearerToken (const std::string& token);

    std::optional<User> userById (std::int64_t id);
    std::optional<User> userByEmail (const std::string& normalisedEmail);

    void addFriendship (std::int64_t a, std::int64_t b);     // both directions
    bool areFriends (std::int64_t a, std::int64_t b);
    std::vector<User> friendsOf (std::int64_t userId);

    struct Session
    {
        std::int64_t id = 0;
        std::string roomToken;
    };

    // The open session of this unordered pair (renewed), or a new one.
    Session startSession (std::int64_t a, std::int64_t b);

    // Whether a room token was issued here and has not expired; renews it when it is valid.
    bool useRoomToken (const std::string& roomToken);

    // For tests: moves every expiry this many seconds into the past.
    void ageEverything (std::chrono::seconds by);

private:
    void migrate();
    static std::int64_t now();

    AccountPolicy policy;
    std::mutex lock;   // one connection, shared by the server's threads
    Database db;
};

// 32 random bytes as 64 lower-case hex digits.
std::string randomToken();

} // namespace tonvia::server
