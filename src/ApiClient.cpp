#include "ApiClient.h"

#include <iostream>

namespace
{
constexpr int connectionTimeoutMs = 8000;
constexpr int maxRedirects = 3;
constexpr int logExcerptCharacters = 200;

juce::var objectWith (std::initializer_list<std::pair<const char*, juce::String>> members)
{
    juce::DynamicObject::Ptr object (new juce::DynamicObject());

    for (const auto& [name, value] : members)
        object->setProperty (name, value);

    return juce::var (object.get());
}

// The reply's "ok": JSON true or a non-zero number.
bool isOk (const juce::var& reply)
{
    const auto& ok = reply["ok"];
    return ok.isBool() ? (bool) ok : (ok.isInt() || ok.isInt64() || ok.isDouble()) ? (double) ok != 0.0 : false;
}

juce::String textOf (const juce::var& object, const char* member)
{
    if (auto* o = object.getDynamicObject())
        return o->getProperty (member).toString();

    return {};
}

// The "user" object's members, when there is one.
template <typename Record>
void readUser (const juce::var& reply, Record& record)
{
    const auto& user = reply["user"];

    if (user.getDynamicObject() != nullptr)
    {
        record.userId = textOf (user, "userId");
        record.email = textOf (user, "email");
        record.displayName = textOf (user, "displayName");
    }
}

// The steps every operation shares: the request, then the transport and shape checks.
// Returns the reply object, or a void var with `error` set.
juce::var replyObject (const ApiClient& client, const juce::String& path, const juce::String& method,
                       const juce::var& body, juce::String& error)
{
    const auto reply = client.requestJson (path, method, body, error);

    if (error.isNotEmpty())
        return {};

    if (reply.getDynamicObject() == nullptr)
    {
        error = "bad_resp";
        return {};
    }

    return reply;
}

// The reading shared by the records with `ok` and `error`: the reply object when its "ok" is
// true; otherwise the record holds the failure and a void var comes back.
template <typename Record>
juce::var successfulReply (const ApiClient& client, const juce::String& path, const juce::String& method,
                           const juce::var& body, Record& record)
{
    const auto reply = replyObject (client, path, method, body, record.error);

    if (record.error.isNotEmpty())
        return {};

    record.ok = isOk (reply);

    if (! record.ok)
    {
        record.error = textOf (reply, "error");
        return {};
    }

    return reply;
}
} // namespace

ApiClient::ApiClient() : baseUrl (TONVIA_DEFAULT_API_URL) {}

ApiClient::ApiClient (const ApiClient& other)
{
    const std::lock_guard lock (other.fieldsLock);
    baseUrl = other.baseUrl;
    token = other.token;
}

ApiClient& ApiClient::operator= (const ApiClient& other)
{
    if (this != &other)
    {
        const auto url = other.getBaseUrl();
        const auto otherToken = other.getToken();
        const std::lock_guard lock (fieldsLock);
        baseUrl = url;
        token = otherToken;
    }

    return *this;
}

juce::String ApiClient::getBaseUrl() const   { const std::lock_guard lock (fieldsLock); return baseUrl; }
void ApiClient::setBaseUrl (const juce::String& url) { const std::lock_guard lock (fieldsLock); baseUrl = url; }
juce::String ApiClient::getToken() const     { const std::lock_guard lock (fieldsLock); return token; }
void ApiClient::setToken (const juce::String& t)     { const std::lock_guard lock (fieldsLock); token = t; }

//==============================================================================
juce::var ApiClient::requestJson (const juce::String& path, const juce::String& method, const juce::var& body, juce::String& error) const
{
    error = {};

    juce::String base, bearer;
    {
        const std::lock_guard lock (fieldsLock);
        base = baseUrl;
        bearer = token;
    }

    juce::URL url (base + path);

    juce::String headers ("Content-Type: application/json\r\n");

    if (bearer.isNotEmpty())
        headers << "Authorization: Bearer " << bearer << "\r\n";

    if (! body.isVoid() && ! body.isUndefined())
    {
        const auto json = juce::JSON::toString (body, true);

        if (json.isNotEmpty())
            url = url.withPOSTData (juce::MemoryBlock (json.toRawUTF8(), json.getNumBytesAsUTF8()));
    }

    const auto options = juce::URL::InputStreamOptions (juce::URL::ParameterHandling::inAddress)
                             .withHttpRequestCmd (method)
                             .withExtraHeaders (headers)
                             .withConnectionTimeoutMs (connectionTimeoutMs)
                             .withNumRedirectsToFollow (maxRedirects);

    const auto stream = url.createInputStream (options);

    if (stream == nullptr)
    {
        error = "network_error";
        return {};
    }

    const auto text = stream->readEntireStreamAsString();
    const auto parsed = juce::JSON::parse (text);

    if (parsed.isVoid())
    {
        error = "bad_json";
        // Cut after whole characters (never inside a UTF-8 sequence).
        std::cerr << "ApiClient bad_json: " << text.substring (0, logExcerptCharacters) << std::endl;
        return {};
    }

    return parsed;
}

//==============================================================================
ApiClient::AuthResult ApiClient::authenticate (const juce::String& path, const juce::String& email, const juce::String& password)
{
    AuthResult result;
    const auto reply = successfulReply (*this, path, "POST", objectWith ({ { "email", email }, { "password", password } }), result);

    if (! result.ok)
        return result;

    result.token = textOf (reply, "token");
    setToken (result.token);   // every later request of this client carries it
    readUser (reply, result);
    return result;
}

ApiClient::AuthResult ApiClient::login (const juce::String& email, const juce::String& password)
{
    return authenticate ("/api/auth/login", email, password);
}

ApiClient::AuthResult ApiClient::registerUser (const juce::String& email, const juce::String& password)
{
    return authenticate ("/api/auth/register", email, password);
}

ApiClient::MeResult ApiClient::me() const
{
    MeResult result;
    const auto reply = successfulReply (*this, "/api/me", "GET", {}, result);

    if (! result.ok)
        return result;

    readUser (reply, result);
    return result;
}

juce::Array<ApiFriend> ApiClient::getFriends (juce::String& error) const
{
    juce::Array<ApiFriend> friends;
    const auto reply = replyObject (*this, "/api/friends", "GET", {}, error);

    if (error.isNotEmpty())
        return friends;

    if (! isOk (reply))
    {
        error = textOf (reply, "error");
        return friends;
    }

    if (const auto* list = reply["friends"].getArray())
        for (const auto& entry : *list)
            if (entry.getDynamicObject() != nullptr)
                friends.add ({ textOf (entry, "userId"), textOf (entry, "email"), textOf (entry, "displayName") });

    return friends;
}

bool ApiClient::addFriend (const juce::String& email, juce::String& error) const
{
    const auto reply = replyObject (*this, "/api/friends/add", "POST", objectWith ({ { "email", email } }), error);
    return error.isEmpty() && isOk (reply);
}

ApiClient::SessionResult ApiClient::startSession (const juce::String& friendId) const
{
    SessionResult result;
    const auto reply = successfulReply (*this, "/api/sessions/start", "POST", objectWith ({ { "friendId", friendId } }), result);

    if (! result.ok)
        return result;

    result.sessionId = textOf (reply, "sessionId");
    result.roomToken = textOf (reply, "roomToken");
    return result;
}
