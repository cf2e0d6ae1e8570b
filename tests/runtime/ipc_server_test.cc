// The IPC server over real Unix sockets, driven by a real event loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "runtime/event_loop.h"
#include "runtime/ipc_server.h"
#include "runtime/log.h"

namespace fenra::ipc {
namespace {

using Bytes = std::vector<uint8_t>;

const Options kS2s{false, "fenra-s2s", false};
const Options kAuth{true, "", true};

// Ends a pump that takes too long.
struct Deadline final : LoopHandler {
    bool passed = false;
    void on_event(const LoopEvent&) override { passed = true; }
};

Bytes frame(const Bytes& payload) {
    Bytes f;
    const uint32_t n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        f.push_back(static_cast<uint8_t>(n >> (8 * i)));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes frame_of(const Message& m) {
    Bytes out(1 << 17);
    Result<size_t> n = encode(m, out);
    EXPECT_TRUE(n.ok());
    out.resize(n.value_or(0));
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A delivery request whose payload is exactly len bytes.
Bytes delivery_of_len(size_t len) {
    const std::string stanza(len - 1 - 6 - 2, 's');
    return frame_of(delivery(kDeliveryRequest, "a", "b", stanza));
}

Message msg_response(uint32_t id) {
    Message m;
    m.type = kAuthResponse;
    m.id = id;
    m.nstr = 1;
    m.str[0] = "client data";
    return m;
}

struct Received {
    int slot;
    uint8_t type;
    uint32_t id;
    std::vector<std::string> str;
};

class Recorder : public Dispatcher {
  public:
    void on_ipc_message(int slot, const Message& m) override {
        Received r{slot, m.type, m.id, {}};
        for (int i = 0; i < m.nstr; ++i)
            r.str.emplace_back(m.str[static_cast<size_t>(i)]);
        got.push_back(r);
        if (hook) hook(slot, m);
    }
    std::vector<Received> got;
    std::function<void(int, const Message&)> hook;
};

class Client {
  public:
    explicit Client(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, path.data(), path.size());
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close_now(); }
    bool connected() const { return connected_; }
    void close_now() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    void send(const Bytes& b) {
        size_t off = 0;
        while (off < b.size()) {
            const ssize_t n = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << std::strerror(errno);
            off += static_cast<size_t>(n);
        }
    }
    // Reads what is there without blocking; returns false at end of stream or error.
    bool drain() {
        uint8_t buf[65536];
        for (;;) {
            const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                in.insert(in.end(), buf, buf + n);
                continue;
            }
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    // Takes one whole frame from what was received, if there is one.
    bool take(Message& m, Bytes& store) {
        if (in.size() < 4) return false;
        const uint32_t n = in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24;
        if (in.size() < 4 + n) return false;
        store.assign(in.begin() + 4, in.begin() + 4 + n);
        in.erase(in.begin(), in.begin() + 4 + n);
        Result<Message> r = decode(store);
        if (!r) return false;
        m = *r;
        return true;
    }
    int fd() const { return fd_; }
    Bytes in;

  private:
    int fd_ = -1;
    bool connected_ = false;
};

class IpcServerTest : public ::testing::Test {
  protected:
    void SetUp() override { SetUpWith(kS2s); }

    void SetUpWith(const Options& o) {
        TearDown();
        char tmpl[] = "/tmp/fenra-ipc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/core.sock";
        logfd_ = memfd_create("log", 0);
        ASSERT_GE(logfd_, 0);
        log::set_output_fd(logfd_);
        auto l = EventLoop::create(64);
        ASSERT_TRUE(l.ok());
        loop_ = std::move(*l);
        auto t = loop_->add_timer(deadline_, 0);
        ASSERT_TRUE(t.ok());
        deadline_timer_ = *t;
        ASSERT_TRUE(loop_->cancel_timer(deadline_timer_).ok());
        opts_ = o;
        srv_ = std::make_unique<Server>(o);
        ASSERT_TRUE(srv_->start(path_).ok());
        ASSERT_TRUE(srv_->attach(*loop_, rec_).ok());
    }

    void TearDown() override {
        if (srv_) srv_->stop();
        srv_.reset();
        loop_.reset();
        log::set_output_fd(2);
        if (logfd_ >= 0) close(logfd_);
        logfd_ = -1;
        if (!dir_.empty()) rmdir(dir_.c_str());
        dir_.clear();
    }

    // Runs the loop until cond holds; fails after a generous deadline.
    bool pump(const std::function<bool()>& cond) {
        deadline_.passed = false;
        EXPECT_TRUE(loop_->arm_timer(deadline_timer_, 20000).ok());
        while (!cond())
            if (!loop_->run_once() || deadline_.passed) return false;
        return true;
    }

    std::string log_text() const {
        std::string s;
        char buf[4096];
        off_t off = 0;
        ssize_t n;
        while ((n = pread(logfd_, buf, sizeof buf, off)) > 0) {
            s.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return s;
    }
    // Messages of the captured log lines, without the time stamps.
    std::vector<std::string> log_lines() const {
        std::vector<std::string> out;
        const std::string s = log_text();
        size_t start = 0;
        for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(s.substr(start + 24, nl - start - 24));
        return out;
    }
    bool logged(const std::string& line) const {
        for (const std::string& l : log_lines())
            if (l == line) return true;
        return false;
    }
    int count_logged(const std::string& line) const {
        int n = 0;
        for (const std::string& l : log_lines())
            n += l == line;
        return n;
    }

    // Connects a client and runs the loop until the server has taken it into slot.
    std::unique_ptr<Client> connect_into(int slot) {
        auto c = std::make_unique<Client>(path_);
        EXPECT_TRUE(c->connected());
        EXPECT_TRUE(pump([&] { return srv_->active(slot) && srv_->slot(slot).fd >= 0; }));
        return c;
    }

    bool pump_until_disconnected(int slot) {
        return pump([&] { return !srv_->active(slot); });
    }

    std::string dir_, path_;
    int logfd_ = -1;
    Deadline deadline_;
    TimerId deadline_timer_ = 0;
    Options opts_{};
    std::unique_ptr<EventLoop> loop_;
    std::unique_ptr<Server> srv_;
    Recorder rec_;
};

TEST_F(IpcServerTest, StartLogsAndStopRemovesTheSocket) {
    EXPECT_TRUE(logged("info(ipc_server): IPC server listening on " + path_));
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(srv_->path(), path_);
    srv_->stop();
    EXPECT_NE(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(srv_->listen_fd(), -1);
}

TEST_F(IpcServerTest, StartReplacesAStaleFileAndChecksPathLength) {
    srv_->stop();
    const int f = creat(path_.c_str(), 0600);
    ASSERT_GE(f, 0);
    close(f);
    Server again(kS2s);
    ASSERT_TRUE(again.start(path_).ok());
    again.stop();

    // 103 bytes are fine, 104 are not.
    std::string p = dir_ + "/";
    p += std::string(103 - p.size(), 'p');
    ASSERT_EQ(p.size(), 103u);
    Server s103(kS2s);
    EXPECT_TRUE(s103.start(p).ok());
    s103.stop();
    Server s104(kS2s);
    EXPECT_EQ(s104.start(p + "q").error(), Error::PathTooLong);
    EXPECT_EQ(s104.listen_fd(), -1);

    Server missing(kS2s);
    EXPECT_FALSE(missing.start(dir_ + "/no/such/dir/s").ok());
}

TEST_F(IpcServerTest, SixteenSlotsThenRejectThenLowestFree) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kSlots; ++i) {
        clients.push_back(connect_into(i));
        EXPECT_TRUE(logged("info(ipc_server): IPC client connected, slot=" + std::to_string(i)));
    }
    Client extra(path_);
    ASSERT_TRUE(extra.connected());
    ASSERT_TRUE(pump(
        [&] { return logged("warn(ipc_server): IPC connection rejected: all 16 slots full"); }));
    // The rejected peer sees its connection closed.
    char c;
    EXPECT_EQ(recv(extra.fd(), &c, 1, 0), 0);

    clients[9]->close_now();
    clients[4]->close_now();
    ASSERT_TRUE(pump([&] { return !srv_->active(4) && !srv_->active(9); }));
    EXPECT_TRUE(logged("info(fenra-s2s): core disconnected from IPC slot=4"));
    EXPECT_TRUE(logged("info(ipc_server): IPC client disconnected, slot=4"));
    EXPECT_TRUE(logged("info(ipc_server): IPC client disconnected, slot=9"));
    auto a = connect_into(4);
    auto b = connect_into(9);
    EXPECT_EQ(count_logged("info(ipc_server): IPC client connected, slot=4"), 2);
}

TEST_F(IpcServerTest, LargestFrameIsReceived) {
    auto c = connect_into(0);
    const Bytes f = delivery_of_len(8188);
    ASSERT_EQ(f.size(), kReadBuffer);
    c->send(f + frame_of(delivery(kDeliveryRequest, "c", "d", "next")));
    ASSERT_TRUE(pump([&] { return rec_.got.size() == 2; }));
    EXPECT_EQ(rec_.got[0].str[2].size(), 8188u - 9);
    EXPECT_EQ(rec_.got[1].str[2], "next");
    EXPECT_TRUE(srv_->active(0));
}

TEST_F(IpcServerTest, FrameOneByteTooLongDisconnects) {
    auto c = connect_into(0);
    c->send(delivery_of_len(8189));
    ASSERT_TRUE(pump_until_disconnected(0));
    EXPECT_TRUE(rec_.got.empty());
    EXPECT_TRUE(logged("info(ipc_server): IPC client disconnected, slot=0"));
    EXPECT_FALSE(logged("info(fenra-s2s): core disconnected from IPC slot=0"));
}

TEST_F(IpcServerTest, FullBufferWithoutAFrameDisconnectsWithoutWaitingForMore) {
    // Exactly 8192 bytes of a frame that can never complete, then silence.
    auto c = connect_into(0);
    Bytes f = delivery_of_len(8189);
    f.resize(kReadBuffer);
    c->send(f);
    ASSERT_TRUE(pump_until_disconnected(0));
    EXPECT_TRUE(rec_.got.empty());
}

TEST_F(IpcServerTest, DeclaredLengthAboveLimitEventuallyDisconnects) {
    auto c = connect_into(0);
    Bytes head = {0x01, 0x00, 0x01, 0x00, 16};  // L = 65537
    c->send(head);
    ASSERT_TRUE(pump([&] { return srv_->slot(0).read_filled == head.size(); }));
    EXPECT_TRUE(srv_->active(0));  // waits like for any incomplete frame
    c->send(Bytes(kReadBuffer, 0));
    ASSERT_TRUE(pump_until_disconnected(0));
    EXPECT_TRUE(rec_.got.empty());
    EXPECT_FALSE(logged("error(fenra-s2s): IPC decode error on slot=0"));
}

TEST_F(IpcServerTest, SplitFrameIsHandledWhenItsLastByteArrives) {
    auto c = connect_into(0);
    const Bytes f = frame_of(delivery(kDeliveryRequest, "a@x", "b@y", "<message/>"));
    c->send(Bytes(f.begin(), f.begin() + 2));
    ASSERT_TRUE(pump([&] { return srv_->slot(0).read_filled == 2; }));
    c->send(Bytes(f.begin() + 2, f.end() - 1));
    ASSERT_TRUE(pump([&] { return srv_->slot(0).read_filled == f.size() - 1; }));
    EXPECT_TRUE(rec_.got.empty());
    c->send(Bytes(f.end() - 1, f.end()));
    ASSERT_TRUE(pump([&] { return rec_.got.size() == 1; }));
    EXPECT_EQ(rec_.got[0].str, (std::vector<std::string>{"a@x", "b@y", "<message/>"}));
}

TEST_F(IpcServerTest, TwoFramesInOneWriteAreBothDispatched) {
    auto c = connect_into(0);
    c->send(frame_of(delivery(kDeliveryRequest, "1", "", "")) +
            frame_of(auth_failure(7, "not-authorized")));
    ASSERT_TRUE(pump([&] { return rec_.got.size() == 2; }));
    EXPECT_EQ(rec_.got[0].type, kDeliveryRequest);
    EXPECT_EQ(rec_.got[0].str[0], "1");
    EXPECT_EQ(rec_.got[1].type, kAuthFailure);
    EXPECT_EQ(rec_.got[1].id, 7u);
    EXPECT_EQ(rec_.got[1].slot, 0);
}

TEST_F(IpcServerTest, ManyFramesThroughACompactingBuffer) {
    // 300 frames of 100 bytes cross the 8192-byte buffer boundary many times.
    auto c = connect_into(0);
    Bytes all;
    for (int i = 0; i < 300; ++i)
        all =
            all + frame_of(delivery(kInboundStanza, std::to_string(i), "to", std::string(80, 'x')));
    c->send(all);
    ASSERT_TRUE(pump([&] { return rec_.got.size() == 300; }));
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(rec_.got[static_cast<size_t>(i)].str[0], std::to_string(i));
}

TEST_F(IpcServerTest, EveryMalformedFormDisconnectsWithTheDecodeError) {
    auto str = [](std::string_view s) {
        Bytes b(2 + s.size());
        b[0] = static_cast<uint8_t>(s.size());
        b[1] = static_cast<uint8_t>(s.size() >> 8);
        std::copy(s.begin(), s.end(), b.begin() + 2);
        return b;
    };
    const std::vector<Bytes> bad = {
        frame({}),   // L = 0
        frame({0}),  // type 0
        frame({13}),
        frame({14}),
        frame({15}),
        frame({19}),                                                            // unassigned types
        frame(Bytes{16} + str("a@x") + Bytes{4, 0, 'b', '@', 'y'} + str("s")),  // past the end
        frame(Bytes{2, 1, 0, 0}),                                               // short body
        frame(Bytes{1, 1, 0, 0, 0, 0} + str("") + Bytes{0} + str("") + str("") + str("")),
        frame(Bytes{1, 1, 0, 0, 0, 4} + str("") + Bytes{0} + str("") + str("") + str("")),
        frame(Bytes{12, 9, 1, 1, 1, 1, 1, 1, 1, 1, 1}),  // count 9
        frame(Bytes{12, 2, 1, 0}),                       // element 0
        frame(Bytes{12, 1, 4}),                          // element 4
    };
    int form = 0;
    for (const Bytes& f : bad) {
        ++form;
        rec_.got.clear();
        auto c = connect_into(0);  // the previous client's slot is free again
        // A good frame ahead of the bad one is still handled; nothing after it is.
        c->send(frame_of(delivery(kDeliveryRequest, "ok", "", "")) + f +
                frame_of(delivery(kDeliveryRequest, "after", "", "")));
        ASSERT_TRUE(pump_until_disconnected(0));
        ASSERT_EQ(rec_.got.size(), 1u) << "form " << form;
        EXPECT_EQ(rec_.got[0].str[0], "ok");
        EXPECT_EQ(count_logged("error(fenra-s2s): IPC decode error on slot=0"), form);
        EXPECT_EQ(count_logged("info(ipc_server): IPC client disconnected, slot=0"), form);
        char ch;
        EXPECT_EQ(recv(c->fd(), &ch, 1, 0), 0);
    }
    EXPECT_FALSE(logged("info(fenra-s2s): core disconnected from IPC slot=0"));
}

TEST_F(IpcServerTest, RepliesQueuedBeforeWritabilityArriveInOrder) {
    auto c = connect_into(0);
    ASSERT_TRUE(srv_->send(0, delivery(kDeliveryFailed, "a", "b", "tcp-connect-failed")).ok());
    ASSERT_TRUE(srv_->send(0, delivery(kInboundStanza, "c", "d", "<iq/>")).ok());
    EXPECT_EQ(c->drain(), true);
    EXPECT_TRUE(c->in.empty());  // nothing is written before the socket is writable
    ASSERT_TRUE(srv_->request_flush(0, *loop_).ok());
    ASSERT_TRUE(pump([&] { return srv_->slot(0).write_filled == 0; }));
    Message m;
    Bytes store1, store2;
    ASSERT_TRUE(pump([&] { return c->drain() && c->in.size() >= 2 * 4; }));
    ASSERT_TRUE(c->take(m, store1));
    EXPECT_EQ(m.type, kDeliveryFailed);
    EXPECT_EQ(m.str[2], "tcp-connect-failed");
    ASSERT_TRUE(c->take(m, store2));
    EXPECT_EQ(m.type, kInboundStanza);
    EXPECT_EQ(m.str[2], "<iq/>");
    EXPECT_TRUE(c->in.empty());
}

TEST_F(IpcServerTest, SendBufferFullQueuesNothing) {
    auto c = connect_into(0);
    const std::string body(kFrameScratch - 11, 'z');  // frames of exactly 4096 bytes
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(srv_->send(0, delivery(kInboundStanza, "", "", body)).ok());
    EXPECT_EQ(srv_->slot(0).write_filled, kWriteBuffer);
    EXPECT_EQ(srv_->send(0, delivery(kInboundStanza, "", "", "")).error(), Error::SendBufferFull);
    EXPECT_EQ(srv_->slot(0).write_filled, kWriteBuffer);
    EXPECT_EQ(srv_->send(0, delivery(kInboundStanza, "", "", body + "z")).error(),
              Error::BufferTooSmall);
    EXPECT_EQ(srv_->send(0, delivery(kInboundStanza, "", "", std::string(65536, 'a'))).error(),
              Error::FieldTooLong);
    EXPECT_EQ(srv_->send(5, auth_failure(1, "x")).error(), Error::ConnectionClosed);
}

TEST_F(IpcServerTest, PartialWritesCompactAndKeepFramesWhole) {
    auto c = connect_into(0);
    const int sfd = srv_->slot(0).fd;
    int small = 4096;
    setsockopt(sfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string body(4000, 'q');
    std::vector<std::string> sent;
    auto queue = [&](int i) {
        const std::string from = "f" + std::to_string(i);
        Result<void> r = srv_->send(0, delivery(kInboundStanza, from, "", body));
        if (r.ok()) sent.push_back(from);
        return r.ok();
    };
    int next = 0;
    while (queue(next))
        ++next;
    ASSERT_EQ(sent.size(), 4u);
    // One write cannot take all 16 KiB through the small buffer.
    srv_->on_writable(0, *loop_);
    ASSERT_GT(srv_->slot(0).write_sent, 0u);
    ASSERT_LT(srv_->slot(0).write_sent, srv_->slot(0).write_filled);
    // The next frame fits only once the sent bytes are compacted away.
    ASSERT_TRUE(queue(next++));
    EXPECT_EQ(srv_->slot(0).write_sent, 0u);
    // The loop flushes the rest as the client reads.
    std::vector<std::string> got;
    std::vector<Bytes> stores(16);
    ASSERT_TRUE(pump([&] {
        c->drain();
        Message m;
        while (c->take(m, stores[got.size()])) {
            EXPECT_EQ(m.str[2].size(), body.size());
            got.emplace_back(m.str[0]);
        }
        return got.size() == sent.size();
    }));
    EXPECT_EQ(got, sent);
}

TEST_F(IpcServerTest, DispatcherMayDisconnectTheSlot) {
    auto c = connect_into(0);
    rec_.hook = [&](int slot, const Message&) { srv_->disconnect(slot); };
    c->send(frame_of(auth_failure(1, "a")) + frame_of(auth_failure(2, "b")));
    ASSERT_TRUE(pump_until_disconnected(0));
    ASSERT_EQ(rec_.got.size(), 1u);
    EXPECT_EQ(count_logged("info(ipc_server): IPC client disconnected, slot=0"), 1);
}

TEST_F(IpcServerTest, SlotClosedByAnEarlierHandlerIsSkipped) {
    auto a = connect_into(0);
    auto b = connect_into(1);
    // Whichever slot is handled first closes the other, whose read event is
    // later in the same batch.
    rec_.hook = [&](int slot, const Message&) { srv_->disconnect(1 - slot); };
    a->send(frame_of(auth_failure(1, "a")));
    b->send(frame_of(auth_failure(2, "b")));
    ASSERT_TRUE(pump([&] { return !rec_.got.empty(); }));
    const int survivor = rec_.got[0].slot;
    EXPECT_FALSE(srv_->active(1 - survivor));
    EXPECT_TRUE(srv_->active(survivor));
    rec_.hook = nullptr;
    (survivor == 0 ? a : b)->send(frame_of(auth_failure(3, "c")));
    ASSERT_TRUE(pump([&] { return rec_.got.size() == 2; }));
    EXPECT_EQ(rec_.got[1].slot, survivor);
    EXPECT_FALSE(logged("error(fenra-s2s): IPC decode error on slot=0"));
    EXPECT_FALSE(logged("error(fenra-s2s): IPC decode error on slot=1"));
}

TEST_F(IpcServerTest, RepliesFromTheDispatcherAreFlushed) {
    auto c = connect_into(0);
    rec_.hook = [&](int slot, const Message& m) {
        ASSERT_TRUE(srv_->send(slot, auth_failure(m.id, "not-authorized")).ok());
    };
    c->send(frame_of(msg_response(41)) + frame_of(msg_response(42)));
    Message m;
    Bytes s1, s2;
    const size_t answer = frame_of(auth_failure(1, "not-authorized")).size();
    ASSERT_TRUE(pump([&] { return c->drain() && c->in.size() >= 2 * answer; }));
    ASSERT_TRUE(c->take(m, s1));
    EXPECT_EQ(m.id, 41u);
    ASSERT_TRUE(c->take(m, s2));
    EXPECT_EQ(m.id, 42u);
}

class IpcServerAuthTest : public IpcServerTest {
  protected:
    void SetUp() override { SetUpWith(kAuth); }
};

TEST_F(IpcServerAuthTest, ConnectLineCarriesTheDescriptor) {
    auto c = connect_into(0);
    EXPECT_TRUE(logged("info(ipc_server): IPC client connected, slot=0 fd=" +
                       std::to_string(srv_->slot(0).fd)));
}

TEST_F(IpcServerAuthTest, EachAnswerIsWrittenBeforeTheNextFrameIsDecoded) {
    auto c = connect_into(0);
    std::vector<size_t> seen_by_client;
    rec_.hook = [&](int slot, const Message& m) {
        // What has the client received so far, when this frame is handled?
        c->drain();
        seen_by_client.push_back(c->in.size());
        ASSERT_TRUE(srv_->send(slot, auth_failure(m.id, "not-authorized")).ok());
    };
    c->send(frame_of(msg_response(1)) + frame_of(msg_response(2)) + frame_of(msg_response(3)));
    ASSERT_TRUE(pump([&] { return rec_.got.size() == 3; }));
    const size_t answer = frame_of(auth_failure(1, "not-authorized")).size();
    EXPECT_EQ(seen_by_client, (std::vector<size_t>{0, answer, 2 * answer}));
    c->drain();
    EXPECT_EQ(c->in.size(), 3 * answer);
}

TEST_F(IpcServerAuthTest, MalformedFrameDisconnectsWithoutADaemonLine) {
    auto c = connect_into(0);
    c->send(frame(Bytes{1, 1, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(pump_until_disconnected(0));
    const std::vector<std::string> lines = log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "info(ipc_server): IPC client disconnected, slot=0");
    for (const std::string& l : lines)
        EXPECT_EQ(l.find("error("), std::string::npos) << l;
}

TEST_F(IpcServerAuthTest, EndOfStreamDisconnectsQuietly) {
    auto c = connect_into(0);
    c->close_now();
    ASSERT_TRUE(pump_until_disconnected(0));
    EXPECT_EQ(log_lines().back(), "info(ipc_server): IPC client disconnected, slot=0");
}

}  // namespace
}  // namespace fenra::ipc
