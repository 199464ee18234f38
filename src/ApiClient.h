#pragma once

#include <juce_core/juce_core.h>

#include <mutex>

// One entry of the friend list.
struct ApiFriend
{
    juce::String userId, email, displayName;
};

// The plug-in's client of the account service: JSON over HTTP with a bearer token. Every call
// is synchronous and is made on a worker thread, never on the message or audio thread.
//
// The base URL and the token may be read and replaced from several threads at once (a login
// on one worker while another loads the friend list, the window saving a new address), so
// both live behind one lock and are only ever copied out whole.
class ApiClient
{
public:
    struct AuthResult
    {
        bool ok = false;
        juce::String error, token, userId, email, displayName;
    };

    struct MeResult
    {
        bool ok = false;
        juce::String error, userId, email, displayName;
    };

    struct SessionResult
    {
        bool ok = false;
        juce::String error, sessionId, roomToken;
    };

    ApiClient();
    ApiClient (const ApiClient& other);
    ApiClient& operator= (const ApiClient& other);

    juce::String getBaseUrl() const;
    void setBaseUrl (const juce::String& url);
    juce::String getToken() const;
    void setToken (const juce::String& newToken);

    // One request: `error` is cleared, then set to "network_error" (no reply) or "bad_json" (a
    // reply that is not a JSON object or array); on success the parsed reply is returned.
    juce::var requestJson (const juce::String& path, const juce::String& method, const juce::var& body, juce::String& error) const;

    AuthResult login (const juce::String& email, const juce::String& password);
    AuthResult registerUser (const juce::String& email, const juce::String& password);
    MeResult me() const;
    juce::Array<ApiFriend> getFriends (juce::String& error) const;
    bool addFriend (const juce::String& email, juce::String& error) const;
    SessionResult startSession (const juce::String& friendId) const;

private:
    AuthResult authenticate (const juce::String& path, const juce::String& email, const juce::String& password);

    mutable std::mutex fieldsLock;
    juce::String baseUrl;
    juce::String token;
};
