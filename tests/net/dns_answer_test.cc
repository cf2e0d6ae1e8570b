#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "s2s/net/dns.h"
#include "s2s/net/target_lookup.h"
#include "tests/net/dns_message.h"

namespace fenra::s2s {
namespace {

using test::Bytes;
using test::DnsMessage;
using test::labels;
using test::srv_rdata;

constexpr uint16_t kCname = 5;

std::vector<std::tuple<uint16_t, uint16_t, std::string>> keys(const std::vector<SrvRecord>& v) {
    std::vector<std::tuple<uint16_t, uint16_t, std::string>> out;
    for (const SrvRecord& r : v)
        out.emplace_back(r.priority, r.weight, r.target);
    return out;
}

TEST(SrvAnswer, SortedByPriorityThenHeavierWeight) {
    DnsMessage m("_xmpp-server._tcp.a.test", kDnsTypeSrv);
    m.answer(kDnsTypeSrv, srv_rdata(10, 0, 5269, "c.a.test"));
    m.answer(kDnsTypeSrv, srv_rdata(5, 10, 5269, "b.a.test"));
    m.answer(kDnsTypeSrv, srv_rdata(5, 60, 5270, "a.a.test"));
    auto records = parse_srv_answer(m.bytes());
    ASSERT_TRUE(records);
    // The walk keeps answer order; the sort is separate.
    EXPECT_EQ((*records)[0].target, "c.a.test");
    sort_srv_records(*records);
    using K = std::tuple<uint16_t, uint16_t, std::string>;
    EXPECT_EQ(keys(*records),
              (std::vector<K>{{5, 60, "a.a.test"}, {5, 10, "b.a.test"}, {10, 0, "c.a.test"}}));
    EXPECT_EQ((*records)[0].port, 5270);
}

TEST(SrvAnswer, EqualRecordsKeepTheirAnswerOrder) {
    std::vector<SrvRecord> v;
    // Many records with few distinct keys, against a reference stable sort.
    for (int i = 0; i < 300; ++i)
        v.push_back({std::to_string(i), static_cast<uint16_t>(i * 7 % 3),
                     static_cast<uint16_t>(i * 5 % 4), 1});
    auto expected = v;
    std::stable_sort(expected.begin(), expected.end(), [](const SrvRecord& a, const SrvRecord& b) {
        return a.priority < b.priority || (a.priority == b.priority && a.weight > b.weight);
    });
    sort_srv_records(v);
    EXPECT_EQ(keys(v), keys(expected));
}

TEST(SrvAnswer, TargetLabels) {
    DnsMessage m("_xmpp-server._tcp.a.test", kDnsTypeSrv);
    Bytes root = srv_rdata(1, 0, 5269, "");  // the root name: one zero byte
    m.answer(kDnsTypeSrv, root);
    Bytes compressed = srv_rdata(2, 0, 5269, "");
    compressed.back() = 0xc0;  // a pointer to the question name
    compressed.push_back(0x0c);
    m.answer(kDnsTypeSrv, compressed);
    Bytes unterminated = srv_rdata(3, 0, 5269, "abc.test");
    unterminated.pop_back();  // ends with what was read
    m.answer(kDnsTypeSrv, unterminated);
    Bytes overrun = srv_rdata(4, 0, 5269, "");
    overrun.back() = 5;  // a label running past the record data
    overrun.push_back('x');
    m.answer(kDnsTypeSrv, overrun);
    m.answer(kDnsTypeSrv, Bytes{0, 5, 0, 0, 0x14, 0x95});  // 6 bytes: too short
    m.answer(kDnsTypeSrv, srv_rdata(6, 0, 5269, "x.a.test"));
    auto records = parse_srv_answer(m.bytes());
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 3u);
    EXPECT_EQ((*records)[0].target, ".");
    EXPECT_EQ((*records)[1].target, "abc.test");
    EXPECT_EQ((*records)[1].priority, 3);
    EXPECT_EQ((*records)[2].target, "x.a.test");
}

TEST(SrvAnswer, ForeignRecordsAndOtherSectionsAreSkipped) {
    DnsMessage m("_xmpp-server._tcp.a.test", kDnsTypeSrv);
    m.answer(kCname, labels("elsewhere.test"));
    m.answer(kDnsTypeSrv, srv_rdata(1, 0, 5269, "x.a.test"));
    m.answer(kDnsTypeTlsa, Bytes{3, 1, 1, 0xaa});
    m.additional(kDnsTypeSrv, srv_rdata(0, 0, 5269, "additional.test"));
    auto records = parse_srv_answer(m.bytes());
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ((*records)[0].target, "x.a.test");
}

TEST(SrvAnswer, BrokenOwnerNamesDropTheirRecord) {
    DnsMessage m("_xmpp-server._tcp.a.test", kDnsTypeSrv);
    m.answer_owned(Bytes{0xc0, 0xff}, kDnsTypeSrv, srv_rdata(1, 0, 1, "far.test"));  // past the end
    const size_t loop_at = m.size();
    m.answer_owned(Bytes{0xc0, static_cast<uint8_t>(loop_at)}, kDnsTypeSrv,
                   srv_rdata(2, 0, 1, "loop.test"));  // points at itself
    m.answer_owned(labels("plain.a.test"), kDnsTypeSrv, srv_rdata(3, 0, 1, "ok.test"));
    auto records = parse_srv_answer(m.bytes());
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ((*records)[0].target, "ok.test");
}

TEST(SrvAnswer, MalformedMessagesAreParseErrors) {
    DnsMessage m("_xmpp-server._tcp.a.test", kDnsTypeSrv);
    m.answer(kDnsTypeSrv, srv_rdata(1, 0, 5269, "x.a.test"));
    const Bytes good = m.bytes();
    ASSERT_TRUE(parse_srv_answer(good));

    auto error_of = [](const Bytes& b) {
        auto r = parse_srv_answer(b);
        return r ? std::string("ok") : std::string(error_name(r.error()));
    };
    EXPECT_EQ(error_of(Bytes(good.begin(), good.begin() + 11)), "ParseError");
    EXPECT_EQ(error_of(Bytes(good.begin(), good.end() - 1)), "ParseError");
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(error_of(trailing), "ParseError");
    Bytes more_answers = good;
    more_answers[7] = 2;  // announces a record that is not there
    EXPECT_EQ(error_of(more_answers), "ParseError");
    Bytes bad_label = good;
    bad_label[12] = 0x40;  // a reserved label type in the question name
    EXPECT_EQ(error_of(bad_label), "ParseError");
    EXPECT_EQ(error_of(Bytes{}), "ParseError");
    // A bare header without records is a well-formed empty answer.
    auto empty = parse_srv_answer(Bytes(12, 0));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(TlsaAnswer, RecordSizesAndAnswerOrder) {
    DnsMessage m("_5269._tcp.a.test", kDnsTypeTlsa);
    m.answer(kDnsTypeTlsa, Bytes{3, 1, 1});  // 3 bytes: skipped
    m.answer(kDnsTypeTlsa, Bytes{3, 1, 1, 0x42});
    m.answer(kCname, labels("x.test"));
    m.answer(kDnsTypeTlsa, Bytes{9, 8, 7, 1, 2, 3});  // values are not checked here
    auto records = parse_tlsa_answer(m.bytes());
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[0].usage, 3);
    EXPECT_EQ((*records)[0].data, Bytes{0x42});
    EXPECT_EQ((*records)[1].usage, 9);
    EXPECT_EQ((*records)[1].selector, 8);
    EXPECT_EQ((*records)[1].matching_type, 7);
    EXPECT_EQ((*records)[1].data, (Bytes{1, 2, 3}));
}

TEST(QueryNames, TlsaName) {
    auto name = tlsa_query_name(5269, "xmpp.a.test");
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, "_5269._tcp.xmpp.a.test");
    EXPECT_EQ(*tlsa_query_name(0, "h"), "_0._tcp.h");
    EXPECT_TRUE(tlsa_query_name(5269, std::string(244, 'h')));  // 255 bytes
    auto r = tlsa_query_name(5269, std::string(245, 'h'));      // 256 bytes
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::NameTooLong);
}

}  // namespace
}  // namespace fenra::s2s

namespace fenra::s2s {
namespace {

DnsAnswer srv_answer(DnsOutcome outcome, DnsSecurity security, std::vector<SrvRecord> recs = {}) {
    DnsAnswer a;
    a.outcome = outcome;
    a.security = security;
    a.srv = std::move(recs);
    return a;
}

// "HOST PORT tls|starttls SECURITY [ADDRESS]" per target; "bogus" alone.
std::vector<std::string> targets_text(std::string_view domain, DnsAnswer direct,
                                      DnsAnswer starttls) {
    std::vector<Target> out{Target{}};
    if (targets_from_srv(domain, direct, starttls, out) == TargetsOutcome::bogus) {
        EXPECT_TRUE(out.empty());
        return {"bogus"};
    }
    std::vector<std::string> text;
    for (const Target& t : out)
        text.push_back(t.host + " " + std::to_string(t.port) +
                       (t.direct_tls ? " tls " : " starttls ") +
                       std::string(dns_security_name(t.srv_security)) +
                       (t.resolved ? " " + address_text(t.addresses.at(0)) : ""));
    return text;
}

TEST(TargetsFromSrv, OrderVerdictsAndFallback) {
    using O = DnsOutcome;
    using S = DnsSecurity;
    const DnsAnswer none_secure = srv_answer(O::nxdomain, S::secure);
    const struct {
        std::string_view domain;
        DnsAnswer direct, starttls;
        std::vector<std::string> want;
    } cases[] = {
        {"a.test",
         srv_answer(O::records, S::secure,
                    {{"tls2.a.test", 20, 0, 5223}, {"tls1.a.test", 20, 5, 5270}}),
         srv_answer(O::records, S::insecure, {{"plain.a.test", 0, 0, 5269}, {".", 1, 0, 0}}),
         {"tls2.a.test 5223 tls secure", "tls1.a.test 5270 tls secure",
          "plain.a.test 5269 starttls insecure", ". 0 starttls insecure"}},
        {"b.test", none_secure, srv_answer(O::no_data, S::secure), {"b.test 5269 starttls secure"}},
        {"b.test",
         none_secure,
         srv_answer(O::failed, S::insecure),
         {"b.test 5269 starttls insecure"}},
        {"b.test",
         srv_answer(O::nxdomain, S::insecure),
         none_secure,
         {"b.test 5269 starttls insecure"}},
        {"b.test",
         srv_answer(O::failed, S::bogus),
         srv_answer(O::records, S::secure, {{"x", 0, 0, 1}}),
         {"bogus"}},
        {"192.0.2.1", none_secure, none_secure, {"192.0.2.1 5269 starttls secure 192.0.2.1:5269"}},
        {"::1", none_secure, none_secure, {"::1 5269 starttls secure [::1]:5269"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(targets_text(c.domain, c.direct, c.starttls), c.want) << c.domain;
}

}  // namespace
}  // namespace fenra::s2s
