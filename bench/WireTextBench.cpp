// Cost of one conversion of a 2000-byte wire text (the most a message datagram carries), both
// ways, in code pages 1252 and 936 and for a peer that writes UTF-8. No sockets.
//
//   build-rel/bench/bench_wire_text [rounds]
//
// Each round times many conversions of each case; the median round is printed.
#include "net/WireText.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr size_t WIRE_BYTES = 2000;
constexpr int CALLS = 20000;

// Whole characters of sample, repeated, until the text takes WIRE_BYTES on the wire.
std::string TextOfWireSize(const std::string& sample, WireSpeech speech)
{
    std::string text;
    while (WireLength(text, speech) < WIRE_BYTES) {
        text += sample;
    }
    const std::string wire = EncodeWireText(text, speech, WIRE_BYTES);
    WireSpeech reading = speech;
    return DecodeWireText(wire, reading);
}

struct Case
{
    const char* name;
    int codePage;
    std::function<size_t()> run;
};

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    const std::string western = "Gr\xC3\xB6\xC3\x9F"
                                "e, caf\xC3\xA9 na\xC3\xAFve \xE2\x82\xAC 5 \xE2\x80\x93 "
                                "\xE2\x80\x9Cquoted\xE2\x80\x9D text. ";
    const std::string chinese = "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C\xE3\x80\x82"
                                "\xE4\xBB\x8A\xE5\xA4\xA9\xE5\xBC\x80\xE4\xBC\x9A abc ";

    SetWireCodePage(1252);
    const std::string text1252 = TextOfWireSize(western, WireSpeech::CodePage);
    const std::string wire1252 = EncodeWireText(text1252, WireSpeech::CodePage);
    SetWireCodePage(936);
    const std::string text936 = TextOfWireSize(chinese, WireSpeech::CodePage);
    const std::string wire936 = EncodeWireText(text936, WireSpeech::CodePage);
    const std::string utf8 = TextOfWireSize(chinese, WireSpeech::Utf8);

    const std::vector<Case> cases = {
        {"1252 encode", 1252, [&] { return EncodeWireText(text1252, WireSpeech::CodePage).size(); }},
        {"1252 decode", 1252,
            [&] {
                WireSpeech speech = WireSpeech::Unknown;
                return DecodeWireText(wire1252, speech).size();
            }},
        {"936 encode", 936, [&] { return EncodeWireText(text936, WireSpeech::CodePage).size(); }},
        {"936 decode", 936,
            [&] {
                WireSpeech speech = WireSpeech::Unknown;
                return DecodeWireText(wire936, speech).size();
            }},
        {"UTF-8 encode", 936, [&] { return EncodeWireText(utf8, WireSpeech::Utf8, WIRE_BYTES).size(); }},
        {"UTF-8 decode, Utf8 peer", 936,
            [&] {
                WireSpeech speech = WireSpeech::Utf8;
                return DecodeWireText(utf8, speech).size();
            }},
        {"UTF-8 decode, unknown peer", 936,
            [&] {
                WireSpeech speech = WireSpeech::Unknown;
                return DecodeWireText(utf8, speech).size();
            }},
    };

    std::printf("wire bytes: 1252 %zu, 936 %zu, UTF-8 %zu; %d calls a round, %d rounds\n", wire1252.size(),
        wire936.size(), utf8.size(), CALLS, rounds);
    std::printf("%-28s %14s %14s %14s\n", "case", "median (us)", "min (us)", "max (us)");
    size_t sink = 0;
    for (const Case& c : cases) {
        SetWireCodePage(c.codePage);
        std::vector<double> perCall;
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < CALLS; ++i) {
                sink += c.run();
            }
            const std::chrono::duration<double, std::micro> elapsed
                = std::chrono::steady_clock::now() - start;
            perCall.push_back(elapsed.count() / CALLS);
        }
        std::sort(perCall.begin(), perCall.end());
        std::printf("%-28s %14.2f %14.2f %14.2f\n", c.name, perCall[perCall.size() / 2], perCall.front(),
            perCall.back());
    }
    return sink == 0;
}
