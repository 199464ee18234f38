// The relay's capacity: how many concurrent sender-to-receiver pairs of 48 kHz stereo
// 512-sample frames one tonvia-server process (one I/O thread) forwards with no frame lost and
// a p99 delay under 5 ms, and the server's CPU time per stream.
//
//   tonvia_bench_relay_fanout [SECONDS_PER_STEP] [MAX_PAIRS]
//
// The relay runs in-process on its own I/O thread (whose CPU time is read directly); the pairs
// are light WebSocket clients on another thread, each pair in a room of its own. Every frame carries its send time, so the
// delay measured is client send to client receive through the server (an upper bound on the
// server's own forwarding delay). Steps double the number of pairs until a step loses frames
// or misses the delay bound.

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "AudioFrame.h"
#include "Log.h"
#include "Server.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace
{
constexpr auto framePeriod = std::chrono::microseconds (10667);   // 512 samples at 48 kHz
constexpr int frameSamples = 512;

long long nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds> (Clock::now().time_since_epoch()).count(); }

double cpuSecondsOf (clockid_t clock)
{
    timespec t {};
    clock_gettime (clock, &t);
    return (double) t.tv_sec + (double) t.tv_nsec * 1.0e-9;
}

struct Stats
{
    long sent = 0, received = 0;
    std::vector<double> delaysMs;
};

class Client : public std::enable_shared_from_this<Client>
{
public:
    Client (asio::io_context& ioc, int port, std::string room, bool sender, Stats& stats)
        : ws (ioc), timer (ioc), port (port), room (std::move (room)), isSender (sender), stats (stats)
    {
        frame.resize (tonvia::wire::frameSize (2, frameSamples));
        tonvia::wire::writeHeader (reinterpret_cast<std::uint8_t*> (frame.data()), { 38848, 2, frameSamples });
    }

    void connect (std::function<void()> onJoined)
    {
        auto self = shared_from_this();
        ws.next_layer().async_connect ({ asio::ip::make_address ("127.0.0.1"), (unsigned short) port }, [self, onJoined] (beast::error_code ec)
        {
            if (ec)
                return;

            self->ws.next_layer().set_option (tcp::no_delay (true));
            self->ws.async_handshake ("127.0.0.1", "/", [self, onJoined] (beast::error_code ec2)
            {
                if (ec2)
                    return;

                self->join = std::string (R"({"type":"join","token":")") + self->room + R"(","role":")" + (self->isSender ? "send" : "receive") + "\"}";
                self->ws.text (true);
                self->ws.async_write (asio::buffer (self->join), [self, onJoined] (beast::error_code ec3, std::size_t)
                {
                    if (ec3)
                        return;

                    self->read();
                    onJoined();
                });
            });
        });
    }

    void startSending (Clock::time_point first, Clock::time_point until)
    {
        end = until;
        timer.expires_at (first);
        tick();
    }

    void stop()
    {
        stopped = true;
        timer.cancel();
        beast::error_code ignored;
        ws.next_layer().close (ignored);
    }

private:
    void tick()
    {
        timer.async_wait ([self = shared_from_this()] (beast::error_code ec)
        {
            if (ec || self->stopped || Clock::now() >= self->end)
                return;

            if (! self->writing)
            {
                const auto stamp = nowNs();
                std::memcpy (self->frame.data() + tonvia::wire::headerSize, &stamp, sizeof (stamp));
                self->writing = true;
                ++self->stats.sent;
                self->ws.binary (true);
                self->ws.async_write (asio::buffer (self->frame), [self] (beast::error_code, std::size_t) { self->writing = false; });
            }

            self->timer.expires_at (self->timer.expiry() + framePeriod);
            self->tick();
        });
    }

    void read()
    {
        ws.async_read (buffer, [self = shared_from_this()] (beast::error_code ec, std::size_t)
        {
            if (ec)
                return;

            if (self->ws.got_binary() && self->buffer.size() >= tonvia::wire::headerSize + 8)
            {
                long long stamp;
                std::memcpy (&stamp, static_cast<const char*> (self->buffer.cdata().data()) + tonvia::wire::headerSize, sizeof (stamp));
                self->stats.delaysMs.push_back ((double) (nowNs() - stamp) / 1.0e6);
                ++self->stats.received;
            }

            self->buffer.consume (self->buffer.size());
            self->read();
        });
    }

    websocket::stream<tcp::socket> ws;
    asio::steady_timer timer;
    int port;
    std::string room, join, frame;
    bool isSender, writing = false, stopped = false;
    Stats& stats;
    beast::flat_buffer buffer;
    Clock::time_point end;
};

struct Step
{
    int pairs;
    long sent, received;
    double p50, p99, serverCpuPerStreamPercent, clientCpuPercent;
};

Step runStep (int port, clockid_t serverClock, int pairs, double seconds)
{
    asio::io_context ioc;
    Stats stats;
    std::vector<std::shared_ptr<Client>> senders, receivers;
    int joined = 0;

    for (int i = 0; i < pairs; ++i)
    {
        const auto room = "fanout-" + std::to_string (pairs) + "-" + std::to_string (i);
        receivers.push_back (std::make_shared<Client> (ioc, port, room, false, stats));
        senders.push_back (std::make_shared<Client> (ioc, port, room, true, stats));
    }

    for (auto& r : receivers) r->connect ([&] { ++joined; });
    while (joined < pairs) ioc.run_one();
    for (auto& s : senders) s->connect ([&] { ++joined; });
    while (joined < 2 * pairs) ioc.run_one();

    // Let the joins settle, then stagger the senders across one frame period.
    const auto start = Clock::now() + std::chrono::milliseconds (200);
    const auto end = start + std::chrono::milliseconds ((long) (seconds * 1000));

    for (int i = 0; i < pairs; ++i)
        senders[(size_t) i]->startSending (start + framePeriod * i / pairs, end);

    const double serverCpuBefore = cpuSecondsOf (serverClock);
    const auto clientCpuBefore = std::clock();
    ioc.run_until (end + std::chrono::milliseconds (300));
    const double serverCpu = cpuSecondsOf (serverClock) - serverCpuBefore;
    const double clientCpu = (double) (std::clock() - clientCpuBefore) / CLOCKS_PER_SEC;

    for (auto& c : senders) c->stop();
    for (auto& c : receivers) c->stop();
    ioc.run_for (std::chrono::milliseconds (100));

    auto& d = stats.delaysMs;
    std::sort (d.begin(), d.end());
    auto at = [&] (double q) { return d.empty() ? 0.0 : d[std::min (d.size() - 1, (size_t) (q * (double) d.size()))]; };
    const double wall = seconds + 0.5;
    return { pairs, stats.sent, stats.received, at (0.5), at (0.99), 100.0 * serverCpu / wall / pairs, 100.0 * clientCpu / wall };
}
} // namespace

int main (int argc, char* argv[])
{
    const double seconds = argc > 1 ? std::atof (argv[1]) : 5.0;
    const int maxPairs = argc > 2 ? std::atoi (argv[2]) : 1024;

    tonvia::server::setLoggingEnabled (false);
    tonvia::server::ServerOptions options;
    options.port = 0;
    tonvia::server::Server server (options);
    std::atomic<clockid_t> serverClock { 0 };
    std::atomic<bool> ready { false };

    std::thread io ([&]
    {
        clockid_t clock;
        pthread_getcpuclockid (pthread_self(), &clock);
        serverClock = clock;
        ready = true;
        server.run();
    });

    while (! ready)
        std::this_thread::yield();

    const int port = server.port();

    std::printf ("%6s %9s %9s %8s %8s %8s %22s %12s\n", "pairs", "sent", "received", "lost", "p50 ms", "p99 ms", "server CPU per stream", "client CPU");
    int best = 0;

    for (int pairs = 8; pairs <= maxPairs; pairs *= 2)
    {
        const auto s = runStep (port, serverClock.load(), pairs, seconds);
        std::printf ("%6d %9ld %9ld %8ld %8.2f %8.2f %21.2f%% %11.0f%%\n", s.pairs, s.sent, s.received, s.sent - s.received,
                     s.p50, s.p99, s.serverCpuPerStreamPercent, s.clientCpuPercent);
        std::fflush (stdout);

        if (s.sent != s.received || s.p99 >= 5.0)
            break;

        best = pairs;
    }

    std::printf ("largest step with no loss and p99 under 5 ms: %d pairs\n", best);
    server.shutdown();
    io.join();
    return 0;
}
