// hiredis on the directory server's event loop (cluster_redis.h). hiredis asks for read and
// write interest through the five hooks of its context (as its own adapters for other loops
// do); the loop calls back with epoll's mask and this file hands the socket to hiredis.
//
// Lifetimes: hiredis frees a context itself when the connection fails or ends, and calls every
// callback still waiting with a null reply then, so each command's callback is a heap object the
// trampoline deletes after its one call. A dropped link detaches from its context at once
// (context->data), so a free hiredis defers until its callback returns reaches nobody.
#include "directory_server/cluster_redis.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <sys/epoll.h>

#include <memory>

namespace dirsrv {

// The adapter's state for one context: the descriptor as the loop knows it. The loop's callback
// owns it (a shared pointer), and the loop calls a copy, so it outlives a free of its context
// inside its own call; `alive` says whether the context still exists.
struct RedisAdapter {
    EventLoop* loop = nullptr;
    redisAsyncContext* context = nullptr;
    EventLoop::Token token = 0;
    int fd = -1;
    std::uint32_t interest = 0;
    bool alive = true;

    void Set(std::uint32_t bit, bool on) {
        const std::uint32_t next = on ? (interest | bit) : (interest & ~bit);
        if (next != interest)
            loop->Interest(token, fd, interest = next);
    }
    static RedisAdapter& Of(void* data) { return *static_cast<RedisAdapter*>(data); }
    static void AddRead(void* data) { Of(data).Set(EPOLLIN, true); }
    static void DelRead(void* data) { Of(data).Set(EPOLLIN, false); }
    static void AddWrite(void* data) { Of(data).Set(EPOLLOUT, true); }
    static void DelWrite(void* data) { Of(data).Set(EPOLLOUT, false); }
    // hiredis frees the context and then closes the descriptor: leave the loop first. Detach
    // may destroy the adapter, so nothing follows it.
    static void Cleanup(void* data) {
        RedisAdapter& adapter = Of(data);
        adapter.alive = false;
        adapter.loop->Detach(adapter.token, adapter.fd);
    }

    // Writes first: while connecting, writability is what says the connection is up.
    void Event(std::uint32_t mask) {
        constexpr std::uint32_t kErrors = EPOLLERR | EPOLLHUP;
        if ((interest & EPOLLOUT) && (mask & (EPOLLOUT | kErrors)))
            redisAsyncHandleWrite(context);
        // An error with no interest at all is still read, or level-triggered epoll would
        // report it again and again: hiredis then finds the error and ends the connection.
        const std::uint32_t wanted = (interest & EPOLLIN) ? (EPOLLIN | kErrors) : kErrors;
        if (alive && (mask & wanted) && !((interest & EPOLLOUT) && !(interest & EPOLLIN)))
            redisAsyncHandleRead(context);
    }

    static void Attach(EventLoop& loop, redisAsyncContext* context) {
        auto adapter = std::make_shared<RedisAdapter>();
        adapter->loop = &loop;
        adapter->context = context;
        adapter->fd = context->c.fd;
        context->ev.data = adapter.get();
        context->ev.addRead = AddRead;
        context->ev.delRead = DelRead;
        context->ev.addWrite = AddWrite;
        context->ev.delWrite = DelWrite;
        context->ev.cleanup = Cleanup;
        RedisAdapter* raw = adapter.get();
        raw->token = loop.Attach(raw->fd, [adapter](std::uint32_t mask) { adapter->Event(mask); });
    }
};

namespace {

// A command's callback: called once, then deleted.
void OnceTrampoline(redisAsyncContext*, void* reply, void* data) {
    auto* on_reply = static_cast<RedisLink::OnReply*>(data);
    if (*on_reply)
        (*on_reply)(static_cast<redisReply*>(reply));
    delete on_reply;
}

// A subscription's callback: called for every message, and with null once per channel when the
// context is freed. The link owns it.
void SubscriptionTrampoline(redisAsyncContext*, void* reply, void* data) {
    if (reply != nullptr)
        (*static_cast<RedisLink::OnReply*>(data))(static_cast<redisReply*>(reply));
}

}  // namespace

std::string ReplyText(const redisReply* reply) {
    return reply && (reply->type == REDIS_REPLY_STRING || reply->type == REDIS_REPLY_STATUS ||
                     reply->type == REDIS_REPLY_ERROR)
               ? std::string(reply->str, reply->len)
               : std::string();
}

RedisLink::~RedisLink() {
    Drop();
}

std::string RedisLink::Connect(const std::string& host, std::uint16_t port,
                               std::function<void()> on_up,
                               std::function<void(std::string)> on_down) {
    Drop();
    redisAsyncContext* context = redisAsyncConnect(host.c_str(), port);
    if (context == nullptr)
        return "out of memory";
    if (context->err) {
        std::string why = context->errstr;
        redisAsyncFree(context);
        return why;
    }
    context->data = this;
    RedisAdapter::Attach(loop_, context);
    context_ = context;
    // The last connection's context is freed by now: nothing calls its subscriptions any more.
    subscriptions_.clear();
    on_up_ = std::move(on_up);
    on_down_ = std::move(on_down);
    redisAsyncSetDisconnectCallback(context, Disconnected);
    // Setting it asks for the first write event, which tells the connection is up.
    redisAsyncSetConnectCallback(context, Connected);
    return {};
}

void RedisLink::Drop() {
    redisAsyncContext* context = context_;
    if (context == nullptr)
        return;
    context_ = nullptr;
    up_ = false;
    context->data = nullptr;
    redisAsyncFree(context);
}

void RedisLink::Connected(const redisAsyncContext* context, int status) {
    auto* link = static_cast<RedisLink*>(context->data);
    if (link == nullptr)
        return;
    if (status != REDIS_OK) {
        // hiredis frees the context after this call.
        link->context_ = nullptr;
        link->Ended(context->errstr ? context->errstr : "cannot connect");
        return;
    }
    link->up_ = true;
    if (link->on_up_)
        link->on_up_();
}

void RedisLink::Disconnected(const redisAsyncContext* context, int status) {
    auto* link = static_cast<RedisLink*>(context->data);
    if (link == nullptr)
        return;
    link->context_ = nullptr;
    link->Ended(status == REDIS_OK ? "closed" : (context->errstr ? context->errstr : "lost"));
}

void RedisLink::Ended(std::string why) {
    up_ = false;
    if (auto on_down = std::move(on_down_))
        on_down(std::move(why));
}

bool RedisLink::Send(const std::vector<std::string>& argv,
                     void (*callback)(redisAsyncContext*, void*, void*), void* data) {
    std::vector<const char*> words;
    std::vector<std::size_t> lengths;
    for (const auto& word : argv) {
        words.push_back(word.data());
        lengths.push_back(word.size());
    }
    return redisAsyncCommandArgv(context_, callback, data, static_cast<int>(argv.size()),
                                 words.data(), lengths.data()) == REDIS_OK;
}

bool RedisLink::Command(const std::vector<std::string>& argv, OnReply on_reply) {
    if (context_ == nullptr)
        return false;
    auto* data = new OnReply(std::move(on_reply));
    if (!Send(argv, OnceTrampoline, data)) {
        delete data;
        return false;
    }
    return true;
}

// hiredis may end the connection here (a write error): on_down is then called before this
// returns, as from the loop.
void RedisLink::Flush() {
    if (up_)
        redisAsyncHandleWrite(context_);
}

bool RedisLink::Subscribe(const std::vector<std::string>& argv, OnReply on_message) {
    if (context_ == nullptr)
        return false;
    subscriptions_.push_back(std::make_unique<OnReply>(std::move(on_message)));
    return Send(argv, SubscriptionTrampoline, subscriptions_.back().get());
}

}  // namespace dirsrv
