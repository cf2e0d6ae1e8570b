#include "s2s/xmpp/stream_text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "s2s/xmpp/xml_parser.h"

namespace fenra::xmpp {
namespace {

const std::string kOpen =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
    "xmlns:stream='http://etherx.jabber.org/streams' xmlns:db='jabber:server:dialback' from='";

template <class F>
std::string built(size_t cap, F&& f) {
    std::string buf(cap, '\0');
    Result<size_t> n = f(std::span<char>(buf.data(), buf.size()));
    if (!n) return "error." + std::string(error_name(n.error()));
    buf.resize(*n);
    return buf;
}

// ---- stream headers ---------------------------------------------------------

TEST(StreamText, OutboundHeader) {
    ASSERT_EQ(kOpen.size(), 146u);
    EXPECT_EQ(built(kReplyBufferSize, [](auto out) { return write_stream_header(out, "a", "b"); }),
              kOpen + "a' to='b' version='1.0'>");
}

TEST(StreamText, InboundHeader) {
    EXPECT_EQ(built(kReplyBufferSize,
                    [](auto out) {
                        return write_inbound_stream_header(out, "local.example", "remote.example",
                                                           "s2s-7-1700000000000");
                    }),
              kOpen + "local.example' to='remote.example' id='s2s-7-1700000000000' version='1.0'>");
    // A peer that gave no from gets an empty to.
    EXPECT_EQ(built(kReplyBufferSize,
                    [](auto out) { return write_inbound_stream_header(out, "l", "", "s2s-0-1"); }),
              kOpen + "l' to='' id='s2s-0-1' version='1.0'>");
}

TEST(StreamText, HeaderFitsExactlyOrFails) {
    // 146 + "' to='" (6) + "' version='1.0'>" (16) around the two domains.
    const std::string local(2048 - 146 - 6 - 16 - 1, 'l');
    EXPECT_EQ(
        built(kReplyBufferSize, [&](auto out) { return write_stream_header(out, local, "r"); })
            .size(),
        2048u);
    EXPECT_EQ(
        built(kReplyBufferSize, [&](auto out) { return write_stream_header(out, local, "rr"); }),
        "error.NoSpaceLeft");
    EXPECT_EQ(built(kReplyBufferSize,
                    [&](auto out) { return write_inbound_stream_header(out, local, "", "x"); }),
              "error.NoSpaceLeft");
}

TEST(StreamText, HeaderParsesBack) {
    const std::string h = built(kReplyBufferSize, [](auto out) {
        return write_stream_header(out, "a.example", "b.example");
    });
    XmlParser p;
    size_t pos = 0;
    auto r = p.next_event(h, pos);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ((*r)->kind, XmlEventKind::declaration);
    auto r2 = p.next_event(h, pos);
    ASSERT_TRUE(r2 && *r2);
    const XmlElement& e = (*r2)->element;
    EXPECT_EQ((*r2)->kind, XmlEventKind::stream_open);
    EXPECT_EQ(e.ns, kStreamsNs);
    EXPECT_EQ(e.namespaces[0].uri, kServerNs);
    EXPECT_EQ(e.attribute("from"), "a.example");
    EXPECT_EQ(e.attribute("to"), "b.example");
    EXPECT_FALSE(e.attribute("id"));
    ASSERT_EQ(e.namespaces.size(), 3u);
    EXPECT_EQ(e.namespaces[1].uri, kStreamsNs);
    EXPECT_EQ(e.namespaces[2].uri, kDialbackNs);
}

// ---- features and replies -------------------------------------------------

TEST(StreamText, FeatureSets) {
    auto features = [](FeatureSet set) {
        return built(kReplyBufferSize, [&](auto out) { return write_features(out, set); });
    };
    EXPECT_EQ(features(FeatureSet::starttls_required),
              "<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'><required/>"
              "</starttls></stream:features>");
    EXPECT_EQ(features(FeatureSet::starttls_required).size(), 107u);
    EXPECT_EQ(features(FeatureSet::sasl_external),
              "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><mechanism>"
              "EXTERNAL</mechanism></mechanisms></stream:features>");
    EXPECT_EQ(features(FeatureSet::sasl_external).size(), 132u);
    EXPECT_EQ(features(FeatureSet::dialback),
              "<stream:features><db:features><db:dialback/></db:features></stream:features>");
    EXPECT_EQ(features(FeatureSet::dialback).size(), 76u);
    EXPECT_EQ(features(FeatureSet::established), "<stream:features/>");
}

TEST(StreamText, NegotiationReplies) {
    EXPECT_EQ(kTlsProceed, "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
    EXPECT_EQ(kTlsProceed.size(), 50u);
    EXPECT_EQ(kSaslSuccess, "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
    EXPECT_EQ(kSaslSuccess.size(), 51u);
    EXPECT_EQ(kStreamClose, "</stream:stream>");
    EXPECT_EQ(kStreamClose.size(), 16u);
    EXPECT_EQ(
        built(kReplyBufferSize, [](auto out) { return write_sasl_failure(out, "not-authorized"); }),
        "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>");
    EXPECT_EQ(built(16, [](auto out) { return write_text(out, kStreamClose); }),
              "</stream:stream>");
    EXPECT_EQ(built(15, [](auto out) { return write_text(out, kStreamClose); }),
              "error.NoSpaceLeft");
}

TEST(StreamText, StreamErrors) {
    const char* const conditions[] = {
        "host-unknown",     "not-authorized",        "invalid-namespace",   "not-well-formed",
        "policy-violation", "internal-server-error", "unsupported-version", "connection-timeout"};
    for (uint8_t v = 0; v < 8; ++v) {
        const auto e = static_cast<StreamError>(v);
        EXPECT_EQ(stream_error_condition(e), conditions[v]);
        EXPECT_EQ(
            built(kStreamErrorBufferSize, [&](auto out) { return write_stream_error(out, e); }),
            std::string("<stream:error><") + conditions[v] +
                " xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>"
                "</stream:stream>");
    }
    EXPECT_EQ(
        built(20, [](auto out) { return write_stream_error(out, StreamError::not_well_formed); }),
        "error.NoSpaceLeft");
}

// ---- escaping ---------------------------------------------------------------

TEST(StreamText, DialbackElementsEscapeEveryValue) {
    const auto dialback = [](const DialbackElement& e) {
        return built(512, [&](auto out) { return write_dialback(out, e); });
    };
    using Kind = DialbackElement::Kind;
    // A key that would close the element and open a stanza stays text.
    EXPECT_EQ(dialback({Kind::verify, "a", "b'", "i<d", {}, "</db:verify><message/>"}),
              "<db:verify xmlns:db='jabber:server:dialback' from='a' to='b&apos;' id='i&lt;d'>"
              "&lt;/db:verify&gt;&lt;message/&gt;</db:verify>");
    EXPECT_EQ(dialback({Kind::result, "a", "b", {}, "valid", {}}),
              "<db:result xmlns:db='jabber:server:dialback' from='a' to='b' type='valid'/>");
    EXPECT_EQ(dialback({Kind::result, "a", "b&", {}, "error", {}}),
              "<db:result xmlns:db='jabber:server:dialback' from='a' to='b&amp;' type='error'>"
              "<error type='cancel'><item-not-found xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/>"
              "</error></db:result>");
    EXPECT_EQ(
        built(
            100,
            [](auto out) {
                return write_dialback(out, {Kind::result, std::string(90, 'x'), "b", {}, {}, "k"});
            }),
        "error.NoSpaceLeft");
    EXPECT_EQ(
        built(512, [](auto out) { return write_sasl_external(out, "YS5l<"); }),
        "<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'>YS5l&lt;</auth>");
    EXPECT_EQ(
        built(kReplyBufferSize, [](auto out) { return write_stream_header(out, "a'", "<b>"); }),
        kOpen + "a&apos;' to='&lt;b&gt;' version='1.0'>");
}

TEST(XmlEscape, TheFiveEscapes) {
    EXPECT_EQ(built(64, [](auto out) { return xml_escape(out, "x<y&'z\""); }),
              "x&lt;y&amp;&apos;z&quot;");
    EXPECT_EQ(built(64, [](auto out) { return xml_escape(out, "a>b"); }), "a&gt;b");
    EXPECT_EQ(built(64, [](auto out) { return xml_escape(out, "\xc3\xa9\t\n"); }), "\xc3\xa9\t\n");
    EXPECT_EQ(built(0, [](auto out) { return xml_escape(out, ""); }), "");
}

TEST(XmlEscape, FailsWhenTheOutputIsTooSmall) {
    EXPECT_EQ(built(5, [](auto out) { return xml_escape(out, "&"); }), "&amp;");
    EXPECT_EQ(built(4, [](auto out) { return xml_escape(out, "&"); }), "error.NoSpaceLeft");
    EXPECT_EQ(built(3, [](auto out) { return xml_escape(out, "abc"); }), "abc");
    EXPECT_EQ(built(2, [](auto out) { return xml_escape(out, "abc"); }), "error.NoSpaceLeft");
}

TEST(XmlEscape, RoundTripsThroughTheParser) {
    std::string raw = "\t\n\r\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    for (int c = 0x20; c < 0x80; ++c)
        raw += static_cast<char>(c);
    const std::string esc = built(2048, [&](auto out) { return xml_escape(out, raw); });
    const std::string doc = "<a v='" + esc + "'>" + esc + "</a>";
    XmlParser p;
    size_t pos = 0;
    auto r = p.next_event(doc, pos);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ((*r)->element.attribute("v"), raw);
    auto r2 = p.next_event(doc, pos);
    ASSERT_TRUE(r2 && *r2);
    EXPECT_EQ((*r2)->text, raw);
}

// ---- write queue ------------------------------------------------------------

TEST(WriteQueue, AppendsAllOrNothing) {
    auto q = std::make_unique<WriteQueue>();
    EXPECT_TRUE(q->empty());
    ASSERT_TRUE(q->append("hello "));
    ASSERT_TRUE(q->append("world"));
    EXPECT_EQ(q->pending(), "hello world");
    const std::string big(kWriteQueueSize - 11, 'x');
    ASSERT_TRUE(q->append(big));
    auto full = q->append("y");
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error(), Error::BufferFull);
    EXPECT_EQ(q->pending().size(), kWriteQueueSize);
    EXPECT_TRUE(q->append(""));
}

TEST(WriteQueue, SentBytesMakeRoom) {
    auto q = std::make_unique<WriteQueue>();
    ASSERT_TRUE(q->append(std::string(10000, 'a')));
    q->consume(6000);
    EXPECT_EQ(q->pending().size(), 4000u);
    // 10000 more do not fit after the fill mark but do beside the 4000 unsent.
    ASSERT_TRUE(q->append(std::string(10000, 'b')));
    EXPECT_EQ(q->pending(), std::string(4000, 'a') + std::string(10000, 'b'));
    auto r = q->append(std::string(kWriteQueueSize - 14000 + 1, 'c'));
    EXPECT_FALSE(r);
    EXPECT_EQ(q->pending().size(), 14000u);
    q->consume(14000);
    EXPECT_TRUE(q->empty());
    EXPECT_EQ(q->filled, 0u);
    EXPECT_EQ(q->sent, 0u);
    q->consume(5);  // nothing to consume
    EXPECT_TRUE(q->empty());
}

TEST(WriteQueue, ClosedRefusesEverything) {
    auto q = std::make_unique<WriteQueue>();
    q->closed = true;
    auto r = q->append("x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::ConnectionClosed);
    r = q->append(std::string(kWriteQueueSize + 1, 'x'));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::ConnectionClosed);
    EXPECT_TRUE(q->empty());
}

}  // namespace
}  // namespace fenra::xmpp
