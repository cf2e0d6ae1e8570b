// The IPC message table: every type both ways, and every malformed form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/ipc_codec.h"

namespace fenra::ipc {
namespace {

using Bytes = std::vector<uint8_t>;

// Payload builder (type byte and body, no length field).
struct B {
    Bytes b;
    B& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    B& u16(uint16_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
        return *this;
    }
    B& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    B& str(std::string_view s) {
        u16(static_cast<uint16_t>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
};

Result<Message> dec(const Bytes& payload) {
    return decode(std::span<const uint8_t>(payload.data(), payload.size()));
}

Bytes enc(const Message& m, size_t cap = kFrameScratch) {
    Bytes out(cap);
    Result<size_t> n = encode(m, out);
    EXPECT_TRUE(n.ok());
    if (!n) return {};
    out.resize(*n);
    return out;
}

void expect_same(const Message& a, const Message& b) {
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.byte, b.byte);
    EXPECT_EQ(a.flag, b.flag);
    EXPECT_EQ(a.nstr, b.nstr);
    for (size_t i = 0; i < a.str.size(); ++i)
        EXPECT_EQ(a.str[i], b.str[i]) << "string " << i;
    EXPECT_EQ(a.count, b.count);
    EXPECT_EQ(a.items, b.items);
}

// Encodes m, checks the frame against the expected payload, decodes it back.
void round_trip(const Message& m, const Bytes& payload) {
    const Bytes frame = enc(m);
    ASSERT_EQ(frame.size(), payload.size() + 4);
    const uint32_t len =
        frame[0] | frame[1] << 8 | frame[2] << 16 | static_cast<uint32_t>(frame[3]) << 24;
    EXPECT_EQ(len, payload.size());
    EXPECT_EQ(Bytes(frame.begin() + 4, frame.end()), payload);
    Result<Message> back = dec(payload);
    ASSERT_TRUE(back.ok());
    expect_same(*back, m);
}

Message msg(uint8_t type, uint32_t id, std::initializer_list<std::string_view> strs) {
    Message m;
    m.type = type;
    m.id = id;
    for (std::string_view s : strs)
        m.str[m.nstr++] = s;
    return m;
}

TEST(IpcCodec, AuthRequest) {
    Message m =
        msg(kAuthRequest, 0x01020304, {"10.0.0.1", "rsv", "alice", std::string_view("\0u\0p", 4)});
    m.byte = 3;
    m.flag = 0xff;
    round_trip(m, B().u8(1)
                      .u32(0x01020304)
                      .u8(3)
                      .str("10.0.0.1")
                      .u8(0xff)
                      .str("rsv")
                      .str("alice")
                      .str(std::string_view("\0u\0p", 4))
                      .b);
}

TEST(IpcCodec, OneStringTypes) {
    for (uint8_t t : {kAuthChallenge, kAuthFailure, kAuthResponse, kType10})
        round_trip(msg(t, 77, {"not-authorized"}), B().u8(t).u32(77).str("not-authorized").b);
}

TEST(IpcCodec, AuthSuccessAndAbsentThird) {
    round_trip(auth_success(9, "alice", "", "extra"),
               B().u8(3).u32(9).str("alice").str("").str("extra").b);
    // On receipt the body may end after the second string.
    const Bytes two = B().u8(3).u32(9).str("alice").str("x").b;
    Result<Message> m = dec(two);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m->nstr, 3);
    EXPECT_EQ(m->str[0], "alice");
    EXPECT_EQ(m->str[1], "x");
    EXPECT_EQ(m->str[2], "");
    // ...but a third string that is started must be whole.
    EXPECT_EQ(dec(B().u8(3).u32(9).str("alice").str("x").u8(0).b).error(), Error::Malformed);
    EXPECT_EQ(dec(B().u8(3).u32(9).str("alice").str("x").u16(2).u8('a').b).error(),
              Error::Malformed);
}

TEST(IpcCodec, MultiStringTypes) {
    round_trip(msg(kType6, 1, {"a", "bb", "", "dddd"}),
               B().u8(6).u32(1).str("a").str("bb").str("").str("dddd").b);
    round_trip(msg(kType8, 2, {"x", "y"}), B().u8(8).u32(2).str("x").str("y").b);
    for (uint8_t t : {kDeliveryRequest, kInboundStanza, kDeliveryFailed})
        round_trip(delivery(t, "a@x", "b@y", "<message/>"),
                   B().u8(t).str("a@x").str("b@y").str("<message/>").b);
}

TEST(IpcCodec, OkConditionTypes) {
    for (uint8_t t : {kType7, kType9, kType11}) {
        round_trip(ok_condition(t, 5, 0, "bad-request"),
                   B().u8(t).u32(5).u8(0).str("bad-request").b);
        round_trip(ok_condition(t, 5, 200, ""), B().u8(t).u32(5).u8(200).str("").b);
    }
    round_trip(auth_failure(0xffffffff, "policy-violation"),
               B().u8(4).u32(0xffffffff).str("policy-violation").b);
}

TEST(IpcCodec, Type12) {
    Message m;
    m.type = kType12;
    round_trip(m, B().u8(12).u8(0).b);
    m.count = 8;
    m.items = {1, 2, 3, 1, 2, 3, 1, 2};
    round_trip(m, B().u8(12).u8(8).u8(1).u8(2).u8(3).u8(1).u8(2).u8(3).u8(1).u8(2).b);
}

TEST(IpcCodec, TrailingBytesIgnored) {
    const Bytes p = B().u8(16).str("a").str("b").str("c").u32(0xdeadbeef).b;
    Result<Message> m = dec(p);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m->str[2], "c");
    Result<Message> m12 = dec(B().u8(12).u8(1).u8(2).u8(9).u8(9).b);
    ASSERT_TRUE(m12.ok());
    EXPECT_EQ(m12->count, 1);
    EXPECT_TRUE(dec(B().u8(2).u32(1).str("d").u8(0).b).ok());
}

TEST(IpcCodec, DecodedStringsPointIntoTheInput) {
    const Bytes p = B().u8(16).str("from").str("to").str("stanza").b;
    Result<Message> m = dec(p);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(m->str[0].data()), p.data() + 3);
}

TEST(IpcCodec, MalformedTypes) {
    for (int t : {0, 13, 14, 15, 19, 20, 255})
        EXPECT_EQ(dec(B().u8(static_cast<uint8_t>(t)).str("a").str("b").str("c").b).error(),
                  Error::Malformed)
            << t;
    EXPECT_EQ(dec(Bytes{}).error(), Error::Malformed);
}

TEST(IpcCodec, MalformedShortBodies) {
    // Every proper prefix of a well-formed body is malformed (type 3 aside, whose
    // body may stop after the second string).
    const std::vector<Bytes> whole = {
        B().u8(1).u32(1).u8(1).str("ad").u8(0).str("r").str("acct").str("ir").b,
        B().u8(2).u32(1).str("d").b,
        B().u8(4).u32(1).str("c").b,
        B().u8(5).u32(1).str("d").b,
        B().u8(6).u32(1).str("a").str("b").str("c").str("d").b,
        B().u8(7).u32(1).u8(1).str("c").b,
        B().u8(8).u32(1).str("a").str("b").b,
        B().u8(9).u32(1).u8(1).str("c").b,
        B().u8(10).u32(1).str("a").b,
        B().u8(11).u32(1).u8(1).str("c").b,
        B().u8(12).u8(2).u8(1).u8(3).b,
        B().u8(16).str("a").str("b").str("c").b,
        B().u8(17).str("a").str("b").str("c").b,
        B().u8(18).str("a").str("b").str("c").b,
    };
    for (const Bytes& w : whole) {
        ASSERT_TRUE(dec(w).ok()) << int(w[0]);
        for (size_t n = 1; n < w.size(); ++n)
            EXPECT_EQ(dec(Bytes(w.begin(), w.begin() + static_cast<long>(n))).error(),
                      Error::Malformed)
                << "type " << int(w[0]) << " cut at " << n;
    }
    const Bytes t3 = B().u8(3).u32(1).str("u").str("s").str("t").b;
    for (size_t n = 1; n < t3.size(); ++n) {
        const bool ok = n == 1 + 4 + 3 + 3;  // ends right after the second string
        EXPECT_EQ(dec(Bytes(t3.begin(), t3.begin() + static_cast<long>(n))).ok(), ok) << n;
    }
}

TEST(IpcCodec, StringOneBytePastTheEnd) {
    Bytes p = B().u8(16).str("a@x").u16(4).b;
    p.insert(p.end(), {'b', '@', 'y'});
    EXPECT_EQ(dec(p).error(), Error::Malformed);
    p.push_back('z');  // now it fits, but the third string is missing
    EXPECT_EQ(dec(p).error(), Error::Malformed);
    p = B().u8(16).str("a").str("b").u16(3).u8('x').u8('y').b;
    EXPECT_EQ(dec(p).error(), Error::Malformed);
    p.push_back('z');
    EXPECT_TRUE(dec(p).ok());
}

TEST(IpcCodec, EnumerationsOutOfRange) {
    auto req = [](uint8_t mech) {
        return B().u8(1).u32(1).u8(mech).str("").u8(0).str("").str("").str("").b;
    };
    EXPECT_EQ(dec(req(0)).error(), Error::Malformed);
    EXPECT_EQ(dec(req(4)).error(), Error::Malformed);
    EXPECT_EQ(dec(req(255)).error(), Error::Malformed);
    for (uint8_t mech : {1, 2, 3})
        EXPECT_TRUE(dec(req(mech)).ok());
    EXPECT_EQ(dec(B().u8(12).u8(9).u8(1).u8(1).u8(1).u8(1).u8(1).u8(1).u8(1).u8(1).u8(1).b).error(),
              Error::Malformed);
    EXPECT_EQ(dec(B().u8(12).u8(2).u8(1).u8(0).b).error(), Error::Malformed);
    EXPECT_EQ(dec(B().u8(12).u8(2).u8(4).u8(1).b).error(), Error::Malformed);
    // The ok byte of types 7, 9, 11 and the flag of type 1 take any value.
    EXPECT_TRUE(dec(B().u8(9).u32(1).u8(77).str("").b).ok());
}

TEST(IpcCodec, FieldTooLong) {
    const std::string big(65536, 'a');
    Bytes out(1 << 17);
    EXPECT_EQ(encode(delivery(kDeliveryRequest, "a", "b", big), out).error(), Error::FieldTooLong);
    // 65535 bytes is a valid string; it fails only on the frame size.
    EXPECT_EQ(encode(delivery(kDeliveryRequest, "a", "b", big.substr(1)), out).value(),
              4u + 1 + 6 + 2 + 65535);
    Bytes scratch(kFrameScratch);
    EXPECT_EQ(encode(delivery(kDeliveryRequest, "a", "b", big.substr(1)), scratch).error(),
              Error::BufferTooSmall);
}

TEST(IpcCodec, BufferTooSmallAtTheScratchBoundary) {
    // Frame = 4 (length) + 1 (type) + 3 * 2 (string lengths) + the bytes.
    const std::string fits(kFrameScratch - 11 - 2, 's');
    Bytes scratch(kFrameScratch);
    Result<size_t> n = encode(delivery(kInboundStanza, "a", "b", fits), scratch);
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(*n, kFrameScratch);
    EXPECT_EQ(scratch[0] | scratch[1] << 8, static_cast<int>(kFrameScratch - 4));
    EXPECT_EQ(encode(delivery(kInboundStanza, "a", "b", fits + "s"), scratch).error(),
              Error::BufferTooSmall);
    Bytes tiny(4);
    EXPECT_EQ(encode(auth_failure(1, ""), tiny).error(), Error::BufferTooSmall);
}

TEST(IpcCodec, EncodeRejectsWhatCannotBeSent) {
    Bytes out(kFrameScratch);
    Message m;
    m.type = 13;
    EXPECT_EQ(encode(m, out).error(), Error::Malformed);
    m.type = kType12;
    m.count = 9;
    EXPECT_EQ(encode(m, out).error(), Error::Malformed);
}

}  // namespace
}  // namespace fenra::ipc
