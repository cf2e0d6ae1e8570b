#include "s2s/xmpp/xml_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/xmpp/xml_events.h"

namespace fenra::xmpp {
namespace {

using testing::feed_cut;
using testing::FeedRun;
using Events = std::vector<std::string>;

constexpr std::string_view kHeader =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
    "xmlns:stream='http://etherx.jabber.org/streams' xmlns:db='jabber:server:dialback' "
    "to='a.example' from='b.example' version='1.0'>";

// Events of `input` fed whole; fed byte by byte it must give the same.
Events parse(std::string_view input) {
    FeedRun whole = feed_cut(input, {});
    std::vector<size_t> every;
    for (size_t i = 1; i < input.size(); ++i)
        every.push_back(i);
    FeedRun bytes = feed_cut(input, every);
    EXPECT_EQ(whole.events, bytes.events) << "byte by byte differs for: " << input.substr(0, 200);
    EXPECT_EQ(whole.stale, 0u);
    EXPECT_EQ(bytes.stale, 0u);
    return whole.events;
}

// The last event of `input`, which should be an error.
std::string last(std::string_view input) {
    Events e = parse(input);
    return e.empty() ? "" : e.back();
}

std::string repeat(char c, size_t n) {
    return std::string(n, c);
}

// Feeds `data` in 8 KiB pieces; returns the number of events.
size_t feed_all(XmlParser& p, std::string_view data) {
    size_t events = 0;
    for (size_t at = 0; at < data.size(); at += 8192) {
        std::string_view piece = data.substr(at, 8192);
        size_t pos = 0;
        for (;;) {
            auto r = p.next_event(piece, pos);
            EXPECT_TRUE(r);
            if (!r || !*r) break;
            ++events;
        }
    }
    return events;
}

// ---- tokenizer states ------------------------------------------------------

TEST(XmlTokenizer, StartEmptyElementTextEnd) {
    EXPECT_EQ(parse("<a><b x='1'/>hi</a>"),
              (Events{"start a{||a}", "start b{||b} x=1(|x) /", "text hi", "end a"}));
}

TEST(XmlTokenizer, TextWaitsForTheNextTag) {
    EXPECT_EQ(parse("<a>hello"), (Events{"start a{||a}"}));
    EXPECT_EQ(parse("<a>hello<"), (Events{"start a{||a}", "text hello"}));
    EXPECT_EQ(parse("<a> \r\n\t</a>"), (Events{"start a{||a}", "text  \r\n\t", "end a"}));
}

TEST(XmlTokenizer, SlashInsideATagName) {
    EXPECT_EQ(parse("<a/b>"), (Events{"start a/b{||a/b}"}));
    EXPECT_EQ(parse("<a/>"), (Events{"start a{||a} /"}));
    EXPECT_EQ(parse("<a/ >"), (Events{"start a{||a} /"}));
    EXPECT_EQ(parse("<a //>"), (Events{"start a{||a} /"}));
    // A slash followed by an attribute no longer closes the tag.
    EXPECT_EQ(parse("<a / x='1'>"), (Events{"start a{||a} x=1(|x)"}));
}

TEST(XmlTokenizer, AttributeNamesKeepBlanksBeforeTheEqualsSign) {
    EXPECT_EQ(parse("<a x = '1' y=\"2\"\tz='\"'>"),
              (Events{"start a{||a} x =1(|x ) y=2(|y) z=\"(|z)"}));
    // Anything up to '=' is the name, even '>'.
    EXPECT_EQ(parse("<a b>c='1'>"), (Events{"start a{||a} b>c=1(|b>c)"}));
    // Before the quote everything is skipped.
    EXPECT_EQ(parse("<a x=junk'1'>"), (Events{"start a{||a} x=1(|x)"}));
}

TEST(XmlTokenizer, AttributeValuesTakeAnglesAndTheOtherQuote) {
    EXPECT_EQ(parse("<a v='<b>\"'/>"), (Events{"start a{||a} v=<b>\"(|v) /"}));
    EXPECT_EQ(parse("<a v=\"it's\"/>"), (Events{"start a{||a} v=it's(|v) /"}));
    EXPECT_EQ(parse("<a v=''/>"), (Events{"start a{||a} v=(|v) /"}));
}

TEST(XmlTokenizer, EndTagKeepsEverythingBeforeTheAngle) {
    EXPECT_EQ(parse("<foo></foo >"), (Events{"start foo{||foo}", "end foo "}));
    EXPECT_EQ(parse("</x:y>"), (Events{"end x:y"}));
}

TEST(XmlTokenizer, CommentsProduceNothing) {
    EXPECT_EQ(parse("<a><!-- x > y - z -- ><b/>--></a>"), (Events{"start a{||a}", "end a"}));
    EXPECT_EQ(parse("<!---->"), (Events{}));
    EXPECT_EQ(parse("<!---->x<a/>"), (Events{"text x", "start a{||a} /"}));
    // Text around a comment arrives in two runs.
    EXPECT_EQ(parse("<a>x<!--c-->y</a>"), (Events{"start a{||a}", "text x", "text y", "end a"}));
}

TEST(XmlTokenizer, ProcessingInstructionsAreDeclarations) {
    EXPECT_EQ(parse("<?xml version='1.0'?>"), (Events{"declaration"}));
    EXPECT_EQ(parse("<?pi a > b ? c?"
                    "?>x<a>"),
              (Events{"declaration", "text x", "start a{||a}"}));
}

TEST(XmlTokenizer, OnlyCommentsAfterLessThanBang) {
    EXPECT_EQ(last("<!DOCTYPE stream>"), "error ForbiddenXmlConstruct");
    EXPECT_EQ(last("<a><![CDATA[x]]></a>"), "error ForbiddenXmlConstruct");
    EXPECT_EQ(last("<!-x-->"), "error ForbiddenXmlConstruct");
    EXPECT_EQ(last("<!x-"), "error ForbiddenXmlConstruct");
    // Two characters decide.
    EXPECT_EQ(parse("<!D"), (Events{}));
}

TEST(XmlTokenizer, DepthFollowsStartAndEndTags) {
    XmlParser p;
    std::string_view in = "<a><b><c/>";
    size_t pos = 0;
    std::vector<uint32_t> depths;
    for (;;) {
        auto r = p.next_event(in, pos);
        ASSERT_TRUE(r);
        if (!*r) break;
        depths.push_back(p.depth());
    }
    EXPECT_EQ(depths, (std::vector<uint32_t>{1, 2, 2}));
    in = "</b></a></a>";
    pos = 0;
    depths.clear();
    for (;;) {
        auto r = p.next_event(in, pos);
        ASSERT_TRUE(r);
        if (!*r) break;
        depths.push_back(p.depth());
    }
    EXPECT_EQ(depths, (std::vector<uint32_t>{1, 0, 0}));
}

TEST(XmlTokenizer, LenientAboutStructure) {
    EXPECT_EQ(parse("x<a></b><c/>"), (Events{"text x", "start a{||a}", "end b", "start c{||c} /"}));
}

// ---- the stream element ----------------------------------------------------

TEST(XmlStream, HeaderDialbackElementAndClose) {
    std::string in(kHeader);
    in += "<db:result from='b.example' to='a.example'>key</db:result></stream:stream>";
    Events e = parse(in);
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[0], "declaration");
    EXPECT_EQ(e[1],
              "stream_open stream:stream{http://etherx.jabber.org/streams|stream|stream} "
              "to=a.example(|to) "
              "from=b.example(|from) version=1.0(|version) ns:=jabber:server "
              "ns:stream=http://etherx.jabber.org/streams ns:db=jabber:server:dialback");
    EXPECT_EQ(e[2],
              "start db:result{jabber:server:dialback|db|result} from=b.example(|from) "
              "to=a.example(|to)");
    EXPECT_EQ(e[3], "text key");
    EXPECT_EQ(e[4], "end db:result");
    EXPECT_EQ(e[5], "stream_close");
}

TEST(XmlStream, OpenFlagAndDepth) {
    XmlParser p;
    std::string in(kHeader);
    size_t pos = 0;
    while (true) {
        auto r = p.next_event(in, pos);
        ASSERT_TRUE(r);
        if (!*r) break;
    }
    EXPECT_TRUE(p.stream_is_open());
    EXPECT_EQ(p.depth(), 1u);
    in = "<message/></stream:stream>";
    pos = 0;
    while (true) {
        auto r = p.next_event(in, pos);
        ASSERT_TRUE(r);
        if (!*r) break;
    }
    EXPECT_FALSE(p.stream_is_open());
    EXPECT_EQ(p.depth(), 0u);
}

TEST(XmlStream, StreamNamedElementsInsideAreOrdinary) {
    constexpr std::string_view kOpen = "<s:stream xmlns:s='http://etherx.jabber.org/streams'>";
    const std::string open =
        "stream_open s:stream{http://etherx.jabber.org/streams|s|stream} "
        "ns:s=http://etherx.jabber.org/streams";
    // Inside a stanza, in any namespace and with any prefix, self-closing or not.
    EXPECT_EQ(parse(std::string(kOpen) +
                    "<m><x xmlns='urn:y'><stream xmlns='urn:z'/><s:stream></s:stream></x></m><n/>"),
              (Events{open, "start m{||m}", "start x{urn:y||x} ns:=urn:y",
                      "start stream{urn:z||stream} ns:=urn:z /",
                      "start s:stream{http://etherx.jabber.org/streams|s|stream}", "end s:stream",
                      "end x", "end m", "start n{||n} /"}));
    // The stream's own end tag closes it whatever its prefix; another
    // element's end tag of that name at depth 1 does not.
    EXPECT_EQ(parse(std::string(kOpen) + "<a></a></stream>"),
              (Events{open, "start a{||a}", "end a", "end stream"}));
    EXPECT_EQ(parse(std::string(kOpen) + "<t:stream xmlns:t='http://etherx.jabber.org/streams'/>"
                                         "</s:stream>"),
              (Events{open,
                      "start t:stream{http://etherx.jabber.org/streams|t|stream} "
                      "ns:t=http://etherx.jabber.org/streams /",
                      "stream_close"}));
    // At depth 0 only the streams namespace makes a header.
    EXPECT_EQ(parse("<stream:stream><a/>"),
              (Events{"start stream:stream{|stream|stream}", "start a{||a} /"}));
}

TEST(XmlStream, ResetStartsOver) {
    XmlParser p;
    std::string in(kHeader);
    in += "<message><body>half";
    size_t pos = 0;
    while (true) {
        auto r = p.next_event(in, pos);
        ASSERT_TRUE(r);
        if (!*r) break;
    }
    EXPECT_EQ(p.depth(), 3u);
    p.reset();
    EXPECT_EQ(p.depth(), 0u);
    EXPECT_FALSE(p.stream_is_open());
    std::string_view again = "<stream xmlns='http://etherx.jabber.org/streams'><x/>";
    pos = 0;
    std::vector<std::string> events;
    while (true) {
        auto r = p.next_event(again, pos);
        ASSERT_TRUE(r);
        if (!*r) break;
        events.push_back(testing::render(**r));
    }
    EXPECT_EQ(events, (Events{"stream_open stream{http://etherx.jabber.org/streams||stream} "
                              "ns:=http://etherx.jabber.org/streams",
                              "start x{http://etherx.jabber.org/streams||x} /"}));
}

TEST(XmlStream, ErrorsAreFinalUntilReset) {
    XmlParser p;
    std::string_view bad = "<a>&bogus;</a><b/>";
    size_t pos = 0;
    auto r = p.next_event(bad, pos);
    ASSERT_TRUE(r && *r);
    auto e = p.next_event(bad, pos);
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error(), Error::InvalidEntityReference);
    // More bytes do not bring the parser back.
    const size_t at = pos;
    auto again = p.next_event(bad, pos);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), Error::InvalidEntityReference);
    EXPECT_EQ(pos, at);
    std::string_view more = "<c/>";
    size_t mpos = 0;
    EXPECT_FALSE(p.next_event(more, mpos));
    p.reset();
    mpos = 0;
    auto ok = p.next_event(more, mpos);
    ASSERT_TRUE(ok && *ok);
    EXPECT_EQ((*ok)->element.name, "c");
}

// ---- namespaces ------------------------------------------------------------

TEST(XmlNamespaces, DefaultNamespaceIsScopedToItsElement) {
    std::string in(kHeader);
    in +=
        "<message><body>x</body><active xmlns='http://jabber.org/protocol/chatstates'/>"
        "<x xmlns='jabber:x:data'><field/></x></message><presence/>";
    Events e = parse(in);
    ASSERT_EQ(e.size(), 12u);
    EXPECT_EQ(e[2], "start message{jabber:server||message}");
    EXPECT_EQ(e[3], "start body{jabber:server||body}");
    EXPECT_EQ(e[6],
              "start active{http://jabber.org/protocol/chatstates||active} "
              "ns:=http://jabber.org/protocol/chatstates /");
    EXPECT_EQ(e[7], "start x{jabber:x:data||x} ns:=jabber:x:data");
    EXPECT_EQ(e[8], "start field{jabber:x:data||field} /");
    EXPECT_EQ(e[11], "start presence{jabber:server||presence} /");
}

TEST(XmlNamespaces, PrefixBindingsEndWithTheirElement) {
    // Far more stanzas with prefix declarations than the table holds: every
    // one still resolves, and none leaks into the next.
    std::string in(kHeader);
    for (int i = 0; i < 40; ++i) {
        in += "<message><p" + std::to_string(i) + ":x xmlns:p" + std::to_string(i) +
              "='urn:" + std::to_string(i) + "'/><q:y/></message>";
    }
    Events e = parse(in);
    ASSERT_EQ(e.size(), 2u + 40 * 4);
    for (int i = 0; i < 40; ++i) {
        const std::string p = "p" + std::to_string(i);
        EXPECT_EQ(e[2 + i * 4 + 1], "start " + p + ":x{urn:" + std::to_string(i) + "|" + p +
                                        "|x} ns:" + p + "=urn:" + std::to_string(i) + " /");
        EXPECT_EQ(e[2 + i * 4 + 2], "start q:y{|q|y} /");
    }
}

TEST(XmlNamespaces, SiblingsMayBindThePrefixDifferently) {
    Events e = parse(
        "<s:stream xmlns:s='S'><m><a xmlns:p='one'><p:x/></a><b xmlns:p='two'><p:x/></b>"
        "<p:x/></m>");
    ASSERT_EQ(e.size(), 10u);
    EXPECT_EQ(e[3], "start p:x{one|p|x} /");
    EXPECT_EQ(e[6], "start p:x{two|p|x} /");
    EXPECT_EQ(e[8], "start p:x{|p|x} /");
}

TEST(XmlNamespaces, HeaderBindingsHoldAndFirstWins) {
    Events e = parse(
        "<stream:stream xmlns:stream='S' xmlns:db='D1' xmlns:db='D2'>"
        "<db:result/><m xmlns:db='inner'><db:result/></m><db:verify/>");
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[1], "start db:result{D1|db|result} /");
    EXPECT_EQ(e[3], "start db:result{inner|db|result} /");
    EXPECT_EQ(e[5], "start db:verify{D1|db|verify} /");
}

TEST(XmlNamespaces, SeventeenthHeaderPrefixIsIgnored) {
    std::string in = "<stream:stream";
    for (int i = 0; i < 17; ++i)
        in += " xmlns:p" + std::to_string(i) + "='u" + std::to_string(i) + "'";
    in += "><p15:a/><p16:a/>";
    Events e = parse(in);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[1], "start p15:a{u15|p15|a} /");
    EXPECT_EQ(e[2], "start p16:a{|p16|a} /");
    // The ignored declaration is still reported as written.
    EXPECT_NE(e[0].find("ns:p16=u16"), std::string::npos);
}

TEST(XmlNamespaces, DeepNestingDoesNotDisturbTheStream) {
    std::string in = "<stream:stream xmlns='jabber:server'><message>";
    for (int i = 0; i < 30; ++i)
        in += "<e xmlns='urn:" + std::to_string(i) + "'>";
    for (int i = 0; i < 30; ++i)
        in += "</e>";
    in += "</message><iq/>";
    Events e = parse(in);
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e.back(), "start iq{jabber:server||iq} /");
    // Up to 16 nested declarations resolve; deeper ones keep the outer one.
    EXPECT_EQ(e[2 + 14], "start e{urn:14||e} ns:=urn:14");
    EXPECT_EQ(e[2 + 15], "start e{urn:14||e} ns:=urn:15");
}

TEST(XmlNamespaces, BareXmlnsColonDeclaresTheDefault) {
    EXPECT_EQ(parse("<a xmlns:='urn:d'><b/>"),
              (Events{"start a{urn:d||a} ns:=urn:d", "start b{urn:d||b} /"}));
}

TEST(XmlNamespaces, UnknownPrefixGetsNoNamespaceAndAttributesNone) {
    EXPECT_EQ(
        parse("<a xmlns='D'><z:b z:c='1' xml:lang='en'/>"),
        (Events{"start a{D||a} ns:=D", "start z:b{|z|b} z:c=1(z|c) xml:lang=en(xml|lang) /"}));
}

TEST(XmlNamespaces, DeclarationsAreReportedInTheOrderWritten) {
    EXPECT_EQ(parse("<m a='1' xmlns:x='X' b='2' xmlns='D'/>"),
              (Events{"start m{D||m} a=1(|a) b=2(|b) ns:x=X ns:=D /"}));
}

// ---- entities --------------------------------------------------------------

TEST(XmlEntities, NamedReferences) {
    EXPECT_EQ(parse("<a v='1 &amp; 2'>&lt;&gt;&amp;&apos;&quot;</a>"),
              (Events{"start a{||a} v=1 & 2(|v)", "text <>&'\"", "end a"}));
}

TEST(XmlEntities, NumericReferences) {
    EXPECT_EQ(parse("<a v='&#65;&#x42;'/>"), (Events{"start a{||a} v=AB(|v) /"}));
    EXPECT_EQ(parse("<a>&#X4a;&#+65;&#6_6;&#x4_3;&#x+44;&#0255;</a>"),
              (Events{"start a{||a}", "text JABCD\xc3\xbf", "end a"}));
    // Every character becomes its UTF-8 bytes.
    EXPECT_EQ(
        parse("<a v='&#9;&#x7F;'>&#233;&#x20AC;&#xD7FF;&#xE000;&#xFFFD;&#x10000;&#x10FFFF;</a>"),
        (Events{"start a{||a} v=\t\x7f(|v)",
                "text \xc3\xa9\xe2\x82\xac\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbd"
                "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
                "end a"}));
}

TEST(XmlEntities, BadNumericReferencesFail) {
    // Badly written, or not an XML character.
    for (std::string_view bad :
         {"&#x;",       "&#;",        "&#-1;",       "&#-0;",    "&#_65;",   "&#65_;",
          "&#1a;",      "&#x1g;",     "&#++1;",      "&#x-1;",   "&#0;",     "&#x0;",
          "&#8;",       "&#x1F;",     "&#xD800;",    "&#xDFFF;", "&#xFFFE;", "&#65535;",
          "&#x110000;", "&#1114112;", "&#xFFFFFFFF;"}) {
        EXPECT_EQ(last("<a>" + std::string(bad) + "</a>"), "error InvalidEntityReference") << bad;
        EXPECT_EQ(last("<a v='" + std::string(bad) + "'/>"), "error InvalidEntityReference") << bad;
    }
}

// Raw bytes: well-formed UTF-8 of XML characters only, wherever they stand
// (the table is run whole and byte by byte).
TEST(XmlCharacters, RawBytesAreCheckedEverywhere) {
    const std::string good =
        "\t\r\n \x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80"
        "\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf";
    EXPECT_EQ(parse("<a v='" + good + "'>" + good + "</a>"),
              (Events{"start a{||a} v=" + good + "(|v)", "text " + good, "end a"}));
    using namespace std::string_view_literals;
    for (std::string_view bad : {
             "\0"sv,
             "\x01"sv,
             "\x08"sv,
             "\x0b"sv,
             "\x1f"sv,  // controls
             "\x80"sv,
             "\xbf"sv,  // continuation alone
             "\xc0\x80"sv,
             "\xc1\xbf"sv,
             "\xe0\x80\x80"sv,
             "\xf0\x80\x80\x80"sv,  // overlong
             "\xed\xa0\x80"sv,
             "\xed\xbf\xbf"sv,  // surrogates
             "\xef\xbf\xbe"sv,
             "\xef\xbf\xbf"sv,  // U+FFFE, U+FFFF
             "\xf4\x90\x80\x80"sv,
             "\xf5\x80\x80\x80"sv,
             "\xff"sv,  // above U+10FFFF
             "\xc3<"sv,
             "\xe2\x82<"sv,
             "\xf0\x9f\x98 "sv,  // cut short
         }) {
        const std::string b(bad);
        EXPECT_EQ(last("<a>x" + b + "</a>"), "error InvalidCharacter") << b;
        EXPECT_EQ(last("<a v='" + b + "'/>"), "error InvalidCharacter") << b;
        EXPECT_EQ(last("<a" + b + "/>"), "error InvalidCharacter") << b;
        EXPECT_EQ(last("<a/><!--" + b + "-->"), "error InvalidCharacter") << b;
    }
    // The events before the bad byte are all delivered.
    EXPECT_EQ(parse("<a><b/>\x01"),
              (Events{"start a{||a}", "start b{||b} /", "error InvalidCharacter"}));
}

TEST(XmlEntities, UnknownAndEmptyNamesFail) {
    EXPECT_EQ(last("<a>&nbsp;</a>"), "error InvalidEntityReference");
    EXPECT_EQ(last("<a>&;</a>"), "error InvalidEntityReference");
    EXPECT_EQ(last("<a>&AMP;</a>"), "error InvalidEntityReference");
}

TEST(XmlEntities, NameLengthLimitIsNine) {
    // Nine letters are read to the ';' and fail there as unknown.
    EXPECT_EQ(parse("<a>&abcdefghi"), (Events{"start a{||a}"}));
    EXPECT_EQ(last("<a>&abcdefghi;"), "error InvalidEntityReference");
    // A tenth character fails at once.
    EXPECT_EQ(last("<a>&abcdefghij"), "error InvalidEntityReference");
    EXPECT_EQ(last("<a v='&abcdefghij"), "error InvalidEntityReference");
    // Nine characters are enough for any valid reference.
    EXPECT_EQ(parse("<a>&#x0_0_4_1;</a>"), (Events{"start a{||a}", "text A", "end a"}));
}

TEST(XmlEntities, ReferencesMayHoldAnyOtherCharacter) {
    // The reference ends only at ';': a '<' inside it belongs to its name.
    EXPECT_EQ(last("<a>&lt<b/>;"), "error InvalidEntityReference");
}

// ---- item limits -----------------------------------------------------------

TEST(XmlLimits, LongTextArrivesInChunks) {
    std::string body = repeat('a', 40000);
    body[16383] = 'b';
    Events e = parse("<m>" + body + "</m>");
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[1], "text " + body.substr(0, 16384));
    EXPECT_EQ(e[2], "text " + body.substr(16384, 16384));
    EXPECT_EQ(e[3], "text " + body.substr(32768));
}

TEST(XmlLimits, ChunkBoundaryFallsOnDecodedBytes) {
    // Entities decode to one byte each; the chunk is cut by decoded length.
    std::string body;
    for (int i = 0; i < 10000; ++i)
        body += "&amp;";
    Events e = parse("<m>" + body + "</m>");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[1], "text " + repeat('&', 10000));
    body = repeat('x', 16383) + "&lt;" + "tail";
    e = parse("<m>" + body + "</m>");
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[1], "text " + repeat('x', 16383) + "<");
    EXPECT_EQ(e[2], "text tail");
    // A character of several bytes is cut like raw text: the chunk is full,
    // the rest begins the next one.
    for (const char* tail : {"", "t"}) {
        e = parse("<m>" + repeat('x', 16382) + "&#x20AC;&#233;" + tail + "</m>");
        ASSERT_EQ(e.size(), 4u);
        EXPECT_EQ(e[1], "text " + repeat('x', 16382) + "\xe2\x82");
        EXPECT_EQ(e[2], std::string("text \xac\xc3\xa9") + tail);
    }
}

TEST(XmlLimits, TextExactlyOneChunkMakesOneEvent) {
    Events e = parse("<m>" + repeat('z', 16384) + "</m>");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[1].size(), 5u + 16384);
}

TEST(XmlLimits, ItemsUpTo64KiB) {
    const std::string ok = repeat('n', 65536);
    const std::string big = repeat('n', 65537);
    const std::string oom = "error OutOfMemory";
    EXPECT_EQ(parse("<" + ok + "/>").size(), 1u);
    EXPECT_EQ(last("<" + big + "/>"), oom);
    EXPECT_EQ(parse("<a v='" + ok + "'/>").size(), 1u);
    EXPECT_EQ(last("<a v='" + big + "'/>"), oom);
    EXPECT_EQ(last("<a " + big + "='1'/>"), oom);
    EXPECT_EQ(last("</" + big + ">"), oom);
    EXPECT_EQ(parse("<!--" + repeat('c', 65530) + "-->").size(), 0u);
    EXPECT_EQ(last("<!--" + big + "-->"), oom);
    EXPECT_EQ(last("<?" + big + "?>"), oom);
    // Entities count as their decoded byte.
    std::string refs;
    for (int i = 0; i < 65536; ++i)
        refs += "&lt;";
    EXPECT_EQ(parse("<a v='" + refs + "'/>").size(), 1u);
}

TEST(XmlLimits, StanzaStorageIsBounded) {
    // One stanza whose text never ends: the chunks it keeps are bounded.
    XmlParser p;
    size_t pos = 0;
    EXPECT_EQ(feed_all(p, "<stream:stream><message><body>"), 3u);
    EXPECT_EQ(p.depth(), 3u);
    const std::string chunk = repeat('t', 8192);
    bool failed = false;
    for (int i = 0; i < 1000 && !failed; ++i) {
        pos = 0;
        for (;;) {
            auto e = p.next_event(chunk, pos);
            if (!e) {
                EXPECT_EQ(e.error(), Error::OutOfMemory);
                failed = true;
                break;
            }
            if (!*e) break;
        }
        EXPECT_LE(p.memory_in_use(), XmlParser::kMaxHeld);
    }
    EXPECT_TRUE(failed);
    // Many small attributes on one tag are bounded the same way.
    XmlParser q;
    const std::string attrs = "<a" + [] {
        std::string s;
        for (int i = 0; i < 40000; ++i)
            s += " b=''";
        return s;
    }();
    pos = 0;
    auto e = q.next_event(attrs, pos);
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error(), Error::OutOfMemory);
    EXPECT_LE(q.memory_in_use(), XmlParser::kMaxHeld);
}

// ---- memory over a long stream ---------------------------------------------

TEST(XmlMemory, FlatOverAMillionStanzas) {
    XmlParser p;
    feed_all(p, kHeader);
    std::string batch;
    for (int i = 0; i < 1000; ++i) {
        batch += "<message from='u@b.example/r' to='v@a.example' id='m" + std::to_string(i) +
                 "'><body>hi &amp; bye</body><p:x xmlns:p='urn:p" + std::to_string(i) +
                 "'/></message>";
    }
    feed_all(p, batch);
    const size_t after_first = p.memory_in_use();
    EXPECT_LE(after_first, 64u * 1024);
    for (int round = 1; round < 1000; ++round)
        ASSERT_EQ(feed_all(p, batch), 1000u * 6);
    EXPECT_EQ(p.memory_in_use(), after_first);
    EXPECT_EQ(p.memory_peak(), after_first);
    EXPECT_TRUE(p.stream_is_open());
}

TEST(XmlMemory, LargeStanzaIsGivenBack) {
    XmlParser p;
    feed_all(p, kHeader);
    feed_all(p, "<message><body>x</body></message>");
    const size_t small = p.memory_in_use();
    std::string big = "<iq><vCard><PHOTO><BINVAL>" + repeat('Q', 600000) +
                      "</BINVAL></PHOTO><x a='" + repeat('v', 60000) + "'/></vCard></iq>";
    feed_all(p, big);
    EXPECT_GT(p.memory_peak(), 600000u);
    feed_all(p, "<message><body>x</body></message>");
    EXPECT_LE(p.memory_in_use(), small + 16 * 1024);
}

TEST(XmlMemory, StanzaStringsLiveUntilTheStanzaEnds) {
    // Views kept from every event of a stanza still read the same at its end,
    // over many stanzas that reuse the storage (the feeder checks this).
    std::string in(kHeader);
    for (int i = 0; i < 200; ++i) {
        in += "<message id='" + std::to_string(i) + "'><body>" + repeat('a' + i % 26, i * 97) +
              "</body><thread>t" + std::to_string(i) + "</thread></message>\n";
    }
    FeedRun f = feed_cut(in, {100, 5000, 5001, 70000});
    EXPECT_EQ(f.stale, 0u);
    EXPECT_FALSE(f.failed);
}

}  // namespace
}  // namespace fenra::xmpp
