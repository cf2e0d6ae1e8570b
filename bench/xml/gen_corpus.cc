// Writes a server-to-server stream as a remote server sends it once the
// stream is established: chat messages with bodies (entities, non-ASCII
// text), chat states, receipts, group chat with delays, presence with caps and
// vCard-update payloads, disco queries and results, whitespace keep-alives,
// and now and then a large vCard with a photo. The output is well-formed XML
// in UTF-8 so that any XML parser can read it. Deterministic: the same size
// gives the same bytes.
//
//     bench_xml_corpus OUTPUT [MEGABYTES]      (default 48)

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

class Corpus {
  public:
    explicit Corpus(uint32_t seed) : rng_(seed) {}

    std::string header() const {
        return "<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
               "xmlns:stream='http://etherx.jabber.org/streams' "
               "xmlns:db='jabber:server:dialback' from='remote.example' to='local.example' "
               "id='b1d1a9f6-3c1e-4d8e-9f1a-6a4c3b2e1f00' version='1.0' xml:lang='en'>";
    }

    void stanza(std::string& s) {
        ++count_;
        if (count_ % 4000 == 0) return vcard(s);
        const int k = pick(0, 99);
        if (k < 36) return chat(s);
        if (k < 44) return chat_state(s);
        if (k < 52) return receipt(s);
        if (k < 58) return groupchat(s);
        if (k < 80) return presence(s);
        if (k < 88) return disco_get(s);
        if (k < 94) return disco_result(s);
        if (k < 97) return ping(s);
        s += "\n";  // keep-alive
    }

  private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    template <size_t N>
    const char* one(const char* const (&list)[N]) {
        return list[pick(0, static_cast<int>(N) - 1)];
    }

    std::string id() {
        static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::string s;
        const int n = pick(8, 16);
        for (int i = 0; i < n; ++i)
            s += digits[pick(0, 35)];
        return s;
    }

    std::string remote_jid(bool resource) {
        static const char* const users[] = {"juliet",   "nurse",    "tybalt", "mercutio",
                                            "benvolio", "rosaline", "paris",  "capulet"};
        static const char* const res[] = {
            "balcony", "phone", "laptop-7f3a", "Conversations.x1Qe", "Gajim.9ZkV", "desktop"};
        std::string j = std::string(one(users)) + "@remote.example";
        if (resource) j += std::string("/") + one(res);
        return j;
    }

    std::string local_jid() {
        static const char* const users[] = {"romeo", "friar.laurence", "balthasar",
                                            "abram", "sampson",        "gregory"};
        return std::string(one(users)) + "@local.example";
    }

    void words(std::string& s, int n) {
        static const char* const w[] = {
            "hello",
            "and",
            "the",
            "to",
            "meet",
            "tonight",
            "at",
            "garden",
            "wall",
            "&amp;",
            "&lt;3",
            "&quot;soon&quot;",
            "it's",
            "I'll",
            "caf\xc3\xa9",
            "sch\xc3\xb6n",
            "na\xc3\xafve",
            "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",  // privet
            "\xe4\xbd\xa0\xe5\xa5\xbd",                          // ni hao
            "\xf0\x9f\x98\x80",                                  // grinning face
            "\xe2\x9d\xa4\xef\xb8\x8f",                          // heart
            "https://example.org/a?b=1&amp;c=2",
            "&gt;",
            "ok",
            "yes",
            "no",
            "what",
            "where",
            "\xc3\xa0",
            "&#233;t&#233;"};
        for (int i = 0; i < n; ++i) {
            if (i > 0) s += pick(0, 9) == 0 ? ", " : " ";
            s += one(w);
        }
    }

    void chat(std::string& s) {
        const std::string mid = id();
        s += "<message from='" + remote_jid(true) + "' to='" + local_jid() + "' type='chat' id='" +
             mid + "' xml:lang='en'><body>";
        words(s, pick(1, 40));
        s += "</body>";
        if (pick(0, 2) == 0) s += "<thread>" + id() + id() + "</thread>";
        s += "<active xmlns='http://jabber.org/protocol/chatstates'/>";
        s += "<request xmlns='urn:xmpp:receipts'/>";
        s += "<markable xmlns='urn:xmpp:chat-markers:0'/>";
        s += "<origin-id xmlns='urn:xmpp:sid:0' id='" + mid + "'/>";
        s += "</message>";
    }

    void chat_state(std::string& s) {
        static const char* const states[] = {"composing", "paused", "inactive", "gone"};
        s += "<message from='" + remote_jid(true) + "' to='" + local_jid() + "' type='chat' id='" +
             id() + "'><" + one(states) +
             " xmlns='http://jabber.org/protocol/chatstates'/><no-store "
             "xmlns='urn:xmpp:hints'/></message>";
    }

    void receipt(std::string& s) {
        s += "<message from='" + remote_jid(true) + "' to='" + local_jid() + "' id='" + id() +
             "'><received xmlns='urn:xmpp:receipts' id='" + id() +
             "'/><displayed xmlns='urn:xmpp:chat-markers:0' id='" + id() + "'/></message>";
    }

    void groupchat(std::string& s) {
        s += "<message from='lobby@conference.remote.example/" + std::string(one(nicks_)) +
             "' to='" + local_jid() + "/desk' type='groupchat' id='" + id() + "'><body>";
        words(s, pick(3, 25));
        s += "</body><delay xmlns='urn:xmpp:delay' from='lobby@conference.remote.example' "
             "stamp='2024-05-0" +
             std::to_string(pick(1, 9)) + "T1" + std::to_string(pick(0, 9)) + ":3" +
             std::to_string(pick(0, 9)) +
             ":00Z'/><stanza-id xmlns='urn:xmpp:sid:0' "
             "by='lobby@conference.remote.example' id='" +
             id() + "-" + id() + "'/></message>";
    }

    void presence(std::string& s) {
        static const char* const shows[] = {"away", "chat", "dnd", "xa"};
        static const char* const vers[] = {
            "QgayPKawpkPSDYmwT/WM94uAlu0=", "kLq2sbK7A+yjbXo7k1pYq5ZfGlM=",
            "8RovUdtOmiAjzj+xI7SK5BCw3A8="};
        s += "<presence from='" + remote_jid(true) + "' to='" + local_jid() + "'";
        if (pick(0, 9) == 0) {
            s += " type='unavailable'/>";
            return;
        }
        s += ">";
        if (pick(0, 1) == 0) s += std::string("<show>") + one(shows) + "</show>";
        if (pick(0, 1) == 0) {
            s += "<status>";
            words(s, pick(1, 8));
            s += "</status>";
        }
        s += "<priority>" + std::to_string(pick(-1, 50)) + "</priority>";
        s += std::string(
                 "<c xmlns='http://jabber.org/protocol/caps' hash='sha-1' "
                 "node='https://conversations.im' ver='") +
             one(vers) + "'/>";
        s += "<x xmlns='vcard-temp:x:update'><photo>";
        for (int i = 0; i < 40; ++i)
            s += "0123456789abcdef"[pick(0, 15)];
        s += "</photo></x>";
        if (pick(0, 4) == 0) s += "<idle xmlns='urn:xmpp:idle:1' since='2024-05-01T08:15:00Z'/>";
        s += "</presence>";
    }

    void disco_get(std::string& s) {
        s += "<iq type='get' from='" + remote_jid(true) + "' to='" + local_jid() + "' id='" + id() +
             "'><query xmlns='http://jabber.org/protocol/disco#" +
             (pick(0, 1) == 0 ? "info" : "items") + "'/></iq>";
    }

    void disco_result(std::string& s) {
        static const char* const features[] = {"http://jabber.org/protocol/caps",
                                               "http://jabber.org/protocol/disco#info",
                                               "http://jabber.org/protocol/disco#items",
                                               "urn:xmpp:ping",
                                               "urn:xmpp:receipts",
                                               "urn:xmpp:chat-markers:0",
                                               "http://jabber.org/protocol/chatstates",
                                               "urn:xmpp:message-correct:0",
                                               "jabber:iq:version",
                                               "urn:xmpp:time",
                                               "urn:xmpp:jingle:1",
                                               "urn:xmpp:jingle:apps:rtp:1",
                                               "eu.siacs.conversations.axolotl.devicelist+notify",
                                               "urn:xmpp:avatar:metadata+notify",
                                               "http://jabber.org/protocol/muc"};
        s += "<iq type='result' from='" + remote_jid(true) + "' to='" + local_jid() + "' id='" +
             id() +
             "'><query xmlns='http://jabber.org/protocol/disco#info' "
             "node='https://conversations.im#QgayPKawpkPSDYmwT/WM94uAlu0='>"
             "<identity category='client' type='phone' name='Conversations &amp; Co'/>";
        const int n = pick(6, 15);
        for (int i = 0; i < n; ++i)
            s += std::string("<feature var='") + features[i] + "'/>";
        s += "</query></iq>";
    }

    void ping(std::string& s) {
        s += "<iq type='get' from='remote.example' to='local.example' id='" + id() +
             "'><ping xmlns='urn:xmpp:ping'/></iq>";
    }

    void vcard(std::string& s) {
        s += "<iq type='result' from='" + remote_jid(false) + "' to='" + local_jid() +
             "/desk' id='" + id() +
             "'><vCard xmlns='vcard-temp'><FN>Juliet Capulet</FN><NICKNAME>jc</NICKNAME>"
             "<PHOTO><TYPE>image/jpeg</TYPE><BINVAL>";
        static const char b64[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        // Photos of about 115, 190 and 300 KB, in turn: the largest stanza
        // comes early, so that a growing peak would show growth with the
        // number of stanzas rather than with stanza size.
        static const int sizes[] = {1500, 2500, 4000};
        const int lines = sizes[(count_ / 4000) % 3];  // 76 characters per line
        for (int l = 0; l < lines; ++l) {
            for (int i = 0; i < 76; ++i)
                s += b64[pick(0, 63)];
            s += "\n";
        }
        s += "</BINVAL></PHOTO></vCard></iq>";
    }

    static constexpr const char* nicks_[] = {"Tybalt", "Mercutio", "the &lt;Nurse&gt;", "Friar",
                                             "B\xc3\xa9nvolio"};
    std::mt19937 rng_;
    size_t count_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: bench_xml_corpus OUTPUT [MEGABYTES]\n");
        return 2;
    }
    const long mb = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 48;
    if (mb <= 0 || mb > 4096) {
        std::fprintf(stderr, "bench_xml_corpus: bad size\n");
        return 2;
    }
    const size_t target = static_cast<size_t>(mb) << 20;
    Corpus c(12345);
    std::string s = c.header();
    size_t stanzas = 0;
    while (s.size() < target) {
        c.stanza(s);
        ++stanzas;
    }
    s += "</stream:stream>";
    FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(s.data(), 1, s.size(), f) != s.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::printf("wrote %s: %zu bytes, %zu stanzas\n", argv[1], s.size(), stanzas);
    return 0;
}
