// However the bytes of a stream are cut, the parser yields the same events.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "s2s/xmpp/xml_parser.h"
#include "tests/xmpp/xml_events.h"

namespace fenra::xmpp {
namespace {

using testing::feed_cut;
using testing::FeedRun;

class StreamGen {
  public:
    explicit StreamGen(uint32_t seed) : rng_(seed) {}

    std::string stream() {
        std::string s;
        if (chance(70)) s += "<?xml version='1.0'?>";
        s += "<stream:stream xmlns='jabber:server' xmlns:stream='http://etherx.jabber.org/streams' "
             "xmlns:db='jabber:server:dialback' to='a.example' from='b.example' version='1.0'>";
        const int stanzas = pick(1, 30);
        for (int i = 0; i < stanzas; ++i) {
            if (chance(30)) s += pick_of({"\n", " ", "\r\n  ", "<!-- keepalive -->", "<?pi x?>"});
            element(s, 1);
        }
        if (chance(50)) s += "</stream:stream>";
        if (chance(10))
            s += pick_of({"<!DOCTYPE x>", "<a>&bogus;</a>", "<a>&#x100;</a>",
                          "<a v='&abcdefghijk;'/>", "<![CDATA[x]]>", "<a>\xe2\x82</a>",
                          "<a v='\x01'/>", "<a>&#0;</a>", "\xed\xa0\x80", "<a>&#x20AC;</a>"});
        return s;
    }

  private:
    bool chance(int percent) { return pick(0, 99) < percent; }
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    const char* pick_of(std::initializer_list<const char*> list) {
        return *(list.begin() + pick(0, static_cast<int>(list.size()) - 1));
    }

    void text(std::string& s, int words) {
        for (int i = 0; i < words; ++i) {
            s += pick_of({"hello", " ", "world", "&amp;", "&lt;", "&gt;", "&apos;", "&quot;",
                          "&#65;", "&#x41;", "\xc3\xa9t\xc3\xa9", "\xe2\x98\x83",
                          "\xf0\x9f\x98\x80", "&#x4_1;", "\n", "\t", "tab>", "'q'", "\"dq\""});
        }
    }

    void attribute_value(std::string& s, char quote) {
        const int parts = pick(0, 6);
        for (int i = 0; i < parts; ++i) {
            const char* part = pick_of({"user", "@", "b.example", "/res", "&amp;", "&#233;", "<",
                                        ">", "\xc3\xbc", " ", "&quot;", "&apos;"});
            s += part;
        }
        s += quote == '\'' ? "\"" : "'";  // the other quote is ordinary
    }

    void element(std::string& s, int depth) {
        static const char* names[] = {"message", "presence",  "iq",    "body",  "thread",
                                      "x",       "query",     "item",  "c",     "active",
                                      "p:item",  "db:result", "q:bad", "photo", "field"};
        const std::string name = names[pick(0, 14)];
        s += "<" + name;
        const int attrs = pick(0, 4);
        for (int i = 0; i < attrs; ++i) {
            const char quote = chance(50) ? '\'' : '"';
            s += pick_of({" ", "\n  ", "\t"});
            s += pick_of({"from", "to", "id", "type", "xml:lang", "node", "ver", "hash"});
            s += chance(10) ? " = " : "=";
            s += quote;
            attribute_value(s, quote);
            s += quote;
        }
        if (chance(30)) s += std::string(" xmlns='urn:x:") + pick_of({"a", "b", "c"}) + "'";
        if (chance(15)) s += std::string(" xmlns:p='urn:p:") + pick_of({"1", "2"}) + "'";
        if (chance(25) || depth > 4) {
            s += chance(20) ? " />" : "/>";
            return;
        }
        s += ">";
        const int children = pick(0, 3);
        for (int i = 0; i < children; ++i) {
            if (chance(50)) text(s, pick(1, 8));
            if (chance(5)) s += "<!-- note -- > -->";
            element(s, depth + 1);
        }
        if (chance(40)) text(s, pick(1, 5));
        if (depth == 2 && chance(1)) s += std::string(static_cast<size_t>(pick(16000, 40000)), 'L');
        s += "</" + name + (chance(10) ? " >" : ">");
    }

    std::mt19937 rng_;
};

// Streams as remote servers send them.
const char* const kRealStreams[] = {
    "<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
    "xmlns:stream='http://etherx.jabber.org/streams' xmlns:db='jabber:server:dialback' "
    "version='1.0' from='remote.example' to='local.example'>"
    "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>",

    "<stream:stream xmlns='jabber:server' xmlns:stream='http://etherx.jabber.org/streams' "
    "xmlns:db='jabber:server:dialback' version='1.0' from='remote.example' to='local.example' "
    "id='0f9e3c6a-1d2b'><stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
    "<mechanism>EXTERNAL</mechanism></mechanisms><dialback xmlns='urn:xmpp:features:dialback'>"
    "<errors/></dialback></stream:features>"
    "<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' "
    "mechanism='EXTERNAL'>cmVtb3RlLmV4YW1wbGU=</auth>",

    "<stream:stream xmlns:stream='http://etherx.jabber.org/streams' xmlns='jabber:server' "
    "xmlns:db='jabber:server:dialback'>"
    "<db:result from='remote.example' to='local.example'>"
    "b4835385f37fe2895af6c196b59097b16862406db80559900d96bf6fa7d23df3</db:result>"
    "<db:verify from='remote.example' to='local.example' id='417GAF25'>"
    "b4835385f37fe2895af6c196b59097b16862406db80559900d96bf6fa7d23df3</db:verify>"
    "<db:result from='local.example' to='remote.example' type='valid'/>",

    "<stream:stream xmlns='jabber:server' xmlns:stream='http://etherx.jabber.org/streams'>\n"
    "<message from='juliet@remote.example/balcony' to='romeo@local.example' type='chat' "
    "id='ktx72v49' xml:lang='en'><body>Art thou not Romeo, and a Montague? &lt;3 &amp; "
    "\xe2\x9d\xa4</body><active xmlns='http://jabber.org/protocol/chatstates'/>"
    "<request xmlns='urn:xmpp:receipts'/><origin-id xmlns='urn:xmpp:sid:0' id='de305d54'/>"
    "</message>\n"
    "<message from='romeo@local.example' to='juliet@remote.example/balcony' id='bi29sg183b4v'>"
    "<received xmlns='urn:xmpp:receipts' id='ktx72v49'/></message>\n"
    "<presence from='juliet@remote.example/balcony' to='romeo@local.example'><show>away</show>"
    "<status>\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82</status><priority>5</priority>"
    "<c xmlns='http://jabber.org/protocol/caps' hash='sha-1' node='https://example.org' "
    "ver='QgayPKawpkPSDYmwT/WM94uAlu0='/><x xmlns='vcard-temp:x:update'><photo>"
    "01b87fcd030b72895ff8e88db57ec525450f000d</photo></x></presence>\n"
    "<iq type='get' from='remote.example' to='local.example' id='info1'>"
    "<query xmlns='http://jabber.org/protocol/disco#info'/></iq>"
    "<iq type='result' to='remote.example' from='local.example' id='info1'>"
    "<query xmlns='http://jabber.org/protocol/disco#info'><identity category='server' "
    "type='im' name='Local &amp; Co'/><feature var='urn:xmpp:ping'/></query></iq>"
    "<message><x:y xmlns:x='jabber:x:oob'><x:url>http://e.example/?a=1&amp;b=2</x:url></x:y>"
    "</message></stream:stream>",
};

void expect_cut_invariant(const std::string& in, std::mt19937& rng) {
    const FeedRun whole = feed_cut(in, {});
    EXPECT_EQ(whole.stale, 0u) << whole.first_stale << "\n" << in;
    std::vector<size_t> every;
    for (size_t i = 1; i < in.size(); ++i)
        every.push_back(i);
    const FeedRun bytes = feed_cut(in, every);
    ASSERT_EQ(whole.events, bytes.events) << in.substr(0, 300);
    EXPECT_EQ(bytes.stale, 0u);
    for (int round = 0; round < 4; ++round) {
        std::vector<size_t> cuts;
        const size_t n = std::uniform_int_distribution<size_t>(1, 40)(rng);
        for (size_t i = 0; i < n && in.size() > 1; ++i)
            cuts.push_back(std::uniform_int_distribution<size_t>(1, in.size() - 1)(rng));
        std::sort(cuts.begin(), cuts.end());
        const FeedRun cut = feed_cut(in, cuts);
        ASSERT_EQ(whole.events, cut.events) << in.substr(0, 300);
        EXPECT_EQ(cut.stale, 0u);
    }
}

TEST(XmlCutInvariance, GeneratedStreams) {
    std::mt19937 rng(20240601);
    size_t events = 0, errors = 0, bytes = 0;
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        StreamGen gen(seed);
        const std::string in = gen.stream();
        expect_cut_invariant(in, rng);
        if (::testing::Test::HasFatalFailure()) return;
        const FeedRun f = feed_cut(in, {});
        events += f.events.size();
        bytes += in.size();
        errors += f.failed ? 1 : 0;
    }
    // The generator covers both clean streams and failing ones.
    EXPECT_GT(events, 10000u);
    EXPECT_GT(errors, 5u);
    EXPECT_LT(errors, 100u);
    std::printf("%zu bytes, %zu events, %zu failing streams\n", bytes, events, errors);
}

// Characters are judged a block of sixteen bytes at a time: each sequence,
// good or bad, at every offset of a block, after ASCII or after other
// sequences, whole and cut between inputs, gives the byte-by-byte events.
TEST(XmlCutInvariance, CharactersAtEveryOffsetOfABlock) {
    std::mt19937 rng(16);
    const std::pair<const char*, bool> cases[] = {
        {"\xc3\xa9", true},
        {"\xe2\x82\xac", true},
        {"\xf0\x9f\x98\x80", true},
        {"\xef\xbf\xbd", true},
        {"\xed\x9f\xbf", true},
        {"\xf4\x8f\xbf\xbf", true},
        {"\r\n\t", true},
        {"\x01", false},
        {"\x80", false},
        {"\xc1\xbf", false},
        {"\xe0\x9f\xbf", false},
        {"\xed\xa0\x80", false},
        {"\xef\xbf\xbf", false},
        {"\xf0\x8f\xbf\xbf", false},
        {"\xf4\x90\x80\x80", false},
        {"\xf5\x80\x80\x80", false},
        {"\xe2\x82", false},
        {"\xf0\x9f\x98", false},
    };
    for (const auto& [seq, good] : cases) {
        for (size_t at = 0; at < 70; ++at) {
            std::string fill(at, 'x');
            if (at % 3 == 0)
                for (size_t i = 0; i + 1 < at; i += 2)
                    fill.replace(i, 2, "\xc3\xa9");
            const std::string in = "<a>" + fill + seq + std::string(20, 'y') + "</a>";
            expect_cut_invariant(in, rng);
            if (::testing::Test::HasFatalFailure()) return;
            EXPECT_EQ(feed_cut(in, {}).failed, !good) << at << " " << in;
        }
    }
}

TEST(XmlCutInvariance, RealLookingStreams) {
    std::mt19937 rng(7);
    for (const char* s : kRealStreams) {
        const std::string in = s;
        expect_cut_invariant(in, rng);
        const FeedRun f = feed_cut(in, {});
        EXPECT_FALSE(f.failed) << f.events.back();
    }
}

}  // namespace
}  // namespace fenra::xmpp
