// Stanzas on an established inbound stream: collection, the rebuilt element
// (escaping, namespaces, xml:lang), the size limits, the authenticated
// domains, and what is dropped instead of being forwarded in pieces.
#include "tests/inbound/session_harness.h"

namespace fenra::s2s::testing {
namespace {

using testutil::LogCapture;

class StanzaTest : public SessionTest {
  protected:
    StanzaTest() { with_tls_ = false; }
    void SetUp() override {
        SessionTest::SetUp();
        establish();
    }

    // The one stanza forwarded by SEND, or "" (with the reason logged).
    std::string forward(const std::string& bytes) {
        host_.forwarded.clear();
        send(bytes);
        if (host_.forwarded.size() != 1) return "";
        return host_.forwarded[0].stanza;
    }
};

TEST_F(StanzaTest, MessageIsRebuiltWithItsFieldsAndContent) {
    LogCapture logs;
    EXPECT_EQ(forward("<message to='v@a.example' from='u@b.example/r' type='chat' id='m1' "
                      "extra='dropped'><body>hi &amp; bye</body><x a=\"1\"/></message>"),
              "<message from='u@b.example/r' to='v@a.example' type='chat' id='m1'>"
              "<body>hi &amp; bye</body><x a='1'/></message>");
    EXPECT_EQ(host_.forwarded[0].from, "u@b.example/r");
    EXPECT_EQ(host_.forwarded[0].to, "v@a.example");
    EXPECT_TRUE(logs.contains(
        "info(fenra-s2s): forwarding inbound message from u@b.example/r to v@a.example"));
}

TEST_F(StanzaTest, WithoutStanzaLinesTheStanzaIsForwardedUnlogged) {
    LogCapture logs;
    log::set_traffic_lines(false);
    const std::string got = forward("<message from='u@b.example' to='a.example'/>");
    log::set_traffic_lines(true);
    EXPECT_EQ(got, "<message from='u@b.example' to='a.example'/>");
    EXPECT_FALSE(logs.contains("forwarding inbound"));
}

TEST_F(StanzaTest, SelfClosingAndEmptyStanzas) {
    EXPECT_EQ(forward("<presence from='b.example' to='a.example'/>"),
              "<presence from='b.example' to='a.example'/>");
    EXPECT_EQ(forward("<iq from='b.example' to='a.example' type='get' id='1'></iq>"),
              "<iq from='b.example' to='a.example' type='get' id='1'/>");
}

TEST_F(StanzaTest, ManyStanzasInOneReadAndOneCutAnywhere) {
    std::string all;
    for (int i = 0; i < 50; ++i)
        all += "<message from='b.example' to='a.example' id='" + std::to_string(i) +
               "'><body>n</body></message>";
    send(all);
    ASSERT_EQ(host_.forwarded.size(), 50u);
    EXPECT_EQ(host_.forwarded[49].stanza,
              "<message from='b.example' to='a.example' id='49'><body>n</body></message>");
    host_.forwarded.clear();
    const std::string one =
        "<message from='b.example' to='a.example'><body a='&lt;'>x&gt;</body></message>";
    for (char c : one)
        send(std::string(1, c));
    ASSERT_EQ(host_.forwarded.size(), 1u);
    EXPECT_EQ(host_.forwarded[0].stanza,
              "<message from='b.example' to='a.example'><body a='&lt;'>x&gt;</body></message>");
}

TEST_F(StanzaTest, DecodedFieldsAreEscapedSoNothingCanBeInjected) {
    EXPECT_EQ(
        forward("<message from='b.example/a&apos; evil=&apos;x' to='a.example/&lt;b&gt;&quot;' "
                "type='&amp;t' id='&lt;/message&gt;&lt;message'/>"),
        "<message from='b.example/a&apos; evil=&apos;x' to='a.example/&lt;b&gt;&quot;' "
        "type='&amp;t' id='&lt;/message&gt;&lt;message'/>");
    EXPECT_EQ(host_.forwarded[0].from, "b.example/a' evil='x");
    EXPECT_EQ(host_.forwarded[0].to, "a.example/<b>\"");
}

TEST_F(StanzaTest, EscapingFindsSpecialBytesAtEveryPosition) {
    const char specials[] = {'<', '>', '&', '\'', '"'};
    const char* escaped[] = {"&lt;", "&gt;", "&amp;", "&apos;", "&quot;"};
    const char* written[] = {"&lt;", "&gt;", "&amp;", "&apos;", "&quot;"};
    for (size_t k = 0; k < 5; ++k) {
        for (size_t pos = 0; pos < 40; ++pos) {
            const std::string before(pos, 'a');
            const std::string after(40 - pos, 'b');
            const std::string want = "<message from='b.example' to='a.example'><body x='" + before +
                                     escaped[k] + after + "'>" + before + escaped[k] + after +
                                     "</body></message>";
            ASSERT_EQ(
                forward("<message from='b.example' to='a.example'><body x='" + before + written[k] +
                        after + "'>" + before + written[k] + after + "</body></message>"),
                want)
                << specials[k] << " at " << pos;
        }
    }
}

TEST_F(StanzaTest, NamesThatWouldInjectMarkupDropTheStanza) {
    LogCapture logs;
    // An attribute name may hold anything but "=" on the wire.
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><body x><message from"
                      "='victim.example'>hi</body></message>"),
              "");
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><a\"b/></message>"), "");
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><x a='1' a='2'/></message>"), "");
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><x xmlns:p='1' xmlns:p='2'/>"
                      "</message>"),
              "");
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><:x/></message>"), "");
    EXPECT_TRUE(
        logs.contains("warn(fenra-s2s): inbound stanza malformed, dropping: from=b.example"));
    // The stream goes on.
    EXPECT_EQ(forward("<message from='b.example' to='a.example'/>"),
              "<message from='b.example' to='a.example'/>");
}

TEST_F(StanzaTest, EndTagsAreWrittenFromTheStartTags) {
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><body>x</wrong ></message >"),
              "<message from='b.example' to='a.example'><body>x</body></message>");
}

TEST_F(StanzaTest, XmlLangAndOwnDeclarationsStayOnTheStanzaElement) {
    EXPECT_EQ(forward("<message xml:lang='de&apos;' xmlns='jabber:server' xmlns:e='urn:e' "
                      "from='b.example' to='a.example'><e:x e:y='1'/></message>"),
              "<message from='b.example' to='a.example' xml:lang='de&apos;' "
              "xmlns='jabber:server' xmlns:e='urn:e'><e:x e:y='1'/></message>");
}

TEST_F(StanzaTest, DeclarationsInsideAreReproduced) {
    EXPECT_EQ(forward("<message from='b.example' to='a.example'>"
                      "<body xmlns='urn:b&amp;'>t</body><q:x xmlns:q='urn:q'><q:y/></q:x>"
                      "</message>"),
              "<message from='b.example' to='a.example'>"
              "<body xmlns='urn:b&amp;'>t</body><q:x xmlns:q='urn:q'><q:y/></q:x></message>");
}

TEST_F(StanzaTest, PrefixesBoundOnlyOnTheHeaderAreDeclaredOnTheStanza) {
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><db:x db:a='1'/><db:y/>"
                      "</message>"),
              "<message from='b.example' to='a.example' xmlns:db='jabber:server:dialback'>"
              "<db:x db:a='1'/><db:y/></message>");
    // A prefix declared on the stanza element itself is not declared twice.
    EXPECT_EQ(forward("<message xmlns:db='urn:other' from='b.example' to='a.example'><db:x/>"
                      "</message>"),
              "<message from='b.example' to='a.example' xmlns:db='urn:other'><db:x/></message>");
    // The stanza element's own prefix.
    EXPECT_EQ(forward("<stream:message from='b.example' to='a.example'/>"),
              "<stream:message from='b.example' to='a.example' "
              "xmlns:stream='http://etherx.jabber.org/streams'/>");
}

class HeaderPrefixTest : public StanzaTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        establish("b.example", " xmlns:h='urn:h&apos;' xmlns:h='urn:second' xmlns:g='urn:g'");
    }
};

TEST_F(HeaderPrefixTest, FirstBindingWinsAndUrisAreEscaped) {
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><g:x/><y h:z='1'/></message>"),
              "<message from='b.example' to='a.example' xmlns:h='urn:h&apos;' xmlns:g='urn:g'>"
              "<g:x/><y h:z='1'/></message>");
    // Rebound inside the stanza where it is used: the header's binding is not needed.
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><g:x xmlns:g='urn:inner'>"
                      "<g:y/></g:x></message>"),
              "<message from='b.example' to='a.example'>"
              "<g:x xmlns:g='urn:inner'><g:y/></g:x></message>");
    // A binding inside ends with its element: the sibling after it needs the header's.
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><a xmlns:g='urn:inner'/>"
                      "<b xmlns:g='urn:inner'></b><g:z/></message>"),
              "<message from='b.example' to='a.example' xmlns:g='urn:g'>"
              "<a xmlns:g='urn:inner'/><b xmlns:g='urn:inner'></b><g:z/></message>");
}

TEST_F(StanzaTest, PrefixBoundNowhereMakesTheStanzaMalformed) {
    LogCapture logs;
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><q:x/></message>"), "");
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><x q:a='1'/></message>"), "");
    EXPECT_EQ(forward("<q:message from='b.example' to='a.example'/>"), "");
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><a xmlns:q='u'/><q:x/>"
                      "</message>"),
              "");
    EXPECT_TRUE(
        logs.contains("warn(fenra-s2s): inbound stanza malformed, dropping: from=b.example"));
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><a xmlns:q='u'><b><q:x/></b></a>"
                      "</message>"),
              "<message from='b.example' to='a.example'><a xmlns:q='u'><b><q:x/></b></a>"
              "</message>");
}

TEST_F(StanzaTest, FieldsAtTheirLimitsPassAndLongerOnesDropTheStanza) {
    LogCapture logs;
    const std::string from = "b.example/" + std::string(kStanzaAddressMax - 10, '\'');
    const std::string esc_from = "b.example/" + [] {
        std::string s;
        for (size_t i = 0; i < kStanzaAddressMax - 10; ++i)
            s += "&apos;";
        return s;
    }();
    const std::string to = "a.example/" + std::string(kStanzaAddressMax - 10, 't');
    const std::string type(kStanzaTypeMax, 'y');
    const std::string id(kStanzaIdMax, 'i');
    EXPECT_EQ(
        forward("<message from='" + esc_from + "' to='" + to + "' type='" + type + "' id='" + id +
                "'/>"),
        "<message from='" + esc_from + "' to='" + to + "' type='" + type + "' id='" + id + "'/>");
    EXPECT_EQ(host_.forwarded[0].from, from);

    const struct {
        std::string attrs;
    } over[] = {
        {"from='b.example/" + std::string(kStanzaAddressMax - 9, 'x') + "' to='a.example'"},
        {"from='b.example' to='" + std::string(kStanzaAddressMax + 1, 'x') + "'"},
        {"from='b.example' to='a.example' type='" + std::string(kStanzaTypeMax + 1, 'x') + "'"},
        {"from='b.example' to='a.example' id='" + std::string(kStanzaIdMax + 1, 'x') + "'"},
    };
    for (const auto& o : over)
        EXPECT_EQ(forward("<message " + o.attrs + "><body>b</body></message>"), "") << o.attrs;
    EXPECT_TRUE(
        logs.contains("warn(fenra-s2s): inbound stanza too large, dropping: from=b.example"));
    // A name over 32 bytes.
    EXPECT_EQ(forward("<" + std::string(30, 'p') + ":message from='b.example' to='a.example'/>"),
              "");
}

TEST_F(StanzaTest, AStanzaOverTheLimitEndsTheStream) {
    // Rebuilt at exactly the limit it goes through; one byte more, as
    // received or once escaped, ends the stream.
    const std::string head = "<message from='b.example' to='a.example'><body>";
    const std::string tail = "</body></message>";
    const std::string fits(kRebuildSize - head.size() - tail.size(), 'x');
    EXPECT_EQ(forward(head + fits + tail), head + fits + tail);
    for (const std::string& over : {fits + "x", fits.substr(3) + "&lt;"}) {
        TearDown();
        SetUp();
        EXPECT_EQ(forward(head + over + tail), "");
        EXPECT_EQ(received(), stream_error("policy-violation", "stanza too large"));
        EXPECT_TRUE(s_->input_closed);
    }
    // A stanza far over the limit is refused before its end arrives.
    TearDown();
    SetUp();
    EXPECT_EQ(forward(head + std::string(2 * kRebuildSize, 'y')), "");
    EXPECT_EQ(received(), stream_error("policy-violation", "stanza too large"));
}

TEST_F(StanzaTest, AStanzaNoCoreTakesWaitsAndNothingMoreIsRead) {
    host_.core_has_room = false;
    send(
        "<message from='b.example' to='a.example' id='1'/>"
        "<message from='b.example' to='a.example' id='2'/>");
    EXPECT_TRUE(s_->stanza_waiting);
    EXPECT_EQ(inbound_resume(host_, *s_), InboundOutcome::keep);  // still no room
    send("<message from='b.example' to='a.example' id='3'/>");    // left unread
    host_.core_has_room = true;
    EXPECT_EQ(inbound_resume(host_, *s_), InboundOutcome::keep);
    ASSERT_EQ(host_.forwarded.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(host_.forwarded[i].stanza,
                  "<message from='b.example' to='a.example' id='" + std::to_string(i + 1) + "'/>");
}

TEST_F(StanzaTest, DeepNestingIsTooLarge) {
    std::string deep = "<message from='b.example' to='a.example'>";
    for (size_t i = 0; i < kStanzaNesting + 1; ++i)
        deep += "<a>";
    for (size_t i = 0; i < kStanzaNesting + 1; ++i)
        deep += "</a>";
    EXPECT_EQ(forward(deep + "</message>"), "");
}

TEST_F(StanzaTest, PayloadElementsNamedStreamAreOrdinaryContent) {
    send(
        "<message from='b.example' to='a.example'><x xmlns='urn:example:y'>"
        "<stream xmlns='urn:example:z'/><stream:stream>t</stream:stream></x></message>"
        "<message from='b.example' to='a.example' id='2'/>");
    ASSERT_EQ(host_.forwarded.size(), 2u);
    EXPECT_EQ(host_.forwarded[0].stanza,
              "<message from='b.example' to='a.example' "
              "xmlns:stream='http://etherx.jabber.org/streams'><x xmlns='urn:example:y'>"
              "<stream xmlns='urn:example:z'/><stream:stream>t</stream:stream></x></message>");
    EXPECT_EQ(s_->state, InboundState::established);
    EXPECT_EQ(received(), "");
}

TEST_F(StanzaTest, StanzaForAnotherDomainIsDropped) {
    LogCapture logs;
    EXPECT_EQ(forward("<message from='b.example' to='u@c.example/&lt;'/>"), "");
    EXPECT_TRUE(logs.contains(
        "warn(fenra-s2s): inbound stanza for a domain not ours, dropping: to=u@c.example/<"))
        << logs.text();
    EXPECT_NE(forward("<message from='b.example' to='u@A.Example'/>"), "");
}

TEST_F(StanzaTest, MissingFromOrToIsDropped) {
    LogCapture logs;
    EXPECT_EQ(forward("<message to='a.example'><body>x</body></message>"), "");
    EXPECT_EQ(forward("<message from='b.example' to=''/>"), "");
    EXPECT_TRUE(logs.contains("warn(fenra-s2s): inbound stanza missing from/to, dropping"));
}

TEST_F(StanzaTest, OnlyAuthenticatedDomainsMaySend) {
    LogCapture logs;
    EXPECT_EQ(forward("<message from='victim.example' to='a.example'/>"), "");
    EXPECT_TRUE(
        logs.contains("warn(fenra-s2s): inbound stanza from unauthenticated domain, "
                      "dropping: from=victim.example"));
    // The resource is cut first: this address belongs to victim.example.
    EXPECT_EQ(forward("<message from='victim.example/x@b.example' to='a.example'/>"), "");
    EXPECT_EQ(forward("<message from='u@victim.example/r@b.example' to='a.example'/>"), "");
    EXPECT_EQ(forward("<message from='u@b.example/r@victim.example' to='a.example'/>"),
              "<message from='u@b.example/r@victim.example' to='a.example'/>");
    EXPECT_EQ(forward("<message from='sub.b.example' to='a.example'/>"), "");
    EXPECT_EQ(forward("<message from='B.example' to='a.example'/>"), "");
}

TEST_F(StanzaTest, OnlyChildrenOfTheStreamAreStanzas) {
    EXPECT_EQ(forward("<wrapper><message from='b.example' to='a.example'/></wrapper>"), "");
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><message from='b.example' "
                      "to='x'/></message>"),
              "<message from='b.example' to='a.example'><message from='b.example' to='x'/>"
              "</message>");
}

TEST_F(StanzaTest, OnlyTheStreamsOwnEndTagClosesIt) {
    // Inside a stanza the stream's end tag ends only the element open there.
    EXPECT_EQ(forward("<message from='b.example' to='a.example'><body></stream:stream>"), "");
    EXPECT_EQ(s_->state, InboundState::established);
    EXPECT_EQ(forward("</message>"),
              "<message from='b.example' to='a.example'><body></body></message>");
    send("</stream:stream>");
    EXPECT_EQ(s_->state, InboundState::peer_closed);
    EXPECT_EQ(received(), "</stream:stream>");
}

class UnestablishedTest : public SessionTest {
  protected:
    UnestablishedTest() { with_tls_ = false; }
};

TEST_F(UnestablishedTest, StanzasBeforeEstablishmentAreIgnoredWithTheirContent) {
    ASSERT_TRUE(s_->add_authenticated("b.example"));
    send(peer_header());
    received();
    send(
        "<message from='b.example' to='a.example'><starttls "
        "xmlns='urn:ietf:params:xml:ns:xmpp-tls'/><body>x</body></message>");
    EXPECT_TRUE(host_.forwarded.empty());
    EXPECT_EQ(received(), "");
    EXPECT_EQ(s_->state, InboundState::starttls_offered);
}

}  // namespace
}  // namespace fenra::s2s::testing
