// The inbound session's negotiation: headers and features, STARTTLS and the
// TLS handshake, SASL EXTERNAL, dialback in its authoritative and receiving
// roles, stream errors and the stream close.
#include "s2s/xmpp/dialback_key.h"
#include "tests/inbound/session_harness.h"

namespace fenra::s2s::testing {
namespace {

using testutil::LogCapture;

std::string verify_request(const std::string& from, const std::string& to, const std::string& id,
                           const std::string& key) {
    return "<db:verify from='" + from + "' to='" + to + "' id='" + id + "'>" + key + "</db:verify>";
}

std::string verify_answer(const std::string& to, const std::string& id, const char* type) {
    return "<db:verify xmlns:db='jabber:server:dialback' from='a.example' to='" + to + "' id='" +
           id + "' type='" + type + "'/>";
}

TEST_F(SessionTest, StreamIdIsSlotAndRandomHex) {
    const std::string first(s_->stream_id());
    ASSERT_EQ(first.size(), kStreamIdSize);
    EXPECT_EQ(first.substr(0, 6), "s2s-7-");
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef", 6), std::string::npos);
    s_->set_stream_id();
    EXPECT_NE(s_->stream_id(), first);
}

TEST_F(SessionTest, FirstHeaderGetsHeaderAndStarttlsFeatures) {
    attach();
    ASSERT_EQ(send(peer_header()), InboundOutcome::keep);
    EXPECT_EQ(s_->state, InboundState::starttls_offered);
    turn_loop();  // the session asked for write readiness: the loop flushes
    EXPECT_TRUE(s_->stream.wq.empty());
    EXPECT_EQ(received(), our_header(*s_) + kStarttlsFeatures);
    // A stream element inside the stream is no header: it is ignored.
    send("<stream:stream xmlns:stream='http://etherx.jabber.org/streams'/>");
    EXPECT_EQ(received(), "");
    EXPECT_EQ(s_->state, InboundState::starttls_offered);
}

TEST_F(SessionTest, HeaderWithoutFromOrWithMarkupInIt) {
    send(
        "<stream:stream xmlns='jabber:server' "
        "xmlns:stream='http://etherx.jabber.org/streams' to='a.example'>");
    EXPECT_EQ(received(), our_header(*s_, "") + kStarttlsFeatures);
}

TEST_F(SessionTest, PeersOwnFromComesBackEscaped) {
    send(peer_header("b&apos;x&lt;"));
    EXPECT_EQ(received(), our_header(*s_, "b&apos;x&lt;") + kStarttlsFeatures);
    EXPECT_EQ(s_->remote_domain.view(), "b'x<");
}

TEST_F(SessionTest, HeaderCutInPiecesAnywhere) {
    const std::string h = peer_header();
    for (char c : h)
        ASSERT_EQ(send(std::string(1, c)), InboundOutcome::keep);
    EXPECT_EQ(received(), our_header(*s_) + kStarttlsFeatures);
}

TEST_F(SessionTest, ParseErrorSendsNotWellFormedAndIgnoresTheRest) {
    LogCapture logs;
    send(peer_header());
    received();
    EXPECT_EQ(send("<foo>&bogus;</foo><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"),
              InboundOutcome::keep);
    EXPECT_EQ(received(), stream_error("not-well-formed"));
    EXPECT_TRUE(
        logs.contains("warn(fenra-s2s): inbound S2S id=7 XML parse error: "
                      "InvalidEntityReference"))
        << logs.text();
    // Our direction has ended; the session reads and drops what still comes
    // until the peer closes.
    char byte;
    EXPECT_EQ(::read(peer_.fd, &byte, 1), 0);
    EXPECT_EQ(send("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"), InboundOutcome::keep);
    EXPECT_EQ(s_->stream.rbuf.filled, 0u);
    EXPECT_EQ(s_->state, InboundState::starttls_offered);
    shutdown(peer_.fd, SHUT_WR);
    EXPECT_EQ(inbound_readable(host_, *s_), InboundOutcome::close);
}

TEST_F(SessionTest, HeaderForAnotherDomainIsHostUnknown) {
    send(
        "<stream:stream xmlns:stream='http://etherx.jabber.org/streams' from='b.example' "
        "to='c.example'>");
    EXPECT_EQ(received(), our_header(*s_) + stream_error("host-unknown"));
    EXPECT_EQ(s_->state, InboundState::connected);
}

TEST_F(SessionTest, StreamInAnotherNamespaceIsInvalidNamespace) {
    send("<stream:stream xmlns:stream='urn:other' from='b.example' to='a.example'>");
    EXPECT_EQ(received(), stream_error("invalid-namespace"));
}

TEST_F(SessionTest, StarttlsOutsideState1IsAStreamError) {
    send(peer_header());
    received();
    send("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
    received();
    handshake();
    send(peer_header());
    received();
    send("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
    EXPECT_EQ(received(), stream_error("not-well-formed"));
}

TEST_F(SessionTest, BytesAfterStarttlsInTheSameReadAreDiscarded) {
    LogCapture logs;
    send(peer_header());
    send(
        "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/><stream:stream xmlns:stream="
        "'http://etherx.jabber.org/streams' from='evil'>");
    EXPECT_EQ(received(), our_header(*s_) + kStarttlsFeatures + kProceed);
    EXPECT_TRUE(logs.contains("info(fenra-s2s): inbound S2S id=7 starting TLS handshake"));
    EXPECT_EQ(s_->state, InboundState::tls_handshake);
    EXPECT_TRUE(s_->stream.conn.handshaking());
    EXPECT_EQ(s_->stream.rbuf.filled, 0u);
    handshake();
    EXPECT_TRUE(logs.contains("info(fenra-s2s): inbound S2S id=7 TLS handshake complete"));
    EXPECT_EQ(s_->state, InboundState::awaiting_restart);
    EXPECT_EQ(s_->remote_domain.view(), "b.example");
}

TEST_F(SessionTest, RestartOffersDialbackWithoutDaneAndRunsTheCheckForTheHeadersFrom) {
    negotiate_tls("b.example");
    EXPECT_EQ(host_.dane_checks, std::vector<std::string>{"b.example"});
    EXPECT_EQ(received(), our_header(*s_) + kDialbackFeatures);
    EXPECT_FALSE(s_->dane_verified);
}

TEST_F(SessionTest, HandshakeWithSelfSignedClientCertificate) {
    const auto self = test::make_cert(test::CertSpec::leaf("b.example", {"b.example"}), nullptr);
    negotiate_tls("b.example", &self);
    EXPECT_NE(SSL_get0_peer_certificate(s_->stream.conn.ssl), nullptr);
    EXPECT_EQ(received(), our_header(*s_) + kDialbackFeatures);
}

TEST_F(SessionTest, TlsHandshakeFailureClosesTheSession) {
    LogCapture logs;
    send(peer_header());
    send("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
    received();
    // Not a TLS record at all.
    EXPECT_EQ(send("GET / HTTP/1.0\r\n\r\n"), InboundOutcome::close);
    EXPECT_TRUE(logs.contains("error(fenra-s2s): inbound S2S id=7 TLS handshake failed"));
}

TEST_F(SessionTest, ExternalWithDaneSucceedsAndTheRestartEstablishes) {
    LogCapture logs;
    host_.dane_result = true;
    negotiate_tls("b.example");
    EXPECT_EQ(received(), our_header(*s_) + kExternalFeatures);
    EXPECT_TRUE(s_->dane_verified);
    // The restarted stream follows the auth element in the same read.
    send("<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'>=</auth>" +
         peer_header("b.example"));
    EXPECT_EQ(received(), "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>" + our_header(*s_) +
                              kEstablishedFeatures);
    EXPECT_EQ(s_->state, InboundState::established);
    EXPECT_TRUE(s_->authenticated("b.example"));
    EXPECT_TRUE(logs.contains("info(fenra-s2s): inbound S2S authenticated: remote=b.example"));
    EXPECT_TRUE(logs.contains("info(fenra-s2s): inbound S2S stream established: remote=b.example"));

    send("<message from='u@b.example/r' to='v@a.example' type='chat'><body>hi</body></message>");
    ASSERT_EQ(host_.forwarded.size(), 1u);
    EXPECT_EQ(host_.forwarded[0].stanza,
              "<message from='u@b.example/r' to='v@a.example' type='chat'><body>hi</body>"
              "</message>");
}

TEST_F(SessionTest, RestartAfterExternalKeepsTheVerifiedDomainNotANewFrom) {
    host_.dane_result = true;
    negotiate_tls("b.example");
    send("<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'/>");
    send(peer_header("c.example"));
    EXPECT_EQ(s_->state, InboundState::established);
    EXPECT_TRUE(s_->authenticated("b.example"));
    EXPECT_FALSE(s_->authenticated("c.example"));
    send("<message from='c.example' to='a.example'/>");
    EXPECT_TRUE(host_.forwarded.empty());
}

TEST_F(SessionTest, ExternalWithoutDaneFailsAndDialbackStaysPossible) {
    negotiate_tls();
    received();
    send("<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'/>");
    EXPECT_EQ(received(),
              "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>");
    EXPECT_EQ(s_->state, InboundState::auth_offered);
    send("<db:result from='b.example' to='a.example'>k</db:result>");
    EXPECT_EQ(host_.callbacks.size(), 1u);
}

TEST_F(SessionTest, OtherMechanismIsNotAuthorized) {
    negotiate_tls();
    received();
    send("<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='PLAIN'>AGEAYg==</auth>");
    EXPECT_EQ(received(), stream_error("not-authorized"));
    EXPECT_EQ(s_->state, InboundState::auth_offered);
}

TEST_F(SessionTest, ExternalBeforeTheRestartIsNotWellFormed) {
    send(peer_header());
    received();
    send("<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'/>");
    EXPECT_EQ(received(), stream_error("not-well-formed"));
}

TEST_F(SessionTest, NestedNegotiationElementsAreIgnored) {
    send(peer_header());
    received();
    send("<x><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/></x>");
    EXPECT_EQ(received(), "");
    EXPECT_EQ(s_->state, InboundState::starttls_offered);
}

TEST_F(SessionTest, StreamCloseIsAnsweredAndEndsReading) {
    send(peer_header());
    received();
    send("</stream:stream><db:verify from='b' to='a.example' id='i'>k</db:verify>");
    EXPECT_EQ(received(), "</stream:stream>");
    EXPECT_EQ(s_->state, InboundState::peer_closed);
}

// ---- dialback, authoritative role --------------------------------------------

TEST_F(SessionTest, VerifyIsAnsweredInAnyStateWithTheExactText) {
    LogCapture logs;
    auto key = xmpp::dialback_key(secret_, "b.example", "a.example", "s2s-1-42");
    ASSERT_TRUE(key);
    const std::string good(xmpp::key_text(*key));
    send(peer_header());
    received();
    send(verify_request("b.example", "a.example", "s2s-1-42", good));
    EXPECT_EQ(received(), verify_answer("b.example", "s2s-1-42", "valid"));
    // A request for a domain not ours is an error, not a verdict.
    send(verify_request("b.example", "c.example", "s2s-1-42", good));
    EXPECT_EQ(received(),
              "<db:verify xmlns:db='jabber:server:dialback' from='a.example' to='b.example' "
              "id='s2s-1-42' type='error'><error type='cancel'><item-not-found "
              "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></db:verify>");
    EXPECT_TRUE(
        logs.contains("info(fenra-s2s): dialback verify: valid key from b.example for stream "
                      "s2s-1-42"));

    std::string upper = good;
    for (char& c : upper)
        c = static_cast<char>(toupper(c));
    const struct {
        std::string from, to, id, key;
    } bad[] = {
        {"b.example", "a.example", "s2s-1-42", upper},
        {"b.example", "a.example", "s2s-1-42", good.substr(0, 63)},
        {"b.example", "a.example", "s2s-1-42", good + "0"},
        {"c.example", "a.example", "s2s-1-42", good},
        {"b.example", "a.example", "s2s-1-42", "k&#233;"},
        {"b.example", "a.example", "s2s-1-43", good},
    };
    for (const auto& b : bad) {
        send(verify_request(b.from, b.to, b.id, b.key));
        EXPECT_EQ(received(), verify_answer(b.from, b.id, "invalid")) << b.key;
    }
    EXPECT_TRUE(
        logs.contains("warn(fenra-s2s): dialback verify: invalid key from c.example for stream "
                      "s2s-1-42"));
}

TEST_F(SessionTest, VerifyWithoutKeyGetsNoAnswerAndTextLaterIsNotAKey) {
    send(peer_header());
    received();
    send(verify_request("b.example", "a.example", "i", ""));
    send("<db:verify from='b.example' to='a.example' id='i'/>\n\n");
    EXPECT_EQ(received(), "");
}

TEST_F(SessionTest, VerifyAnswerEscapesWhatItEchoes) {
    send(peer_header());
    received();
    send(verify_request("b&apos;&lt;x", "a.example", "i&amp;d", "k"));
    EXPECT_EQ(received(), verify_answer("b&apos;&lt;x", "i&amp;d", "invalid"));
}

// ---- dialback, receiving role ---------------------------------------------------

TEST_F(SessionTest, ResultBeforeTlsIsAPolicyViolationWithoutCallback) {
    LogCapture logs;
    send(peer_header());
    received();
    send("<db:result from='b.example' to='a.example'>key</db:result>");
    EXPECT_EQ(received(), stream_error("policy-violation"));
    EXPECT_TRUE(host_.callbacks.empty());
    EXPECT_TRUE(logs.contains("info(fenra-s2s): inbound dialback key submission from b.example"));
}

TEST_F(SessionTest, ResultOverTlsStartsTheCallbackOnlyForAnAcceptableKey) {
    LogCapture logs;
    negotiate_tls();
    received();
    const std::string key(128, 'k');
    send("<db:result from='b.example' to='a.example'>" + key + "</db:result>");
    send(
        "<db:result from='b.example' "
        "to='a.example'>&lt;/db:verify&gt;&lt;message/&gt;</db:result>");
    ASSERT_EQ(host_.callbacks.size(), 2u);
    EXPECT_EQ(host_.callbacks[0].slot, 7);
    EXPECT_EQ(host_.callbacks[0].stream_id, s_->stream_id());
    EXPECT_EQ(host_.callbacks[0].origin, "b.example");
    EXPECT_EQ(host_.callbacks[0].key, key);
    EXPECT_EQ(host_.callbacks[1].key, "</db:verify><message/>");
    EXPECT_TRUE(
        logs.contains("info(fenra-s2s): initiating dialback callback to b.example for "
                      "stream " +
                      std::string(s_->stream_id())));
    EXPECT_EQ(received(), "");
    // Too long, not printable ASCII, or for a domain not ours: no callback.
    const std::string invalid =
        "<db:result xmlns:db='jabber:server:dialback' from='a.example' to='b.example' "
        "type='invalid'/>";
    send("<db:result from='b.example' to='a.example'>" + key + "k</db:result>");
    send("<db:result from='b.example' to='a.example'>k\n</db:result>");
    send("<db:result from='b.example' to='a.example'>\xc3\xa9</db:result>");
    EXPECT_EQ(received(), invalid + invalid + invalid);
    send("<db:result from='b.example' to='c.example'>k</db:result>");
    EXPECT_EQ(received(),
              "<db:result xmlns:db='jabber:server:dialback' from='a.example' to='b.example' "
              "type='error'><error type='cancel'><item-not-found "
              "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></db:result>");
    EXPECT_EQ(host_.callbacks.size(), 2u);
}

TEST_F(SessionTest, EightCallbacksOutstandingAtMost) {
    LogCapture logs;
    negotiate_tls();
    received();
    for (int i = 0; i < 10; ++i)
        send("<db:result from='d" + std::to_string(i) + ".example' to='a.example'>k</db:result>");
    EXPECT_EQ(host_.callbacks.size(), 8u);
    EXPECT_EQ(received(),
              "<db:result xmlns:db='jabber:server:dialback' from='a.example' to='d8.example' "
              "type='invalid'/><db:result xmlns:db='jabber:server:dialback' from='a.example' "
              "to='d9.example' type='invalid'/>");
    size_t warnings = 0;
    for (const auto& l : logs.lines())
        warnings += l.find("too many outstanding") != std::string::npos;
    EXPECT_EQ(warnings, 1u);
    // A verdict frees a place.
    apply_verdict(*s_, "d0.example", false);
    send("<db:result from='e.example' to='a.example'>k</db:result>");
    EXPECT_EQ(host_.callbacks.size(), 9u);
}

TEST_F(SessionTest, ResultWithTypeIsIgnoredAndMissingKeyIsWarned) {
    LogCapture logs;
    negotiate_tls();
    received();
    send("<db:result from='b.example' to='a.example' type='valid'/>");
    send("<db:result from='b.example' to='a.example'/>");
    send("<db:result to='a.example'>key</db:result>");
    EXPECT_TRUE(host_.callbacks.empty());
    size_t warnings = 0;
    for (const auto& l : logs.lines())
        warnings += l == "warn(fenra-s2s): dialback callback: missing origin or key";
    EXPECT_EQ(warnings, 2u);
}

TEST_F(SessionTest, ValidVerdictsAuthenticateEachOriginOnOneStream) {
    LogCapture logs;
    negotiate_tls();
    received();
    send(
        "<db:result from='b.example' to='a.example'>k1</db:result>"
        "<db:result from='c.example' to='a.example'>k2</db:result>");
    ASSERT_EQ(host_.callbacks.size(), 2u);
    apply_verdict(*s_, "b.example", true);
    EXPECT_EQ(s_->state, InboundState::established);
    apply_verdict(*s_, "c.example", true);
    apply_verdict(*s_, "d.example", false);
    EXPECT_EQ(received(),
              "<db:result xmlns:db='jabber:server:dialback' from='a.example' to='b.example' "
              "type='valid'/>"
              "<db:result xmlns:db='jabber:server:dialback' from='a.example' to='c.example' "
              "type='valid'/>"
              "<db:result xmlns:db='jabber:server:dialback' from='a.example' to='d.example' "
              "type='invalid'/>");
    EXPECT_TRUE(
        logs.contains("info(fenra-s2s): dialback callback: b.example verified, inbound "
                      "session 7 authenticated"));
    EXPECT_TRUE(
        logs.contains("warn(fenra-s2s): dialback callback: d.example invalid, inbound "
                      "session 7 rejected"));
    send(
        "<message from='b.example' to='a.example'/><message from='c.example' to='a.example'/>"
        "<message from='d.example' to='a.example'/>");
    ASSERT_EQ(host_.forwarded.size(), 2u);
    EXPECT_EQ(host_.forwarded[1].from, "c.example");
}

TEST_F(SessionTest, InvalidVerdictLeavesTheStreamUnestablished) {
    negotiate_tls();
    apply_verdict(*s_, "b.example", false);
    EXPECT_EQ(s_->state, InboundState::auth_offered);
    send("<message from='b.example' to='a.example'/>");
    EXPECT_TRUE(host_.forwarded.empty());
}

TEST_F(SessionTest, VerdictWithoutTlsOrAfterOurStreamEndedEstablishesNothing) {
    send(peer_header());
    received();
    apply_verdict(*s_, "b.example", true);
    EXPECT_EQ(s_->state, InboundState::starttls_offered);
    EXPECT_FALSE(s_->authenticated("b.example"));
    EXPECT_NE(received().find("type='invalid'"), std::string::npos);
    send("</stream:stream>");
    received();
    apply_verdict(*s_, "b.example", true);
    EXPECT_EQ(received(), "");
}

TEST_F(SessionTest, SixteenDomainsAtMost) {
    negotiate_tls();
    for (int i = 0; i < 16; ++i)
        apply_verdict(*s_, "d" + std::to_string(i) + ".example", true);
    apply_verdict(*s_, "late.example", true);
    EXPECT_FALSE(s_->authenticated("late.example"));
    EXPECT_TRUE(s_->authenticated("d15.example"));
    EXPECT_NE(received().find("to='late.example' type='invalid'"), std::string::npos);
}

// ---- without a server TLS context ------------------------------------------------

// ---- deadlines, decided when the stream reports its time-out --------------------

class DueSessionTest : public SessionTest {
  protected:
    DueSessionTest() { due_now_ = true; }
};

TEST_F(SessionTest, TimeOutBeforeAnyDeadlineWritesNothing) {
    send(peer_header());
    received();
    EXPECT_EQ(inbound_timed_out(host_, *s_), InboundOutcome::keep);
    EXPECT_EQ(received(), "");
}

TEST_F(DueSessionTest, NegotiationTimeOutEndsTheStreamThenTheConnection) {
    send(peer_header());
    received();
    EXPECT_EQ(inbound_timed_out(host_, *s_), InboundOutcome::keep);
    EXPECT_EQ(received(), stream_error("connection-timeout"));
    EXPECT_EQ(inbound_timed_out(host_, *s_), InboundOutcome::close);  // no close from the peer
}

TEST_F(DueSessionTest, IdleAuthenticatedStreamEndsWithOurClose) {
    establish();
    EXPECT_EQ(inbound_timed_out(host_, *s_), InboundOutcome::keep);
    EXPECT_EQ(received(), "</stream:stream>");
}

class NoTlsSessionTest : public SessionTest {
  protected:
    NoTlsSessionTest() { with_tls_ = false; }
};

TEST_F(NoTlsSessionTest, StarttlsGetsProceedAndAWarningOnly) {
    LogCapture logs;
    send(peer_header());
    send("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
    EXPECT_EQ(received(), our_header(*s_) + kStarttlsFeatures + kProceed);
    EXPECT_TRUE(logs.contains(
        "warn(fenra-s2s): inbound S2S id=7 STARTTLS requested but no TLS configured"));
    EXPECT_EQ(s_->state, InboundState::tls_handshake);
    EXPECT_EQ(send("\x16\x03\x01 whatever"), InboundOutcome::keep);
    EXPECT_EQ(received(), "");
}

}  // namespace
}  // namespace fenra::s2s::testing
