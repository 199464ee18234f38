#include "AccountService.h"

#include "Log.h"

#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

namespace tonvia::server
{
namespace http = boost::beast::http;
using json = nlohmann::json;

namespace
{
constexpr std::size_t maxEmailBytes = 254;
constexpr std::size_t minPasswordCharacters = 8;
constexpr std::size_t maxPasswordBytes = 1024;

struct Failure
{
    unsigned status;
    const char* code;
};

HttpResponse fail (Failure f)
{
    return jsonResponse (f.status, json { { "ok", false }, { "error", f.code } }.dump());
}

HttpResponse ok (json body)
{
    body["ok"] = true;
    return jsonResponse (200, body.dump());
}

json userJson (const User& u)
{
    return { { "userId", std::to_string (u.id) }, { "email", u.email }, { "displayName", u.displayName } };
}

bool isValidUtf8 (std::string_view s)
{
    for (size_t i = 0; i < s.size();)
    {
        const auto c = (unsigned char) s[i];
        const int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xe ? 2 : (c >> 3) == 0x1e ? 3 : -1;

        if (extra < 0 || i + (size_t) extra >= s.size() + (extra == 0 ? 1 : 0))
            return false;

        for (int k = 1; k <= extra; ++k)
            if (((unsigned char) s[i + (size_t) k] >> 6) != 0x2)
                return false;

        i += (size_t) extra + 1;
    }

    return true;
}

size_t utf8Characters (std::string_view s)
{
    size_t n = 0;

    for (const auto c : s)
        n += ((unsigned char) c >> 6) != 0x2;

    return n;
}

std::string trim (const std::string& s)
{
    const auto first = s.find_first_not_of (" \t\r\n");

    if (first == std::string::npos)
        return {};

    return s.substr (first, s.find_last_not_of (" \t\r\n") - first + 1);
}

// A usable address: one '@' with something on both sides, no spaces or control characters.
std::optional<std::string> emailKey (const std::string& email)
{
    if (email.size() < 3 || email.size() > maxEmailBytes || ! isValidUtf8 (email))
        return std::nullopt;

    const auto at = email.find ('@');

    if (at == 0 || at == std::string::npos || at + 1 == email.size() || email.find ('@', at + 1) != std::string::npos)
        return std::nullopt;

    std::string key;

    for (const auto c : email)
    {
        if ((unsigned char) c <= 0x20 || c == 0x7f)
            return std::nullopt;

        key += (c >= 'A' && c <= 'Z') ? (char) (c - 'A' + 'a') : c;
    }

    return key;
}

std::optional<std::string> stringMember (const json& body, const char* name)
{
    const auto found = body.find (name);

    if (found == body.end() || ! found->is_string())
        return std::nullopt;

    return found->get<std::string>();
}

std::string bearerOf (const HttpRequest& request)
{
    const auto header = request[http::field::authorization];
    constexpr std::string_view prefix = "Bearer ";

    if (header.size() <= prefix.size() || header.substr (0, prefix.size()) != prefix)
        return {};

    return std::string (header.substr (prefix.size()));
}
} // namespace

AccountService::AccountService (AccountStore& storeIn, AccountLimits limitsIn, int threads)
    : store (storeIn), limits (limitsIn),
      failedLogins (limitsIn.failedLoginsPerWindow, limitsIn.window),
      registrations (limitsIn.registrationsPerWindow, limitsIn.window),
      workers ((size_t) threads)
{
}

AccountService::~AccountService()
{
    stop();
}

void AccountService::stop()
{
    workers.join();
}

HttpHandler AccountService::handler()
{
    return [this] (HttpRequest request, const std::string& remote, std::function<void (HttpResponse)> reply)
    {
        boost::asio::post (workers, [this, request = std::move (request), remote, reply = std::move (reply)]
        {
            reply (answer (request, remote));
        });
    };
}

RoomTokenCheck AccountService::roomTokenCheck()
{
    return [this] (const std::string& token)
    {
        try
        {
            return store.useRoomToken (token);
        }
        catch (const std::exception& e)
        {
            logLine (std::string ("room token check failed: ") + e.what());
            return false;
        }
    };
}

HttpResponse AccountService::answer (const HttpRequest& request, const std::string& remote)
{
    const auto target = std::string (request.target());
    const auto path = target.substr (0, target.find ('?'));
    const auto method = request.method();

    struct Route { const char* path; http::verb method; bool needsBody; };
    static const Route routes[] = {
        { "/api/auth/login", http::verb::post, true },
        { "/api/auth/register", http::verb::post, true },
        { "/api/me", http::verb::get, false },
        { "/api/friends", http::verb::get, false },
        { "/api/friends/add", http::verb::post, true },
        { "/api/sessions/start", http::verb::post, true },
    };

    const Route* route = nullptr;

    for (const auto& r : routes)
        if (path == r.path)
            route = &r;

    if (route == nullptr)
        return fail ({ 404, "not_found" });

    if (method != route->method)
        return fail ({ 405, "method_not_allowed" });

    json body;

    if (route->needsBody)
    {
        body = json::parse (request.body(), nullptr, false);

        if (body.is_discarded())
            return fail ({ 400, "bad_json" });

        if (! body.is_object())
            return fail ({ 400, "bad_request" });
    }

    try
    {
        if (path == "/api/auth/register" || path == "/api/auth/login")
        {
            const auto email = stringMember (body, "email");
            const auto password = stringMember (body, "password");

            if (! email || ! password)
                return fail ({ 400, "bad_request" });

            const auto trimmed = trim (*email);
            const auto key = emailKey (trimmed);

            if (path == "/api/auth/register")
            {
                if (registrations.isLimited (remote))
                    return fail ({ 429, "rate_limited" });

                registrations.record (remote);

                if (! key)
                    return fail ({ 400, "bad_email" });

                if (! isValidUtf8 (*password) || password->size() > maxPasswordBytes)
                    return fail ({ 400, "bad_password" });

                if (utf8Characters (*password) < minPasswordCharacters)
                    return fail ({ 400, "weak_password" });

                User user;

                if (store.registerUser (trimmed, *key, *password, user) == AccountStore::RegisterOutcome::emailTaken)
                    return fail ({ 409, "email_taken" });

                logLine ("register user " + std::to_string (user.id));
                return ok ({ { "token", store.issueBearerToken (user.id) }, { "user", userJson (user) } });
            }

            if (failedLogins.isLimited (remote))
                return fail ({ 429, "rate_limited" });

            const auto user = key && password->size() <= maxPasswordBytes ? store.checkPassword (*key, *password) : std::nullopt;

            if (! user)
            {
                failedLogins.record (remote);
                return fail ({ 401, "invalid_credentials" });
            }

            return ok ({ { "token", store.issueBearerToken (user->id) }, { "user", userJson (*user) } });
        }

        // Everything else needs a signed-in account.
        const auto bearer = bearerOf (request);
        const auto me = bearer.empty() ? std::nullopt : store.userForBearerToken (bearer);

        if (! me)
            return fail ({ 401, "unauthorized" });

        if (path == "/api/me")
            return ok ({ { "user", userJson (*me) } });

        if (path == "/api/friends")
        {
            auto list = json::array();

            for (const auto& f : store.friendsOf (me->id))
                list.push_back (userJson (f));

            return ok ({ { "friends", list } });
        }

        if (path == "/api/friends/add")
        {
            const auto email = stringMember (body, "email");

            if (! email)
                return fail ({ 400, "bad_request" });

            const auto key = emailKey (trim (*email));
            const auto other = key ? store.userByEmail (*key) : std::nullopt;

            if (! other)
                return fail ({ 404, "unknown_user" });

            if (other->id == me->id)
                return fail ({ 400, "cannot_add_self" });

            store.addFriendship (me->id, other->id);
            return ok (json::object());
        }

        // /api/sessions/start
        const auto friendField = body.find ("friendId");
        std::string friendText;

        if (friendField != body.end() && friendField->is_string())
            friendText = friendField->get<std::string>();
        else if (friendField != body.end() && friendField->is_number_integer())
            friendText = std::to_string (friendField->get<long long>());
        else
            return fail ({ 400, "bad_request" });

        if (friendText.empty() || friendText.size() > 18 || friendText.find_first_not_of ("0123456789") != std::string::npos)
            return fail ({ 404, "unknown_user" });

        const auto other = store.userById (std::stoll (friendText));

        if (! other)
            return fail ({ 404, "unknown_user" });

        if (other->id != me->id && ! store.areFriends (me->id, other->id))
            return fail ({ 403, "not_friends" });

        const auto session = store.startSession (me->id, other->id);
        return ok ({ { "sessionId", std::to_string (session.id) }, { "roomToken", session.roomToken } });
    }
    catch (const std::exception& e)
    {
        logLine (std::string ("request ") + path + " failed: " + e.what());
        return fail ({ 500, "server_error" });
    }
}

} // namespace tonvia::server
