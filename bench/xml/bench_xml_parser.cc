// Throughput of the XML stream parser against libexpat on the same S2S stream
// corpus, fed in 8 KiB pieces as the sessions feed it, in the same run. Both
// sides do the same minimal work per event: count elements, attributes, end
// tags and text bytes. The element and attribute counts must agree.
//
// Run (Release, -O2):
//
//     cmake -S . -B build/xml-release -DCMAKE_BUILD_TYPE=Release &&
//     cmake --build build/xml-release --target bench_xml
//
// which builds this program and the corpus generator, writes the corpus
// (48 MB) and runs this program on it. By hand:
//
//     bench_xml_corpus /tmp/s2s.xml 48 && bench_xml_parser /tmp/s2s.xml
//
// `bench_xml_parser CORPUS ours` runs only our parser (for profiling).

#include <expat.h>

#include <time.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "s2s/xmpp/xml_parser.h"

namespace {

constexpr size_t kPiece = 8192;
constexpr int kRounds = 5;

struct Counts {
    size_t elements = 0;
    size_t attributes = 0;
    size_t ends = 0;
    size_t text_bytes = 0;
};

struct Outcome {
    Counts counts;
    bool ok = true;
    size_t peak_at_tenth = 0;  // memory of our parser after 10% of the corpus
    size_t in_use_at_tenth = 0;
    size_t peak = 0;  // and after all of it
    size_t in_use = 0;
};

Outcome run_ours(std::string_view corpus) {
    using fenra::xmpp::XmlEventKind;
    Outcome out;
    fenra::xmpp::XmlParser parser;
    const size_t tenth = corpus.size() / 10;
    for (size_t at = 0; at < corpus.size(); at += kPiece) {
        const std::string_view piece = corpus.substr(at, kPiece);
        size_t pos = 0;
        for (;;) {
            auto r = parser.next_event(piece, pos);
            if (!r) {
                std::fprintf(stderr, "parser failed at byte %zu: %.*s\n", at + pos,
                             static_cast<int>(fenra::error_name(r.error()).size()),
                             fenra::error_name(r.error()).data());
                out.ok = false;
                return out;
            }
            if (!*r) break;
            const fenra::xmpp::XmlEvent& ev = **r;
            switch (ev.kind) {
                case XmlEventKind::stream_open:
                case XmlEventKind::element_start:
                    ++out.counts.elements;
                    out.counts.attributes += ev.element.attributes.size();
                    if (ev.element.self_closing) ++out.counts.ends;
                    break;
                case XmlEventKind::element_end:
                case XmlEventKind::stream_close:
                    ++out.counts.ends;
                    break;
                case XmlEventKind::text:
                    out.counts.text_bytes += ev.text.size();
                    break;
                case XmlEventKind::declaration:
                    break;
            }
        }
        if (at < tenth && at + kPiece >= tenth) {
            out.peak_at_tenth = parser.memory_peak();
            out.in_use_at_tenth = parser.memory_in_use();
        }
    }
    out.peak = parser.memory_peak();
    out.in_use = parser.memory_in_use();
    return out;
}

void XMLCALL on_start(void* data, const XML_Char*, const XML_Char** atts) {
    Counts& c = *static_cast<Counts*>(data);
    ++c.elements;
    for (const XML_Char** a = atts; *a != nullptr; a += 2)
        ++c.attributes;
}

void XMLCALL on_end(void* data, const XML_Char*) {
    ++static_cast<Counts*>(data)->ends;
}

void XMLCALL on_text(void* data, const XML_Char*, int len) {
    static_cast<Counts*>(data)->text_bytes += static_cast<size_t>(len);
}

Outcome run_expat(std::string_view corpus) {
    Outcome out;
    XML_Parser p = XML_ParserCreateNS(nullptr, ' ');
    XML_SetUserData(p, &out.counts);
    XML_SetElementHandler(p, on_start, on_end);
    XML_SetCharacterDataHandler(p, on_text);
    for (size_t at = 0; at < corpus.size(); at += kPiece) {
        const std::string_view piece = corpus.substr(at, kPiece);
        const bool last = at + kPiece >= corpus.size();
        if (XML_Parse(p, piece.data(), static_cast<int>(piece.size()), last) != XML_STATUS_OK) {
            std::fprintf(stderr, "libexpat failed: %s at line %lu\n",
                         XML_ErrorString(XML_GetErrorCode(p)), XML_GetCurrentLineNumber(p));
            out.ok = false;
            break;
        }
    }
    XML_ParserFree(p);
    return out;
}

// CPU seconds of this thread spent in f: on a shared machine, time spent
// waiting for a processor counts against neither parser.
template <class F>
double seconds(F&& f, Outcome& out) {
    timespec t0{}, t1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    out = f();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    return static_cast<double>(t1.tv_sec - t0.tv_sec) +
           static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const bool only_ours = argc == 3 && std::string_view(argv[2]) == "ours";
    if (argc != 2 && !only_ours) {
        std::fprintf(stderr, "usage: bench_xml_parser CORPUS [ours]\n");
        return 2;
    }
    std::string corpus;
    {
        FILE* f = std::fopen(argv[1], "rb");
        if (f == nullptr) {
            std::perror(argv[1]);
            return 1;
        }
        std::fseek(f, 0, SEEK_END);
        corpus.resize(static_cast<size_t>(std::ftell(f)));
        std::rewind(f);
        const size_t n = std::fread(corpus.data(), 1, corpus.size(), f);
        std::fclose(f);
        if (n != corpus.size()) {
            std::fprintf(stderr, "%s: short read\n", argv[1]);
            return 1;
        }
    }

    double ours = 1e30, expat = 1e30;
    Outcome o, e;
    for (int round = 0; round < kRounds; ++round) {
        ours = std::min(ours, seconds([&] { return run_ours(corpus); }, o));
        if (only_ours) continue;
        expat = std::min(expat, seconds([&] { return run_expat(corpus); }, e));
        if (!o.ok || !e.ok) return 1;
    }
    const double mb = static_cast<double>(corpus.size()) / 1e6;
    if (only_ours) {
        std::printf("XmlParser %.1f MB/s\n", mb / ours);
        return o.ok ? 0 : 1;
    }
    const XML_Expat_Version v = XML_ExpatVersionInfo();
    std::printf("corpus           %s: %.1f MB, %zu elements, %zu attributes, %zu text bytes\n",
                argv[1], mb, o.counts.elements, o.counts.attributes, o.counts.text_bytes);
    std::printf("XmlParser        %8.1f MB/s  (best of %d, %zu-byte pieces, CPU time)\n", mb / ours,
                kRounds, kPiece);
    std::printf("libexpat %d.%d.%d   %8.1f MB/s  (best of %d, namespace-aware, CPU time)\n",
                v.major, v.minor, v.micro, mb / expat, kRounds);
    std::printf("ratio            %8.2fx\n", expat / ours);
    std::printf("parser memory    after 10%% of the corpus: peak %zu bytes, in use %zu\n",
                o.peak_at_tenth, o.in_use_at_tenth);
    std::printf("                 after all of it:        peak %zu bytes, in use %zu\n", o.peak,
                o.in_use);
    if (o.counts.elements != e.counts.elements || o.counts.attributes != e.counts.attributes ||
        o.counts.ends != e.counts.ends) {
        std::fprintf(stderr,
                     "counts differ: elements %zu/%zu, attributes %zu/%zu, end tags %zu/%zu\n",
                     o.counts.elements, e.counts.elements, o.counts.attributes, e.counts.attributes,
                     o.counts.ends, e.counts.ends);
        return 1;
    }
    return 0;
}
