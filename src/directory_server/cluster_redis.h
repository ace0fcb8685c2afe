// One connection to Redis on the server's event loop: hiredis's asynchronous client, whose reads
// and writes the loop drives (EventLoop::Attach), so the serving thread never waits for Redis.
// cluster_node.cpp holds two of them: one for commands, one subscribed to notifications.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "directory_server/event_loop.h"

struct redisAsyncContext;
struct redisReply;

namespace dirsrv {

// A reply's text (a string, a status or an error), or "" for any other reply and for null.
std::string ReplyText(const redisReply* reply);

class RedisLink {
public:
    // A reply, or null when the connection ended before one came.
    using OnReply = std::function<void(redisReply*)>;

    explicit RedisLink(EventLoop& loop) : loop_(loop) {}
    ~RedisLink();
    RedisLink(const RedisLink&) = delete;
    RedisLink& operator=(const RedisLink&) = delete;

    // Starts connecting to a dotted IPv4 `host` (no name look-up); `on_up` once it is connected,
    // `on_down(why)` when it ends or could not connect, once per Connect. Returns why it could
    // not start.
    std::string Connect(const std::string& host, std::uint16_t port, std::function<void()> on_up,
                        std::function<void(std::string)> on_down);
    // Drops the connection (no on_down); pending replies are called with null.
    void Drop();
    bool up() const { return up_; }
    bool open() const { return context_ != nullptr; }

    // Sends one command; `on_reply` is called once. False when there is no connection.
    bool Command(const std::vector<std::string>& argv, OnReply on_reply = {});
    // Writes the commands sent so far now rather than when the loop next turns (after the rest
    // of its batch of events): for a message another node is waiting for.
    void Flush();
    // A subscription: `on_message` is called for its confirmation and every message after it.
    bool Subscribe(const std::vector<std::string>& argv, OnReply on_message);

private:
    static void Connected(const redisAsyncContext* context, int status);
    static void Disconnected(const redisAsyncContext* context, int status);
    void Ended(std::string why);
    bool Send(const std::vector<std::string>& argv,
              void (*callback)(redisAsyncContext*, void*, void*), void* data);

    EventLoop& loop_;
    redisAsyncContext* context_ = nullptr;
    bool up_ = false;
    std::function<void()> on_up_;
    std::function<void(std::string)> on_down_;
    std::vector<std::unique_ptr<OnReply>> subscriptions_;
};

}  // namespace dirsrv
