// The XML stream parser on arbitrary bytes. The input is fed whole and cut at
// points the fuzzer chooses; both runs must give the same events (or the same
// error at the same place), no string may change before its time, and the
// parser must stay within its limits.
//
// Input layout: one byte n (cuts = n % 8), then n two-byte cut offsets, then
// the stream bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "s2s/xmpp/xml_parser.h"
#include "tests/xmpp/xml_events.h"

using fenra::xmpp::XmlParser;
using fenra::xmpp::testing::feed_cut;
using fenra::xmpp::testing::FeedRun;

namespace {

void check_limits(const FeedRun& r) {
    if (r.stale != 0) std::abort();
    if (r.memory_peak > XmlParser::kMaxHeld) std::abort();
    if (r.longest_text > XmlParser::kTextChunk) std::abort();
    if (r.longest_item > XmlParser::kMaxItem) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t cut_count = data[0] % 8;
    size_t at = 1;
    std::vector<uint16_t> raw;
    for (size_t i = 0; i < cut_count && at + 2 <= size; ++i, at += 2)
        raw.push_back(static_cast<uint16_t>(data[at] | (data[at + 1] << 8)));
    const std::string_view in(reinterpret_cast<const char*>(data) + at, size - at);

    std::vector<size_t> cuts;
    for (uint16_t c : raw) {
        if (!in.empty()) cuts.push_back(c % (in.size() + 1));
    }
    std::sort(cuts.begin(), cuts.end());

    const FeedRun whole = feed_cut(in, {});
    const FeedRun cut = feed_cut(in, cuts);
    check_limits(whole);
    check_limits(cut);
    if (whole.events != cut.events) std::abort();
    return 0;
}
